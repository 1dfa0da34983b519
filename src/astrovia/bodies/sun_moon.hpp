// Geocentric positions of the Sun and the Moon: plain C++ on ERFA's series, no
// Python. The passes' visibility, the eclipses, and the numerical propagator's
// third bodies and radiation pressure all read the Sun and the Moon from here.
//
// The positions are astrometric: where the body was when the light that
// reaches the Earth's centre at the given instant left it (light time solved by
// iteration; no aberration, no deflection), in the GCRF axes, in metres.
// Earth: eraEpv00 (VSOP2000-based series, about 5 km for the Earth-Sun
// vector); Moon: eraMoon98 (Meeus' truncated ELP-2000/82, about 10 arcsec and
// a few km). TT stands in for TDB (they differ by under 2 ms).
#pragma once

namespace astrovia::bodies {

// tt1 + tt2: the instant as a two-part TT Julian date. out: [m], GCRF.
void sun_position_gcrf(double tt1, double tt2, double out[3]);
void moon_position_gcrf(double tt1, double tt2, double out[3]);

}  // namespace astrovia::bodies

// Per-epoch rotations between the celestial frames (GCRF, TEME) and the
// terrestrial frame ITRF, and the position/velocity transforms built on them.
//
// Plain C++ on doubles: no Python here. The same translation unit is linked
// into astrovia.frames.geocentric and astrovia.frames.rotations, so both give
// bitwise identical results for the same inputs.
//
// GCRF chain: the CIO-based IAU 2000A procedure (IERS Conventions 2010,
// ch. 5): precession-nutation IAU 2000A with the observed pole offsets dX, dY
// added to the model CIP, CIO locator s (IAU 2000), Earth rotation angle,
// polar motion with the TIO locator s'.
// TEME chain: Greenwich mean sidereal time (IAU 1982) and polar motion without
// s' (Vallado et al. 2006, "Revisiting Spacetrack Report #3", appendix C).
//
// Matrices follow ERFA: row-major, frame rotations (R3(t) rotates the frame
// about z by t), and a matrix from A to B gives the B components of a vector.
#pragma once

namespace astrovia::frames {

using Mat3 = double[3][3];

// Nominal Earth rotation rate [rad/s] (IERS Conventions 2010, ch. 1).
inline constexpr double kEarthRotationRate = 7.292115146706798e-5;
inline constexpr double kSecondsPerDay = 86400.0;

// Earth rotation rate [rad/s] of an epoch whose excess length of day is `lod` [s].
inline double earth_rotation_rate(double lod) { return kEarthRotationRate * (1.0 - lod / kSecondsPerDay); }

// Matrices of the GCRF chain for one epoch.
struct GcrfChain {
    Mat3 rc;  // R3(era) C: GCRF to the terrestrial intermediate system
    Mat3 w;   // polar motion: terrestrial intermediate system to ITRF
    Mat3 q;   // W RC: GCRF to ITRF
};

// Matrices of the TEME chain for one epoch.
struct TemeChain {
    Mat3 g;   // R3(gmst) (or R3(-gmst) for the ITRF-to-TEME direction)
    Mat3 w0;  // polar motion with s' = 0: pseudo Earth-fixed system to ITRF
};

// tt1+tt2: TT, ut1a+ut1b: UT1 (two-part Julian dates, handed to ERFA as given);
// xp, yp: polar motion, dx, dy: celestial pole offsets [rad].
void gcrf_chain_one_epoch(double tt1, double tt2, double ut1a, double ut1b, double xp, double yp, double dx,
                          double dy, GcrfChain& out);

// `transposed_g`: build G^T = R3(-gmst) directly (ITRF-to-TEME direction).
void teme_chain_one_epoch(double ut1a, double ut1b, double xp, double yp, bool transposed_g, TemeChain& out);

// Vector transforms of one epoch; `omega` from earth_rotation_rate. Outputs may not alias inputs.
void itrf_from_gcrf_one_epoch(const GcrfChain& c, double omega, const double r[3], const double v[3],
                              double r_out[3], double v_out[3]);
void gcrf_from_itrf_one_epoch(const GcrfChain& c, double omega, const double r[3], const double v[3],
                              double r_out[3], double v_out[3]);
// `c` built with transposed_g = false.
void itrf_from_teme_one_epoch(const TemeChain& c, double omega, const double r[3], const double v[3],
                              double r_out[3], double v_out[3]);
// `c` built with transposed_g = true.
void teme_from_itrf_one_epoch(const TemeChain& c, double omega, const double r[3], const double v[3],
                              double r_out[3], double v_out[3]);

}  // namespace astrovia::frames

// The Earth's shadow on a satellite: the conical model with the Earth a sphere
// and the Sun a disc (O. Montenbruck and E. Gill, "Satellite Orbits", 2000,
// sec. 3.4.2). Plain C++, header-only: eclipses, the visibility of passes and
// the radiation pressure of the numerical propagator share it.
#pragma once

#include <cmath>
#include <numbers>

namespace astrovia::events {

// Mean radius of the solar photosphere [m] (IAU 2015 nominal value).
inline constexpr double kSunRadius = 6.957e8;

// The apparent discs seen from the satellite: `sun` the angular radius of the
// Sun, `earth` that of the Earth, `separation` the angle between their centres
// [rad]. Every angle is taken through atan2 or asin of well-scaled arguments,
// so grazing geometry keeps its digits.
struct ShadowGeometry {
    double sun, earth, separation;
};

// r: the satellite, r_sun: the Sun, both geocentric in one frame [m];
// earth_radius, sun_radius [m].
inline ShadowGeometry shadow_geometry(const double r[3], const double r_sun[3], double earth_radius,
                                      double sun_radius = kSunRadius) {
    const double w[3] = {r_sun[0] - r[0], r_sun[1] - r[1], r_sun[2] - r[2]};  // satellite to Sun
    const double rn = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    const double wn = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    // Angle between -r (towards the Earth's centre) and w.
    const double cx = -(r[1] * w[2] - r[2] * w[1]), cy = -(r[2] * w[0] - r[0] * w[2]),
                 cz = -(r[0] * w[1] - r[1] * w[0]);
    const double sep = std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), -(r[0] * w[0] + r[1] * w[1] + r[2] * w[2]));
    const double earth = rn > earth_radius ? std::asin(earth_radius / rn) : std::numbers::pi / 2;
    return {std::asin(std::fmin(1.0, sun_radius / wn)), earth, sep};
}

// The visible fraction of the Sun's disc in [0, 1]: 1 in sunlight, 0 in the
// umbra, the uncovered share of the disc's area in the penumbra (and in the
// antumbra, where the Earth's disc lies inside the Sun's).
inline double visible_fraction(const ShadowGeometry& g) {
    const double a = g.sun, b = g.earth, c = g.separation;
    if (c >= a + b) return 1.0;
    if (c <= b - a) return 0.0;
    if (c <= a - b) return 1.0 - (b * b) / (a * a);
    // Overlap of two discs of radii a, b whose centres are c apart.
    const double x = (c * c + a * a - b * b) / (2.0 * c);
    const double y = std::sqrt(std::fmax(0.0, a * a - x * x));
    const double overlap = a * a * std::acos(std::fmax(-1.0, std::fmin(1.0, x / a))) +
                           b * b * std::acos(std::fmax(-1.0, std::fmin(1.0, (c - x) / b))) - c * y;
    return std::fmin(1.0, std::fmax(0.0, 1.0 - overlap / (std::numbers::pi * a * a)));
}

// Smooth functions whose zeros are the shadow boundaries, for the event search:
// positive outside, negative inside.
inline double penumbra_function(const ShadowGeometry& g) { return g.separation - (g.sun + g.earth); }
inline double umbra_function(const ShadowGeometry& g) { return g.separation - (g.earth - g.sun); }
// The Sun's centre is visible where this is positive.
inline double sun_centre_function(const ShadowGeometry& g) { return g.separation - g.earth; }

}  // namespace astrovia::events

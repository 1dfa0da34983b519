// Geodetic coordinates on an ellipsoid of revolution: Earth-fixed Cartesian
// position <-> latitude, longitude and height. Plain C++, header-only, no
// Python: the geodetic module, the ground stations and the passes search
// include it.
//
// The inverse is the closed form of H. Vermeille, "An analytical method to
// transform geocentric into geodetic coordinates", Journal of Geodesy 85
// (2011) 105-117: one real cubic solved in closed form (Cardano outside the
// evolute of the meridian ellipse, the trigonometric solution inside it),
// then the foot point's parameter k from which latitude and height follow
// without iteration. Every quantity is formed so that no two large terms
// cancel: the second cube root (of a difference of square roots) is taken from
// the first through their product, the final square root is taken in whichever
// of its two algebraic forms has no subtraction, and the latitude is a
// four-quadrant arctangent of the foot point's distances. The
// result is exact to a few units of rounding from the Earth's centre to far
// beyond the geostationary orbit, poles and equator included.
//
// Beyond 3 a / 4 from the centre a cheaper route gives the same digits:
// Bowring's formula and one Newton step (geodetic_outside below); the closed
// form serves the Earth's interior, where that iteration would need more steps.
//
// The one singular set of the closed form is the segment of the equatorial
// plane inside the evolute (distance from the axis below a e^2, within 43 km
// of the centre for the Earth): there the nearest foot points lie off the
// equator, symmetric about it, and the one in the northern hemisphere is
// returned (it is written in closed form below).
#pragma once

#include <cmath>
#include <limits>
#include <numbers>

namespace astrovia::frames {

// atan2(y, x) in (-pi, pi] through one atan of a quotient no larger than 1 in
// magnitude (glibc's atan is about twice as fast as its atan2; the result is
// within 2 ulp of pi of the correctly rounded angle). y = -0 with x < 0 gives
// +pi; x = y = 0 gives 0.
inline double atan2_octant(double y, double x) {
    constexpr double pi = std::numbers::pi, half_pi = std::numbers::pi / 2;
    const double ax = std::fabs(x), ay = std::fabs(y);
    if (ax == 0.0 && ay == 0.0) return 0.0;
    if (ay > ax) return std::copysign(half_pi, y) - std::atan(x / y);
    const double t = std::atan(y / x);
    if (x >= 0.0) return t;
    return y >= 0.0 ? t + pi : t - pi;
}

// Geodetic latitude lat and longitude lon [rad], height h [m] above the
// ellipsoid with equatorial radius a [m] and flattening f (0 <= f < 1) ->
// Earth-fixed Cartesian position out [m].
inline void itrf_from_geodetic(double lat, double lon, double h, double a, double f, double out[3]) {
    const double b_a = 1.0 - f;            // b / a
    const double one_e2 = b_a * b_a;       // 1 - e^2, without cancellation
    const double e2 = f * (2.0 - f);
    const double sl = std::sin(lat), cl = std::cos(lat);
    const double n = a / std::sqrt(1.0 - e2 * sl * sl);  // prime-vertical radius of curvature
    const double rho = (n + h) * cl;
    out[0] = rho * std::cos(lon);
    out[1] = rho * std::sin(lon);
    out[2] = (n * one_e2 + h) * sl;
}

// Latitude and height of a point (rho, z) of the meridian plane [m] farther than
// 3 a / 4 from the centre (every point above the Earth's surface and far into
// it), where the closed form's cube root is not needed:
// Bowring's formula (B. R. Bowring, "Transformation from spatial to geographical
// coordinates", Survey Review 23 (1976) 323-327) from the reduced latitude of
// the point's direction, good to about 1e-9 rad there, then one Newton step on
// the normal's condition g(phi) = rho sin(phi) - z cos(phi) - N e^2 sin(phi) cos(phi)
// = 0, which squares that error away. No trigonometric function but one atan:
// the latitude is atan2_octant(num, den) + delta, the rest comes without it
// (outside_terms, so that a loop over many points can compute the terms of a
// block with vector instructions before it takes the arctangents).
inline void outside_terms(double rho, double z, double a, double f, double& num, double& den, double& delta,
                          double& h) {
    const double b = a * (1.0 - f);
    const double e2 = f * (2.0 - f);
    const double ep2 = e2 / ((1.0 - f) * (1.0 - f));  // second eccentricity squared
    // reduced latitude of the direction: tan(u) = a z / (b rho)
    const double su0 = a * z, cu0 = b * rho;
    const double inv0 = 1.0 / std::sqrt(su0 * su0 + cu0 * cu0);
    const double su = su0 * inv0, cu = cu0 * inv0;
    num = z + ep2 * b * su * su * su;
    den = rho - e2 * a * cu * cu * cu;
    const double inv1 = 1.0 / std::sqrt(num * num + den * den);
    const double sp = num * inv1, cp = den * inv1;
    const double w2 = 1.0 - e2 * sp * sp;
    const double w = std::sqrt(w2);
    // g and g' multiplied by w^3 (one division for the step):
    // g' = rho cos + z sin - a e^2 (cos^2 - sin^2 + e^2 sin^4) / w^3
    const double w3 = w2 * w;
    const double g = (rho * sp - z * cp) * w3 - a * e2 * sp * cp * w2;
    const double dg = (rho * cp + z * sp) * w3 - a * e2 * (cp * cp - sp * sp + e2 * sp * sp * sp * sp);
    delta = -g / dg;
    // sin, cos and w at the latitude, to first order in delta: exact to delta^2 ~ 1e-18
    const double s1 = sp + delta * cp, c1 = cp - delta * sp;
    const double w1 = w - e2 * sp * cp * delta / w;
    h = rho * c1 + z * s1 - a * w1;  // the distance along the normal beyond the foot point
}

inline void geodetic_outside(double rho, double z, double a, double f, double& lat, double& h) {
    double num, den, delta;
    outside_terms(rho, z, a, f, num, den, delta, h);
    lat = atan2_octant(num, den) + delta;
}

// Whether geodetic_from_itrf takes the route of geodetic_outside for a point:
// finite, not so far out that squares overflow, and farther than 3 a / 4 from
// the centre.
inline bool takes_outside_route(double x, double y, double z, double a) {
    if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) return false;
    const double rho = std::sqrt(x * x + y * y);
    return rho <= 1e150 && std::fabs(z) <= 1e150 && rho * rho + z * z > 0.5625 * a * a;
}

// Earth-fixed Cartesian position r [m] -> geodetic latitude lat in
// [-pi/2, pi/2] and longitude lon in (-pi, pi] [rad], height h [m], on the
// ellipsoid (a [m], f). On the polar axis the longitude is 0; at the centre the
// latitude is pi/2 and the height -b. Non-finite input gives NaN.
inline void geodetic_from_itrf(const double r[3], double a, double f, double& lat, double& lon, double& h) {
    const double x = r[0], y = r[1], z = r[2];
    const double e2 = f * (2.0 - f);
    const double e4 = e2 * e2;
    const double one_e2 = (1.0 - f) * (1.0 - f);
    const double rho = std::sqrt(x * x + y * y);
    lon = atan2_octant(y, x);
    if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) {
        lat = lon = h = std::numeric_limits<double>::quiet_NaN();
        return;
    }

    if (!(rho <= 1e150) || std::fabs(z) > 1e150) {
        // So far out that the normal and the radius coincide to rounding (the
        // squares would overflow): the geocentric latitude and distance.
        const double rh = std::hypot(x, y);
        lat = atan2_octant(z, rh);
        h = std::hypot(rh, z);
        return;
    }
    if (rho * rho + z * z > 0.5625 * a * a) {  // farther than 3 a / 4 from the centre
        geodetic_outside(rho, z, a, f, lat, h);
        return;
    }

    const double p = (rho / a) * (rho / a);
    const double q = one_e2 * (z / a) * (z / a);
    if (z == 0.0 && p <= e4) {
        // On the equatorial plane inside the evolute (the centre included): the
        // normal at latitude phi meets the equatorial plane at a distance
        // N e^2 cos(phi) from the axis; solving that for phi gives
        // tan(phi) = sqrt(a^2 e^4 - rho^2) / (rho sqrt(1 - e^2)).
        if (e2 == 0.0) {  // a sphere, and r its centre
            lat = std::numbers::pi / 2;
            h = -a;
            return;
        }
        lat = std::atan2(std::sqrt((a * e2 - rho) * (a * e2 + rho)), rho * std::sqrt(one_e2));
        const double sl = std::sin(lat);
        h = -a * one_e2 / std::sqrt(1.0 - e2 * sl * sl);  // -N (1 - e^2)
        return;
    }

    const double r6 = (p + q - e4) / 6.0;
    const double m = e4 * p * q;                  // >= 0
    const double r3_8 = 8.0 * r6 * r6 * r6;       // 8 r^3
    const double evol = r3_8 + m;                 // > 0 outside the evolute
    double u;
    if (evol > 0.0) {
        // u = r + (cbrt(sqrt(evol) + sqrt(m))^2 + cbrt(sqrt(evol) - sqrt(m))^2) / 2,
        // the difference written as 8 r^3 / (sqrt(evol) + sqrt(m)).
        // The second cube root is 2 r / c1, as c1^3 (sqrt(evol) - sqrt(m)) = 8 r^3.
        const double c1 = std::cbrt(std::sqrt(evol) + std::sqrt(m));
        const double c2 = 2.0 * r6 / c1;
        u = r6 + 0.5 * (c1 * c1 + c2 * c2);
    } else {
        // Three real roots (r < 0): the largest, continuous with the one above,
        // u = -r (2 cos(pi/3 - phi/3) - 1) with phi/2 = atan2(sqrt(m), sqrt(-evol)),
        // written as a product, -4 r sin(phi/6) sin(pi/3 - phi/6), which keeps
        // its digits as phi -> 0 (near the equatorial plane and the axis).
        const double s = std::atan2(std::sqrt(m), std::sqrt(-evol)) / 3.0;  // phi / 6
        u = -4.0 * r6 * std::sin(s) * std::sin(std::numbers::pi / 3.0 - s);
    }
    const double v = std::sqrt(u * u + e4 * q);
    const double uv = u + v;                      // > 0 off the singular set
    const double w = e2 * (uv - q) / (2.0 * v);
    const double sq = std::sqrt(uv + w * w);
    const double k = w >= 0.0 ? uv / (sq + w) : sq - w;
    const double d = k * rho / (k + e2);
    lat = atan2_octant(z, d);
    h = (k + e2 - 1.0) / k * std::sqrt(d * d + z * z);
}

}  // namespace astrovia::frames

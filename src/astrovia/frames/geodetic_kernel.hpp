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
// cancel: the difference of square roots in the cube roots is rewritten as a
// quotient, the final square root is taken in whichever of its two algebraic
// forms has no subtraction, and the latitude is a half-angle arctangent. The
// result is exact to a few units of rounding from the Earth's centre to far
// beyond the geostationary orbit, poles and equator included.
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

// Earth-fixed Cartesian position r [m] -> geodetic latitude lat in
// [-pi/2, pi/2] and longitude lon in (-pi, pi] [rad], height h [m], on the
// ellipsoid (a [m], f). On the polar axis the longitude is 0; at the centre the
// latitude is pi/2 and the height -b. Non-finite input gives NaN.
inline void geodetic_from_itrf(const double r[3], double a, double f, double& lat, double& lon, double& h) {
    const double x = r[0], y = r[1], z = r[2];
    const double e2 = f * (2.0 - f);
    const double e4 = e2 * e2;
    const double one_e2 = (1.0 - f) * (1.0 - f);
    const double rho = std::hypot(x, y);
    lon = (x == 0.0 && y == 0.0) ? 0.0 : std::atan2(y, x);
    if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) {
        lat = lon = h = std::numeric_limits<double>::quiet_NaN();
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
        const double se = std::sqrt(evol), sm = std::sqrt(m);
        const double c1 = std::cbrt(se + sm);
        const double c2 = std::cbrt(r3_8 / (se + sm));
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
    const double dz = std::hypot(d, z);
    lat = 2.0 * std::atan2(z, d + dz);
    h = (k + e2 - 1.0) / k * dz;
}

}  // namespace astrovia::frames

// The view from a ground station: its local east-north-up axes and the look
// angles of a target. Plain C++, header-only, no Python: the ground-station
// module and the passes search include it.
//
// Everything is Earth-fixed (ITRF): the station does not move there, so the
// target's ITRF velocity is its velocity relative to the station. The
// elevation is geometric (straight line of sight, no refraction).
#pragma once

#include <cmath>
#include <numbers>

#include "frames/geodetic_kernel.hpp"

namespace astrovia::groundstation {

// Unit vectors of the local horizon frame at geodetic latitude lat and
// longitude lon [rad], in ITRF: east, north and up (the ellipsoid's normal).
struct EnuBasis {
    double east[3], north[3], up[3];
};

inline EnuBasis enu_basis(double lat, double lon) {
    const double sl = std::sin(lat), cl = std::cos(lat), so = std::sin(lon), co = std::cos(lon);
    return {{-so, co, 0.0}, {-sl * co, -sl * so, cl}, {cl * co, cl * so, sl}};
}

// A station: its ITRF position [m] and local axes.
struct Site {
    double r[3];
    EnuBasis enu;
};

inline Site make_site(double lat, double lon, double h, double a, double f) {
    Site s;
    frames::itrf_from_geodetic(lat, lon, h, a, f, s.r);
    s.enu = enu_basis(lat, lon);
    return s;
}

// The line of sight in local coordinates: the components of the target
// minus the station along east, north, up [m], and their rates [m/s].
struct Topocentric {
    double e, n, u;
    double de, dn, du;
};

inline double dot3(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// r, v: the target's ITRF position [m] and velocity [m/s] (v may be null: the
// rates are then 0).
inline Topocentric topocentric(const Site& s, const double r[3], const double* v) {
    const double d[3] = {r[0] - s.r[0], r[1] - s.r[1], r[2] - s.r[2]};
    Topocentric t{dot3(d, s.enu.east), dot3(d, s.enu.north), dot3(d, s.enu.up), 0.0, 0.0, 0.0};
    if (v) {
        t.de = dot3(v, s.enu.east);
        t.dn = dot3(v, s.enu.north);
        t.du = dot3(v, s.enu.up);
    }
    return t;
}

// Elevation only [rad], in [-pi/2, pi/2]: the function whose zeros (less the
// mask) are rises and sets. Costs no velocity.
inline double elevation(const Site& s, const double r[3]) {
    const Topocentric t = topocentric(s, r, nullptr);
    return std::atan2(t.u, std::hypot(t.e, t.n));
}

// The look of a target from a station.
struct Look {
    double azimuth;     // from north through east, [0, 2 pi) [rad]; 0 at the zenith and nadir
    double elevation;   // above the station's horizon plane, [-pi/2, pi/2] [rad]
    double range;       // [m]
    double range_rate;  // d(range)/dt [m/s], positive receding
    double elevation_rate;  // d(elevation)/dt [rad/s]; 0 at the zenith and nadir
    double azimuth_rate;    // d(azimuth)/dt [rad/s]; 0 at the zenith and nadir
};

inline Look look_from(const Topocentric& t) {
    Look L;
    const double hz2 = t.e * t.e + t.n * t.n;
    const double hz = std::sqrt(hz2);
    const double rho2 = hz2 + t.u * t.u;
    L.range = std::sqrt(rho2);
    double az = std::atan2(t.e, t.n);
    if (az < 0.0) az += 2.0 * std::numbers::pi;
    if (az >= 2.0 * std::numbers::pi) az = 0.0;  // a tiny negative angle rounds up to 2 pi
    az += 0.0;                                   // -0 -> +0
    L.azimuth = az;
    L.elevation = std::atan2(t.u, hz);
    const double rdot = t.e * t.de + t.n * t.dn + t.u * t.du;  // range * range_rate
    L.range_rate = L.range > 0.0 ? rdot / L.range : 0.0;
    if (hz > 0.0) {
        // el = atan2(u, hz): d el/dt = (du hz - u dhz) / rho^2, dhz = (e de + n dn) / hz
        const double hzdot = (t.e * t.de + t.n * t.dn) / hz;
        L.elevation_rate = (t.du * hz - t.u * hzdot) / rho2;
        L.azimuth_rate = (t.de * t.n - t.e * t.dn) / hz2;
    } else {
        L.elevation_rate = 0.0;
        L.azimuth_rate = 0.0;
    }
    return L;
}

// r, v: the target's ITRF position [m] and velocity [m/s].
inline Look look(const Site& s, const double r[3], const double v[3]) { return look_from(topocentric(s, r, v)); }

// d(elevation)/dt [rad/s] alone: its zeros, where it goes from positive to
// negative, are the culminations of a pass (the passes search finds them as
// the maxima of elevation(), or as the roots of this).
inline double elevation_rate(const Site& s, const double r[3], const double v[3]) {
    return look(s, r, v).elevation_rate;
}

}  // namespace astrovia::groundstation

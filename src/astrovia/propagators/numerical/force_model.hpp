// The force model of the numerical propagator: the geopotential (or the
// central body alone), the Sun and the Moon as point masses, atmospheric drag
// and solar radiation pressure, summed in the GCRF. Plain C++, no Python.
//
// Time t is TT seconds from the origin of the epoch window that gives the
// GCRF-to-ITRF chain (frames/epoch_window.hpp).
#pragma once

#include <vector>

#include "frames/epoch_window.hpp"
#include "propagators/numerical/geopotential.hpp"

namespace astrovia::numerical {

// Geocentric GCRF positions of the Sun and the Moon [m] tabulated along a
// window and interpolated by cubic Lagrange polynomials: at the node spacing of
// 1800 s the Moon is reproduced to 5 mm, which moves a satellite's acceleration
// by under 1e-15 m/s^2.
//
// Their attraction acts towards where they are (the geometric positions of
// ERFA's series: gravitation shows no aberration to first order), their light
// comes from where they appear: the Sun of the shadow and of the radiation
// pressure is the astrometric one of bodies/sun_moon.hpp (light-time corrected).
class BodyTable {
public:
    BodyTable() = default;
    BodyTable(const frames::EpochWindow& window, double t_start, double t_stop, double spacing = 1800.0);
    void sun(double t, double out[3]) const { interpolate(sun_, t, out); }
    void moon(double t, double out[3]) const { interpolate(moon_, t, out); }
    void sun_apparent(double t, double out[3]) const { interpolate(sun_apparent_, t, out); }
    bool empty() const { return sun_.empty(); }

private:
    void interpolate(const std::vector<double>& table, double t, double out[3]) const;
    double t0_ = 0.0, dt_ = 1.0;
    std::size_t n_ = 0;
    std::vector<double> sun_, moon_, sun_apparent_;
};

enum class Atmosphere { none, exponential, harris_priester };

// Harris-Priester density [kg/m^3] at height h [m] (mean solar activity),
// with the diurnal bulge: cos_psi2 = cos^2(psi / 2), psi the angle between the
// satellite and the bulge's apex, and the exponent n of cos^n(psi / 2).
double harris_priester_density(double h, double cos_psi2, double n);

// Geodetic height [m] above the ellipsoid (a, f) of the Earth-fixed point r [m].
double geodetic_height(const double r[3], double a, double f);

struct ForceModel {
    // Central body: the field, or a point mass of `gm` when `field` is null.
    const Geopotential* field = nullptr;
    double gm = 0.0;
    // Third bodies.
    bool sun = false, moon = false;
    double gm_sun = 0.0, gm_moon = 0.0;
    // Drag: a = -1/2 cd A/m rho |u| u with u the velocity relative to the
    // co-rotating atmosphere (the ITRF velocity).
    Atmosphere atmosphere = Atmosphere::none;
    double cd_area_to_mass = 0.0;  // cd A/m [m^2/kg]
    double rho0 = 0.0, h0 = 0.0, scale_height = 1.0;  // exponential atmosphere [kg/m^3], [m], [m]
    double hp_exponent = 2.0;                          // Harris-Priester cos^n exponent
    double ellipsoid_a = 6378137.0, ellipsoid_f = 1.0 / 298.257223563;
    // Radiation pressure: a = P cr A/m (au / d)^2 nu d_hat, nu the visible
    // fraction of the Sun's disc (conical shadow of the Earth).
    bool srp = false;
    double cr_area_to_mass = 0.0;  // cr A/m [m^2/kg]
    double solar_pressure = 4.56e-6;  // [N/m^2] at 1 au
    double shadow_radius = 6378137.0;  // the Earth's radius for the shadow [m]
    double surface_radius = 6356752.314245;  // below this radius from the centre the Earth is hit for sure

    const frames::EpochWindow* window = nullptr;
    const BodyTable* bodies = nullptr;

    bool needs_sun() const { return sun || srp || atmosphere == Atmosphere::harris_priester; }
    bool needs_rotation() const { return field != nullptr || atmosphere != Atmosphere::none; }

    // The acceleration a [m/s^2] at time t of the GCRF state (r, v); when
    // `dadr` and `dadv` are not null, its 3x3 partial derivatives with respect to
    // r and v (the gravity and third-body gradients analytic, drag's velocity
    // partials analytic, the small position partials of drag and radiation
    // pressure by central differences).
    void acceleration(double t, const double r[3], const double v[3], double a[3], double* dadr = nullptr,
                      double* dadv = nullptr) const;

    // Shadow functions at time t (positive outside, negative inside): which = 0
    // the penumbra's boundary, 1 the umbra's.
    double shadow_function(int which, double t, const double r[3]) const;

    // Whether the GCRF position r at time t is under the ellipsoid's surface.
    bool below_surface(double t, const double r[3]) const;

private:
    void non_conservative(double t, const frames::GcrfChain& chain, double omega, const double r[3],
                          const double v[3], double a[3], double* dadv) const;
};

}  // namespace astrovia::numerical

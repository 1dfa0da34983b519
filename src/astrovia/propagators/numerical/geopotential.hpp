// The Earth's gravity field as a spherical-harmonic series, evaluated in the
// Earth-fixed frame with Cunningham's recursion of the solid harmonics
// (O. Montenbruck and E. Gill, "Satellite Orbits", 2000, sec. 3.2.4-3.2.5).
//
// The harmonics E_nm = V_nm + i W_nm = (R/r)^(n+1) P_nm(sin phi) exp(i m lambda)
// are built from Cartesian coordinates alone, so the recursion has no
// singularity at the poles. Derivatives of the solid harmonics are again solid
// harmonics one degree higher:
//   d/dz E_nm = -(n-m+1) E_n+1,m / R
//   (d/dx + i d/dy) E_nm = -E_n+1,m+1 / R
//   (d/dx - i d/dy) E_nm = (n-m+2)(n-m+1) E_n+1,m-1 / R
// with E_n,-m = (-1)^m (n-m)!/(n+m)! conj(E_nm); the acceleration needs the
// harmonics to degree N+1, the gravity gradient to degree N+2.
//
// The coefficients are kept unnormalised (scaled from the fully normalised
// ones once, at construction); unnormalised harmonics stay inside the range of
// a double to degree 150, the limit this class accepts.
#pragma once

#include <vector>

namespace astrovia::numerical {

class Geopotential {
public:
    static constexpr int kMaxDegree = 150;

    Geopotential() = default;
    // gm [m^3/s^2], radius [m]; cbar, sbar: fully normalised coefficients of
    // degree n and order m at index n (n + 1) / 2 + m, n = 0 .. degree.
    // Only the terms up to `degree` and `order` are used.
    Geopotential(double gm, double radius, int degree, int order, const double* cbar, const double* sbar);

    int degree() const { return degree_; }
    int order() const { return order_; }
    double gm() const { return gm_; }
    double radius() const { return radius_; }

    // Acceleration [m/s^2] at the Earth-fixed position r [m]; `gradient`, when
    // not null, receives the 3x3 matrix d a / d r (row-major, symmetric).
    void acceleration(const double r[3], double a[3], double* gradient = nullptr) const;

private:
    int degree_ = 0, order_ = 0;
    double gm_ = 0.0, radius_ = 1.0;
    std::vector<double> c_, s_;  // unnormalised, index n (n + 1) / 2 + m
};

}  // namespace astrovia::numerical

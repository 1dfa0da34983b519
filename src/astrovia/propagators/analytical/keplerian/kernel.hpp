// Kernels of the Keplerian propagator: plain C++ on doubles, no Python.
#pragma once

#include <cmath>
#include <cstddef>

#include "state/coe/anomaly.hpp"

namespace astrovia::keplerian {

// Gravity gradient of a point mass, G = GM (3 r r^T - |r|^2 I) / |r|^5, the
// partial derivatives of a = -GM r / |r|^3 with respect to r; row-major 3x3,
// symmetric and traceless.
inline void gravity_gradient(double gm, const double* r, double* g) {
    const double x = r[0], y = r[1], z = r[2];
    const double rho2 = x * x + y * y + z * z;
    const double rho = std::sqrt(rho2);
    const double f = gm / (rho * rho2 * rho2);
    const double xy = f * 3.0 * x * y, xz = f * 3.0 * x * z, yz = f * 3.0 * y * z;
    g[0] = f * (3.0 * x * x - rho2);
    g[4] = f * (3.0 * y * y - rho2);
    g[8] = f * (3.0 * z * z - rho2);
    g[1] = g[3] = xy;
    g[2] = g[6] = xz;
    g[5] = g[7] = yz;
}

// The 6x6 Jacobian of (v, a(r)) with respect to (r, v): [[0, I], [G(r), 0]].
// Every entry is written once, row by row.
inline void jac_x_from_r(double gm, const double* r, double* out) {
    double g[9];
    gravity_gradient(gm, r, g);
    for (int i = 0; i < 3; ++i) {
        double* row = out + 6 * i;
        row[0] = row[1] = row[2] = 0.0;
        row[3] = i == 0 ? 1.0 : 0.0;
        row[4] = i == 1 ? 1.0 : 0.0;
        row[5] = i == 2 ? 1.0 : 0.0;
    }
    for (int i = 0; i < 3; ++i) {
        double* row = out + 6 * (i + 3);
        row[0] = g[3 * i];
        row[1] = g[3 * i + 1];
        row[2] = g[3 * i + 2];
        row[3] = row[4] = row[5] = 0.0;
    }
}

// The anomaly functions of the owning components, reached through their tables.
struct AnomalyFunctions {
    coe::SolverFn eca_from_mea;     // Kepler's equation; may report a failure
    coe::Atan2Fn atan2_asymmetric;  // angle in [0, 2 pi)
    bool (*failed)();               // true once eca_from_mea has reported a failure
};

// True anomaly at n elapsed times dt (seconds from the epoch of tra0), advanced
// through the mean anomaly at the constant mean motion [rad/s]:
//   M = mean_motion dt + M0 (not reduced), E from Kepler's equation, nu from E.
// dt and tra are addressed with byte strides. Returns false, with tra written
// up to the failing epoch, when the solver reported a failure.
bool propagate_tra(const char* dt, std::ptrdiff_t dt_stride, char* tra, std::ptrdiff_t tra_stride, std::size_t n,
                   double tra0, double ecc, double mean_motion, const AnomalyFunctions& fn);

// The fixed geometry of an orbit: the perifocal unit vectors P (to the perigee)
// and Q (90 degrees ahead in the direction of motion) in the reference frame,
// the semi-latus rectum p [m], the eccentricity and sqrt(GM / p) [m/s].
struct OrbitGeometry {
    double p_hat[3], q_hat[3];
    double slr, ecc, k;
};

// P and Q from inclination, right ascension of the ascending node and argument
// of perigee [rad]: the columns of R3(-raa) R1(-inc) R3(-arp).
inline OrbitGeometry orbit_geometry(double slr, double ecc, double inc, double raa, double arp, double gm) {
    const double co = std::cos(raa), so = std::sin(raa);
    const double ci = std::cos(inc), si = std::sin(inc);
    const double cw = std::cos(arp), sw = std::sin(arp);
    OrbitGeometry g{};
    g.p_hat[0] = co * cw - so * ci * sw;
    g.p_hat[1] = so * cw + co * ci * sw;
    g.p_hat[2] = si * sw;
    g.q_hat[0] = -co * sw - so * ci * cw;
    g.q_hat[1] = -so * sw + co * ci * cw;
    g.q_hat[2] = si * cw;
    g.slr = slr;
    g.ecc = ecc;
    g.k = std::sqrt(gm / slr);
    return g;
}

// Stumpff functions c2(z) = (1 - cos sqrt z) / z and c3(z) = (sqrt z - sin sqrt z) / z^(3/2),
// continued through z = 0 (1/2 and 1/6) and to z < 0 with cosh and sinh.
struct Stumpff {
    double c2, c3;
};
Stumpff stumpff(double z);

// Two-body motion of one Cartesian state in universal variables: the universal
// anomaly chi of an elapsed time solves
//   sqrt(GM) dt = r0 U1(chi) + sigma0 U2(chi) + U3(chi),  U_k = chi^k c_k(alpha chi^2),
// with alpha = 2 / r0 - v0^2 / GM and sigma0 = r0 . v0 / sqrt(GM), and the state
// follows from the Lagrange coefficients f, g, f', g' of chi. The same equations
// hold for ellipses of any eccentricity below 1 (alpha > 0 however small), the
// parabola (alpha = 0) and hyperbolas (alpha < 0), so nothing is lost as the
// eccentricity approaches 1; at dt = 0 the state comes back bit for bit.
class UniversalOrbit {
public:
    UniversalOrbit(double gm, const double* r0, const double* v0);
    // As above, with alpha = 1 / a given (from elements, where a is known more
    // closely than 2 / r0 - v0^2 / GM gives it near the perigee of a long ellipse).
    UniversalOrbit(double gm, const double* r0, const double* v0, double alpha);

    // Position [m] and velocity [m/s] after dt seconds (negative: before).
    // A non-finite dt, or an orbit of no finite state, gives NaN.
    void state_at(double dt, double* r, double* v) const;

    // 1 / semi-major axis [1/m]; positive for an ellipse.
    double alpha() const { return alpha_; }
    // The universal anomaly of an elapsed time [sqrt(m)], after reduction to
    // within half a period of the epoch for an ellipse.
    double anomaly(double dt) const;

private:
    double r0_[3], v0_[3];
    double sqrt_gm_, r0n_, sigma0_, alpha_;
    double period_;  // of an ellipse [s]; infinite otherwise (and when too long to be finite)
};

// States at n elapsed times dt [s] (byte stride dt_stride) of `orbit`, into
// contiguous (n, 3) rows r and v.
void propagate_universal(const UniversalOrbit& orbit, const char* dt, std::ptrdiff_t dt_stride, std::size_t n,
                         double* r, double* v);

// Position [m] and velocity [m/s] at n true anomalies (a contiguous array),
// into contiguous (n, 3) rows:
//   r = p / (1 + e cos nu) (cos nu P + sin nu Q),  v = sqrt(GM / p) (-sin nu P + (e + cos nu) Q).
void sv_from_tra(const OrbitGeometry& g, const double* tra, std::size_t n, double* r, double* v);

}  // namespace astrovia::keplerian

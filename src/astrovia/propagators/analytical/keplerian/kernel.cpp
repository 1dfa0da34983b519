#include "propagators/analytical/keplerian/kernel.hpp"

#include <cstring>
#include <limits>

namespace astrovia::keplerian {

bool propagate_tra(const char* dt, std::ptrdiff_t dt_stride, char* tra, std::ptrdiff_t tra_stride, std::size_t n,
                   double tra0, double ecc, double mean_motion, const AnomalyFunctions& fn) {
    const double beta = std::sqrt(1.0 - ecc * ecc);
    const double mea0 = coe::c_mea_from_tra(tra0, ecc, beta, fn.atan2_asymmetric);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = *reinterpret_cast<const double*>(dt + static_cast<std::ptrdiff_t>(i) * dt_stride);
        const double mea = mean_motion * t + mea0;
        const double eca = fn.eca_from_mea(mea, ecc);
        if (fn.failed()) return false;
        *reinterpret_cast<double*>(tra + static_cast<std::ptrdiff_t>(i) * tra_stride) =
            coe::c_tra_from_eca(eca, ecc, beta, fn.atan2_asymmetric);
    }
    return true;
}

Stumpff stumpff(double z) {
    if (std::fabs(z) <= 1.0) {
        // The series c2 = sum (-z)^k / (2k + 2)!, c3 = sum (-z)^k / (2k + 3)!, nested; ten
        // terms leave less than 1e-19 for |z| <= 1.
        double c2 = 1.0, c3 = 1.0;
        for (int k = 10; k >= 1; --k) {
            c2 = 1.0 - z * c2 / ((2.0 * k + 1.0) * (2.0 * k + 2.0));
            c3 = 1.0 - z * c3 / ((2.0 * k + 2.0) * (2.0 * k + 3.0));
        }
        return {c2 / 2.0, c3 / 6.0};
    }
    if (z > 0.0) {
        const double s = std::sqrt(z), h = std::sin(0.5 * s);
        return {2.0 * h * h / z, (s - std::sin(s)) / (z * s)};
    }
    const double s = std::sqrt(-z), h = std::sinh(0.5 * s);
    return {2.0 * h * h / -z, (std::sinh(s) - s) / (-z * s)};
}

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
// Relative step of the universal anomaly below which it has converged.
constexpr double kConverged = 1e-10;

// U0..U3 of the universal anomaly chi for alpha.
struct Universal {
    double u0, u1, u2, u3;
};

Universal universal(double chi, double alpha) {
    const double chi2 = chi * chi;
    const double z = alpha * chi2;
    const Stumpff c = stumpff(z);
    return {1.0 - z * c.c2, chi * (1.0 - z * c.c3), chi2 * c.c2, chi2 * chi * c.c3};
}

inline double dot3(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace

UniversalOrbit::UniversalOrbit(double gm, const double* r0, const double* v0)
    : UniversalOrbit(gm, r0, v0, 2.0 / std::sqrt(dot3(r0, r0)) - dot3(v0, v0) / gm) {}

UniversalOrbit::UniversalOrbit(double gm, const double* r0, const double* v0, double alpha) {
    for (int j = 0; j < 3; ++j) {
        r0_[j] = r0[j];
        v0_[j] = v0[j];
    }
    sqrt_gm_ = std::sqrt(gm);
    r0n_ = std::sqrt(dot3(r0, r0));
    sigma0_ = dot3(r0, v0) / sqrt_gm_;
    alpha_ = alpha;
    const double mean_motion = sqrt_gm_ * alpha_ * std::sqrt(alpha_);
    period_ = alpha_ > 0.0 && mean_motion > 0.0 ? kTwoPi / mean_motion : HUGE_VAL;
}

double UniversalOrbit::anomaly(double dt) const {
    // An ellipse repeats itself: the time is taken to within half a period of
    // the epoch (remainder is exact), so that |delta E| < 2 pi below.
    const double tau = std::isfinite(period_) && std::fabs(dt) > 0.5 * period_ ? std::remainder(dt, period_) : dt;
    const double target = sqrt_gm_ * tau;
    if (target == 0.0) return 0.0;
    // F(chi) = r0 U1 + sigma0 U2 + U3 - sqrt(GM) tau rises with chi (F' = r > 0):
    // the root is kept in a bracket [lo, hi] that every evaluation narrows.
    double lo = -HUGE_VAL, hi = HUGE_VAL;
    (tau > 0.0 ? lo : hi) = 0.0;
    double chi;
    if (std::isfinite(period_)) {
        const double bound = kTwoPi / std::sqrt(alpha_);  // |delta E| < pi + 2e < 2 pi
        (tau > 0.0 ? hi : lo) = std::copysign(bound, tau);
        chi = sqrt_gm_ * alpha_ * tau;  // delta E ~ delta M
    } else {
        // Short arcs move at the initial speed, long ones grow as the cube root of time.
        chi = target / r0n_;
        const double cubic = std::cbrt(6.0 * target);
        if (std::fabs(cubic) < std::fabs(chi)) chi = cubic;
    }
    // Laguerre's iteration (order 5), which converges from any start on this
    // equation; a step out of the bracket is replaced by its midpoint.
    for (int it = 0; it < 200; ++it) {
        const Universal u = universal(chi, alpha_);
        const double f = r0n_ * u.u1 + sigma0_ * u.u2 + u.u3 - target;
        if (!std::isfinite(f)) return std::numeric_limits<double>::quiet_NaN();
        if (f == 0.0) break;
        (f < 0.0 ? lo : hi) = chi;
        const double df = r0n_ * u.u0 + sigma0_ * u.u1 + u.u2;
        const double d2f = sigma0_ * u.u0 + (1.0 - alpha_ * r0n_) * u.u1;
        const double disc = std::sqrt(std::fabs(16.0 * df * df - 20.0 * f * d2f));
        const double step = 5.0 * f / (df + std::copysign(disc, df));
        const double next = chi - step;
        // Converged: the iteration has order three, so after a step below kConverged (1e-10) of chi
        // what is left is far below the last bit (and a step below one ulp, which
        // leaves chi where it is, must end the loop rather than look like a way out
        // of the bracket).
        if (std::fabs(step) <= kConverged * std::fabs(next)) {
            chi = next;
            break;
        }
        if (next > lo && next < hi) {
            chi = next;
        } else if (std::isfinite(lo) && std::isfinite(hi)) {
            const double mid = 0.5 * (lo + hi);
            if (mid <= lo || mid >= hi) break;  // the bracket is two neighbouring doubles
            chi = mid;
        } else if (std::isfinite(next)) {
            chi = next;
        } else {
            return std::numeric_limits<double>::quiet_NaN();
        }
    }
    return chi;
}

void UniversalOrbit::state_at(double dt, double* r, double* v) const {
    const double chi = std::isfinite(dt) ? anomaly(dt) : std::numeric_limits<double>::quiet_NaN();
    const Universal u = universal(chi, alpha_);
    const double rn = r0n_ * u.u0 + sigma0_ * u.u1 + u.u2;
    // The Lagrange coefficients as functions of chi alone, so that the state lies
    // on the orbit whatever the last digit of chi.
    const double f = 1.0 - u.u2 / r0n_;
    const double g = (r0n_ * u.u1 + sigma0_ * u.u2) / sqrt_gm_;
    const double fdot = -sqrt_gm_ * u.u1 / (rn * r0n_);
    const double gdot = 1.0 - u.u2 / rn;
    for (int j = 0; j < 3; ++j) {
        r[j] = f * r0_[j] + g * v0_[j];
        v[j] = fdot * r0_[j] + gdot * v0_[j];
    }
}

void propagate_universal(const UniversalOrbit& orbit, const char* dt, std::ptrdiff_t dt_stride, std::size_t n,
                         double* r, double* v) {
    for (std::size_t i = 0; i < n; ++i) {
        double t;
        std::memcpy(&t, dt + static_cast<std::ptrdiff_t>(i) * dt_stride, sizeof t);
        orbit.state_at(t, r + 3 * i, v + 3 * i);
    }
}

void sv_from_tra(const OrbitGeometry& g, const double* tra, std::size_t n, double* r, double* v) {
    for (std::size_t i = 0; i < n; ++i) {
        const double s = std::sin(tra[i]), c = std::cos(tra[i]);
        const double rad = g.slr / (1.0 + g.ecc * c);
        const double rp = rad * c, rq = rad * s;
        const double vp = -g.k * s, vq = g.k * (g.ecc + c);
        for (int j = 0; j < 3; ++j) {
            r[3 * i + j] = rp * g.p_hat[j] + rq * g.q_hat[j];
            v[3 * i + j] = vp * g.p_hat[j] + vq * g.q_hat[j];
        }
    }
}

}  // namespace astrovia::keplerian

// Cunningham's recursion and the harmonic sums of the gravity field (see geopotential.hpp).
#include "propagators/numerical/geopotential.hpp"

#include <cmath>
#include <stdexcept>

namespace astrovia::numerical {

namespace {

inline int idx(int n, int m) { return n * (n + 1) / 2 + m; }

// Solid harmonics to degree `nmax` and order `mmax` (m <= min(n, mmax)).
struct Harmonics {
    int nmax = -1, mmax = -1;
    std::vector<double> v, w;

    void build(const double r[3], double radius, int n_max, int m_max) {
        nmax = n_max;
        mmax = m_max;
        const std::size_t size = static_cast<std::size_t>(idx(nmax, nmax) + 1);
        if (v.size() < size) {
            v.assign(size, 0.0);
            w.assign(size, 0.0);
        }
        const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
        const double rho = radius / r2;
        const double x0 = r[0] * rho, y0 = r[1] * rho, z0 = r[2] * rho, rr = radius * rho;
        v[0] = radius / std::sqrt(r2);
        w[0] = 0.0;
        for (int m = 0; m <= mmax && m <= nmax; ++m) {
            if (m > 0) {  // sectoral term from the previous one
                const double vp = v[idx(m - 1, m - 1)], wp = w[idx(m - 1, m - 1)];
                v[idx(m, m)] = (2 * m - 1) * (x0 * vp - y0 * wp);
                w[idx(m, m)] = (2 * m - 1) * (x0 * wp + y0 * vp);
            }
            if (m + 1 <= nmax) {
                v[idx(m + 1, m)] = (2 * m + 1) * z0 * v[idx(m, m)];
                w[idx(m + 1, m)] = (2 * m + 1) * z0 * w[idx(m, m)];
            }
            for (int n = m + 2; n <= nmax; ++n) {
                const double a = static_cast<double>(2 * n - 1) / (n - m);
                const double b = static_cast<double>(n + m - 1) / (n - m);
                v[idx(n, m)] = a * z0 * v[idx(n - 1, m)] - b * rr * v[idx(n - 2, m)];
                w[idx(n, m)] = a * z0 * w[idx(n - 1, m)] - b * rr * w[idx(n - 2, m)];
            }
        }
    }

    // E_nm for -2 <= m <= n (negative orders through the conjugate symmetry).
    void get(int n, int m, double& re, double& im) const {
        if (m >= 0) {
            re = v[idx(n, m)];
            im = w[idx(n, m)];
            return;
        }
        const int k = -m;
        double f = 1.0;
        for (int j = n - k + 1; j <= n + k; ++j) f /= j;
        if (k % 2) f = -f;
        re = f * v[idx(n, k)];
        im = -f * w[idx(n, k)];
    }
};

// Multiply-accumulate of K E, K = C - iS, into (re, im).
inline void mac(double c, double s, double f, double er, double ei, double& re, double& im) {
    re += f * (c * er + s * ei);
    im += f * (c * ei - s * er);
}

}  // namespace

Geopotential::Geopotential(double gm, double radius, int degree, int order, const double* cbar,
                           const double* sbar)
    : degree_(degree), order_(order), gm_(gm), radius_(radius) {
    if (degree < 0 || degree > kMaxDegree || order < 0 || order > degree) {
        throw std::invalid_argument("degree and order out of range");
    }
    c_.assign(static_cast<std::size_t>(idx(degree, degree) + 1), 0.0);
    s_.assign(c_.size(), 0.0);
    for (int n = 0; n <= degree; ++n) {
        for (int m = 0; m <= n && m <= order; ++m) {
            // Full normalisation: N_nm = sqrt((2 - delta_m0)(2n + 1)(n - m)!/(n + m)!).
            double f = (m == 0 ? 1.0 : 2.0) * (2 * n + 1);
            for (int j = n - m + 1; j <= n + m; ++j) f /= j;
            const double scale = std::sqrt(f);
            c_[idx(n, m)] = cbar[idx(n, m)] * scale;
            s_[idx(n, m)] = sbar[idx(n, m)] * scale;
        }
    }
}

void Geopotential::acceleration(const double r[3], double a[3], double* gradient) const {
    thread_local Harmonics h;
    const int extra = gradient ? 2 : 1;
    h.build(r, radius_, degree_ + extra, order_ + extra);
    const double R = radius_;
    double pr = 0, pi = 0, mr = 0, mi = 0, zr = 0, zi = 0;
    double ppr = 0, ppi = 0, pmr = 0, pmi = 0, mmr = 0, mmi = 0, pzr = 0, pzi = 0, mzr = 0, mzi = 0, zzr = 0,
           zzi = 0;
    double er, ei;
    // Highest degree first: the small terms are summed before the central one.
    for (int n = degree_; n >= 0; --n) {
        for (int m = std::min(n, order_); m >= 0; --m) {
            const double c = c_[idx(n, m)], s = s_[idx(n, m)];
            if (c == 0.0 && s == 0.0) continue;
            const double q1 = n - m + 1, q2 = n - m + 2;
            h.get(n + 1, m + 1, er, ei);
            mac(c, s, -1.0, er, ei, pr, pi);
            h.get(n + 1, m - 1, er, ei);
            mac(c, s, q2 * q1, er, ei, mr, mi);
            h.get(n + 1, m, er, ei);
            mac(c, s, -q1, er, ei, zr, zi);
            if (gradient) {
                const double q3 = n - m + 3, q4 = n - m + 4;
                h.get(n + 2, m + 2, er, ei);
                mac(c, s, 1.0, er, ei, ppr, ppi);
                h.get(n + 2, m, er, ei);
                mac(c, s, -q2 * q1, er, ei, pmr, pmi);
                mac(c, s, q1 * q2, er, ei, zzr, zzi);
                h.get(n + 2, m - 2, er, ei);
                mac(c, s, q2 * q1 * q4 * q3, er, ei, mmr, mmi);
                h.get(n + 2, m + 1, er, ei);
                mac(c, s, q1, er, ei, pzr, pzi);
                h.get(n + 2, m - 1, er, ei);
                mac(c, s, -q1 * q3 * q2, er, ei, mzr, mzi);
            }
        }
    }
    const double f1 = gm_ / (R * R);
    a[0] = f1 * 0.5 * (pr + mr);
    a[1] = f1 * 0.5 * (pi - mi);
    a[2] = f1 * zr;
    if (gradient) {
        const double f2 = gm_ / (R * R * R);
        const double xx = 0.25 * (ppr + 2 * pmr + mmr), yy = -0.25 * (ppr - 2 * pmr + mmr);
        const double xy = 0.25 * (ppi - mmi), xz = 0.5 * (pzr + mzr), yz = 0.5 * (pzi - mzi), zz = zzr;
        gradient[0] = f2 * xx, gradient[1] = f2 * xy, gradient[2] = f2 * xz;
        gradient[3] = f2 * xy, gradient[4] = f2 * yy, gradient[5] = f2 * yz;
        gradient[6] = f2 * xz, gradient[7] = f2 * yz, gradient[8] = f2 * zz;
    }
    (void)zi, (void)pmi, (void)zzi;
}

}  // namespace astrovia::numerical

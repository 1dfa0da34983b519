#include "propagators/analytical/keplerian/kernel.hpp"

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

// Per-epoch celestial-to-terrestrial chains (see celestial_chain.hpp).
#include "frames/celestial_chain.hpp"

#include <erfa.h>

namespace astrovia::frames {

namespace {

// a p, summed over columns in index order (as eraRxp does).
inline void mat_vec(const Mat3& a, const double p[3], double out[3]) {
    for (int i = 0; i < 3; ++i) out[i] = a[i][0] * p[0] + a[i][1] * p[1] + a[i][2] * p[2];
}

// a^T p (as eraTrxp does).
// u = w + omega z x p: a velocity moved across the Earth's rotation about the
// pole axis at rate omega.
inline void add_rotation(double omega, const double p[3], const double w[3], double u[3]) {
    u[0] = w[0] - omega * p[1];
    u[1] = w[1] + omega * p[0];
    u[2] = w[2];
}

inline void mat_t_vec(const Mat3& a, const double p[3], double out[3]) {
    for (int i = 0; i < 3; ++i) out[i] = a[0][i] * p[0] + a[1][i] * p[1] + a[2][i] * p[2];
}

}  // namespace

void gcrf_chain_one_epoch(double tt1, double tt2, double ut1a, double ut1b, double xp, double yp, double dx,
                          double dy, GcrfChain& out) {
    // Bias-precession-nutation, IAU 2000A, and the model CIP it implies.
    double rbpn[3][3];
    eraPnm00a(tt1, tt2, rbpn);
    double x, y;
    eraBpn2xy(rbpn, &x, &y);
    // The CIO locator belongs to the model pole; the observed offsets enter only the
    // celestial-to-intermediate matrix.
    const double s = eraS00(tt1, tt2, x, y);
    double c[3][3];
    eraC2ixys(x + dx, y + dy, s, c);

    const double era = eraEra00(ut1a, ut1b);
    eraCr(c, out.rc);
    eraRz(era, out.rc);

    const double sp = eraSp00(tt1, tt2);
    eraPom00(xp, yp, sp, out.w);
    eraRxr(out.w, out.rc, out.q);
}

void teme_chain_one_epoch(double ut1a, double ut1b, double xp, double yp, bool transposed_g, TemeChain& out) {
    const double gmst = eraGmst82(ut1a, ut1b);
    eraIr(out.g);
    eraRz(transposed_g ? -gmst : gmst, out.g);
    // No TIO locator and no equation of the equinoxes in the TEME chain.
    eraPom00(xp, yp, 0.0, out.w0);
}

// In the rotating intermediate system the velocity gains -omega x p (towards
// ITRF) or +omega x p (away from it), with omega = (0, 0, omega).

void itrf_from_gcrf_one_epoch(const GcrfChain& c, double omega, const double r[3], const double v[3],
                              double r_out[3], double v_out[3]) {
    double p[3], qv[3], wp[3];
    mat_vec(c.q, r, r_out);
    mat_vec(c.rc, r, p);
    const double op[3] = {-omega * p[1], omega * p[0], 0.0};
    mat_vec(c.q, v, qv);
    mat_vec(c.w, op, wp);
    for (int k = 0; k < 3; ++k) v_out[k] = qv[k] - wp[k];
}

void gcrf_from_itrf_one_epoch(const GcrfChain& c, double omega, const double r[3], const double v[3],
                              double r_out[3], double v_out[3]) {
    double p[3], wv[3], u[3];
    mat_t_vec(c.q, r, r_out);
    mat_t_vec(c.w, r, p);
    mat_t_vec(c.w, v, wv);
    add_rotation(omega, p, wv, u);
    mat_t_vec(c.rc, u, v_out);
}

void itrf_from_teme_one_epoch(const TemeChain& c, double omega, const double r[3], const double v[3],
                              double r_out[3], double v_out[3]) {
    double p[3], gv[3], u[3];
    mat_vec(c.g, r, p);
    mat_vec(c.w0, p, r_out);
    mat_vec(c.g, v, gv);
    add_rotation(-omega, p, gv, u);
    mat_vec(c.w0, u, v_out);
}

void teme_from_itrf_one_epoch(const TemeChain& c, double omega, const double r[3], const double v[3],
                              double r_out[3], double v_out[3]) {
    // c.g holds G^T here, so G^T x is a plain product.
    double p[3], wv[3], u[3];
    mat_t_vec(c.w0, r, p);
    mat_vec(c.g, p, r_out);
    mat_t_vec(c.w0, v, wv);
    add_rotation(omega, p, wv, u);
    mat_vec(c.g, u, v_out);
}

}  // namespace astrovia::frames

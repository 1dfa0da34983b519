// The summed force model of the numerical propagator (see force_model.hpp).
#include "propagators/numerical/force_model.hpp"

#include <algorithm>
#include <cmath>

#include <erfa.h>

#include "bodies/sun_moon.hpp"
#include "events/shadow.hpp"
#include "frames/geodetic_kernel.hpp"

namespace astrovia::numerical {

namespace {

constexpr double kAu = 1.495978707e11;  // [m] (IAU 2012)

inline double dot(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double norm(const double a[3]) { return std::sqrt(dot(a, a)); }

// y = M x and y = M^T x for a row-major 3x3 M.
inline void mul(const double m[3][3], const double x[3], double y[3]) {
    for (int i = 0; i < 3; ++i) y[i] = m[i][0] * x[0] + m[i][1] * x[1] + m[i][2] * x[2];
}
inline void mul_t(const double m[3][3], const double x[3], double y[3]) {
    for (int i = 0; i < 3; ++i) y[i] = m[0][i] * x[0] + m[1][i] * x[1] + m[2][i] * x[2];
}
// out += Q^T G Q (G row-major 3x3).
inline void add_rotated(const double q[3][3], const double g[9], double out[9]) {
    double gq[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) gq[i][j] = g[3 * i] * q[0][j] + g[3 * i + 1] * q[1][j] + g[3 * i + 2] * q[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out[3 * i + j] += q[0][i] * gq[0][j] + q[1][i] * gq[1][j] + q[2][i] * gq[2][j];
}

// A point mass gm at s: the direct and indirect terms, and the gradient of the direct one.
inline void third_body(double gm, const double s[3], const double r[3], double a[3], double* grad) {
    const double d[3] = {s[0] - r[0], s[1] - r[1], s[2] - r[2]};
    const double dn2 = dot(d, d), dn = std::sqrt(dn2), sn = norm(s);
    const double fd = gm / (dn2 * dn), fs = gm / (sn * sn * sn);
    for (int k = 0; k < 3; ++k) a[k] += fd * d[k] - fs * s[k];
    if (grad) {
        const double f5 = 3.0 * gm / (dn2 * dn2 * dn);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) grad[3 * i + j] += f5 * d[i] * d[j] - (i == j ? fd : 0.0);
    }
}

// Harris-Priester table (Montenbruck and Gill 2000, sec. 3.5.2): height [km],
// minimum and maximum density [g/km^3], mean solar activity.
constexpr int kHpRows = 50;
constexpr double kHp[kHpRows][3] = {
    {100, 497400.0, 497400.0}, {120, 24900.0, 24900.0}, {130, 8377.0, 8710.0}, {140, 3899.0, 4059.0},
    {150, 2122.0, 2215.0},     {160, 1263.0, 1344.0},   {170, 800.8, 875.8},   {180, 528.3, 601.0},
    {190, 361.7, 429.7},       {200, 255.7, 316.2},     {210, 183.9, 239.6},   {220, 134.1, 185.3},
    {230, 99.49, 145.5},       {240, 74.88, 115.7},     {250, 57.09, 93.08},   {260, 44.03, 75.55},
    {270, 34.30, 61.82},       {280, 26.97, 50.95},     {290, 21.39, 42.26},   {300, 17.08, 35.26},
    {320, 10.99, 25.11},       {340, 7.214, 18.19},     {360, 4.824, 13.37},   {380, 3.274, 9.955},
    {400, 2.249, 7.492},       {420, 1.558, 5.684},     {440, 1.091, 4.355},   {460, 0.7701, 3.362},
    {480, 0.5474, 2.612},      {500, 0.3916, 2.042},    {520, 0.2819, 1.605},  {540, 0.2042, 1.267},
    {560, 0.1488, 1.005},      {580, 0.1092, 0.7997},   {600, 0.08070, 0.6390}, {620, 0.06012, 0.5123},
    {640, 0.04519, 0.4121},    {660, 0.03430, 0.3325},  {680, 0.02632, 0.2691}, {700, 0.02043, 0.2185},
    {720, 0.01607, 0.1779},    {740, 0.01281, 0.1452},  {760, 0.01036, 0.1190}, {780, 0.008496, 0.09776},
    {800, 0.007069, 0.08059},  {840, 0.004680, 0.05741}, {880, 0.003200, 0.04210}, {920, 0.002210, 0.03130},
    {960, 0.001560, 0.02360},  {1000, 0.001150, 0.01810},
};

}  // namespace

double harris_priester_density(double h, double cos_psi2, double n) {
    const double hk = h / 1000.0;
    if (!(hk <= kHp[kHpRows - 1][0])) return 0.0;  // above the table (or NaN): no atmosphere
    // Exponential between rows; below the table the first interval's scale heights continue.
    int i = 0;
    while (i < kHpRows - 2 && hk >= kHp[i + 1][0]) ++i;
    const double dh = kHp[i + 1][0] - kHp[i][0];
    const double x = (hk - kHp[i][0]) / dh;
    const double rmin = kHp[i][1] * std::pow(kHp[i + 1][1] / kHp[i][1], x);
    const double rmax = kHp[i][2] * std::pow(kHp[i + 1][2] / kHp[i][2], x);
    const double bulge = std::pow(std::max(0.0, cos_psi2), 0.5 * n);
    return 1e-12 * (rmin + (rmax - rmin) * bulge);
}

double geodetic_height(const double r[3], double a, double f) {
    double lat, lon, h;
    frames::geodetic_from_itrf(r, a, f, lat, lon, h);
    return h;
}

BodyTable::BodyTable(const frames::EpochWindow& window, double t_start, double t_stop, double spacing) {
    t0_ = t_start - 2.0 * spacing;
    dt_ = spacing;
    n_ = static_cast<std::size_t>(std::ceil((t_stop - t_start) / spacing)) + 5;
    sun_.resize(3 * n_);
    moon_.resize(3 * n_);
    sun_apparent_.resize(3 * n_);
    for (std::size_t k = 0; k < n_; ++k) {
        const double t = t0_ + dt_ * static_cast<double>(k);
        const double tt1 = window.origin_tt1(), tt2 = window.origin_tt2() + t / frames::kSecondsPerDay;
        bodies::sun_position_gcrf(tt1, tt2, &sun_apparent_[3 * k]);
        // Geometric: the Sun opposite the Earth's heliocentric position, the Moon of ERFA's series.
        double pvh[2][3], pvb[2][3], pv[2][3];
        eraEpv00(tt1, tt2, pvh, pvb);
        eraMoon98(tt1, tt2, pv);
        for (int i = 0; i < 3; ++i) {
            sun_[3 * k + i] = -pvh[0][i] * kAu;
            moon_[3 * k + i] = pv[0][i] * kAu;
        }
    }
}

void BodyTable::interpolate(const std::vector<double>& table, double t, double out[3]) const {
    // The four nodes around t (the table has two spare nodes at each end).
    double u = (t - t0_) / dt_;
    long k = static_cast<long>(std::floor(u)) - 1;
    k = std::clamp(k, 0L, static_cast<long>(n_) - 4);
    u -= static_cast<double>(k);  // t relative to node k, in node spacings: nodes at 0, 1, 2, 3
    const double w0 = -(u - 1) * (u - 2) * (u - 3) / 6.0, w1 = u * (u - 2) * (u - 3) / 2.0,
                 w2 = -u * (u - 1) * (u - 3) / 2.0, w3 = u * (u - 1) * (u - 2) / 6.0;
    const double* p = &table[3 * static_cast<std::size_t>(k)];
    for (int i = 0; i < 3; ++i) out[i] = w0 * p[i] + w1 * p[3 + i] + w2 * p[6 + i] + w3 * p[9 + i];
}

void ForceModel::non_conservative(double t, const frames::GcrfChain& chain, double omega, const double r[3],
                                  const double v[3], double a[3], double* dadv) const {
    double s[3] = {0, 0, 0};
    if (srp || atmosphere == Atmosphere::harris_priester) bodies->sun_apparent(t, s);
    if (atmosphere != Atmosphere::none) {
        double ri[3], vi[3];
        frames::itrf_from_gcrf_one_epoch(chain, omega, r, v, ri, vi);
        const double h = geodetic_height(ri, ellipsoid_a, ellipsoid_f);
        double rho;
        if (atmosphere == Atmosphere::exponential) {
            rho = rho0 * std::exp(-(h - h0) / scale_height);
        } else {
            // Apex of the diurnal bulge: 30 degrees east of the Sun, at the Sun's declination.
            const double sn = norm(s);
            const double dec = std::asin(s[2] / sn), ra = std::atan2(s[1], s[0]) + 30.0 * M_PI / 180.0;
            const double eb[3] = {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
            const double cos_psi = dot(r, eb) / norm(r);
            rho = harris_priester_density(h, 0.5 * (1.0 + cos_psi), hp_exponent);
        }
        const double un = norm(vi);
        const double k = -0.5 * cd_area_to_mass * rho;
        const double ai[3] = {k * un * vi[0], k * un * vi[1], k * un * vi[2]};
        double ag[3];
        mul_t(chain.q, ai, ag);
        for (int i = 0; i < 3; ++i) a[i] += ag[i];
        if (dadv && un > 0.0) {
            double m[9];
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) m[3 * i + j] = k * ((i == j ? un : 0.0) + vi[i] * vi[j] / un);
            add_rotated(chain.q, m, dadv);
        }
    }
    if (srp) {
        const events::ShadowGeometry g = events::shadow_geometry(r, s, shadow_radius);
        const double nu = events::visible_fraction(g);
        if (nu > 0.0) {
            const double d[3] = {r[0] - s[0], r[1] - s[1], r[2] - s[2]};
            const double dn = norm(d);
            const double f = nu * solar_pressure * cr_area_to_mass * (kAu / dn) * (kAu / dn) / dn;
            for (int i = 0; i < 3; ++i) a[i] += f * d[i];
        }
    }
}

void ForceModel::acceleration(double t, const double r[3], const double v[3], double a[3], double* dadr,
                              double* dadv) const {
    a[0] = a[1] = a[2] = 0.0;
    if (dadr) std::fill(dadr, dadr + 9, 0.0);
    if (dadv) std::fill(dadv, dadv + 9, 0.0);
    frames::GcrfChain chain;
    double omega = 0.0;
    if (needs_rotation()) {
        frames::Instant in;
        window->at(t, in);
        frames::EpochWindow::gcrf_chain(in, chain);
        omega = frames::EpochWindow::rotation_rate(in);
    }
    if (field) {
        double ri[3], ai[3], gi[9];
        mul(chain.q, r, ri);
        field->acceleration(ri, ai, dadr ? gi : nullptr);
        mul_t(chain.q, ai, a);
        if (dadr) add_rotated(chain.q, gi, dadr);
    } else {
        const double rn2 = dot(r, r), rn = std::sqrt(rn2);
        const double f = gm / (rn2 * rn);
        for (int k = 0; k < 3; ++k) a[k] = -f * r[k];
        if (dadr) {
            const double f5 = 3.0 * gm / (rn2 * rn2 * rn);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) dadr[3 * i + j] = f5 * r[i] * r[j] - (i == j ? f : 0.0);
        }
    }
    if (sun || moon) {
        double s[3];
        if (sun) {
            bodies->sun(t, s);
            third_body(gm_sun, s, r, a, dadr);
        }
        if (moon) {
            bodies->moon(t, s);
            third_body(gm_moon, s, r, a, dadr);
        }
    }
    if (atmosphere != Atmosphere::none || srp) {
        non_conservative(t, chain, omega, r, v, a, dadv);
        if (dadr) {
            // Their position partials are small beside gravity's: central differences of 1 m.
            constexpr double kStep = 1.0;
            for (int j = 0; j < 3; ++j) {
                double rp[3] = {r[0], r[1], r[2]}, rm[3] = {r[0], r[1], r[2]};
                rp[j] += kStep;
                rm[j] -= kStep;
                double ap[3] = {0, 0, 0}, am[3] = {0, 0, 0};
                non_conservative(t, chain, omega, rp, v, ap, nullptr);
                non_conservative(t, chain, omega, rm, v, am, nullptr);
                for (int i = 0; i < 3; ++i) dadr[3 * i + j] += (ap[i] - am[i]) / (2.0 * kStep);
            }
        }
    }
}

double ForceModel::shadow_function(int which, double t, const double r[3]) const {
    double s[3];
    bodies->sun_apparent(t, s);
    const events::ShadowGeometry g = events::shadow_geometry(r, s, shadow_radius);
    return which == 0 ? events::penumbra_function(g) : events::umbra_function(g);
}

bool ForceModel::below_surface(double t, const double r[3]) const {
    const double rn = norm(r);
    if (rn < surface_radius) return true;
    if (rn > ellipsoid_a) return false;
    frames::Instant in;
    window->at(t, in);
    frames::GcrfChain chain;
    frames::EpochWindow::gcrf_chain(in, chain);
    double ri[3];
    mul(chain.q, r, ri);
    return geodetic_height(ri, ellipsoid_a, ellipsoid_f) < 0.0;
}

}  // namespace astrovia::numerical

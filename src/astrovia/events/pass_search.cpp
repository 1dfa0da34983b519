// Passes over ground stations and eclipses (see pass_search.hpp).
#include "events/pass_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numbers>
#include <optional>

#include "bodies/sun_moon.hpp"
#include "events/event_search.hpp"
#include "events/shadow.hpp"

namespace astrovia::events {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kSecondsPerDay = 86400.0;
// The finest base grid [s], and the most nodes it may have over a long window.
constexpr double kBaseStep = 30.0;
constexpr double kMaxBaseNodes = 200000.0;
// The Sun's position is tabulated every six hours and interpolated by cubic
// Lagrange polynomials: within 2 m of ERFA's series (1e-11 rad of its
// direction; 1 cm at hourly nodes), which moves a shadow boundary by far
// less than a nanosecond. Each node costs a full evaluation of the series.
constexpr double kSunSpacing = 21600.0;
// The longest step of the shadow and twilight searches along a pass [s].
constexpr double kMaxShadowStep = 600.0;


// The frame chain and SGP4's clock at one instant; the Sun with `with_sun`.
struct Frame {
    double day, minute;       // SGP4's UTC clock
    sgp4::FrameMap itrf;      // TEME to ITRF
    double sun[3];            // the Sun in ITRF [m]
};

class SunTable {
public:
    SunTable(const frames::EpochWindow& w, double t0, double t1) {
        first_ = t0 - 2.0 * kSunSpacing;
        const std::size_t n = static_cast<std::size_t>(std::ceil((t1 + 2.0 * kSunSpacing - first_) / kSunSpacing)) + 1;
        nodes_.resize(3 * std::max<std::size_t>(n, 4));
        for (std::size_t k = 0; k < nodes_.size() / 3; ++k) {
            const double t = first_ + static_cast<double>(k) * kSunSpacing;
            bodies::sun_position_gcrf(w.origin_tt1(), w.origin_tt2() + t / kSecondsPerDay, &nodes_[3 * k]);
        }
    }
    // The Sun in GCRF at t [m].
    void at(double t, double out[3]) const {
        const std::size_t n = nodes_.size() / 3;
        const double x = (t - first_) / kSunSpacing;
        std::ptrdiff_t k = static_cast<std::ptrdiff_t>(std::floor(x)) - 1;
        k = std::clamp<std::ptrdiff_t>(k, 0, static_cast<std::ptrdiff_t>(n) - 4);
        const double u = x - static_cast<double>(k);  // nodes at u = 0, 1, 2, 3
        const double w0 = -(u - 1.0) * (u - 2.0) * (u - 3.0) / 6.0, w1 = u * (u - 2.0) * (u - 3.0) / 2.0,
                     w2 = -u * (u - 1.0) * (u - 3.0) / 2.0, w3 = u * (u - 1.0) * (u - 2.0) / 6.0;
        const double* p = &nodes_[3 * static_cast<std::size_t>(k)];
        for (int c = 0; c < 3; ++c) out[c] = w0 * p[c] + w1 * p[3 + c] + w2 * p[6 + c] + w3 * p[9 + c];
    }

private:
    double first_ = 0.0;
    std::vector<double> nodes_;
};

// The window's instants turned into frames, and a base grid of them.
class Sampler {
public:
    // grid_sun: the base grid's frames carry the Sun. The grid depends on the
    // window alone, so that a satellite's results do not depend on the others
    // searched with it.
    Sampler(const frames::EpochWindow& w, double t0, double t1, bool grid_sun);

    double step() const { return step_; }
    std::size_t size() const { return grid_.size(); }
    double time(std::size_t g) const { return g + 1 == grid_.size() ? t1_ : t0_ + static_cast<double>(g) * step_; }
    const Frame& node(std::size_t g) const { return grid_[g]; }
    bool grid_sun() const { return grid_sun_; }

    // The TEME chain at t, its Earth rotation rate and SGP4's clock.
    void teme_at(double t, frames::Instant& in, frames::TemeChain& teme, double& omega, double& day,
                 double& minute) const {
        w_.at(t, in);
        const double jd[2] = {in.utc_1, in.utc_2};
        sgp4::clock_epochs_from_utc_jd12(reinterpret_cast<const char*>(jd), 2 * sizeof(double), sizeof(double), 1,
                                         &day, &minute);
        frames::EpochWindow::teme_chain(in, false, teme);
        omega = frames::EpochWindow::rotation_rate(in);
    }

    // The Sun in GCRF [m].
    void sun_gcrf(double t, double out[3]) const { sun_.at(t, out); }

    // The rotation from GCRF to TEME at t: (W0 G)^T Q.
    void teme_from_gcrf(double t, double out[3][3]) const {
        frames::Instant in;
        w_.at(t, in);
        frames::TemeChain teme;
        frames::GcrfChain gcrf;
        frames::EpochWindow::teme_chain(in, false, teme);
        frames::EpochWindow::gcrf_chain(in, gcrf);
        double wg[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                wg[i][j] = teme.w0[i][0] * teme.g[0][j] + teme.w0[i][1] * teme.g[1][j] + teme.w0[i][2] * teme.g[2][j];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) out[i][j] = wg[0][i] * gcrf.q[0][j] + wg[1][i] * gcrf.q[1][j] + wg[2][i] * gcrf.q[2][j];
    }

    void frame(double t, Frame& f, bool with_sun) const {
        frames::Instant in;
        frames::TemeChain teme;
        double omega;
        teme_at(t, in, teme, omega, f.day, f.minute);
        sgp4::itrf_map(teme, omega, f.itrf);
        if (with_sun) {
            frames::GcrfChain gcrf;
            frames::EpochWindow::gcrf_chain(in, gcrf);
            double s[3];
            sun_.at(t, s);
            for (int c = 0; c < 3; ++c) f.sun[c] = gcrf.q[c][0] * s[0] + gcrf.q[c][1] * s[1] + gcrf.q[c][2] * s[2];
        } else {
            f.sun[0] = f.sun[1] = f.sun[2] = kNaN;
        }
    }

private:
    const frames::EpochWindow& w_;
    SunTable sun_;
    double t0_, t1_, step_;
    bool grid_sun_;
    std::vector<Frame> grid_;
};

// The frames inside one bracket of a search, from the exact chain at its two
// ends: within a bracket of at most kLinearSpan seconds and one UTC day, the
// Greenwich sidereal angle and SGP4's clock are linear in time to 1e-12 rad and
// 1e-9 s (UT1 is linear between the window's nodes, the quadratic term of
// GMST adds 1e-16 rad, polar motion moves 1e-12 rad). A bracket across a leap
// second, or a long one, takes the exact chain at every instant.
class BracketFrames {
public:
    static constexpr double kLinearSpan = 7200.0;

    BracketFrames(const Sampler& sp, double ta, double tb) : sp_(sp), ta_(ta) {
        frames::Instant in;
        frames::TemeChain a, b;
        double omega_b, day_b, minute_b;
        sp.teme_at(ta, in, a, omega_, day_, minute_);
        sp.teme_at(tb, in, b, omega_b, day_b, minute_b);
        const double dt = tb - ta;
        const double clock = (day_b - day_) * 1440.0 + (minute_b - minute_);  // minutes
        linear_ = dt > 0.0 && dt <= kLinearSpan && std::fabs(clock * 60.0 - dt) <= 1e-6 * dt + 1e-9;
        if (!linear_) return;
        clock_rate_ = clock / dt;
        theta_ = std::atan2(a.g[0][1], a.g[0][0]);
        const double nominal = omega_ * dt;
        const double theta_b = std::atan2(b.g[0][1], b.g[0][0]);
        theta_rate_ = (nominal + std::remainder(theta_b - theta_ - nominal, kTwoPi)) / dt;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) w0_[i][j] = a.w0[i][j];
    }

    void frame(double t, Frame& f) const {
        if (!linear_) {
            sp_.frame(t, f, false);
            return;
        }
        const double x = t - ta_;
        f.day = day_;
        f.minute = minute_ + clock_rate_ * x;
        const double th = theta_ + theta_rate_ * x, c = std::cos(th), s = std::sin(th);
        frames::TemeChain teme;
        const double g[3][3] = {{c, s, 0.0}, {-s, c, 0.0}, {0.0, 0.0, 1.0}};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) teme.g[i][j] = g[i][j], teme.w0[i][j] = w0_[i][j];
        sgp4::itrf_map(teme, omega_, f.itrf);
        f.sun[0] = f.sun[1] = f.sun[2] = kNaN;
    }

private:
    const Sampler& sp_;
    double ta_, day_ = 0.0, minute_ = 0.0, omega_ = 0.0;
    bool linear_ = false;
    double clock_rate_ = 0.0, theta_ = 0.0, theta_rate_ = 0.0;
    double w0_[3][3] = {};
};

// Without the Sun, the grid's frames come from the linear model of the spans
// they fall in (exact chains at the spans' ends only); with it, each node
// takes the exact chains, which the Sun's rotation to ITRF needs anyway.
Sampler::Sampler(const frames::EpochWindow& w, double t0, double t1, bool grid_sun)
    : w_(w), sun_(w, t0, t1), t0_(t0), t1_(t1), grid_sun_(grid_sun) {
    step_ = std::max(kBaseStep, (t1 - t0) / kMaxBaseNodes);
    const std::size_t n = t1 > t0 ? static_cast<std::size_t>(std::ceil((t1 - t0) / step_)) + 1 : 1;
    grid_.resize(n);
    if (grid_sun) {
        const long long nn = static_cast<long long>(n);
#pragma omp parallel for schedule(static)
        for (long long g = 0; g < nn; ++g) frame(time(static_cast<std::size_t>(g)), grid_[g], true);
        return;
    }
    const std::size_t per_span = std::max<std::size_t>(1, static_cast<std::size_t>(BracketFrames::kLinearSpan / step_));
    const long long spans = static_cast<long long>((n - 1 + per_span - 1) / per_span);
    if (spans == 0) frame(time(0), grid_[0], false);
#pragma omp parallel for schedule(static)
    for (long long k = 0; k < spans; ++k) {
        const std::size_t g0 = static_cast<std::size_t>(k) * per_span, g1 = std::min(n - 1, g0 + per_span);
        const BracketFrames bf(*this, time(g0), time(g1));
        // A span's last node is the next span's first: the last span alone writes it.
        const std::size_t last = k + 1 == spans ? g1 : g1 - 1;
        for (std::size_t g = g0; g <= last; ++g) bf.frame(time(g), grid_[g]);
    }
}

// The ITRF state of an element set through a frame; false where SGP4 fails
// (the state is then NaN).
bool itrf_state(const sgp4::BatchRecord& b, const Frame& f, double metres_per_km, sgp4::ResonanceState* cache,
                double r[3], double v[3]) {
    double rk[3], vk[3];
    if (sgp4::propagate(b.rec, sgp4::minutes_since_epoch(b, f.day, f.minute), rk, vk, cache) != 0) {
        for (int c = 0; c < 3; ++c) r[c] = v[c] = kNaN;
        return false;
    }
    double rt[3], vt[3];
    for (int c = 0; c < 3; ++c) rt[c] = rk[c] * metres_per_km, vt[c] = vk[c] * metres_per_km;
    const sgp4::FrameMap& m = f.itrf;
    for (int c = 0; c < 3; ++c) {
        r[c] = m.a[c][0] * rt[0] + m.a[c][1] * rt[1] + m.a[c][2] * rt[2];
        v[c] = (m.a[c][0] * vt[0] + m.a[c][1] * vt[1] + m.a[c][2] * vt[2]) +
               (m.b[c][0] * rt[0] + m.b[c][1] * rt[1] + m.b[c][2] * rt[2]);
    }
    return true;
}

// The linear frames of the last span asked for, reused by every bracket that
// falls inside it: a span runs kLinearSpan seconds from the first bracket that
// needed it (or to the end of the window), so one chain evaluation serves all
// the refinements of a pass and its neighbours. The rotation from GCRF to TEME
// of the span's middle comes with it for the lighting of passes.
class FrameCache {
public:
    FrameCache(const Sampler& sp, double t_end) : sp_(sp), end_(t_end) {}

    const BracketFrames& get(double ta, double tb) {
        if (!(model_ && ta >= lo_ && tb <= hi_)) {
            hi_ = tb - ta <= BracketFrames::kLinearSpan ? std::min(ta + BracketFrames::kLinearSpan, std::max(end_, tb))
                                                        : tb;
            lo_ = ta;
            model_.emplace(sp_, lo_, hi_);
            rotation_ready_ = false;
        }
        return *model_;
    }
    const double (&teme_from_gcrf())[3][3] {
        if (!rotation_ready_) sp_.teme_from_gcrf(0.5 * (lo_ + hi_), rotation_), rotation_ready_ = true;
        return rotation_;
    }

private:
    const Sampler& sp_;
    double end_, lo_ = 0.0, hi_ = -1.0;
    std::optional<BracketFrames> model_;
    double rotation_[3][3] = {};
    bool rotation_ready_ = false;
};

double period_of(const sgp4::BatchRecord& b) {
    const double n = b.rec.no_unkozai;  // rad/min
    return std::isfinite(n) && n > 0.0 ? kTwoPi / n * 60.0 : kSecondsPerDay;
}

// The sampling step of a satellite [s]: the period over `steps_per_period`,
// shortened by the ratio of the mean motion to the angular rate at perigee,
// (1 - e^2)^(3/2) / (1 + e)^2, so that an eccentric orbit is sampled at its
// perigee as finely as a circular one everywhere.
double step_of(const sgp4::BatchRecord& b, double steps_per_period) {
    const double e = std::clamp(b.rec.ecco, 0.0, 0.999);
    return period_of(b) / steps_per_period * std::pow(1.0 - e * e, 1.5) / ((1.0 + e) * (1.0 + e));
}

std::size_t member_at(const Track& tr, double t) {
    std::size_t i = 0;
    while (i + 1 < tr.n && tr.member_start[i + 1] <= t) ++i;
    return i;
}

// How a stretch of samples ends: at the window's edge, where SGP4 stops, or at
// a switch between element sets (where the pieces are joined again).
enum class Edge { cut, joint, root };

// The samples of one element set over its stretch of the window, propagated
// when first needed (a station's search skips the stretches where the
// satellite cannot be above its mask).
struct Run {
    std::size_t member;
    Edge lo, hi;
    std::vector<double> t;
    std::vector<std::ptrdiff_t> node;  // the base grid's node of each sample, or -1
    std::vector<double> r, v, sun;     // ITRF [m], [m/s]; the Sun where the grid has it: 3 per sample
    std::vector<char> state;           // 0 not propagated yet, 1 propagated, 2 SGP4 failed
    sgp4::ResonanceState cache;
};

// The stretches of a track inside [t0, t1], each sampled on the track's step:
// the base grid's nodes where the step is a multiple of the grid's, else a step
// of its own.
std::vector<Run> sample_track(const Track& tr, const Sampler& sp, double t0, double t1, double steps_per_period) {
    std::vector<Run> runs;
    double h = step_of(tr.members[0], steps_per_period);
    for (std::size_t i = 1; i < tr.n; ++i) h = std::min(h, step_of(tr.members[i], steps_per_period));
    const std::size_t stride = static_cast<std::size_t>(std::floor(h / sp.step()));
    for (std::size_t i = 0; i < tr.n; ++i) {
        const double a = i == 0 ? t0 : std::max(t0, tr.member_start[i]);
        const double c = i + 1 == tr.n ? t1 : std::min(t1, tr.member_start[i + 1]);
        if (!(c > a)) continue;
        Run run;
        run.member = i;
        run.lo = a == t0 ? Edge::cut : Edge::joint;
        run.hi = c == t1 ? Edge::cut : Edge::joint;
        auto add = [&](double t, std::ptrdiff_t g) {
            run.t.push_back(t);
            run.node.push_back(g);
        };
        add(a, a == t0 ? 0 : -1);
        if (stride >= 1) {
            const std::size_t last = sp.size() - 1;
            std::size_t g = static_cast<std::size_t>(std::ceil((a - t0) / sp.step()));
            g = (g + stride - 1) / stride * stride;
            for (; g < last; g += stride) {
                const double t = sp.time(g);
                if (t <= a) continue;
                if (t >= c) break;
                add(t, static_cast<std::ptrdiff_t>(g));
            }
        } else {
            const double n = std::ceil((c - a) / h);
            for (double k = 1.0; k < n; k += 1.0) add(a + k * h, -1);
        }
        add(c, c == t1 ? static_cast<std::ptrdiff_t>(sp.size() - 1) : -1);
        const std::size_t n = run.t.size();
        run.r.assign(3 * n, kNaN);
        run.v.assign(3 * n, kNaN);
        run.sun.assign(3 * n, kNaN);
        run.state.assign(n, 0);
        runs.push_back(std::move(run));
    }
    return runs;
}

// Propagates sample i of a run if it has not been yet; true where SGP4 succeeded.
bool ensure(Run& run, const sgp4::BatchRecord& b, const Sampler& sp, double metres_per_km, std::size_t i) {
    if (run.state[i] == 0) {
        Frame local;
        const Frame* f = &local;
        if (run.node[i] >= 0) f = &sp.node(static_cast<std::size_t>(run.node[i]));
        else sp.frame(run.t[i], local, sp.grid_sun());
        const bool ok = itrf_state(b, *f, metres_per_km, &run.cache, &run.r[3 * i], &run.v[3 * i]);
        for (int c = 0; c < 3; ++c) run.sun[3 * i + c] = f->sun[c];
        run.state[i] = ok ? 1 : 2;
    }
    return run.state[i] == 1;
}

// Index ranges [p, q] of consecutive samples where SGP4 succeeded (every sample propagated).
template <class F>
void for_each_good_stretch(const Run& run, F&& f) {
    const std::size_t n = run.t.size();
    std::size_t i = 0;
    while (i < n) {
        if (run.state[i] != 1) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j + 1 < n && run.state[j + 1] == 1) ++j;
        f(i, j, i == 0 ? run.lo : Edge::cut, j + 1 == n ? run.hi : Edge::cut);
        i = j + 1;
    }
}

// Where a satellite can be above a station's mask: within the geocentric angle
// psi_lim of the station's direction, the largest central angle at which a
// body no farther than the satellite's apogee (with a wide margin) stands at
// the mask (cos(mask + psi) = (R / r) cos(mask), R the station's geocentric
// distance). The satellite's direction turns at most at psi_rate [rad/s] in
// the Earth-fixed frame (its angular rate at perigee plus the Earth's), so
// from a direction psi from the station it cannot be above the mask for
// (psi - psi_lim) / psi_rate seconds.
//
// A second bound holds over whole revolutions: the satellite lies in its
// osculating orbital plane, so psi is at least the station's angle beta from
// that plane. In the Earth-fixed frame the plane's normal turns with the
// Earth's rotation (at most w_E moves it) plus the plane's own motion in
// space: the nodal regression under J2 (under 1.2e-6 rad/s in low orbit) and
// the short-periodic wobble of the osculating plane (about 1.5 J2 (R/p)^2 rad
// at twice the orbital rate: under 3e-6 rad/s), the Sun and the Moon far less.
// So beta changes at most at beta_rate = 1.01 w_E + kPlaneRate, and where
// beta > psi_lim the satellite stays out of the cone for
// (beta - psi_lim) / beta_rate seconds: on the revolutions whose ground
// track passes far from the station, hours.
constexpr double kPlaneRate = 1e-5;  // [rad/s]

struct Cone {
    double dir[3];
    double psi_lim, psi_rate, beta_rate;
};

Cone make_cone(const Track& tr, const Site& site) {
    Cone c;
    const double* s = site.at.r;
    const double R = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    for (int k = 0; k < 3; ++k) c.dir[k] = R > 0.0 ? s[k] / R : 0.0;
    double r_max = 0.0, rate = 0.0;
    for (std::size_t i = 0; i < tr.n; ++i) {
        const sgp4::Record& rec = tr.members[i].rec;
        const double e = std::clamp(rec.ecco, 0.0, 0.999);
        const double a = rec.ao_unkozai * rec.gc.radius_km * 1000.0;
        const double n = rec.no_unkozai / 60.0;
        if (!std::isfinite(a) || !std::isfinite(n) || !(a > 0.0) || !(n > 0.0)) {
            c.psi_lim = std::numbers::pi, c.psi_rate = c.beta_rate = 1.0;
            return c;
        }
        // Near the Earth the osculating apogee stays within tens of km of the mean one (drag only
        // lowers it); in deep space the Sun and the Moon change the eccentricity over weeks.
        r_max = std::max(r_max, rec.deep_space ? a * (1.0 + e) * 1.05 + 50e3 : a * (1.0 + e) + 60e3);
        rate = std::max(rate, 1.1 * n * std::sqrt(1.0 + e) / std::pow(1.0 - e, 1.5));
    }
    // The margin covers the tilt of the geodetic vertical from the geocentric one (under 0.2 degrees).
    constexpr double kMargin = 0.01;
    const double el = site.mask - kMargin;
    c.psi_rate = rate + 1.01 * frames::kEarthRotationRate;
    c.beta_rate = 1.01 * frames::kEarthRotationRate + kPlaneRate;
    c.psi_lim = r_max > R ? std::acos(std::clamp(R * std::cos(el) / r_max, -1.0, 1.0)) - el + kMargin
                          : std::numbers::pi;
    return c;
}

struct Node {
    double t, el, az, rate;
    bool peak;
};

// The cubic (Hermite) through values y0, y1 and slopes d0, d1 [per unit of s]
// at s = 0 and 1: p(s) and p'(s).
struct Hermite {
    double y0, y1, d0, d1;
    double value(double s) const {
        const double s2 = s * s, s3 = s2 * s;
        return (2 * s3 - 3 * s2 + 1) * y0 + (s3 - 2 * s2 + s) * d0 + (-2 * s3 + 3 * s2) * y1 + (s3 - s2) * d1;
    }
    double slope(double s) const {
        const double s2 = s * s;
        return (6 * s2 - 6 * s) * y0 + (3 * s2 - 4 * s + 1) * d0 + (-6 * s2 + 6 * s) * y1 + (3 * s2 - 2 * s) * d1;
    }
};

// A zero of g on [0, 1] where g(0) and g(1) differ in sign, by bisection (the
// first guess of a refinement: the model is not evaluated).
template <class G>
double bisect_unit(G&& g) {
    double lo = 0.0, hi = 1.0;
    const bool neg_lo = g(0.0) < 0.0;
    for (int k = 0; k < 40; ++k) {
        const double mid = 0.5 * (lo + hi);
        ((g(mid) < 0.0) == neg_lo ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

// The satellite between two samples: the quintic Hermite polynomial through
// the ITRF position, velocity and acceleration at both ends. SGP4 gives the
// position and velocity; the acceleration is the point mass and J2 term of
// the record's gravity field with the rotating frame's Coriolis and
// centrifugal terms, a_ITRF = g(r) - 2 w x v - w x (w x r). The error of the
// interpolant is h^6 / 46080 times the sixth derivative of the position (about
// n^6 a for an orbit of mean motion n and semi-major axis a): 35 m in low
// orbit on an 8th of the period (half a metre on a 16th), plus what the J2
// acceleration leaves out (drag, the higher zonal terms: 1e-5 of it,
// millimetres over a step). It
// gives the first guesses and the slopes of every refinement, and the
// satellite's position for the lighting of a pass; every rise, set and
// culmination is then polished on SGP4 itself.
struct Arc {
    double t0 = 0.0, h = 1.0;
    double c[6][3] = {};  // p(s) = sum c[k] s^k, s = (t - t0) / h

    void at(double t, double r[3], double v[3]) const {
        const double s = (t - t0) / h;
        for (int k = 0; k < 3; ++k) {
            r[k] = ((((c[5][k] * s + c[4][k]) * s + c[3][k]) * s + c[2][k]) * s + c[1][k]) * s + c[0][k];
            v[k] = ((((5.0 * c[5][k] * s + 4.0 * c[4][k]) * s + 3.0 * c[3][k]) * s + 2.0 * c[2][k]) * s + c[1][k]) / h;
        }
    }
};

void itrf_acceleration(const sgp4::Record& rec, double metres_per_km, const double r[3], const double v[3],
                       double a[3]) {
    const double w = frames::kEarthRotationRate;
    const double mu = rec.gc.mu * metres_per_km * metres_per_km * metres_per_km;
    sgp4::j2_acceleration(mu, rec.gc.radius_km * metres_per_km, rec.gc.j2, r, a);
    a[0] += 2.0 * w * v[1] + w * w * r[0];
    a[1] += -2.0 * w * v[0] + w * w * r[1];
}

// The quintic with p(0) = r0, p'(0) = h v0, p''(0) = h^2 a0 and the same of
// r1, v1, a1 at s = 1.
Arc make_arc(double t0, const double r0[3], const double v0[3], const double a0[3], double t1, const double r1[3],
             const double v1[3], const double a1[3]) {
    Arc arc;
    arc.t0 = t0;
    arc.h = t1 - t0;
    const double h = arc.h;
    for (int k = 0; k < 3; ++k) {
        const double c0 = r0[k], c1 = h * v0[k], c2 = 0.5 * h * h * a0[k];
        const double A = r1[k] - c0 - c1 - c2, B = h * v1[k] - c1 - 2.0 * c2, C = h * h * a1[k] - 2.0 * c2;
        arc.c[0][k] = c0, arc.c[1][k] = c1, arc.c[2][k] = c2;
        arc.c[3][k] = 10.0 * A - 4.0 * B + 0.5 * C;
        arc.c[4][k] = -15.0 * A + 7.0 * B - C;
        arc.c[5][k] = 6.0 * A - 3.0 * B + 0.5 * C;
    }
    return arc;
}

// A Newton step shorter than this [s] ends the polishing of a culmination: the
// slope comes from the interpolant, within a small fraction (kSlopeError) of
// the model's, and the step's error is that fraction of the step.
constexpr double kSlopeError = 1e-3;
// The half-width of the central difference of the interpolant's rates [s].
constexpr double kSlopeDelta = 0.05;
// Newton steps on the model before a refinement falls back to a bracketing method.
constexpr int kPolishSteps = 4;

// The first (k = 0) or the second (k = 1) of the two values f(x, a, b) gives, as a function of x.
template <class F>
auto one_of(F& f, int k) {
    return [&f, k](double x) {
        double a, b;
        f(x, a, b);
        return k == 0 ? a : b;
    };
}

// The azimuth moved on by da, kept in [0, 2 pi).
double turn(double az, double da) {
    double x = std::fmod(az + da, kTwoPi);
    if (x < 0.0) x += kTwoPi;
    return x >= kTwoPi ? 0.0 : x;
}

// Whether the satellite is in sunlight at some moment of [a, b], and sunlit
// while the Sun is low enough at the site; position(t, r) gives its ITRF
// position (false where there is none); h: the sampling step [s].
template <class Position>
void lighting(Position&& position, const Site& site, double a, double b, double h, const Sampler& sp,
              const SearchSettings& st, FrameCache& frames, bool& sunlit, bool& visible) {
    sunlit = visible = false;
    // Over a pass of at most BracketFrames::kLinearSpan the Sun is carried to
    // TEME with one matrix, the chain of the middle of the frames' span (within
    // an hour of it precession and nutation move it by 3e-8 rad, shifting a
    // shadow boundary by tens of microseconds), then to ITRF with the frames'
    // linear model.
    const bool short_pass = b - a <= BracketFrames::kLinearSpan;
    const BracketFrames& bf = frames.get(a, b);
    double teme_from_gcrf[3][3] = {};
    if (short_pass) {
        const double (&m)[3][3] = frames.teme_from_gcrf();
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) teme_from_gcrf[i][j] = m[i][j];
    }
    auto values = [&](double t, double& lit, double& dark) {
        Frame f;
        double sun_itrf[3], r_itrf[3];
        if (!position(t, r_itrf)) {
            lit = dark = kNaN;
            return;
        }
        if (short_pass) {
            bf.frame(t, f);
            double sun_gcrf[3], sun[3];
            sp.sun_gcrf(t, sun_gcrf);
            for (int c = 0; c < 3; ++c) {
                sun[c] = teme_from_gcrf[c][0] * sun_gcrf[0] + teme_from_gcrf[c][1] * sun_gcrf[1] +
                         teme_from_gcrf[c][2] * sun_gcrf[2];
            }
            for (int c = 0; c < 3; ++c) {
                sun_itrf[c] = f.itrf.a[c][0] * sun[0] + f.itrf.a[c][1] * sun[1] + f.itrf.a[c][2] * sun[2];
            }
        } else {
            sp.frame(t, f, true);
            for (int c = 0; c < 3; ++c) sun_itrf[c] = f.sun[c];
        }
        lit = sun_centre_function(shadow_geometry(r_itrf, sun_itrf, st.earth_radius));
        dark = st.sun_limit - groundstation::elevation(site.at, sun_itrf);
    };
    h = std::min(kMaxShadowStep, h);
    const std::size_t n = std::max<std::size_t>(2, static_cast<std::size_t>(std::ceil((b - a) / h)) + 1);
    std::vector<double> t(n), lit(n), dark(n);
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = i + 1 == n ? b : a + (b - a) * static_cast<double>(i) / static_cast<double>(n - 1);
        values(t[i], lit[i], dark[i]);
    }
    std::vector<double> events{a, b};
    auto lit_at = one_of(values, 0);
    auto dark_at = one_of(values, 1);
    // The roots only split the pass into pieces of constant lighting: a millisecond will do.
    constexpr double kLightingTolerance = 1e-3;
    find_roots_sampled(lit_at, t.data(), lit.data(), n, kLightingTolerance,
                       [&](double x, bool, std::size_t) { events.push_back(x), sunlit = true; });
    find_roots_sampled(dark_at, t.data(), dark.data(), n, kLightingTolerance,
                       [&](double x, bool, std::size_t) { events.push_back(x); });
    for (std::size_t i = 0; i < n; ++i) {
        if (lit[i] > 0.0) sunlit = true;
        if (lit[i] > 0.0 && dark[i] >= 0.0) visible = true;
    }
    if (visible || !sunlit) return;
    std::sort(events.begin(), events.end());
    for (std::size_t i = 0; i + 1 < events.size() && !visible; ++i) {
        if (!(events[i + 1] > events[i])) continue;
        double l, d;
        values(0.5 * (events[i] + events[i + 1]), l, d);
        visible = l > 0.0 && d >= 0.0;
    }
}

struct RawPass {
    double rise, set, rise_az, set_az;
    Node culmination;
    Edge rise_edge, set_edge;
    bool sunlit, visible;
};

// The passes over one site of one stretch of samples: idx, the samples
// visited in order; safe[k], the bracket from idx[k] to idx[k + 1] lies where
// the satellite cannot reach the mask (its extrema do not matter there).
void passes_of_stretch(const Run& run, const std::vector<std::size_t>& idx, const std::vector<char>& safe, Edge lo,
                       Edge hi, const Site& site, const sgp4::BatchRecord& b, const Sampler& sp,
                       const SearchSettings& st, FrameCache& frames, FrameCache& light_frames,
                       std::vector<RawPass>& out) {
    using groundstation::Look;
    const double mask = site.mask;
    const std::size_t n = idx.size();
    std::vector<Look> L(n);
    std::vector<double> t(n);
    for (std::size_t k = 0; k < n; ++k) {
        L[k] = groundstation::look(site.at, &run.r[3 * idx[k]], &run.v[3 * idx[k]]);
        t[k] = run.t[idx[k]];
    }
    sgp4::ResonanceState cache;
    // The model's look at t through the frames of a bracket; false where SGP4 fails.
    auto model_look = [&](const BracketFrames& bf, double x, Look& out_look) {
        Frame f;
        bf.frame(x, f);
        double r[3], v[3];
        if (!itrf_state(b, f, st.metres_per_km, &cache, r, v)) return false;
        out_look = groundstation::look(site.at, r, v);
        return true;
    };
    // The interpolants of the brackets, made when first needed.
    std::vector<Arc> arcs(n > 1 ? n - 1 : 0);
    std::vector<char> arc_ready(arcs.size(), 0);
    auto arc_of = [&](std::size_t k) -> const Arc& {
        if (!arc_ready[k]) {
            const double *r0 = &run.r[3 * idx[k]], *v0 = &run.v[3 * idx[k]];
            const double *r1 = &run.r[3 * idx[k + 1]], *v1 = &run.v[3 * idx[k + 1]];
            double a0[3], a1[3];
            itrf_acceleration(b.rec, st.metres_per_km, r0, v0, a0);
            itrf_acceleration(b.rec, st.metres_per_km, r1, v1, a1);
            arcs[k] = make_arc(t[k], r0, v0, a0, t[k + 1], r1, v1, a1);
            arc_ready[k] = 1;
        }
        return arcs[k];
    };
    // The interpolant's elevation rate [rad/s] and the sine of its elevation
    // (whose crossings of the mask's sine are the elevation's: no arctangent).
    auto arc_rate = [&](const Arc& arc, double x) {
        double r[3], v[3];
        arc.at(x, r, v);
        const groundstation::Topocentric q = groundstation::topocentric(site.at, r, v);
        const double hz2 = q.e * q.e + q.n * q.n, hz = std::sqrt(hz2);
        return hz > 0.0 ? (q.du * hz - q.u * (q.e * q.de + q.n * q.dn) / hz) / (hz2 + q.u * q.u) : 0.0;
    };
    auto arc_sine = [&](const Arc& arc, double x) {
        double r[3], v[3];
        arc.at(x, r, v);
        const groundstation::Topocentric q = groundstation::topocentric(site.at, r, nullptr);
        return q.u / std::sqrt(q.e * q.e + q.n * q.n + q.u * q.u);
    };
    // d(rate)/dt of the interpolant [rad/s^2].
    auto arc_slope = [&](const Arc& arc, double x) {
        return (arc_rate(arc, x + kSlopeDelta) - arc_rate(arc, x - kSlopeDelta)) / (2.0 * kSlopeDelta);
    };
    // The bracket k with t[k] <= x <= t[k + 1].
    auto bracket_at = [&](double x) {
        const std::size_t k = static_cast<std::size_t>(std::upper_bound(t.begin(), t.end(), x) - t.begin());
        return std::min(k == 0 ? 0 : k - 1, n - 2);
    };

    // A culmination (or a minimum) in bracket k: the rate's zero on the
    // interpolant, polished by Newton's method on the model's rate with the
    // interpolant's slope. Where that does not settle, the bracketing method:
    // Brent's on the model's rate from the Hermite cubic's extremum.
    auto extremum = [&](std::size_t k, Look& at) {
        const double ta = t[k], tb = t[k + 1];
        const BracketFrames& bf = frames.get(ta, tb);
        const Arc& arc = arc_of(k);
        const double guess = refine_sign_change([&](double x) { return arc_rate(arc, x); }, ta,
                                                L[k].elevation_rate, tb, L[k + 1].elevation_rate, st.tolerance);
        double x = guess;
        for (int it = 0; it < kPolishSteps; ++it) {
            Look m;
            const double slope = arc_slope(arc, x);
            if (!model_look(bf, x, m) || !(std::fabs(slope) > 0.0)) break;
            const double dx = m.elevation_rate / slope;
            const double root = x - dx;
            if (!(root >= ta && root <= tb)) break;
            if (std::fabs(dx) * kSlopeError <= st.tolerance) {
                // The look at the root from the look at x: el(x - dx) = el - rate dx + slope dx^2 / 2.
                at = m;
                at.elevation = m.elevation - 0.5 * m.elevation_rate * dx;
                at.azimuth = turn(m.azimuth, -m.azimuth_rate * dx);
                at.elevation_rate = 0.0;
                return root;
            }
            x = root;
        }
        auto rate_at = [&](double x) {
            Look m;
            return model_look(bf, x, m) ? m.elevation_rate : kNaN;
        };
        const double h = tb - ta;
        const Hermite cubic{L[k].elevation, L[k + 1].elevation, L[k].elevation_rate * h, L[k + 1].elevation_rate * h};
        const double start = ta + h * bisect_unit([&](double u) { return cubic.slope(u); });
        double lo_t = ta, flo = L[k].elevation_rate, hi_t = tb, fhi = L[k + 1].elevation_rate;
        const double delta = std::fmin(2.0, 0.25 * h);
        const double g0 = std::fmax(ta, start - delta), g1 = std::fmin(tb, start + delta);
        const double r0 = g0 > ta ? rate_at(g0) : flo;
        if ((r0 < 0.0) == (flo < 0.0)) {  // the zero is after g0
            const double a_rate = flo;
            lo_t = g0, flo = r0;
            const double r1 = g1 < tb ? rate_at(g1) : fhi;
            if ((r1 < 0.0) != (a_rate < 0.0)) hi_t = g1, fhi = r1;
            else lo_t = g1, flo = r1;
        } else {
            hi_t = g0, fhi = r0;
        }
        const double root = refine_sign_change(rate_at, lo_t, flo, hi_t, fhi, st.tolerance);
        if (!model_look(bf, root, at)) at = Look{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
        return root;
    };
    // A crossing of the mask between two nodes (the elevation monotonic
    // between them, both inside one bracket): the zero on the interpolant,
    // polished by Newton's method on the model's elevation and rate until
    // the step's own error, half the elevation's curvature over its rate
    // times the step squared, is below the tolerance; where that does not
    // settle, Newton's method kept inside the bracket.
    auto crossing = [&](const Node& A, const Node& B, Look& at) {
        const BracketFrames& bf = frames.get(A.t, B.t);
        const Arc& arc = arc_of(bracket_at(0.5 * (A.t + B.t)));
        const double sin_mask = std::sin(mask);
        const double guess = refine_sign_change([&](double x) { return arc_sine(arc, x) - sin_mask; }, A.t,
                                                A.el - mask, B.t, B.el - mask, st.tolerance);
        const double lo_t = std::fmin(A.t, B.t), hi_t = std::fmax(A.t, B.t);
        double x = guess;
        for (int it = 0; it < kPolishSteps; ++it) {
            Look m;
            if (!model_look(bf, x, m) || !(std::fabs(m.elevation_rate) > 0.0)) break;
            const double dx = (m.elevation - mask) / m.elevation_rate;
            const double root = x - dx;
            if (!(root >= lo_t && root <= hi_t)) break;
            const double curvature = std::fabs(arc_slope(arc, x) / m.elevation_rate);
            if (0.5 * curvature * dx * dx <= st.tolerance) {
                at = m;
                at.elevation = mask;
                at.azimuth = turn(m.azimuth, -m.azimuth_rate * dx);
                return root;
            }
            x = root;
        }
        auto fdf = [&](double x, double& f, double& df) {
            Look m;
            if (!model_look(bf, x, m)) {
                f = df = kNaN;
                return;
            }
            f = m.elevation - mask;
            df = m.elevation_rate;
            if (f == 0.0) f = std::numeric_limits<double>::min();  // the mask itself counts as above
        };
        const double root = refine_root_newton(fdf, A.t, A.el - mask, B.t, B.el - mask, guess, st.tolerance);
        if (!model_look(bf, root, at)) at = Look{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
        return root;
    };
    // The satellite's ITRF position for the lighting: the interpolant of its
    // bracket, or the model where the bracket has none (a skipped one).
    auto position = [&](double x, double r[3]) {
        const std::size_t k = bracket_at(x);
        if (!safe[k]) {
            double v[3];
            arc_of(k).at(x, r, v);
            return true;
        }
        Frame f;
        sp.frame(x, f, false);
        double v[3];
        return itrf_state(b, f, st.metres_per_km, &cache, r, v);
    };
    const double step = n > 1 ? t[1] - t[0] : 0.0;
    auto finish = [&](RawPass& p) {
        lighting(position, site, p.rise, p.set, std::max(step, 1.0), sp, st, light_frames, p.sunlit, p.visible);
        out.push_back(p);
    };

    std::vector<Node> nodes;
    auto sample = [&](std::size_t i) {
        return Node{t[i], L[i].elevation, L[i].azimuth, L[i].elevation_rate, false};
    };
    nodes.push_back(sample(0));
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (safe[i]) {
            nodes.push_back(sample(i));
            nodes.push_back(sample(i + 1));
            continue;
        }
        const double fa = L[i].elevation_rate, fb = L[i + 1].elevation_rate;
        if ((fa < 0.0) == (fb < 0.0)) continue;
        const bool below = fb >= 0.0 && L[i].elevation < mask && L[i + 1].elevation < mask;
        if (below) {
            // A minimum below the mask: the samples around it bound the monotonic stretches.
            nodes.push_back(sample(i));
            nodes.push_back(sample(i + 1));
            continue;
        }
        Look m;
        const double tm = extremum(i, m);
        nodes.push_back({tm, m.elevation, m.azimuth, 0.0, fb < 0.0});
    }
    nodes.push_back(sample(n - 1));

    auto above = [&](const Node& x) { return x.el >= mask; };
    RawPass cur{};
    bool in = above(nodes[0]);
    if (in) cur = {nodes[0].t, kNaN, nodes[0].az, kNaN, nodes[0], lo, Edge::root, false, false};
    for (std::size_t j = 0; j + 1 < nodes.size(); ++j) {
        const Node &a = nodes[j], &c = nodes[j + 1];
        if (above(a) != above(c) && std::isfinite(a.el) && std::isfinite(c.el)) {
            Look x;
            const double tr = crossing(a, c, x);
            if (!above(a)) {
                in = true;
                cur = {tr,         kNaN,       x.azimuth, kNaN, {tr, x.elevation, x.azimuth, x.elevation_rate, false},
                       Edge::root, Edge::root, false,     false};
            } else if (in) {
                cur.set = tr;
                cur.set_az = x.azimuth;
                cur.set_edge = Edge::root;
                finish(cur);
                in = false;
            }
        }
        if (in && c.peak && c.el > cur.culmination.el) cur.culmination = c;
    }
    if (in) {
        const Node& e = nodes.back();
        cur.set = e.t;
        cur.set_az = e.az;
        cur.set_edge = hi;
        if (e.el > cur.culmination.el) cur.culmination = e;
        finish(cur);
    }
}

// The passes of one run over one site: the samples are visited in order,
// skipping ahead while the satellite stays outside the site's cone; a sample
// where SGP4 fails cuts the run.
void passes_of_run(Run& run, const sgp4::BatchRecord& b, const Site& site, const Cone& cone, const Sampler& sp,
                   const SearchSettings& st, FrameCache& frames, FrameCache& light_frames, std::vector<RawPass>& out) {
    const std::size_t n = run.t.size();
    std::vector<std::size_t> idx;
    std::vector<char> safe;
    Edge lo = run.lo;
    auto flush = [&](Edge hi) {
        if (idx.size() >= 2) {
            safe.resize(idx.size(), 0);
            passes_of_stretch(run, idx, safe, lo, hi, site, b, sp, st, frames, light_frames, out);
        }
        idx.clear();
        safe.clear();
    };
    // The time [s] the satellite needs at least to come from sample i into the cone (negative inside it).
    auto room_at = [&](std::size_t i) {
        const double* r = &run.r[3 * i];
        const double rn = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
        const double cos_psi = (r[0] * cone.dir[0] + r[1] * cone.dir[1] + r[2] * cone.dir[2]) / rn;
        const double by_psi = (std::acos(std::clamp(cos_psi, -1.0, 1.0)) - cone.psi_lim) / cone.psi_rate;
        // The plane's normal r x (v + w x r), in space's velocity, Earth-fixed axes.
        const double* v = &run.v[3 * i];
        const double w = frames::kEarthRotationRate;
        const double u[3] = {v[0] - w * r[1], v[1] + w * r[0], v[2]};
        const double h[3] = {r[1] * u[2] - r[2] * u[1], r[2] * u[0] - r[0] * u[2], r[0] * u[1] - r[1] * u[0]};
        const double hn = std::sqrt(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]);
        if (!(hn > 0.0)) return by_psi;
        const double sin_beta = (h[0] * cone.dir[0] + h[1] * cone.dir[1] + h[2] * cone.dir[2]) / hn;
        const double by_plane = (std::asin(std::min(1.0, std::fabs(sin_beta))) - cone.psi_lim) / cone.beta_rate;
        return std::max(by_psi, by_plane);
    };
    std::size_t i = 0;
    double room = 0.0;
    bool known = false;  // room holds sample i's
    while (i < n) {
        if (!ensure(run, b, sp, st.metres_per_km, i)) {
            flush(Edge::cut);
            lo = Edge::cut;
            ++i;
            known = false;
            continue;
        }
        idx.push_back(i);
        if (i + 1 == n) break;
        if (!known) room = room_at(i);
        std::size_t next = i + 1;
        if (run.t[next] - run.t[i] <= room) {
            while (next + 1 < n && run.t[next + 1] - run.t[i] <= room) ++next;
            safe.push_back(1);
            known = false;
        } else {
            // Nor can it enter between two samples outside the cone whose times to it add up to
            // more than the time between them.
            const bool next_ok = ensure(run, b, sp, st.metres_per_km, next);
            const double room_next = next_ok ? room_at(next) : -1.0;
            safe.push_back(room > 0.0 && room_next > 0.0 && room + room_next > run.t[next] - run.t[i] ? 1 : 0);
            room = room_next;
            known = next_ok;
        }
        i = next;
    }
    flush(run.hi);
}

// Appends a piece, joining it to the previous one where both meet at a switch of element sets.
void append_joined(std::vector<RawPass>& passes, const RawPass& p) {
    if (!passes.empty()) {
        RawPass& last = passes.back();
        if (last.set_edge == Edge::joint && p.rise_edge == Edge::joint && last.set == p.rise) {
            last.set = p.set;
            last.set_az = p.set_az;
            last.set_edge = p.set_edge;
            if (p.culmination.el > last.culmination.el) last.culmination = p.culmination;
            last.sunlit = last.sunlit || p.sunlit;
            last.visible = last.visible || p.visible;
            return;
        }
    }
    passes.push_back(p);
}

// one(i, out) for every track i on all OpenMP threads, each into a list of its
// own, the lists joined in track order. No exception leaves the parallel
// region: a failure (of memory) is raised again after it.
template <class T, class One>
std::vector<T> each_track(std::size_t m, One&& one) {
    std::vector<std::vector<T>> lists(m);
    bool failed = false;
    const long long mm = static_cast<long long>(m);
#pragma omp parallel for schedule(dynamic, 1)
    for (long long i = 0; i < mm; ++i) {
        try {
            one(static_cast<std::size_t>(i), lists[static_cast<std::size_t>(i)]);
        } catch (...) {
#pragma omp critical(astrovia_pass_search_failure)
            failed = true;
        }
    }
    if (failed) throw std::bad_alloc();
    std::vector<T> all;
    for (auto& v : lists) all.insert(all.end(), v.begin(), v.end());
    return all;
}

}  // namespace

std::vector<Pass> search_passes(const frames::EpochWindow& window, double t0, double t1, const Track* tracks,
                                std::size_t m, const Site* sites, std::size_t k, const SearchSettings& settings) {
    if (!(t1 > t0)) return {};
    const Sampler sp(window, t0, t1, false);
    return each_track<Pass>(m, [&](std::size_t i, std::vector<Pass>& out) {
        const Track& tr = tracks[i];
        std::vector<Run> runs = sample_track(tr, sp, t0, t1, settings.pass_steps_per_period);
        for (std::size_t s = 0; s < k; ++s) {
            std::vector<RawPass> joined, pieces;
            const Cone cone = make_cone(tr, sites[s]);
            FrameCache frames(sp, t1), light_frames(sp, t1);
            for (Run& run : runs) {
                pieces.clear();
                passes_of_run(run, tr.members[run.member], sites[s], cone, sp, settings, frames, light_frames, pieces);
                for (const RawPass& rp : pieces) append_joined(joined, rp);
            }
            for (const RawPass& rp : joined) {
                Pass p;
                p.track = static_cast<std::uint32_t>(i);
                p.site = static_cast<std::uint32_t>(s);
                p.rise = rp.rise;
                p.set = rp.set;
                p.culmination = rp.culmination.t;
                p.rise_azimuth = rp.rise_az;
                p.set_azimuth = rp.set_az;
                p.culmination_azimuth = rp.culmination.az;
                p.max_elevation = rp.culmination.el;
                p.cut_rise = rp.rise_edge == Edge::cut;
                p.cut_set = rp.set_edge == Edge::cut;
                p.sunlit = rp.sunlit;
                p.visible = rp.visible;
                out.push_back(p);
            }
        }
    });
}

std::vector<Eclipse> search_eclipses(const frames::EpochWindow& window, double t0, double t1, const Track* tracks,
                                     std::size_t m, const SearchSettings& settings) {
    if (!(t1 > t0)) return {};
    const Sampler sp(window, t0, t1, true);
    return each_track<Eclipse>(m, [&](std::size_t i, std::vector<Eclipse>& out) {
        const Track& tr = tracks[i];
        std::vector<Run> runs = sample_track(tr, sp, t0, t1, settings.steps_per_period);
        for (Run& run : runs) {
            for (std::size_t j = 0; j < run.t.size(); ++j) {
                ensure(run, tr.members[run.member], sp, settings.metres_per_km, j);
            }
        }
        // kind: 0 sunlit, 1 penumbra, 2 umbra; an interval open since `since` with `open_edge`.
        int kind = 0;
        double since = kNaN;
        bool joint_open = false;
        auto close = [&](double t) {
            if (kind != 0) out.push_back({static_cast<std::uint32_t>(i), kind == 2, since, t});
        };
        for (const Run& run : runs) {
            const sgp4::BatchRecord& b = tr.members[run.member];
            auto shadow_at = [&](double t, double& pen, double& umb) {
                Frame f;
                sp.frame(t, f, true);
                double r[3], v[3];
                if (!itrf_state(b, f, settings.metres_per_km, nullptr, r, v)) {
                    pen = umb = kNaN;
                    return;
                }
                const ShadowGeometry g = shadow_geometry(r, f.sun, settings.earth_radius);
                pen = penumbra_function(g);
                umb = umbra_function(g);
            };
            for_each_good_stretch(run, [&](std::size_t p, std::size_t q, Edge lo, Edge hi) {
                const std::size_t n = q - p + 1;
                const double* t = &run.t[p];
                std::vector<double> pen(n), umb(n);
                for (std::size_t j = 0; j < n; ++j) {
                    const ShadowGeometry g =
                        shadow_geometry(&run.r[3 * (p + j)], &run.sun[3 * (p + j)], settings.earth_radius);
                    pen[j] = penumbra_function(g);
                    umb[j] = umbra_function(g);
                }
                struct Change {
                    double t;
                    bool umbra, entering;
                };
                std::vector<Change> changes;
                auto pen_at = one_of(shadow_at, 0);
                auto umb_at = one_of(shadow_at, 1);
                find_roots_sampled(pen_at, t, pen.data(), n, settings.tolerance,
                                   [&](double x, bool rising, std::size_t) { changes.push_back({x, false, !rising}); });
                find_roots_sampled(umb_at, t, umb.data(), n, settings.tolerance,
                                   [&](double x, bool rising, std::size_t) { changes.push_back({x, true, !rising}); });
                std::stable_sort(changes.begin(), changes.end(),
                                 [](const Change& a, const Change& c) { return a.t < c.t; });
                bool in_pen = pen[0] < 0.0, in_umb = umb[0] < 0.0;
                const int first = in_umb ? 2 : in_pen ? 1 : 0;
                // A stretch that starts at a switch of element sets continues the interval open before it.
                if (!(lo == Edge::joint && joint_open && first == kind)) {
                    close(t[0]);
                    kind = first;
                    since = t[0];
                }
                for (const Change& c : changes) {
                    (c.umbra ? in_umb : in_pen) = c.entering;
                    const int now = in_umb ? 2 : in_pen ? 1 : 0;
                    if (now == kind) continue;
                    close(c.t);
                    kind = now;
                    since = c.t;
                }
                joint_open = hi == Edge::joint;
                if (!joint_open) {
                    close(t[n - 1]);
                    kind = 0;
                }
            });
        }
        close(t1);
    });
}

}  // namespace astrovia::events

// Passes over ground stations and eclipses (see pass_search.hpp).
#include "events/pass_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numbers>

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
// The Sun's position is tabulated hourly and interpolated by cubic Lagrange
// polynomials: over an hour the geocentric Sun moves 0.04 degrees, and the
// interpolation error is below a micrometre.
constexpr double kSunSpacing = 3600.0;
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
    // grid_sun: the base grid's frames carry the Sun.
    Sampler(const frames::EpochWindow& w, double t0, double t1, bool grid_sun)
        : w_(w), sun_(w, t0, t1), t0_(t0), t1_(t1), grid_sun_(grid_sun) {
        step_ = std::max(kBaseStep, (t1 - t0) / kMaxBaseNodes);
        const std::size_t n = t1 > t0 ? static_cast<std::size_t>(std::ceil((t1 - t0) / step_)) + 1 : 1;
        grid_.resize(n);
        const long long nn = static_cast<long long>(n);
#pragma omp parallel for schedule(static)
        for (long long g = 0; g < nn; ++g) frame(time(static_cast<std::size_t>(g)), grid_[g], grid_sun);
    }

    double step() const { return step_; }
    std::size_t size() const { return grid_.size(); }
    double time(std::size_t g) const { return g + 1 == grid_.size() ? t1_ : t0_ + static_cast<double>(g) * step_; }
    const Frame& node(std::size_t g) const { return grid_[g]; }
    bool grid_sun() const { return grid_sun_; }

    void frame(double t, Frame& f, bool with_sun) const {
        frames::Instant in;
        w_.at(t, in);
        const double jd[2] = {in.utc_1, in.utc_2};
        sgp4::clock_epochs_from_utc_jd12(reinterpret_cast<const char*>(jd), 2 * sizeof(double), sizeof(double), 1,
                                         &f.day, &f.minute);
        frames::TemeChain teme;
        frames::EpochWindow::teme_chain(in, false, teme);
        sgp4::itrf_map(teme, frames::EpochWindow::rotation_rate(in), f.itrf);
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

// The ITRF state of an element set through a frame; false where SGP4 fails.
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

// Azimuth, elevation and its rate [rad/s].
struct Look {
    double azimuth, elevation, rate;
};

Look look(const Site& s, const double r[3], const double v[3]) {
    const groundstation::Look L = groundstation::look(s.at, r, v);
    return {L.azimuth, L.elevation, L.elevation_rate};
}

double period_of(const sgp4::BatchRecord& b) {
    const double n = b.rec.no_unkozai;  // rad/min
    return std::isfinite(n) && n > 0.0 ? kTwoPi / n * 60.0 : kSecondsPerDay;
}

std::size_t member_at(const Track& tr, double t) {
    std::size_t i = 0;
    while (i + 1 < tr.n && tr.member_start[i + 1] <= t) ++i;
    return i;
}

// How a stretch of samples ends: at the window's edge, where SGP4 stops, or at
// a switch between element sets (where the pieces are joined again).
enum class Edge { cut, joint, root };

// The samples of one element set over its stretch of the window.
struct Run {
    std::size_t member;
    Edge lo, hi;
    std::vector<double> t, r, v, sun;  // r, v, sun (in ITRF, with a grid that has it): 3 per sample
    std::vector<char> ok;
};

// The stretches of a track inside [t0, t1], each sampled on the track's step:
// the base grid's nodes where the step is a multiple of the grid's, else a step
// of its own.
std::vector<Run> sample_track(const Track& tr, const Sampler& sp, double t0, double t1, double metres_per_km,
                              double steps_per_period) {
    std::vector<Run> runs;
    const double h = period_of(tr.members[0]) / steps_per_period;
    const std::size_t stride = static_cast<std::size_t>(std::floor(h / sp.step()));
    for (std::size_t i = 0; i < tr.n; ++i) {
        const double a = i == 0 ? t0 : std::max(t0, tr.member_start[i]);
        const double c = i + 1 == tr.n ? t1 : std::min(t1, tr.member_start[i + 1]);
        if (!(c > a)) continue;
        Run run;
        run.member = i;
        run.lo = a == t0 ? Edge::cut : Edge::joint;
        run.hi = c == t1 ? Edge::cut : Edge::joint;
        const sgp4::BatchRecord& b = tr.members[i];
        sgp4::ResonanceState cache;
        auto add = [&](double t, const Frame& f) {
            double r[3], v[3];
            const bool ok = itrf_state(b, f, metres_per_km, &cache, r, v);
            run.t.push_back(t);
            run.r.insert(run.r.end(), r, r + 3);
            run.v.insert(run.v.end(), v, v + 3);
            run.sun.insert(run.sun.end(), f.sun, f.sun + 3);
            run.ok.push_back(ok ? 1 : 0);
        };
        Frame f;
        auto add_at = [&](double t) {
            sp.frame(t, f, sp.grid_sun());
            add(t, f);
        };
        if (a == t0) add(a, sp.node(0));
        else add_at(a);
        if (stride >= 1) {
            const std::size_t last = sp.size() - 1;
            std::size_t g = static_cast<std::size_t>(std::ceil((a - t0) / sp.step()));
            g = (g + stride - 1) / stride * stride;
            for (; g < last; g += stride) {
                const double t = sp.time(g);
                if (t <= a) continue;
                if (t >= c) break;
                add(t, sp.node(g));
            }
        } else {
            const double n = std::ceil((c - a) / h);
            for (double k = 1.0; k < n; k += 1.0) add_at(a + k * h);
        }
        if (c == t1) add(c, sp.node(sp.size() - 1));
        else add_at(c);
        runs.push_back(std::move(run));
    }
    return runs;
}

// Index ranges [p, q] of consecutive samples where SGP4 succeeded.
template <class F>
void for_each_good_stretch(const Run& run, F&& f) {
    const std::size_t n = run.t.size();
    std::size_t i = 0;
    while (i < n) {
        if (!run.ok[i]) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j + 1 < n && run.ok[j + 1]) ++j;
        f(i, j, i == 0 ? run.lo : Edge::cut, j + 1 == n ? run.hi : Edge::cut);
        i = j + 1;
    }
}

struct Node {
    double t, el, az;
    bool peak;
};

struct RawPass {
    double rise, set, rise_az, set_az;
    Node culmination;
    Edge rise_edge, set_edge;
};

// The passes of one stretch of samples over one site.
void passes_of_stretch(const Run& run, std::size_t p, std::size_t q, Edge lo, Edge hi, const Site& site,
                       const sgp4::BatchRecord& b, const Sampler& sp, const SearchSettings& st,
                       std::vector<RawPass>& out) {
    const double mask = site.mask;
    sgp4::ResonanceState cache;
    auto look_at = [&](double t) {
        Frame f;
        sp.frame(t, f, false);
        double r[3], v[3];
        if (!itrf_state(b, f, st.metres_per_km, &cache, r, v)) return Look{kNaN, kNaN, kNaN};
        return look(site, r, v);
    };
    const std::size_t n = q - p + 1;
    std::vector<Look> L(n);
    for (std::size_t i = 0; i < n; ++i) L[i] = look(site, &run.r[3 * (p + i)], &run.v[3 * (p + i)]);
    const double* t = &run.t[p];

    std::vector<Node> nodes;
    nodes.push_back({t[0], L[0].elevation, L[0].azimuth, false});
    auto rate_at = [&](double x) { return look_at(x).rate; };
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double fa = L[i].rate, fb = L[i + 1].rate;
        if ((fa < 0.0) == (fb < 0.0)) continue;
        if (fb < 0.0) {  // a maximum
            const double tm = refine_sign_change(rate_at, t[i], fa, t[i + 1], fb, st.tolerance);
            const Look m = look_at(tm);
            nodes.push_back({tm, m.elevation, m.azimuth, true});
        } else if (L[i].elevation < mask && L[i + 1].elevation < mask) {
            // A minimum below the mask: the samples around it bound the monotonic stretches.
            nodes.push_back({t[i], L[i].elevation, L[i].azimuth, false});
            nodes.push_back({t[i + 1], L[i + 1].elevation, L[i + 1].azimuth, false});
        } else {
            const double tm = refine_sign_change(rate_at, t[i], fa, t[i + 1], fb, st.tolerance);
            const Look m = look_at(tm);
            nodes.push_back({tm, m.elevation, m.azimuth, false});
        }
    }
    nodes.push_back({t[n - 1], L[n - 1].elevation, L[n - 1].azimuth, false});

    auto above = [&](const Node& x) { return x.el >= mask; };
    auto height_at = [&](double x) { return look_at(x).elevation - mask; };
    RawPass cur{};
    bool in = above(nodes[0]);
    if (in) cur = {nodes[0].t, kNaN, nodes[0].az, kNaN, nodes[0], lo, Edge::root};
    for (std::size_t j = 0; j + 1 < nodes.size(); ++j) {
        const Node &a = nodes[j], &c = nodes[j + 1];
        if (above(a) != above(c) && std::isfinite(a.el) && std::isfinite(c.el)) {
            const double tr = refine_sign_change(height_at, a.t, a.el - mask, c.t, c.el - mask, st.tolerance);
            const Look x = look_at(tr);
            if (!above(a)) {
                in = true;
                cur = {tr, kNaN, x.azimuth, kNaN, {tr, x.elevation, x.azimuth, false}, Edge::root, Edge::root};
            } else if (in) {
                cur.set = tr;
                cur.set_az = x.azimuth;
                cur.set_edge = Edge::root;
                out.push_back(cur);
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
        out.push_back(cur);
    }
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
            return;
        }
    }
    passes.push_back(p);
}

// Whether the satellite is in sunlight at some moment of [a, b], and sunlit
// while the Sun is low enough at the site.
void lighting(const Track& tr, const Site& site, double a, double b, const Sampler& sp, const SearchSettings& st,
              bool& sunlit, bool& visible) {
    sunlit = visible = false;
    auto values = [&](double t, double& lit, double& dark) {
        Frame f;
        sp.frame(t, f, true);
        double r[3], v[3];
        if (!itrf_state(tr.members[member_at(tr, t)], f, st.metres_per_km, nullptr, r, v)) {
            lit = dark = kNaN;
            return;
        }
        lit = sun_centre_function(shadow_geometry(r, f.sun, st.earth_radius));
        dark = st.sun_limit - groundstation::elevation(site.at, f.sun);
    };
    const double h = std::min(kMaxShadowStep, period_of(tr.members[0]) / st.steps_per_period);
    const std::size_t n = std::max<std::size_t>(2, static_cast<std::size_t>(std::ceil((b - a) / h)) + 1);
    std::vector<double> t(n), lit(n), dark(n);
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = i + 1 == n ? b : a + (b - a) * static_cast<double>(i) / static_cast<double>(n - 1);
        values(t[i], lit[i], dark[i]);
    }
    std::vector<double> events{a, b};
    auto lit_at = [&](double x) {
        double l, d;
        values(x, l, d);
        return l;
    };
    auto dark_at = [&](double x) {
        double l, d;
        values(x, l, d);
        return d;
    };
    find_roots_sampled(lit_at, t.data(), lit.data(), n, st.tolerance,
                       [&](double x, bool, std::size_t) { events.push_back(x), sunlit = true; });
    find_roots_sampled(dark_at, t.data(), dark.data(), n, st.tolerance,
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

}  // namespace

std::vector<Pass> search_passes(const frames::EpochWindow& window, double t0, double t1, const Track* tracks,
                                std::size_t m, const Site* sites, std::size_t k, const SearchSettings& settings) {
    if (!(t1 > t0)) return {};
    const Sampler sp(window, t0, t1, false);
    std::vector<std::vector<Pass>> per_track(m);
    bool failed = false;
    const long long mm = static_cast<long long>(m);
#pragma omp parallel for schedule(dynamic, 1)
    for (long long i = 0; i < mm; ++i) {
        try {
            const Track& tr = tracks[i];
            const std::vector<Run> runs = sample_track(tr, sp, t0, t1, settings.metres_per_km, settings.steps_per_period);
            std::vector<Pass>& out = per_track[i];
            for (std::size_t s = 0; s < k; ++s) {
                std::vector<RawPass> joined, pieces;
                for (const Run& run : runs) {
                    for_each_good_stretch(run, [&](std::size_t p, std::size_t q, Edge lo, Edge hi) {
                        pieces.clear();
                        passes_of_stretch(run, p, q, lo, hi, sites[s], tr.members[run.member], sp, settings, pieces);
                        for (const RawPass& rp : pieces) append_joined(joined, rp);
                    });
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
                    lighting(tr, sites[s], rp.rise, rp.set, sp, settings, p.sunlit, p.visible);
                    out.push_back(p);
                }
            }
        } catch (...) {
#pragma omp critical(astrovia_pass_search_failure)
            failed = true;
        }
    }
    if (failed) throw std::bad_alloc();
    std::vector<Pass> all;
    for (auto& v : per_track) all.insert(all.end(), v.begin(), v.end());
    return all;
}

std::vector<Eclipse> search_eclipses(const frames::EpochWindow& window, double t0, double t1, const Track* tracks,
                                     std::size_t m, const SearchSettings& settings) {
    if (!(t1 > t0)) return {};
    const Sampler sp(window, t0, t1, true);
    std::vector<std::vector<Eclipse>> per_track(m);
    bool failed = false;
    const long long mm = static_cast<long long>(m);
#pragma omp parallel for schedule(dynamic, 1)
    for (long long i = 0; i < mm; ++i) {
        try {
            const Track& tr = tracks[i];
            const std::vector<Run> runs = sample_track(tr, sp, t0, t1, settings.metres_per_km, settings.steps_per_period);
            std::vector<Eclipse>& out = per_track[i];
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
                    auto pen_at = [&](double x) {
                        double a, c;
                        shadow_at(x, a, c);
                        return a;
                    };
                    auto umb_at = [&](double x) {
                        double a, c;
                        shadow_at(x, a, c);
                        return c;
                    };
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
        } catch (...) {
#pragma omp critical(astrovia_pass_search_failure)
            failed = true;
        }
    }
    if (failed) throw std::bad_alloc();
    std::vector<Eclipse> all;
    for (auto& v : per_track) all.insert(all.end(), v.begin(), v.end());
    return all;
}

}  // namespace astrovia::events

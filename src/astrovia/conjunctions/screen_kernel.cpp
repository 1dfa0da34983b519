// Conjunction screening: grid propagation, spatial-hash sieve, cubic test and
// range-rate refinement (see screen_kernel.hpp for why it is complete).
#include "conjunctions/screen_kernel.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cmath>
#include <limits>

#include "events/event_search.hpp"

#ifdef _OPENMP
#include <omp.h>
#endif

namespace astrovia::conjunctions {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kPieces = 8;               // pieces of the cubic test per interval
constexpr double kMaxRootStep = 60.0;    // [s] sub-step of the range-rate search
constexpr double kRootTolerance = 1e-7;  // [s]

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Processor time of the whole process [s]: the stage figures of a shared machine.
double cpu_now() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// UTC clock minutes at TT instant t of interval k.
double clock_at(const ScreenGrid& g, std::size_t k, double t) {
    double dt = t - g.t[k];
    const double leap = g.leap[k];
    if (!std::isnan(leap)) dt -= std::clamp(t - leap, 0.0, 1.0);
    return g.clock[k] + dt / 60.0;
}

// An element set whose mean elements the theory rejects is never propagated; the
// other codes of its epoch (decayed there, say) belong to that state alone.
bool usable(const ScreenObject& o) {
    return o.rec->init_error != sgp4::kMeanEccentricity && o.rec->init_error != sgp4::kMeanMotion;
}

bool state(const ScreenObject& o, double clock_min, double r[3], double v[3]) {
    return usable(o) && sgp4::propagate(o.rec->rec, o.offset_min + clock_min, r, v, nullptr) == 0;
}

// The cubic of one object over one interval, about its midpoint.
struct Cubic {
    double c[4][3];
    double rho, eps;
    bool ok;
};

std::uint64_t cell_key(std::int64_t ix, std::int64_t iy, std::int64_t iz) {
    constexpr std::int64_t bias = std::int64_t{1} << 20;
    constexpr std::uint64_t mask = (std::uint64_t{1} << 21) - 1;
    return ((static_cast<std::uint64_t>(ix + bias) & mask) << 42) |
           ((static_cast<std::uint64_t>(iy + bias) & mask) << 21) | (static_cast<std::uint64_t>(iz + bias) & mask);
}

// Open-addressing map from a cell key to the chain of the objects in the cell,
// then to the cell's run in the packed layout. A slot's key and run share one
// cache line: the neighbour lookups are the sieve's main memory traffic.
struct CellTable {
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    static constexpr std::uint32_t kEnd = ~std::uint32_t{0};
    struct Slot {
        std::uint64_t key;
        std::uint32_t begin, end;  // the run in the packed layout
    };
    std::vector<Slot> table;
    std::vector<std::uint32_t> head, next, slots;  // chains while inserting; slots: the occupied ones
    std::uint64_t mask = 0;

    void reset(std::size_t n) {
        std::size_t size = 16;
        while (size < 2 * n) size <<= 1;
        if (table.size() != size) {
            table.assign(size, Slot{kEmpty, 0, 0});
            head.assign(size, kEnd);
        } else {
            for (std::uint32_t s : slots) table[s].key = kEmpty, head[s] = kEnd;
        }
        next.assign(n, kEnd);
        slots.clear();
        mask = size - 1;
    }
    static std::uint64_t hash(std::uint64_t k) {
        k ^= k >> 33;
        k *= 0xff51afd7ed558ccdULL;
        k ^= k >> 33;
        return k;
    }
    void insert(std::uint64_t key, std::uint32_t i) {
        std::uint64_t h = hash(key) & mask;
        while (table[h].key != kEmpty && table[h].key != key) h = (h + 1) & mask;
        if (table[h].key == kEmpty) {
            table[h].key = key;
            slots.push_back(static_cast<std::uint32_t>(h));
        }
        next[i] = head[h];
        head[h] = i;
    }
    // The slot of a cell, kEnd when it is empty.
    std::uint32_t slot_of(std::uint64_t key) const {
        std::uint64_t h = hash(key) & mask;
        while (table[h].key != kEmpty) {
            if (table[h].key == key) return static_cast<std::uint32_t>(h);
            h = (h + 1) & mask;
        }
        return kEnd;
    }
};

// Whether the difference of two cubics may come within `limit` on [-w, w].
bool cubic_may_meet(const Cubic& a, const Cubic& b, double w, double limit, int pieces) {
    double d[4][3];
    for (int n = 0; n < 4; ++n)
        for (int c = 0; c < 3; ++c) d[n][c] = b.c[n][c] - a.c[n][c];
    const double s = w / pieces;
    const double d3 = std::sqrt(d[3][0] * d[3][0] + d[3][1] * d[3][1] + d[3][2] * d[3][2]);
    for (int p = 0; p < pieces; ++p) {
        const double u = -w + (2 * p + 1) * s;
        double p0[3], p1[3], p2[3];
        for (int c = 0; c < 3; ++c) {
            p0[c] = d[0][c] + u * (d[1][c] + u * (d[2][c] + u * d[3][c]));
            p1[c] = d[1][c] + u * (2.0 * d[2][c] + 3.0 * u * d[3][c]);
            p2[c] = d[2][c] + 3.0 * u * d[3][c];
        }
        const double vv = p1[0] * p1[0] + p1[1] * p1[1] + p1[2] * p1[2];
        const double rv = p0[0] * p1[0] + p0[1] * p1[1] + p0[2] * p1[2];
        const double x = vv > 0.0 ? std::clamp(-rv / vv, -s, s) : 0.0;
        double m2 = 0.0;
        for (int c = 0; c < 3; ++c) {
            const double q = p0[c] + p1[c] * x;
            m2 += q * q;
        }
        const double bound = std::sqrt(p2[0] * p2[0] + p2[1] * p2[1] + p2[2] * p2[2]) * s * s + d3 * s * s * s;
        if (std::sqrt(m2) - bound <= limit) return true;
    }
    return false;
}

// The Hermite cubic of one object over [t_k, t_k + h] from its node states,
// restricted to sub-interval `s` of `m` (half-width w = h / (2 m)) and
// expanded about that sub-interval's midpoint.
void sub_cubic(const double* p0, const double* p1, double h, int s, int m, double eps, Cubic& cu) {
    const double W = 0.5 * h;                       // the whole interval's half-width
    const double uc = -W + (2 * s + 1) * (W / m);   // the sub-interval's midpoint
    const double w = W / m;
    double n1 = 0.0, n2 = 0.0, n3 = 0.0;
    for (int c = 0; c < 3; ++c) {
        const double dp = p1[c] - p0[c], sv = p0[c + 3] + p1[c + 3], dv = p1[c + 3] - p0[c + 3];
        const double a0 = 0.5 * (p0[c] + p1[c]) - 0.25 * W * dv;
        const double a1 = 0.75 * dp / W - 0.25 * sv;
        const double a2 = 0.25 * dv / W;
        const double a3 = 0.25 * sv / (W * W) - 0.25 * dp / (W * W * W);
        cu.c[0][c] = a0 + uc * (a1 + uc * (a2 + uc * a3));
        cu.c[1][c] = a1 + uc * (2.0 * a2 + 3.0 * uc * a3);
        cu.c[2][c] = a2 + 3.0 * uc * a3;
        cu.c[3][c] = a3;
        n1 += cu.c[1][c] * cu.c[1][c];
        n2 += cu.c[2][c] * cu.c[2][c];
        n3 += cu.c[3][c] * cu.c[3][c];
    }
    cu.rho = std::sqrt(n1) * w + std::sqrt(n2) * w * w + std::sqrt(n3) * w * w * w;
    cu.eps = eps;
    cu.ok = true;
}

// An object's piece midpoint and reach (rho + eps), laid out cell by cell.
struct Packed {
    double x, y, z, reach;
    std::uint32_t i;
};

struct Candidate {
    std::uint32_t i, j;
    std::uint32_t k;  // grid interval
    std::uint32_t s;  // sub-interval
};

int thread_id() {
#ifdef _OPENMP
    return omp_get_thread_num();
#else
    return 0;
#endif
}

}  // namespace

std::vector<Conjunction> screen(const ScreenObject* objects, std::size_t n, const ScreenGrid& grid,
                                std::size_t k_begin, std::size_t k_end, const ScreenOptions& opt,
                                ScreenStats& stats) {
    std::vector<Conjunction> out;
    if (n < 2 || grid.n_nodes < 2 || k_begin >= k_end) return out;
    k_end = std::min(k_end, grid.n_nodes - 1);
    const long long nn = static_cast<long long>(n);
    const double threshold = opt.threshold_km;
    const int m_sub = std::max(1, opt.sub_intervals);
#ifdef _OPENMP
    const int threads = opt.threads > 0 ? opt.threads : omp_get_max_threads();
#else
    const int threads = 1;
#endif
    // Intervals per block: each parallel phase covers a block, so that the
    // threads meet at a barrier a few times per block rather than per step.
    constexpr std::size_t kBlock = 16;

    std::vector<std::uint32_t> primary_list;
    for (std::size_t i = 0; i < n; ++i)
        if (objects[i].primary) primary_list.push_back(static_cast<std::uint32_t>(i));
    // A few primaries are tested against everything directly; a large fleet goes through the grid.
    const bool direct = opt.primaries_only && primary_list.size() <= 64;

    std::vector<double> rv((kBlock + 1) * 6 * n, kNaN);
    std::vector<std::uint8_t> ok((kBlock + 1) * n, 0);
    auto propagate_nodes = [&](std::size_t first, std::size_t count, std::size_t slot0) {
        const double t0 = now(), c0 = cpu_now();
        const long long total = static_cast<long long>(count) * nn;
#pragma omp parallel for schedule(static) num_threads(threads)
        for (long long q = 0; q < total; ++q) {
            const std::size_t node = static_cast<std::size_t>(q / nn), i = static_cast<std::size_t>(q % nn);
            const std::size_t k = first + node;
            // The clock at a node is that of the interval it starts (the last node: of the interval it ends).
            const double clock = clock_at(grid, std::min(k, grid.n_nodes - 2), grid.t[k]);
            double* x = &rv[((slot0 + node) * n + i) * 6];
            ok[(slot0 + node) * n + i] = state(objects[i], clock, x, x + 3);
        }
        stats.propagations += count * n;
        stats.propagation_s += now() - t0;
        stats.propagation_cpu += cpu_now() - c0;
    };
    propagate_nodes(k_begin, 1, 0);

    struct Scratch {
        std::vector<Cubic> cubics;
        std::vector<Packed> packed;
        CellTable table;
        std::vector<Candidate> found;
        std::vector<Conjunction> results;
        std::uint64_t tested = 0, calls = 0;
    };
    std::vector<Scratch> scratch(threads);
    std::vector<Candidate> cand;

    for (std::size_t kb = k_begin; kb < k_end; kb += kBlock) {
        const std::size_t ke = std::min(kb + kBlock, k_end), nb = ke - kb;
        if (kb != k_begin) {  // the previous block's last node is this block's first
            std::copy(rv.begin() + kBlock * 6 * n, rv.begin() + (kBlock + 1) * 6 * n, rv.begin());
            std::copy(ok.begin() + kBlock * n, ok.begin() + (kBlock + 1) * n, ok.begin());
        }
        propagate_nodes(kb + 1, nb, 1);

        const double t_sieve = now(), c_sieve = cpu_now();
        // One task per sub-interval; with a few primaries, one per interval: every object is first
        // tested on the whole interval's cubic against each primary, and only the pairs that pass
        // are tested piece by piece.
        const long long tasks = static_cast<long long>(direct ? nb : nb * m_sub);
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
        for (long long task = 0; task < tasks; ++task) {
            Scratch& sc = scratch[thread_id()];
            const std::size_t slot = static_cast<std::size_t>(direct ? task : task / m_sub);
            const int s = direct ? 0 : static_cast<int>(task % m_sub);
            const std::size_t k = kb + slot;
            const double h = grid.t[k + 1] - grid.t[k];
            const double w = 0.5 * h / m_sub;
            const double h4 = h * h * h * h;
            auto node_ok = [&](std::size_t i) { return ok[slot * n + i] && ok[(slot + 1) * n + i]; };
            auto make = [&](std::size_t i, int piece, int pieces, Cubic& cu) {
                sub_cubic(&rv[(slot * n + i) * 6], &rv[((slot + 1) * n + i) * 6], h, piece, pieces,
                          objects[i].eps_coef * h4, cu);
            };
            auto keep = [&](std::uint32_t i, std::uint32_t j, int piece) {
                sc.found.push_back(Candidate{std::min(i, j), std::max(i, j), static_cast<std::uint32_t>(k),
                                             static_cast<std::uint32_t>(piece)});
            };
            // The cubic test of a pair on a piece of half-width ww.
            auto may_meet = [&](const Cubic& ci, const Cubic& cj, double ww) {
                const double dx = ci.c[0][0] - cj.c[0][0], dy = ci.c[0][1] - cj.c[0][1], dz = ci.c[0][2] - cj.c[0][2];
                const double lim = threshold + ci.rho + cj.rho + ci.eps + cj.eps;
                if (dx * dx + dy * dy + dz * dz > lim * lim) return false;
                const double limit = threshold + ci.eps + cj.eps;
                return cubic_may_meet(ci, cj, ww, limit, 1) && cubic_may_meet(ci, cj, ww, limit, kPieces);
            };
            if (direct) {
                // Each primary's pieces once per interval; each other object's pieces are placed by
                // their midpoints first, the arc of a piece lying within (its largest speed over the
                // interval) * (half-width) of its midpoint.
                std::vector<Cubic> pieces_p(m_sub);
                for (std::uint32_t p : primary_list) {
                    if (!node_ok(p)) continue;
                    for (int piece = 0; piece < m_sub; ++piece) make(p, piece, m_sub, pieces_p[piece]);
                    double reach_p = 0.0;
                    for (const Cubic& c : pieces_p) reach_p = std::max(reach_p, c.rho + c.eps);
                    Cubic whole_j, piece_j;
                    for (std::uint32_t j = 0; j < n; ++j) {
                        // A pair of primaries once, from the lower index.
                        if (j == p || !node_ok(j) || (objects[j].primary && j < p)) continue;
                        ++sc.tested;
                        make(j, 0, 1, whole_j);
                        const double W = 0.5 * h;
                        double speed = 0.0;
                        for (int c = 0; c < 3; ++c) {
                            speed += std::fabs(whole_j.c[1][c]) + 2.0 * std::fabs(whole_j.c[2][c]) * W +
                                     3.0 * std::fabs(whole_j.c[3][c]) * W * W;
                        }
                        const double lim = threshold + reach_p + speed * w + whole_j.eps;
                        for (int piece = 0; piece < m_sub; ++piece) {
                            const double u = -W + (2 * piece + 1) * w;
                            double d2 = 0.0;
                            for (int c = 0; c < 3; ++c) {
                                const double x = whole_j.c[0][c] +
                                                 u * (whole_j.c[1][c] + u * (whole_j.c[2][c] + u * whole_j.c[3][c])) -
                                                 pieces_p[piece].c[0][c];
                                d2 += x * x;
                            }
                            if (d2 > lim * lim) continue;
                            make(j, piece, m_sub, piece_j);
                            if (may_meet(pieces_p[piece], piece_j, w)) keep(p, j, piece);
                        }
                    }
                }
                continue;
            }
            sc.cubics.resize(n);
            double reach = 0.0;  // max(rho + eps)
            for (std::size_t i = 0; i < n; ++i) {
                Cubic& cu = sc.cubics[i];
                cu.ok = node_ok(i);
                if (!cu.ok) continue;
                make(i, s, m_sub, cu);
                reach = std::max(reach, cu.rho + cu.eps);
            }
            // Cells of size D + 2 max(rho + eps): a pair that may meet lies in neighbouring cells.
            const double cell = threshold + 2.0 * reach;
            CellTable& table = sc.table;
            table.reset(n);
            auto coord = [&](std::uint32_t i, int c) {
                return static_cast<std::int64_t>(std::floor(sc.cubics[i].c[0][c] / cell));
            };
            for (std::uint32_t i = 0; i < n; ++i)
                if (sc.cubics[i].ok) table.insert(cell_key(coord(i, 0), coord(i, 1), coord(i, 2)), i);
            // The objects laid out cell by cell (midpoint and reach packed together), so that the
            // scans of neighbouring cells read memory in order.
            sc.packed.clear();
            for (std::uint32_t slot_a : table.slots) {
                table.table[slot_a].begin = static_cast<std::uint32_t>(sc.packed.size());
                for (std::uint32_t x = table.head[slot_a]; x != CellTable::kEnd; x = table.next[x]) {
                    const Cubic& cu = sc.cubics[x];
                    sc.packed.push_back({cu.c[0][0], cu.c[0][1], cu.c[0][2], cu.rho + cu.eps, x});
                }
                table.table[slot_a].end = static_cast<std::uint32_t>(sc.packed.size());
            }
            const Packed* pk = sc.packed.data();
            auto scan = [&](std::uint32_t a0, std::uint32_t a1, std::uint32_t b0, std::uint32_t b1, bool same) {
                for (std::uint32_t x = a0; x < a1; ++x) {
                    const Packed& px = pk[x];
                    for (std::uint32_t y = same ? x + 1 : b0; y < b1; ++y) {
                        const Packed& py = pk[y];
                        ++sc.tested;
                        const double dx = px.x - py.x, dy = px.y - py.y, dz = px.z - py.z;
                        const double lim = threshold + px.reach + py.reach;
                        if (dx * dx + dy * dy + dz * dz > lim * lim) continue;
                        if (opt.primaries_only && !objects[px.i].primary && !objects[py.i].primary) continue;
                        if (may_meet(sc.cubics[px.i], sc.cubics[py.i], w)) keep(px.i, py.i, s);
                    }
                }
            };
            for (std::uint32_t slot_a : table.slots) {
                const std::uint64_t key = table.table[slot_a].key;
                const std::uint32_t a0 = table.table[slot_a].begin, a1 = table.table[slot_a].end;
                scan(a0, a1, a0, a1, true);
                const std::uint32_t first = pk[a0].i;
                const std::int64_t ix = coord(first, 0), iy = coord(first, 1), iz = coord(first, 2);
                for (int ox = -1; ox <= 1; ++ox)
                    for (int oy = -1; oy <= 1; ++oy)
                        for (int oz = -1; oz <= 1; ++oz) {
                            const std::uint64_t other = cell_key(ix + ox, iy + oy, iz + oz);
                            if (other <= key) continue;  // each pair of cells once
                            const std::uint32_t b = table.slot_of(other);
                            if (b == CellTable::kEnd) continue;
                            scan(a0, a1, table.table[b].begin, table.table[b].end, false);
                        }
            }
        }
        cand.clear();
        for (Scratch& sc : scratch) {
            cand.insert(cand.end(), sc.found.begin(), sc.found.end());
            sc.found.clear();
            stats.pairs_tested += sc.tested;
            sc.tested = 0;
        }
        stats.candidates += cand.size();
        const double t_refine = now(), c_refine = cpu_now();
        stats.sieve_s += t_refine - t_sieve;
        stats.sieve_cpu += c_refine - c_sieve;

        // Range-rate roots on the model itself, on sub-steps of at most kMaxRootStep.
        const long long nc = static_cast<long long>(cand.size());
#pragma omp parallel for schedule(dynamic, 4) num_threads(threads)
        for (long long q = 0; q < nc; ++q) {
            Scratch& sc = scratch[thread_id()];
            const std::size_t k = cand[q].k;
            const double h = grid.t[k + 1] - grid.t[k];
            const double t0 = grid.t[k] + cand[q].s * (h / m_sub);
            const double t1 = cand[q].s + 1 == static_cast<std::uint32_t>(m_sub) ? grid.t[k + 1]
                                                                                   : grid.t[k] + (cand[q].s + 1) * (h / m_sub);
            const double sub = (t1 - t0) / std::ceil((t1 - t0) / kMaxRootStep);
            std::uint32_t i = cand[q].i, j = cand[q].j;
            if (opt.primaries_only && !objects[i].primary) std::swap(i, j);
            const ScreenObject& oi = objects[i];
            const ScreenObject& oj = objects[j];
            bool failed = false;
            auto range_rate = [&](double t) {
                double ri[3], vi[3], rj[3], vj[3];
                const double clock = clock_at(grid, k, t);
                sc.calls += 2;
                if (!state(oi, clock, ri, vi) || !state(oj, clock, rj, vj)) {
                    failed = true;
                    return kNaN;
                }
                double f = 0.0;
                for (int c = 0; c < 3; ++c) f += (rj[c] - ri[c]) * (vj[c] - vi[c]);
                return f;
            };
            events::find_minima(range_rate, t0, t1, sub, kRootTolerance, [&](double tca) {
                double ri[3], vi[3], rj[3], vj[3];
                const double clock = clock_at(grid, k, tca);
                sc.calls += 2;
                if (failed || !state(oi, clock, ri, vi) || !state(oj, clock, rj, vj)) return;
                double dr[3], dv[3];
                for (int c = 0; c < 3; ++c) dr[c] = rj[c] - ri[c], dv[c] = vj[c] - vi[c];
                const double miss = std::sqrt(dr[0] * dr[0] + dr[1] * dr[1] + dr[2] * dr[2]);
                if (!(miss < threshold)) return;
                // Object i's radial / in-track / cross-track axes.
                const double rn = std::sqrt(ri[0] * ri[0] + ri[1] * ri[1] + ri[2] * ri[2]);
                const double R[3] = {ri[0] / rn, ri[1] / rn, ri[2] / rn};
                double C[3] = {ri[1] * vi[2] - ri[2] * vi[1], ri[2] * vi[0] - ri[0] * vi[2], ri[0] * vi[1] - ri[1] * vi[0]};
                const double cn = std::sqrt(C[0] * C[0] + C[1] * C[1] + C[2] * C[2]);
                for (double& x : C) x /= cn;
                const double I[3] = {C[1] * R[2] - C[2] * R[1], C[2] * R[0] - C[0] * R[2], C[0] * R[1] - C[1] * R[0]};
                Conjunction cj;
                cj.i = i;
                cj.j = j;
                cj.tca = tca;
                cj.miss = miss * 1000.0;
                cj.speed = std::sqrt(dv[0] * dv[0] + dv[1] * dv[1] + dv[2] * dv[2]) * 1000.0;
                cj.radial = (dr[0] * R[0] + dr[1] * R[1] + dr[2] * R[2]) * 1000.0;
                cj.in_track = (dr[0] * I[0] + dr[1] * I[1] + dr[2] * I[2]) * 1000.0;
                cj.cross_track = (dr[0] * C[0] + dr[1] * C[1] + dr[2] * C[2]) * 1000.0;
                sc.results.push_back(cj);
            });
        }
        stats.refinement_s += now() - t_refine;
        stats.refinement_cpu += cpu_now() - c_refine;
    }
    for (Scratch& sc : scratch) {
        out.insert(out.end(), sc.results.begin(), sc.results.end());
        stats.propagations += sc.calls;
    }
    std::sort(out.begin(), out.end(), [](const Conjunction& x, const Conjunction& y) {
        if (x.tca != y.tca) return x.tca < y.tca;
        if (x.i != y.i) return x.i < y.i;
        return x.j < y.j;
    });
    return out;
}

void radial_extent(const ScreenObject* objects, std::size_t n, double clock_a, double clock_b, double* perigee,
                   double* apogee, int threads) {
#ifdef _OPENMP
    const int nt = threads > 0 ? threads : omp_get_max_threads();
#else
    (void)threads;
#endif
    const long long nn = static_cast<long long>(n);
    const double mu = 398600.8;  // WGS 72 [km^3/s^2], the model's
#pragma omp parallel for schedule(static) num_threads(nt)
    for (long long i = 0; i < nn; ++i) {
        double lo = kNaN, hi = kNaN;
        for (double clock : {clock_a, clock_b}) {
            double r[3], v[3];
            if (!state(objects[i], clock, r, v)) continue;
            const double rn = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
            const double v2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
            const double a = 1.0 / (2.0 / rn - v2 / mu);
            const double hx = r[1] * v[2] - r[2] * v[1], hy = r[2] * v[0] - r[0] * v[2], hz = r[0] * v[1] - r[1] * v[0];
            const double p = (hx * hx + hy * hy + hz * hz) / mu;
            const double e = std::sqrt(std::max(0.0, 1.0 - p / a));
            const double rp = a > 0.0 ? a * (1.0 - e) : rn;
            const double ra = a > 0.0 ? a * (1.0 + e) : std::numeric_limits<double>::infinity();
            lo = std::isnan(lo) ? rp : std::min(lo, rp);
            hi = std::isnan(hi) ? ra : std::max(hi, ra);
        }
        perigee[i] = lo;
        apogee[i] = hi;
    }
}

}  // namespace astrovia::conjunctions

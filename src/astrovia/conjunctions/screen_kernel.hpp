// Conjunction screening of a catalogue of element sets on the SGP4 model: plain
// C++, no Python. All objects are propagated together over a time grid (only
// two grid nodes held at once, so memory does not grow with the window); a
// spatial hash over each grid interval sieves the pairs that may come within
// the threshold there, a test on the relative cubic of the pair keeps those that
// really may, and each kept (pair, interval) is searched for the roots of the
// relative range rate with the event-search kernel, on SGP4 states.
//
// Why nothing under the threshold D is missed. Within a grid interval
// [t_k, t_k + h] each object's trajectory r(t) is replaced by the cubic Hermite
// interpolant P(t) of its SGP4 positions and velocities at both ends. The
// Hermite remainder is r - P = r''''(xi) (t - t_k)^2 (t - t_k - h)^2 / 4!, so
// |r - P| <= sqrt(3) max|r''''| h^4 / 384 = eps (per component, hence sqrt(3));
// max|r''''| is a bound over the orbit given by the caller (two-body fourth
// derivative at the element set's perigee, with a margin for the perturbations
// of the theory), so eps = k_i h^4 per object. About the interval's midpoint
// m, P(m + u) = c0 + c1 u + c2 u^2 + c3 u^3 and every point of the interval's
// arc lies within rho = |c1| w + |c2| w^2 + |c3| w^3 of c0 (w = h / 2). If two
// objects i, j come within D at some instant of the interval, then
//   |c0_i - c0_j| <= D + rho_i + rho_j + eps_i + eps_j <= D + 2 max(rho + eps),
// so with cells of that size the pair lies in neighbouring cells (the 27-cell
// stencil) and is enumerated. The same holds piece by piece: the interval is
// cut into `sub_intervals` pieces, each expanded about its own midpoint (the
// restriction of a cubic is a cubic), so that rho, and with it the cells,
// shrink with the pieces while eps stays that of the whole interval. With a
// few primaries the grid is skipped: each primary is tested against every
// object, the pieces placed first by their midpoints and the object's largest
// speed over the interval. It is then kept when the difference of the two
// cubics, Delta(u), may come within D + eps_i + eps_j: on each of S pieces of
// half-width s about u_c the Taylor expansion of a cubic is exact,
//   Delta(u_c + x) = D0 + D1 x + D2 x^2 + D3 x^3,
// so |Delta| >= min_{|x|<=s} |D0 + D1 x| - |D2| s^2 - |D3| s^3, a rigorous
// lower bound; a piece is rejected only when that bound exceeds the limit.
// The step h itself is free (the caller derives it from the threshold and the
// orbits: it trades propagation against pairs); every bound above scales with
// it, so the sieve is complete at any step. In each kept interval the
// conjunction is a local minimum of the distance, i.e. a root of
// f(t) = Delta r . Delta v rising through zero, searched on sub-steps of at
// most 60 s. Two roots inside one sub-step would need f' = |dv|^2 + dr . da
// to change sign, i.e. |dv| below sqrt(3) n |dr| (a few m/s at 5 km in LEO),
// where the distance varies on the orbital period (hours), not seconds.
//
// Each (pair, interval) is worked out from the grid nodes of that interval
// alone, so the results do not depend on the thread count or on how the grid
// is split into calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "propagators/analytical/sgp4/sgp4_batch.hpp"

namespace astrovia::conjunctions {

// One screened object: its SGP4 record and its interpolation bound.
struct ScreenObject {
    const sgp4::BatchRecord* rec;
    double offset_min;  // minutes from the record's epoch to clock minute 0 of the grid's reference day
    double eps_coef;    // eps = eps_coef * h^4 [km], the Hermite remainder bound
    bool primary;
};

// The time grid: n_nodes TT instants [s from the window's start] and the UTC
// clock at each [minutes from the reference day's 00:00]. Within interval k the
// clock advances with TT except during a leap second inserted at leap[k]
// (NaN when none), when it holds for one second.
struct ScreenGrid {
    const double* t;
    const double* clock;
    const double* leap;
    std::size_t n_nodes;
};

struct Conjunction {
    std::uint32_t i, j;  // object indices: the primary first, else the lower index first
    double tca;          // TT seconds from the window's start
    double miss;         // [m]
    double speed;        // [m/s]
    double radial, in_track, cross_track;  // [m] of j relative to i, in i's RIC frame (TEME)
};

struct ScreenStats {
    double propagation_s = 0.0, sieve_s = 0.0, refinement_s = 0.0;  // wall seconds per stage
    double propagation_cpu = 0.0, sieve_cpu = 0.0, refinement_cpu = 0.0;  // processor seconds per stage
    std::uint64_t pairs_tested = 0;   // pairs the grid enumerated
    std::uint64_t candidates = 0;     // (pair, interval) kept by the cubic test
    std::uint64_t propagations = 0;   // SGP4 calls
};

struct ScreenOptions {
    double threshold_km;
    bool primaries_only;  // pairs with at least one primary (one-versus-all), else all pairs
    int threads;          // 0: the OpenMP default
    int sub_intervals;    // sieve pieces per grid interval (>= 1): the cell size shrinks with them
};

// Osculating perigee and apogee radius [km] of every object at two clock
// instants (NaN where the model fails): the apogee/perigee filter's inputs.
void radial_extent(const ScreenObject* objects, std::size_t n, double clock_a, double clock_b, double* perigee,
                   double* apogee, int threads);

// Screens the intervals [k_begin, k_end) of the grid (k_end <= n_nodes - 1).
// Results sorted by (tca, i, j).
std::vector<Conjunction> screen(const ScreenObject* objects, std::size_t n, const ScreenGrid& grid,
                                std::size_t k_begin, std::size_t k_end, const ScreenOptions& opt,
                                ScreenStats& stats);

}  // namespace astrovia::conjunctions

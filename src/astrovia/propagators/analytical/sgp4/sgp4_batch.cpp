// Batched SGP4/SDP4 propagation (see sgp4_batch.hpp).
#include "propagators/analytical/sgp4/sgp4_batch.hpp"

#include "propagators/analytical/sgp4/sgp4_simd.hpp"

#include <erfa.h>

#include <cmath>

namespace astrovia::sgp4 {

namespace {

constexpr double kJd2000Midnight = 2451544.5;  // 2000 January 1 00:00
constexpr double kSecondsPerDay = 86400.0;

// Length [s] of the quasi Julian day of UTC starting at `jd_midnight`: 86400
// plus the step of TAI-UTC at its end, leap seconds from 1972 and the
// fractional steps of 1960-1971 alike (the drift of TAI-UTC before 1972 is not
// a step and does not stretch the day). This is how ERFA's quasi Julian dates
// spread a step over its day, so the clock reading is the fraction times it.
double utc_day_length(double jd_midnight) {
    int iy, im, id, iy1, im1, id1;
    double fd, dat0, dat12, dat24;
    if (eraJd2cal(jd_midnight, 0.0, &iy, &im, &id, &fd) != 0 || iy < 1960) return kSecondsPerDay;
    if (eraJd2cal(jd_midnight + 1.0, 0.0, &iy1, &im1, &id1, &fd) != 0) return kSecondsPerDay;
    if (eraDat(iy, im, id, 0.0, &dat0) < 0 || eraDat(iy, im, id, 0.5, &dat12) < 0 ||
        eraDat(iy1, im1, id1, 0.0, &dat24) < 0)
        return kSecondsPerDay;
    return kSecondsPerDay + (dat24 - (2.0 * dat12 - dat0));
}

void store_state(const double rk[3], const double vk[3], double metres_per_km, double* r, double* v) {
    for (int c = 0; c < 3; ++c) {
        r[c] = rk[c] * metres_per_km;
        v[c] = vk[c] * metres_per_km;
    }
}

using M3 = double[3][3];

void mul(const M3& x, const M3& y, M3& out) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out[i][j] = x[i][0] * y[0][j] + x[i][1] * y[1][j] + x[i][2] * y[2][j];
}

void transpose(const M3& x, M3& out) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out[i][j] = x[j][i];
}

// [w x] p = (-w p_y, w p_x, 0): the rows of the rotation term.
void rotation_term(double omega, M3& out) {
    for (auto& row : out) row[0] = row[1] = row[2] = 0.0;
    out[0][1] = -omega;
    out[1][0] = omega;
}

// Small batches stay on the calling thread.
constexpr long long kSerialLimit = 512;

}  // namespace

void itrf_map(const frames::TemeChain& teme, double omega, FrameMap& out) {
    M3 w, wg;
    rotation_term(omega, w);
    mul(teme.w0, teme.g, out.a);
    mul(w, teme.g, wg);
    mul(teme.w0, wg, out.b);
    for (auto& row : out.b) row[0] = -row[0], row[1] = -row[1], row[2] = -row[2];
}

void gcrf_map(const frames::TemeChain& teme, const frames::GcrfChain& gcrf, double omega, FrameMap& out) {
    FrameMap itrf;
    itrf_map(teme, omega, itrf);
    M3 rct, wt, w, wta, wtb, wwta, sum;
    transpose(gcrf.rc, rct);
    transpose(gcrf.w, wt);
    rotation_term(omega, w);
    mul(wt, itrf.a, wta);
    mul(rct, wta, out.a);
    mul(wt, itrf.b, wtb);
    mul(w, wta, wwta);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) sum[i][j] = wtb[i][j] + wwta[i][j];
    mul(rct, sum, out.b);
}

void batch_record_from_lines(const char* line1, const char* line2, Gravity g, Mode m, BatchRecord& out) {
    const ElementSet es = elements_from_lines(line1, line2);
    out.init_error = initialise(es.mean, g, m, out.rec);
    const double whole = std::floor(es.day_of_year);
    out.epoch_day = (jd_january_first(es.year) - kJd2000Midnight) + (whole - 1.0);
    out.epoch_minute = es.day_fraction * 1440.0;
}

void clock_epochs_from_utc_jd12(const char* jd, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                                std::size_t n, double* day, double* minute) {
    double last_midnight = std::nan(""), last_length = kSecondsPerDay;
    for (std::size_t i = 0; i < n; ++i) {
        const double d1 = *reinterpret_cast<const double*>(jd + i * row_stride);
        const double d2 = *reinterpret_cast<const double*>(jd + i * row_stride + col_stride);
        // Midnight of the day and the fraction of it, whatever the split of the date.
        double midnight = std::floor(d1 - 0.5) + 0.5;
        double frac = (d1 - midnight) + d2;
        const double whole = std::floor(frac);
        midnight += whole;
        frac -= whole;
        if (midnight != last_midnight) {
            last_midnight = midnight;
            last_length = utc_day_length(midnight);
        }
        day[i] = midnight - kJd2000Midnight;
        if (last_length == kSecondsPerDay) {
            // The same product as the epoch's minute, so that an epoch given
            // back as a date is zero minutes from it.
            minute[i] = frac * 1440.0;
        } else {
            // A step day: its quasi fraction spreads the step; the clock reads
            // the elapsed time and holds at 24:00 during an inserted second.
            double seconds = frac * last_length;
            if (seconds > kSecondsPerDay) seconds = kSecondsPerDay;
            minute[i] = seconds / 60.0;
        }
    }
}

namespace {

// The loop of the plain path: every (record, epoch) pair on all OpenMP threads;
// `minutes_of(i, j, k)` is the time since record i's epoch of state k (epoch j),
// `store(k, j, code, r, v)` writes it.
template <class MinutesOf, class Store>
void plain_loop(const BatchRecord* recs, std::size_t m, std::size_t n, MinutesOf minutes_of, Store store) {
    const long long total = static_cast<long long>(m) * static_cast<long long>(n);
#pragma omp parallel if (total > kSerialLimit)
    {
    // Each thread keeps the resonance integrator of the record it is on.
    ResonanceState cache;
    std::size_t cached = static_cast<std::size_t>(-1);
#pragma omp for schedule(static)
    for (long long k = 0; k < total; ++k) {
        const std::size_t i = static_cast<std::size_t>(k) / n, j = static_cast<std::size_t>(k) % n;
        if (i != cached) cache = ResonanceState{}, cached = i;
        double rk[3], vk[3];
        const int e = propagate(recs[i].rec, minutes_of(i, j, k), rk, vk, &cache);
        store(static_cast<std::size_t>(k), j, e, rk, vk);
    }
    }
}

}  // namespace

void propagate_batch(const BatchRecord* recs, std::size_t m, const ClockEpochs& epochs, std::size_t n,
                     OutputFrame frame, const EpochChains& chains, double metres_per_km, const BatchOutput& out,
                     int path) {
    if (path == kAutoPath) path = best_path();
    if (path != kPlainPath) {
        propagate_vector(path, recs, m, &epochs, nullptr, n, frame, chains, metres_per_km, out);
        return;
    }
    const auto minutes_of = [&](std::size_t i, std::size_t j, std::size_t) {
        return minutes_since_epoch(recs[i], epochs.day[j], epochs.minute[j]);
    };
    plain_loop(recs, m, n, minutes_of, [&](std::size_t k, std::size_t j, int e, const double* rk, const double* vk) {
        out.err[k] = static_cast<std::int8_t>(e);
        double* r = out.r + 3 * k;
        double* v = out.v + 3 * k;
        if (frame == OutputFrame::teme) {
            store_state(rk, vk, metres_per_km, r, v);
            return;
        }
        double rt[3], vt[3];
        store_state(rk, vk, metres_per_km, rt, vt);
        const FrameMap& f = chains.maps[j];
        for (int c = 0; c < 3; ++c) {
            r[c] = f.a[c][0] * rt[0] + f.a[c][1] * rt[1] + f.a[c][2] * rt[2];
            v[c] = (f.a[c][0] * vt[0] + f.a[c][1] * vt[1] + f.a[c][2] * vt[2]) +
                   (f.b[c][0] * rt[0] + f.b[c][1] * rt[1] + f.b[c][2] * rt[2]);
        }
    });
}

void propagate_batch_minutes(const BatchRecord* recs, std::size_t m, const double* minutes, std::size_t n,
                             double metres_per_km, const BatchOutput& out, int path) {
    if (path == kAutoPath) path = best_path();
    if (path != kPlainPath) {
        propagate_vector(path, recs, m, nullptr, minutes, n, OutputFrame::teme, {}, metres_per_km, out);
        return;
    }
    plain_loop(recs, m, n, [&](std::size_t, std::size_t, std::size_t k) { return minutes[k]; },
               [&](std::size_t k, std::size_t, int e, const double* rk, const double* vk) {
                   out.err[k] = static_cast<std::int8_t>(e);
                   store_state(rk, vk, metres_per_km, out.r + 3 * k, out.v + 3 * k);
               });
}

}  // namespace astrovia::sgp4

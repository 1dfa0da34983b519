// Batched SGP4/SDP4 propagation (see sgp4_batch.hpp).
#include "propagators/analytical/sgp4/sgp4_batch.hpp"

#include <erfa.h>

#include <cmath>

namespace astrovia::sgp4 {

namespace {

constexpr double kJd2000Midnight = 2451544.5;  // 2000 January 1 00:00
constexpr double kSecondsPerDay = 86400.0;

// Length [s] of the UTC day starting at the Julian date `jd_midnight`: 86400
// plus a leap second at its end; days before 1972 are taken as 86400 s long.
double utc_day_length(double jd_midnight) {
    int iy, im, id, iy1, im1, id1;
    double fd, dat0, dat1;
    if (eraJd2cal(jd_midnight, 0.0, &iy, &im, &id, &fd) != 0 || iy < 1972) return kSecondsPerDay;
    if (eraJd2cal(jd_midnight + 1.0, 0.0, &iy1, &im1, &id1, &fd) != 0) return kSecondsPerDay;
    if (eraDat(iy, im, id, 0.0, &dat0) < 0 || eraDat(iy1, im1, id1, 0.0, &dat1) < 0) return kSecondsPerDay;
    return kSecondsPerDay + (dat1 - dat0);
}

void store_state(const double rk[3], const double vk[3], double metres_per_km, double* r, double* v) {
    for (int c = 0; c < 3; ++c) {
        r[c] = rk[c] * metres_per_km;
        v[c] = vk[c] * metres_per_km;
    }
}

// Small batches stay on the calling thread.
constexpr long long kSerialLimit = 512;

}  // namespace

void batch_record_from_lines(const char* line1, const char* line2, Gravity g, Mode m, BatchRecord& out) {
    const ElementSet es = elements_from_lines(line1, line2);
    out.init_error = initialise(es.mean, g, m, out.rec);
    const double whole = std::floor(es.day_of_year);
    out.epoch_day = (jd_january_first(es.year) - kJd2000Midnight) + (whole - 1.0);
    out.epoch_minute = (es.day_of_year - whole) * 1440.0;
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
        double seconds = frac * last_length;
        if (seconds > kSecondsPerDay) seconds = kSecondsPerDay;
        day[i] = midnight - kJd2000Midnight;
        minute[i] = seconds / 60.0;
    }
}

void propagate_batch(const BatchRecord* recs, std::size_t m, const ClockEpochs& epochs, std::size_t n,
                     OutputFrame frame, const EpochChains& chains, double metres_per_km, const BatchOutput& out) {
    const long long total = static_cast<long long>(m) * static_cast<long long>(n);
#pragma omp parallel if (total > kSerialLimit)
    {
    // Each thread keeps the resonance integrator of the record it is on.
    ResonanceState cache;
    std::size_t cached = static_cast<std::size_t>(-1);
#pragma omp for schedule(static)
    for (long long k = 0; k < total; ++k) {
        const std::size_t i = static_cast<std::size_t>(k) / n, j = static_cast<std::size_t>(k) % n;
        const BatchRecord& b = recs[i];
        if (i != cached) cache = ResonanceState{}, cached = i;
        double rk[3], vk[3];
        const int e = propagate(b.rec, minutes_since_epoch(b, epochs.day[j], epochs.minute[j]), rk, vk, &cache);
        out.err[k] = static_cast<std::int8_t>(e);
        double* r = out.r + 3 * k;
        double* v = out.v + 3 * k;
        if (frame == OutputFrame::teme) {
            store_state(rk, vk, metres_per_km, r, v);
            continue;
        }
        double rt[3], vt[3], ri[3], vi[3];
        store_state(rk, vk, metres_per_km, rt, vt);
        frames::itrf_from_teme_one_epoch(chains.teme[j], chains.omega[j], rt, vt, ri, vi);
        if (frame == OutputFrame::itrf) {
            for (int c = 0; c < 3; ++c) r[c] = ri[c], v[c] = vi[c];
        } else {
            frames::gcrf_from_itrf_one_epoch(chains.gcrf[j], chains.omega[j], ri, vi, r, v);
        }
    }
    }
}

void propagate_batch_minutes(const BatchRecord* recs, std::size_t m, const double* minutes, std::size_t n,
                             double metres_per_km, const BatchOutput& out) {
    const long long total = static_cast<long long>(m) * static_cast<long long>(n);
#pragma omp parallel if (total > kSerialLimit)
    {
    ResonanceState cache;
    std::size_t cached = static_cast<std::size_t>(-1);
#pragma omp for schedule(static)
    for (long long k = 0; k < total; ++k) {
        const std::size_t i = static_cast<std::size_t>(k) / n;
        if (i != cached) cache = ResonanceState{}, cached = i;
        double rk[3], vk[3];
        out.err[k] = static_cast<std::int8_t>(propagate(recs[i].rec, minutes[k], rk, vk, &cache));
        store_state(rk, vk, metres_per_km, out.r + 3 * k, out.v + 3 * k);
    }
    }
}

}  // namespace astrovia::sgp4

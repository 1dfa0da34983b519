// Batched SGP4/SDP4 propagation of M element sets to N epochs, with optional
// rotation of the TEME states to ITRF or GCRF: plain C++, no Python. The loop
// runs on all OpenMP threads; every state depends on its (record, epoch) pair
// alone, so results do not depend on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frames/celestial_chain.hpp"
#include "propagators/analytical/sgp4/sgp4_kernel.hpp"

namespace astrovia::sgp4 {

// An initialised element set and its epoch on the UTC clock: whole days since
// 2000 January 1 00:00 and the minute of that day.
struct BatchRecord {
    Record rec;
    double epoch_day;
    double epoch_minute;
    int init_error;
};

// Sets up one BatchRecord from the two stored lines of an element set.
void batch_record_from_lines(const char* line1, const char* line2, Gravity g, Mode m, BatchRecord& out);

// Target epochs on the UTC clock, in the same day / minute split. A leap second
// is not counted: during an inserted second the clock holds at 24:00.
struct ClockEpochs {
    const double* day;
    const double* minute;
};

// Splits UTC two-part Julian dates (ERFA's quasi Julian dates: on a day that
// ends in a step of TAI-UTC, a leap second or one of the fractional steps
// before 1972, the fraction is the elapsed time over the stretched day) into
// clock days and minutes, so that the time since an epoch is the difference
// of the UTC clock readings. `jd` is N rows of (date1, date2) with the given
// byte strides.
void clock_epochs_from_utc_jd12(const char* jd, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                                std::size_t n, double* day, double* minute);

// Minutes since the record's epoch.
inline double minutes_since_epoch(const BatchRecord& b, double day, double minute) {
    return (day - b.epoch_day) * 1440.0 + (minute - b.epoch_minute);
}

enum class OutputFrame { teme, itrf, gcrf };

struct BatchOutput {
    double* r;         // (M, N, 3) [m], C order
    double* v;         // (M, N, 3) [m/s]
    std::int8_t* err;  // (M, N) error codes
};

// The TEME-to-target map of one epoch, composed once from the frame chains:
// r_out = A r, v_out = A v + B r (B carries the Earth-rotation term).
struct FrameMap {
    double a[3][3];
    double b[3][3];
};

// From the TEME chain (built with transposed_g = false) and the Earth rotation
// rate of the epoch: r_ITRF = W0 G r, v_ITRF = W0 (G v - w x G r).
void itrf_map(const frames::TemeChain& teme, double omega, FrameMap& out);
// On from ITRF to GCRF: r_GCRF = Q^T r_ITRF, v_GCRF = RC^T (W^T v_ITRF + w x W^T r_ITRF).
void gcrf_map(const frames::TemeChain& teme, const frames::GcrfChain& gcrf, double omega, FrameMap& out);

// Per-epoch maps for ITRF or GCRF output; null for TEME output.
struct EpochChains {
    const FrameMap* maps = nullptr;
};

// An instruction-set path of the batch loops: kPlainPath is the scalar kernel
// (one state at a time), kAutoPath the widest vector path the processor runs
// (sgp4_simd.hpp: one block of satellites at a time); other values index
// path_names() of sgp4_simd.hpp.
constexpr int kAutoPath = -1;
constexpr int kPlainPath = 0;

// Propagates every record to every epoch; `metres_per_km` scales the theory's
// kilometres. Error rows hold NaN. On a given path the state of a (record,
// epoch) pair does not depend on the other records or epochs of the call.
void propagate_batch(const BatchRecord* recs, std::size_t m, const ClockEpochs& epochs, std::size_t n,
                     OutputFrame frame, const EpochChains& chains, double metres_per_km, const BatchOutput& out,
                     int path = kAutoPath);

// The same from minutes since each record's epoch, one row of N per record
// (`minutes` is (M, N) C order): no clock conversion.
void propagate_batch_minutes(const BatchRecord* recs, std::size_t m, const double* minutes, std::size_t n,
                             double metres_per_km, const BatchOutput& out, int path = kAutoPath);

}  // namespace astrovia::sgp4

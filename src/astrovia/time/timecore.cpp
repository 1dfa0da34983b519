// astrovia.time._timecore: the per-epoch loops of Time's scale conversions.
// TT nanoseconds (from J2000.0) to UTC calendar parts with the leap-second
// table, and uniform-scale labels to two-part Julian dates. The Python side
// owns the table and allocates every output.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace nb = nanobind;

namespace {

using I64 = nb::ndarray<int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using F64x2 = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using F64 = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
// inputs: read-only arrays are fine
using I64In = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using F64In = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using F64x2In = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

constexpr int64_t kNsPerS = 1000000000LL;
constexpr int64_t kNsPerDay = 86400LL * kNsPerS;
constexpr int64_t kHalfDay = kNsPerDay / 2;
constexpr int64_t kTtMinusTai = 32184000000LL;
constexpr int64_t kMjdJ2000 = 51544;

inline int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Walks the leap-second table for TAI stamps; epochs usually come in order, so
// each search starts from the last hit.
class LeapCursor {
public:
    LeapCursor(const I64In& ch, const I64In& dat) : c_(ch.data()), d_(dat.data()), m_(std::min<size_t>(ch.shape(0), 256)) {
        // TAI at UTC midnight of each change day
        for (size_t j = 0; j < m_; ++j) start_[j] = (c_[j] - kMjdJ2000) * kNsPerDay - kHalfDay + d_[j] * kNsPerS;
    }

    // UTC day, ns into it, the day's length and TAI-UTC [ns] of a TAI stamp
    // from 1972 on; false for an earlier stamp (ERFA's rates, left to the caller).
    bool utc(int64_t tai, int64_t& day, int64_t& sod, int64_t& length, int64_t& dat_ns) {
        if (m_ == 0 || tai < start_[0]) return false;
        if (!(tai >= start_[k_] && (k_ + 1 == m_ || tai < start_[k_ + 1]))) {
            k_ = static_cast<size_t>(std::upper_bound(start_, start_ + m_, tai) - start_) - 1;
        }
        const int64_t u = tai - d_[k_] * kNsPerS + kHalfDay;
        day = floor_div(u, kNsPerDay);
        sod = u - day * kNsPerDay;
        day += kMjdJ2000;
        length = kNsPerDay;
        if (k_ + 1 < m_) {
            if (day >= c_[k_ + 1]) {  // inside the leap second at the end of day c[k+1] - 1
                day -= 1;
                sod += kNsPerDay;
            }
            if (c_[k_ + 1] == day + 1) length += (d_[k_ + 1] - d_[k_]) * kNsPerS;
        }
        dat_ns = d_[k_] * kNsPerS;
        return true;
    }

private:
    const int64_t* c_;
    const int64_t* d_;
    size_t m_;
    size_t k_ = 0;
    int64_t start_[256];
};

// Row index and weight of date x in a daily table (rows x0, x0 + step, ...), held at the ends.
inline void locate_daily(double x, double x0, double step, size_t rows, size_t& j, double& w) {
    const double last = static_cast<double>(rows - 1);
    double pos = (x - x0) / step;
    pos = pos < 0.0 ? 0.0 : (pos > last ? last : pos);
    j = static_cast<size_t>(pos);
    if (j + 1 >= rows) j = rows >= 2 ? rows - 2 : 0;
    w = pos - static_cast<double>(j);
}

// UTC day, nanoseconds into it, the day's length and TAI-UTC, for TT stamps
// from 1972 on. Returns the number of earlier epochs, whose outputs are left
// for the caller.
size_t utc_from_tt(I64In tt, I64In ch, I64In dat, I64 mjd, I64 sod, I64 len, I64 dat_out) {
    const size_t n = tt.shape(0);
    LeapCursor leap(ch, dat);
    size_t early = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!leap.utc(tt.data()[i] - kTtMinusTai, mjd.data()[i], sod.data()[i], len.data()[i], dat_out.data()[i])) {
            ++early;
            mjd.data()[i] = 0; sod.data()[i] = 0; len.data()[i] = kNsPerDay; dat_out.data()[i] = 0;
        }
    }
    return early;
}

// UTC modified Julian dates (day plus fraction of its length) in one pass;
// false when an epoch precedes 1972.
bool utc_mjd(I64In tt, I64In ch, I64In dat, F64 out) {
    const size_t n = tt.shape(0);
    LeapCursor leap(ch, dat);
    for (size_t i = 0; i < n; ++i) {
        int64_t day, sod, length, dat_ns;
        if (!leap.utc(tt.data()[i] - kTtMinusTai, day, sod, length, dat_ns)) return false;
        out.data()[i] = static_cast<double>(day) + static_cast<double>(sod) / static_cast<double>(length);
    }
    return true;
}

// UT1 two-part Julian dates in one pass: UTC parts, UT1-TAI interpolated in
// column `ut1_col` of the daily table at the UTC date, UT1 = TAI + (UT1-TAI).
// Returns false (outputs incomplete) when an epoch precedes 1972.
bool ut1_jd12(I64In tt, I64In ch, I64In dat, double x0, double step, F64x2In table, int64_t ut1_col, F64x2 out) {
    const size_t n = tt.shape(0), rows = table.shape(0), cols = table.shape(1);
    LeapCursor leap(ch, dat);
    double* o = out.data();
    for (size_t i = 0; i < n; ++i) {
        int64_t day, sod, length, dat_ns;
        const int64_t tai = tt.data()[i] - kTtMinusTai;
        if (!leap.utc(tai, day, sod, length, dat_ns)) return false;
        const double mjd = static_cast<double>(day) + static_cast<double>(sod) / static_cast<double>(length);
        size_t j;
        double w;
        locate_daily(mjd, x0, step, rows, j, w);
        const double* a = table.data() + j * cols + ut1_col;
        const double ut1_tai = a[0] + w * ((rows >= 2 ? a[cols] : a[0]) - a[0]);
        const int64_t u = tai - dat_ns;  // the uniform UTC label (ns from noon of MJD 51544)
        const int64_t days = floor_div(u, kNsPerDay);
        o[2 * i] = 2451545.0 + static_cast<double>(days);
        o[2 * i + 1] = static_cast<double>(u - days * kNsPerDay) / static_cast<double>(kNsPerDay) +
                       (ut1_tai + static_cast<double>(dat_ns) * 1e-9) / 86400.0;
    }
    return true;
}

// Two-part Julian dates of a uniform scale's labels (ns from JD 2451545.0 of that scale).
void label_jd12(I64In label, F64x2 out) {
    const size_t n = label.shape(0);
    double* o = out.data();
    for (size_t i = 0; i < n; ++i) {
        const int64_t l = label.data()[i];
        const int64_t days = floor_div(l, kNsPerDay);
        o[2 * i] = 2451545.0 + static_cast<double>(days);
        o[2 * i + 1] = static_cast<double>(l - days * kNsPerDay) / static_cast<double>(kNsPerDay);
    }
}

// Linear interpolation of the K columns of a daily table (rows x0, x0 + step,
// ...) at the dates x, each value held at the table's ends. Row `ut1_row` of the
// output is UT1-TAI in the table and gets TAI-UTC of the date's UTC day added, so
// it comes out as UT1-UTC; pass -1 for none.
void interp_daily(F64In x, double x0, double step, F64x2In table, I64In ch, I64In dat, int64_t ut1_row, F64x2 out) {
    const size_t n = x.shape(0), rows = table.shape(0), k_cols = table.shape(1);
    const int64_t* c = ch.data();
    const int64_t* d = dat.data();
    const size_t m = ch.shape(0);
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        size_t j;
        double w;
        locate_daily(x.data()[i], x0, step, rows, j, w);
        const double* a = table.data() + j * k_cols;
        const double* b = a + (rows >= 2 ? k_cols : 0);
        for (size_t col = 0; col < k_cols; ++col) out.data()[col * n + i] = a[col] + w * (b[col] - a[col]);
        if (ut1_row >= 0) {
            const int64_t day = static_cast<int64_t>(std::floor(x.data()[i]));
            double tai_utc = 0.0;
            if (m > 0 && day >= c[0]) {
                if (!(day >= c[k] && (k + 1 == m || day < c[k + 1]))) {
                    k = static_cast<size_t>(std::upper_bound(c, c + m, day) - c) - 1;
                }
                tai_utc = static_cast<double>(d[k]);
            }
            out.data()[static_cast<size_t>(ut1_row) * n + i] += tai_utc;
        }
    }
}

}  // namespace

NB_MODULE(_timecore, m) {
    m.doc() = "Per-epoch loops of astrovia.time (private).";
    m.def("utc_from_tt", &utc_from_tt, nb::arg("tt"), nb::arg("ch"), nb::arg("dat"), nb::arg("mjd"), nb::arg("sod"),
          nb::arg("length"), nb::arg("dat_out"));
    m.def("utc_mjd", &utc_mjd, nb::arg("tt"), nb::arg("ch"), nb::arg("dat"), nb::arg("out"));
    m.def("ut1_jd12", &ut1_jd12, nb::arg("tt"), nb::arg("ch"), nb::arg("dat"), nb::arg("x0"), nb::arg("step"),
          nb::arg("table"), nb::arg("ut1_col"), nb::arg("out"));
    m.def("label_jd12", &label_jd12, nb::arg("label"), nb::arg("out"));
    m.def("interp_daily", &interp_daily, nb::arg("x"), nb::arg("x0"), nb::arg("step"), nb::arg("table"),
          nb::arg("ch"), nb::arg("dat"), nb::arg("ut1_row"), nb::arg("out"));
}

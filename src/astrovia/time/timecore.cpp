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

constexpr int64_t kNsPerS = 1000000000LL;
constexpr int64_t kNsPerDay = 86400LL * kNsPerS;
constexpr int64_t kHalfDay = kNsPerDay / 2;
constexpr int64_t kTtMinusTai = 32184000000LL;
constexpr int64_t kMjdJ2000 = 51544;

inline int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// UTC day, nanoseconds into it, the day's length and TAI-UTC, for TT stamps
// from 1972 on. Returns the number of earlier epochs, whose outputs are left
// for the caller (ERFA's pre-1972 rates).
size_t utc_from_tt(I64 tt, I64 ch, I64 dat, I64 mjd, I64 sod, I64 len, I64 dat_out) {
    const size_t n = tt.shape(0), m = ch.shape(0);
    const int64_t* c = ch.data();
    const int64_t* d = dat.data();
    // TAI at UTC midnight of each change day
    int64_t start[256];
    const size_t mm = std::min<size_t>(m, 256);
    for (size_t j = 0; j < mm; ++j) start[j] = (c[j] - kMjdJ2000) * kNsPerDay - kHalfDay + d[j] * kNsPerS;
    size_t early = 0;
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        const int64_t tai = tt.data()[i] - kTtMinusTai;
        if (tai < start[0]) {
            ++early;
            mjd.data()[i] = 0; sod.data()[i] = 0; len.data()[i] = kNsPerDay; dat_out.data()[i] = 0;
            continue;
        }
        // epochs usually come in order: start the search from the last hit
        if (!(tai >= start[k] && (k + 1 == mm || tai < start[k + 1]))) {
            k = static_cast<size_t>(std::upper_bound(start, start + mm, tai) - start) - 1;
        }
        const int64_t u = tai - d[k] * kNsPerS + kHalfDay;
        int64_t day = floor_div(u, kNsPerDay);
        int64_t s = u - day * kNsPerDay;
        day += kMjdJ2000;
        int64_t length = kNsPerDay;
        if (k + 1 < mm) {
            if (day >= c[k + 1]) {  // inside the leap second at the end of day c[k+1] - 1
                day -= 1;
                s += kNsPerDay;
            }
            if (c[k + 1] == day + 1) length += (d[k + 1] - d[k]) * kNsPerS;
        }
        mjd.data()[i] = day;
        sod.data()[i] = s;
        len.data()[i] = length;
        dat_out.data()[i] = d[k] * kNsPerS;
    }
    return early;
}

// Two-part Julian dates of a uniform scale's labels (ns from JD 2451545.0 of that scale).
void label_jd12(I64 label, F64x2 out) {
    const size_t n = label.shape(0);
    double* o = out.data();
    for (size_t i = 0; i < n; ++i) {
        const int64_t l = label.data()[i];
        const int64_t days = floor_div(l, kNsPerDay);
        o[2 * i] = 2451545.0 + static_cast<double>(days);
        o[2 * i + 1] = static_cast<double>(l - days * kNsPerDay) / static_cast<double>(kNsPerDay);
    }
}

using F64 = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Linear interpolation of the K columns of a daily table (rows x0, x0 + step,
// ...) at the dates x, each value held at the table's ends. Row `ut1_row` of the
// output is UT1-TAI in the table and gets TAI-UTC of the date's UTC day added, so
// it comes out as UT1-UTC; pass -1 for none.
void interp_daily(F64 x, double x0, double step, F64x2 table, I64 ch, I64 dat, int64_t ut1_row, F64x2 out) {
    const size_t n = x.shape(0), rows = table.shape(0), k_cols = table.shape(1);
    const double last = static_cast<double>(rows - 1);
    const int64_t* c = ch.data();
    const int64_t* d = dat.data();
    const size_t m = ch.shape(0);
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        double pos = (x.data()[i] - x0) / step;
        pos = pos < 0.0 ? 0.0 : (pos > last ? last : pos);
        size_t j = static_cast<size_t>(pos);
        if (j + 1 >= rows) j = rows >= 2 ? rows - 2 : 0;
        const double w = pos - static_cast<double>(j);
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
    m.def("label_jd12", &label_jd12, nb::arg("label"), nb::arg("out"));
    m.def("interp_daily", &interp_daily, nb::arg("x"), nb::arg("x0"), nb::arg("step"), nb::arg("table"),
          nb::arg("ch"), nb::arg("dat"), nb::arg("ut1_row"), nb::arg("out"));
}

// astrovia.time._timecore: every per-epoch loop of the time scales and of the
// Earth-orientation series, in one place.
//
// This module is a leaf: it imports nothing of astrovia. The tables it works on
// (TAI-UTC, the daily Earth-orientation rows) are read and owned by
// astrovia.iers and handed in on every call; astrovia.time.time calls it for
// arrays of epochs. Every function checks its arguments (types, dtypes,
// dimensions, contiguity, lengths) and raises TypeError / ValueError naming the
// argument; integer arithmetic on stamps is checked, and a stamp whose
// conversion would leave int64 raises ValueError naming it and the span.
//
// Stamps are int64 nanoseconds of TT from J2000.0. The TAI-UTC table has one row
// per era: (first UTC day as MJD, base [s], reference MJD, rate [s/day]); on UTC
// day D at fraction f, TAI-UTC = base + (D + f - reference) * rate, the form of
// the USNO table before 1972 (rate 0 from 1972 on). Before the first row it is 0.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace {

constexpr int64_t kNsPerS = 1000000000LL;
constexpr int64_t kNsPerDay = 86400LL * kNsPerS;
constexpr int64_t kHalfDay = kNsPerDay / 2;
constexpr int64_t kTtMinusTai = 32184000000LL;
constexpr int64_t kMjdJ2000 = 51544;
constexpr double kNsPerDayD = 86400e9;
// Stamps Time supports: two days inside the int64 range, so that every
// calendar split below stays representable.
constexpr int64_t kSpan = std::numeric_limits<int64_t>::max() - 2 * kNsPerDay;
constexpr const char* kSpanText =
    "the span of Time: TT nanoseconds from J2000.0 within +-9223199236854775807, 1707-09-24 to 2292-04-09";
constexpr size_t kEopCols = 6;  // pm_x, pm_y, dX, dY, lod, UT1-TAI
constexpr size_t kUt1Col = 5;

[[noreturn]] void outside_span(const char* what, int64_t value) {
    throw nb::value_error((std::string(what) + " " + std::to_string(value) + " lies outside " + kSpanText).c_str());
}

inline void check_stamp(int64_t v, const char* name) {
    if (v < -kSpan || v > kSpan) outside_span(name, v);
}

inline int64_t add_checked(int64_t a, int64_t b, const char* name, int64_t shown) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) outside_span(name, shown);
    return r;
}

inline int64_t mul_checked(int64_t a, int64_t b, const char* name, int64_t shown) {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) outside_span(name, shown);
    return r;
}

// Nearest integer, halves away from zero (as llround, without the library call);
// astrovia.time.time rounds one epoch the same way, so both paths agree.
inline int64_t round_half_away(double v) {
    return v >= 0.0 ? static_cast<int64_t>(v + 0.5) : -static_cast<int64_t>(-v + 0.5);
}

inline int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// ------------------------------------------------------------- buffer views --

// A buffer view held for the whole call: C-contiguous, of one item type and a
// fixed number of dimensions. Every failure names the argument.
class View {
public:
    View(nb::handle obj, const char* name, char kind, int ndim, bool writable) : name_(name) {
        if (!PyObject_CheckBuffer(obj.ptr())) {
            throw nb::type_error((std::string(name) + " must be a NumPy array of " + type_name(kind) + ", not " +
                                  Py_TYPE(obj.ptr())->tp_name).c_str());
        }
        int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) {
            PyErr_Clear();
            if (writable) throw nb::value_error((std::string(name) + " must be a writable array").c_str());
            throw nb::type_error((std::string(name) + " does not export a usable buffer").c_str());
        }
        held_ = true;
        if (view_.ndim != ndim) {
            fail(std::string(name) + " must have " + std::to_string(ndim) + " dimension" + (ndim == 1 ? "" : "s") +
                 ", not " + std::to_string(view_.ndim));
        }
        if (!format_is(kind)) {
            fail(std::string(name) + " must hold " + type_name(kind) + ", not items of format '" +
                 (view_.format ? view_.format : "B") + "'");
        }
        Py_ssize_t expect = view_.itemsize;
        for (int d = ndim - 1; d >= 0; --d) {
            if (view_.shape[d] > 1 && view_.strides[d] != expect) {
                fail(std::string(name) + " must be C-contiguous");
            }
            expect *= view_.shape[d];
        }
    }
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    size_t shape(int d) const { return static_cast<size_t>(view_.shape[d]); }
    size_t size() const {
        size_t n = 1;
        for (int d = 0; d < view_.ndim; ++d) n *= shape(d);
        return n;
    }
    const int64_t* i64() const { return static_cast<const int64_t*>(view_.buf); }
    int64_t* i64_out() const { return static_cast<int64_t*>(view_.buf); }
    const double* f64() const { return static_cast<const double*>(view_.buf); }
    double* f64_out() const { return static_cast<double*>(view_.buf); }
    const char* name() const { return name_; }

private:
    static const char* type_name(char kind) { return kind == 'i' ? "int64" : "float64"; }
    bool format_is(char kind) const {
        if (view_.itemsize != 8) return false;
        const char* f = view_.format ? view_.format : "B";
        if (f[0] == '@' || f[0] == '=' || f[0] == '<') ++f;
        if (kind == 'i') return std::strcmp(f, "q") == 0 || std::strcmp(f, "l") == 0;
        return std::strcmp(f, "d") == 0;
    }
    [[noreturn]] void fail(const std::string& msg) {
        PyBuffer_Release(&view_);
        held_ = false;
        throw nb::value_error(msg.c_str());
    }
    Py_buffer view_{};
    bool held_ = false;
    const char* name_;
};

nb::object numpy_empty(std::initializer_list<size_t> shape, const char* dtype) {
    // numpy.empty, looked up once and kept for the life of the process
    static nb::handle empty = nb::object(nb::module_::import_("numpy").attr("empty")).release();
    nb::list dims;
    for (size_t s : shape) dims.append(s);
    return empty(nb::tuple(dims), nb::arg("dtype") = dtype);
}

// The length of a result taken pairwise from n and m values: one value goes with
// any number of the other, else both counts must agree (ValueError with the text
// `mismatch()` otherwise).
template <class Message>
size_t paired_length(size_t n, size_t m, Message mismatch) {
    if (n != 1 && m != 1 && m != n) throw nb::value_error(mismatch().c_str());
    return n == 1 ? m : n;
}

void require_same_length(const View& a, const View& b) {
    if (a.shape(0) != b.shape(0)) {
        throw nb::value_error((std::string(b.name()) + " has " + std::to_string(b.shape(0)) + " values, but " +
                               a.name() + " has " + std::to_string(a.shape(0))).c_str());
    }
}

// ----------------------------------------------------------- TAI-UTC eras --

struct Era {
    int64_t start;  // first UTC day (MJD)
    double base, ref, rate;
};

// The TAI-UTC table of one call, checked once: (M, 4) float64 rows in
// increasing order of their first day, whole days.
class Leap {
public:
    explicit Leap(nb::handle table) {
        View v(table, "leap", 'f', 2, false);
        if (v.shape(1) != 4) throw nb::value_error("leap must have 4 columns (start MJD, base, reference MJD, rate)");
        if (v.shape(0) == 0 || v.shape(0) > 4096) throw nb::value_error("leap must have between 1 and 4096 rows");
        const double* p = v.f64();
        eras_.reserve(v.shape(0));
        for (size_t k = 0; k < v.shape(0); ++k) {
            const double s = p[4 * k];
            if (!(std::isfinite(s) && s == std::floor(s) && std::fabs(s) < 1e7) || !std::isfinite(p[4 * k + 1]) ||
                !std::isfinite(p[4 * k + 2]) || !std::isfinite(p[4 * k + 3]) || std::fabs(p[4 * k + 1]) > 1e6 ||
                std::fabs(p[4 * k + 3]) > 1.0) {
                throw nb::value_error(("leap row " + std::to_string(k) + " is not a TAI-UTC era").c_str());
            }
            if (k > 0 && s <= p[4 * (k - 1)]) throw nb::value_error("leap rows must be in increasing order of day");
            eras_.push_back({static_cast<int64_t>(s), p[4 * k + 1], p[4 * k + 2], p[4 * k + 3]});
        }
        for (const Era& e : eras_) {
            tai_start_.push_back(label_ns(e.start, 0) + round_half_away(dat_s(e, e.start, 0.0) * 1e9));
            base_ns_.push_back(round_half_away(e.base * 1e9));
        }
    }

    // Index of the era of UTC day `day`, -1 before the first. Epochs mostly come
    // in order, so the last answer is tried first.
    long era_of_day(int64_t day) const {
        const long m = static_cast<long>(eras_.size());
        const long k = day_cursor_;
        if (k >= 0 && day >= eras_[k].start && (k + 1 == m || day < eras_[k + 1].start)) return k;
        auto it = std::upper_bound(eras_.begin(), eras_.end(), day, [](int64_t d, const Era& e) { return d < e.start; });
        day_cursor_ = static_cast<long>(it - eras_.begin()) - 1;
        return day_cursor_;
    }

    // Index of the era of a TAI stamp, -1 before the first; cached likewise.
    long era_of_tai(int64_t tai) const {
        const long m = static_cast<long>(tai_start_.size());
        const long k = tai_cursor_;
        if (k >= 0 && tai >= tai_start_[k] && (k + 1 == m || tai < tai_start_[k + 1])) return k;
        auto it = std::upper_bound(tai_start_.begin(), tai_start_.end(), tai);
        tai_cursor_ = static_cast<long>(it - tai_start_.begin()) - 1;
        return tai_cursor_;
    }

    static double dat_s(const Era& e, int64_t day, double fd) {
        return e.base + (static_cast<double>(day) + fd - e.ref) * e.rate;
    }

    // TAI-UTC [ns] on UTC day `day`, `sod` ns into it (the fraction is held in [0, 1]).
    int64_t dat_ns(int64_t day, int64_t sod) const {
        long k = era_of_day(day);
        if (k < 0) return 0;
        const Era& e = eras_[k];
        if (e.rate == 0.0) return base_ns_[k];
        double fd = static_cast<double>(sod) / kNsPerDayD;
        fd = fd < 0.0 ? 0.0 : (fd > 1.0 ? 1.0 : fd);
        return round_half_away(dat_s(e, day, fd) * 1e9);
    }

    // TAI-UTC [s] at a UTC date (day, fraction), for interpolation.
    double dat_at(int64_t day, double fd) const {
        long k = era_of_day(day);
        if (k < 0) return 0.0;
        const Era& e = eras_[k];
        return e.rate == 0.0 ? e.base : dat_s(e, day, fd);
    }

    // Length [ns] of UTC day `day`: 86400 s plus the step of TAI-UTC at its end.
    int64_t day_length(int64_t day) const {
        long k0 = era_of_day(day), k1 = era_of_day(day + 1);
        if (k1 < 0) return kNsPerDay;
        const double end = k0 < 0 ? 0.0 : dat_s(eras_[k0], day, 1.0);
        const double next = dat_s(eras_[k1], day + 1, 0.0);
        return kNsPerDay + round_half_away((next - end) * 1e9);
    }

    // UTC day, ns into it, the day's length and TAI-UTC [ns] of a TAI stamp
    // (ns from J2000.0 on the TAI scale; |tai| within the span).
    void utc(int64_t tai, int64_t& day, int64_t& sod, int64_t& length, int64_t& dat) const {
        // Fast path: an era of whole seconds, and the stamp well inside it.
        const long k = era_of_tai(tai);
        if (k >= 0 && eras_[k].rate == 0.0) {
            dat = base_ns_[k];
            const int64_t u = tai - dat + kHalfDay;
            day = floor_div(u, kNsPerDay);
            sod = u - day * kNsPerDay;
            day += kMjdJ2000;
            if (static_cast<size_t>(k + 1) < eras_.size() && day >= eras_[k + 1].start) {  // inside a leap second
                day -= 1;
                sod += kNsPerDay;
            }
            length = (static_cast<size_t>(k + 1) < eras_.size() && eras_[k + 1].start == day + 1) ? day_length(day)
                                                                                                  : kNsPerDay;
            return;
        }
        const int64_t tai_day = floor_div(tai + kHalfDay, kNsPerDay) + kMjdJ2000;
        // Drifting eras (and before the table): the UTC day is that of the TAI
        // label or the one before (TAI-UTC was between 0 and a few seconds);
        // on the candidate day TAI-UTC is linear in the time of day, solved
        // directly and settled to the nanosecond against the forward mapping.
        for (int64_t cand : {tai_day, tai_day - 1}) {
            const int64_t a = tai - label_ns(cand, 0);  // sod + dat, ns
            const long ke = era_of_day(cand);
            int64_t s = a, d = 0;
            if (ke >= 0) {
                const Era& e = eras_[ke];
                const double d0 = dat_s(e, cand, 0.0) * 1e9;
                s = round_half_away((static_cast<double>(a) - d0) / (1.0 + e.rate / 86400.0));
                for (int it2 = 0; it2 < 4; ++it2) {
                    d = dat_ns(cand, s);
                    if (a - d == s) break;
                    s = a - d;
                }
            }
            if (s >= 0 || cand != tai_day) {
                day = cand;
                sod = s;
                dat = d;
                length = day_length(cand);
                return;
            }
        }
    }

    static int64_t label_ns(int64_t day, int64_t sod) { return (day - kMjdJ2000) * kNsPerDay - kHalfDay + sod; }

    const Era& last() const { return eras_.back(); }

private:
    std::vector<Era> eras_;
    std::vector<int64_t> tai_start_;  // TAI at UTC midnight of each era's first day
    std::vector<int64_t> base_ns_;    // each era's base in ns (TAI-UTC itself where the rate is 0)
    mutable long day_cursor_ = -1, tai_cursor_ = -1;
};

// ------------------------------------------------------- daily EOP table --

// The daily Earth-orientation rows of one call: (R, 6) float64, rows at
// x0, x0 + 1, ... (UTC MJD); columns pm_x, pm_y, dX, dY, lod, UT1-TAI.
class Daily {
public:
    Daily(nb::handle table, double x0, double dut1_first) : view_(table, "table", 'f', 2, false), x0_(x0), first_(dut1_first) {
        if (view_.shape(1) != kEopCols) throw nb::value_error("table must have 6 columns (pm_x, pm_y, dX, dY, lod, UT1-TAI)");
        if (view_.shape(0) < 2) throw nb::value_error("table must have at least 2 rows");
        if (!std::isfinite(x0) || std::fabs(x0) > 1e7) throw nb::value_error("x0 must be a finite MJD");
        rows_ = view_.shape(0);
        p_ = view_.f64();
    }

    // Row index and weight of date x (finite or infinite, not NaN), held at the ends.
    void locate(double x, size_t& j, double& w) const {
        const double last = static_cast<double>(rows_ - 1);
        double pos = x - x0_;
        pos = pos < 0.0 ? 0.0 : (pos > last ? last : pos);
        j = static_cast<size_t>(pos);
        if (j + 1 >= rows_) j = rows_ - 2;
        w = pos - static_cast<double>(j);
    }

    double value(size_t j, double w, size_t col) const {
        const double a = p_[j * kEopCols + col];
        return a + w * (p_[(j + 1) * kEopCols + col] - a);
    }

    // UT1-UTC [s] at UTC date x = day + fd: UT1-TAI interpolated, plus TAI-UTC
    // of that instant; before the first row UT1-UTC itself is held.
    double dut1(const Leap& leap, double x, int64_t day, double fd) const {
        if (x < x0_) return first_;
        size_t j;
        double w;
        locate(x, j, w);
        return value(j, w, kUt1Col) + leap.dat_at(day, fd);
    }

    // The same with the row and weight of x already located.
    double dut1_at(const Leap& leap, double x, size_t j, double w, int64_t day, double fd) const {
        if (x < x0_) return first_;
        return value(j, w, kUt1Col) + leap.dat_at(day, fd);
    }

    double x0() const { return x0_; }

private:
    View view_;
    double x0_, first_;
    size_t rows_;
    const double* p_;
};

// Whole day and fraction of a UTC date, with the day clamped to a range where
// every table lookup is defined (far dates only hold end values).
inline void split_date(double x, int64_t& day, double& fd) {
    const double c = x < -1e7 ? -1e7 : (x > 1e7 ? 1e7 : x);
    const double f = std::floor(c);
    day = static_cast<int64_t>(f);
    fd = c - f;
}

// ------------------------------------------------------------------ loops --

nb::tuple utc_parts(nb::handle tt_obj, nb::handle leap_obj) {
    View tt(tt_obj, "tt", 'i', 1, false);
    Leap leap(leap_obj);
    const size_t n = tt.shape(0);
    nb::object mjd_o = numpy_empty({n}, "int64"), sod_o = numpy_empty({n}, "int64"), len_o = numpy_empty({n}, "int64"),
               dat_o = numpy_empty({n}, "int64");
    View mjd(mjd_o, "mjd", 'i', 1, true), sod(sod_o, "sod", 'i', 1, true), len(len_o, "length", 'i', 1, true),
        dat(dat_o, "dat", 'i', 1, true);
    for (size_t i = 0; i < n; ++i) {
        const int64_t v = tt.i64()[i];
        check_stamp(v, "tt stamp");
        leap.utc(v - kTtMinusTai, mjd.i64_out()[i], sod.i64_out()[i], len.i64_out()[i], dat.i64_out()[i]);
    }
    return nb::make_tuple(mjd_o, sod_o, len_o, dat_o);
}

// One float64 row of `Cols` values per stamp, written by `row` from the stamp's
// UTC day (MJD), the nanoseconds into it and the day's length.
template <size_t Cols, class Row>
nb::object utc_rows(nb::handle tt_obj, nb::handle leap_obj, Row row) {
    View tt(tt_obj, "tt", 'i', 1, false);
    Leap leap(leap_obj);
    const size_t n = tt.shape(0);
    nb::object out_o = Cols == 1 ? numpy_empty({n}, "float64") : numpy_empty({n, Cols}, "float64");
    View out(out_o, "out", 'f', Cols == 1 ? 1 : 2, true);
    double* o = out.f64_out();
    for (size_t i = 0; i < n; ++i) {
        const int64_t v = tt.i64()[i];
        check_stamp(v, "tt stamp");
        int64_t day, sod, length, dat;
        leap.utc(v - kTtMinusTai, day, sod, length, dat);
        row(o + Cols * i, day, sod, length);
    }
    return out_o;
}

nb::object utc_mjd(nb::handle tt_obj, nb::handle leap_obj) {
    return utc_rows<1>(tt_obj, leap_obj, [](double* o, int64_t day, int64_t sod, int64_t length) {
        o[0] = static_cast<double>(day) + static_cast<double>(sod) / static_cast<double>(length);
    });
}

nb::object utc_jd12(nb::handle tt_obj, nb::handle leap_obj) {
    return utc_rows<2>(tt_obj, leap_obj, [](double* o, int64_t day, int64_t sod, int64_t length) {
        o[0] = static_cast<double>(day) + 2400000.5;
        o[1] = static_cast<double>(sod) / static_cast<double>(length);
    });
}

// Two-part Julian dates of the labels tt - offset_ns (TT: 0; TAI: 32.184 s).
nb::object label_jd12(nb::handle tt_obj, int64_t offset_ns) {
    View tt(tt_obj, "tt", 'i', 1, false);
    if (offset_ns < -kNsPerDay || offset_ns > kNsPerDay) throw nb::value_error("offset_ns must lie within one day");
    const size_t n = tt.shape(0);
    nb::object out_o = numpy_empty({n, 2}, "float64");
    View out(out_o, "out", 'f', 2, true);
    double* o = out.f64_out();
    for (size_t i = 0; i < n; ++i) {
        const int64_t v = tt.i64()[i];
        check_stamp(v, "tt stamp");
        const int64_t l = v - offset_ns;
        const int64_t days = floor_div(l, kNsPerDay);
        o[2 * i] = 2451545.0 + static_cast<double>(days);
        o[2 * i + 1] = static_cast<double>(l - days * kNsPerDay) / kNsPerDayD;
    }
    return out_o;
}

enum Scale : int { kUtc = 0, kTai = 1, kTt = 2 };

Scale scale_of(int code) {
    if (code < 0 || code > 2) throw nb::value_error("scale must be 0 (UTC), 1 (TAI) or 2 (TT)");
    return static_cast<Scale>(code);
}

// TT stamp of a calendar label: `sod` ns into day `mjd` on `scale`.
inline int64_t tt_from_label(const Leap& leap, Scale scale, int64_t mjd, int64_t sod, const char* name, int64_t shown) {
    const int64_t days = add_checked(mjd, -kMjdJ2000, name, shown);
    int64_t l = mul_checked(days, kNsPerDay, name, shown);
    l = add_checked(l, -kHalfDay, name, shown);
    l = add_checked(l, sod, name, shown);
    if (scale == kUtc) l = add_checked(l, leap.dat_ns(mjd, sod), name, shown);
    if (scale != kTt) l = add_checked(l, kTtMinusTai, name, shown);
    check_stamp(l, name);
    return l;
}

nb::object tt_from_labels(nb::handle mjd_obj, nb::handle sod_obj, int scale_code, nb::handle leap_obj) {
    View mjd(mjd_obj, "mjd", 'i', 1, false), sod(sod_obj, "sod", 'i', 1, false);
    require_same_length(mjd, sod);
    const Scale scale = scale_of(scale_code);
    Leap leap(leap_obj);
    const size_t n = mjd.shape(0);
    nb::object out_o = numpy_empty({n}, "int64");
    View out(out_o, "out", 'i', 1, true);
    for (size_t i = 0; i < n; ++i) {
        const int64_t s = sod.i64()[i];
        if (s < 0 || s > kNsPerDay + 2 * kNsPerS) {
            throw nb::value_error(("sod " + std::to_string(s) + " is not a time of day in nanoseconds").c_str());
        }
        out.i64_out()[i] = tt_from_label(leap, scale, mjd.i64()[i], s, "date (MJD)", mjd.i64()[i]);
    }
    return out_o;
}

// TT stamps of two-part dates (date1 + date2 - offset is a modified Julian date
// on `scale`; offset 2400000.5 for Julian dates, 0 for modified ones). On UTC the
// fraction is that of the day's own length, as ERFA counts it. `date2` may be
// None. Non-finite dates and dates outside the span raise ValueError.
nb::object tt_from_dates(nb::handle d1_obj, nb::handle d2_obj, double offset, int scale_code, nb::handle leap_obj) {
    View d1(d1_obj, "date1", 'f', 1, false);
    std::optional<View> d2;
    if (!d2_obj.is_none()) {
        d2.emplace(d2_obj, "date2", 'f', 1, false);
        require_same_length(d1, *d2);
    }
    if (offset != 0.0 && offset != 2400000.5) throw nb::value_error("offset must be 0 or 2400000.5");
    const Scale scale = scale_of(scale_code);
    Leap leap(leap_obj);
    const size_t n = d1.shape(0);
    nb::object out_o = numpy_empty({n}, "int64");
    View out(out_o, "out", 'i', 1, true);
    constexpr double kLimit = 2.0e5;  // MJD; Time's span is far inside
    for (size_t i = 0; i < n; ++i) {
        const double a = d1.f64()[i], b = d2 ? d2->f64()[i] : 0.0;
        if (!std::isfinite(a) || !std::isfinite(b) || std::fabs(a - offset + b) > kLimit) {
            const std::string shown = std::to_string(a) + (d2 ? " + " + std::to_string(b) : std::string());
            throw nb::value_error(("date " + shown + " lies outside " + kSpanText).c_str());
        }
        // whole days exactly, the rest as one small fraction
        const double ia = std::floor(a), ib = std::floor(b);
        double frac = (a - ia) + (b - ib) - (offset - std::floor(offset));
        int64_t day = static_cast<int64_t>(ia) + static_cast<int64_t>(ib) - static_cast<int64_t>(std::floor(offset));
        const double fl = std::floor(frac);
        day += static_cast<int64_t>(fl);
        frac -= fl;
        const int64_t length = scale == kUtc ? leap.day_length(day) : kNsPerDay;
        const int64_t sod = round_half_away(frac * static_cast<double>(length));
        const int64_t shown = static_cast<int64_t>(a);  // |a| < 2e5 + offset here
        out.i64_out()[i] = tt_from_label(leap, scale, day, sod, "date", shown);
    }
    return out_o;
}

// tt + seconds (one value, or one per epoch), rounded to the nanosecond.
nb::object add_seconds(nb::handle tt_obj, nb::handle sec_obj) {
    View tt(tt_obj, "tt", 'i', 1, false), sec(sec_obj, "seconds", 'f', 1, false);
    const size_t n = tt.shape(0), m = sec.shape(0);
    const size_t len = paired_length(n, m, [&] {
        return "seconds has " + std::to_string(m) + " values, but the Time has " + std::to_string(n) + " epochs";
    });
    nb::object out_o = numpy_empty({len}, "int64");
    View out(out_o, "out", 'i', 1, true);
    for (size_t i = 0; i < len; ++i) {
        const double s = sec.f64()[m == 1 ? 0 : i];
        const int64_t t = tt.i64()[n == 1 ? 0 : i];
        check_stamp(t, "tt stamp");
        if (!std::isfinite(s) || std::fabs(s) > 2.0e10) {
            throw nb::value_error(("seconds " + std::to_string(s) + " would take the epoch outside " + kSpanText).c_str());
        }
        const double whole = std::floor(s);
        int64_t delta, r;
        if (__builtin_mul_overflow(static_cast<int64_t>(whole), kNsPerS, &delta) ||
            __builtin_add_overflow(delta, round_half_away((s - whole) * 1e9), &delta) ||
            __builtin_add_overflow(t, delta, &r) || r < -kSpan || r > kSpan) {
            throw nb::value_error(("seconds " + std::to_string(s) + " would take the epoch outside " + kSpanText).c_str());
        }
        out.i64_out()[i] = r;
    }
    return out_o;
}

// a - b in seconds, exact before the final rounding to float64, for any two stamps.
nb::object elapsed(nb::handle a_obj, nb::handle b_obj) {
    View a(a_obj, "a", 'i', 1, false), b(b_obj, "b", 'i', 1, false);
    const size_t n = a.shape(0), m = b.shape(0);
    const size_t len = paired_length(n, m, [&] {
        return "b has " + std::to_string(m) + " epochs, but a has " + std::to_string(n);
    });
    nb::object out_o = numpy_empty({len}, "float64");
    View out(out_o, "out", 'f', 1, true);
    for (size_t i = 0; i < len; ++i) {
        const __int128 d = static_cast<__int128>(a.i64()[n == 1 ? 0 : i]) - b.i64()[m == 1 ? 0 : i];
        __int128 whole = d / kNsPerS, rest = d % kNsPerS;
        if (rest < 0) {
            whole -= 1;
            rest += kNsPerS;
        }
        out.f64_out()[i] = static_cast<double>(static_cast<int64_t>(whole)) + static_cast<double>(static_cast<int64_t>(rest)) / 1e9;
    }
    return out_o;
}

double nan_aware_max(double current, double x) { return (x > current) ? x : current; }

// Earth-orientation values at UTC dates x: a (6, N) array of pm_x, pm_y, dX,
// dY, lod and UT1-UTC, and the earliest and latest dates seen other than NaN
// (+inf and -inf when there are none). NaN dates give NaN values.
nb::tuple eop_values(nb::handle x_obj, nb::handle table_obj, double x0, double dut1_first, nb::handle leap_obj) {
    View x(x_obj, "x", 'f', 1, false);
    Daily daily(table_obj, x0, dut1_first);
    Leap leap(leap_obj);
    const size_t n = x.shape(0);
    nb::object out_o = numpy_empty({kEopCols, n}, "float64");
    View out(out_o, "out", 'f', 2, true);
    double* o = out.f64_out();
    double latest = -std::numeric_limits<double>::infinity();
    double earliest = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (size_t i = 0; i < n; ++i) {
        const double xi = x.f64()[i];
        if (std::isnan(xi)) {
            for (size_t c = 0; c < kEopCols; ++c) o[c * n + i] = nan;
            continue;
        }
        latest = nan_aware_max(latest, xi);
        earliest = xi < earliest ? xi : earliest;
        size_t j;
        double w;
        daily.locate(xi, j, w);
        for (size_t c = 0; c < kUt1Col; ++c) o[c * n + i] = daily.value(j, w, c);
        int64_t day;
        double fd;
        split_date(xi, day, fd);
        o[kUt1Col * n + i] = daily.dut1_at(leap, xi, j, w, day, fd);
    }
    return nb::make_tuple(out_o, earliest, latest);
}

// UT1 two-part Julian dates of TT stamps in one pass, and the latest UTC date seen.
nb::tuple ut1_jd12(nb::handle tt_obj, nb::handle table_obj, double x0, double dut1_first, nb::handle leap_obj) {
    View tt(tt_obj, "tt", 'i', 1, false);
    Daily daily(table_obj, x0, dut1_first);
    Leap leap(leap_obj);
    const size_t n = tt.shape(0);
    nb::object out_o = numpy_empty({n, 2}, "float64");
    View out(out_o, "out", 'f', 2, true);
    double* o = out.f64_out();
    double latest = -std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < n; ++i) {
        const int64_t v = tt.i64()[i];
        check_stamp(v, "tt stamp");
        int64_t day, sod, length, dat;
        const int64_t tai = v - kTtMinusTai;
        leap.utc(tai, day, sod, length, dat);
        // the date only places the epoch in the table: a product with the
        // reciprocal of the day's length is close enough, and cheaper
        const double fd = static_cast<double>(sod) * (length == kNsPerDay ? 1.0 / kNsPerDayD : 1.0 / static_cast<double>(length));
        const double mjd = static_cast<double>(day) + fd;
        latest = nan_aware_max(latest, mjd);
        const double dut1 = daily.dut1(leap, mjd, day, fd);
        // UT1 = UTC + (UT1-UTC), with UTC as the uniform label TAI - (TAI-UTC)
        const int64_t u = tai - dat;
        const int64_t days = floor_div(u, kNsPerDay);
        o[2 * i] = 2451545.0 + static_cast<double>(days);
        o[2 * i + 1] = static_cast<double>(u - days * kNsPerDay) / kNsPerDayD + dut1 * (1.0 / 86400.0);
    }
    return nb::make_tuple(out_o, latest);
}

// The per-epoch inputs of a frame conversion in one pass over TT stamps: the TT
// two-part dates (when with_tt), the UT1 ones, and the Earth-orientation values
// pm_x, pm_y, (dX, dY when with_tt,) lod at the UTC dates, with the latest UTC
// date seen. Each value is the one the separate loops give (label_jd12 with
// offset 0, ut1_jd12, utc_mjd then eop_values), to the bit; the UTC split of an
// epoch is made once for all of them.
nb::tuple frame_inputs(nb::handle tt_obj, nb::handle table_obj, double x0, double dut1_first, nb::handle leap_obj,
                       bool with_tt) {
    View tt(tt_obj, "tt", 'i', 1, false);
    Daily daily(table_obj, x0, dut1_first);
    Leap leap(leap_obj);
    const size_t n = tt.shape(0);
    nb::object tt_o = with_tt ? numpy_empty({n, 2}, "float64") : nb::none();
    nb::object ut1_o = numpy_empty({n, 2}, "float64");
    nb::object eop_o = numpy_empty({5, n}, "float64");
    std::optional<View> tt_out;
    if (with_tt) tt_out.emplace(tt_o, "tt_jd12", 'f', 2, true);
    View ut1_out(ut1_o, "ut1_jd12", 'f', 2, true), eop_out(eop_o, "eop", 'f', 2, true);
    double* ot = with_tt ? tt_out->f64_out() : nullptr;
    double* ou = ut1_out.f64_out();
    double* oe = eop_out.f64_out();
    double latest = -std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < n; ++i) {
        const int64_t v = tt.i64()[i];
        check_stamp(v, "tt stamp");
        if (ot != nullptr) {
            const int64_t days = floor_div(v, kNsPerDay);
            ot[2 * i] = 2451545.0 + static_cast<double>(days);
            ot[2 * i + 1] = static_cast<double>(v - days * kNsPerDay) / kNsPerDayD;
        }
        int64_t day, sod, length, dat;
        const int64_t tai = v - kTtMinusTai;
        leap.utc(tai, day, sod, length, dat);
        // UT1, as ut1_jd12 makes it (the date placing the epoch in the table
        // from the reciprocal of the day's length)
        const double fd = static_cast<double>(sod) * (length == kNsPerDay ? 1.0 / kNsPerDayD : 1.0 / static_cast<double>(length));
        const double mjd_ut1 = static_cast<double>(day) + fd;
        const double dut1 = daily.dut1(leap, mjd_ut1, day, fd);
        const int64_t u = tai - dat;
        const int64_t udays = floor_div(u, kNsPerDay);
        ou[2 * i] = 2451545.0 + static_cast<double>(udays);
        ou[2 * i + 1] = static_cast<double>(u - udays * kNsPerDay) / kNsPerDayD + dut1 * (1.0 / 86400.0);
        // the UTC date as utc_mjd gives it, and the table's values there as eop_values
        const double mjd = static_cast<double>(day) + static_cast<double>(sod) / static_cast<double>(length);
        latest = nan_aware_max(latest, mjd);
        size_t j;
        double w;
        daily.locate(mjd, j, w);
        oe[i] = daily.value(j, w, 0);
        oe[n + i] = daily.value(j, w, 1);
        if (with_tt) {
            oe[2 * n + i] = daily.value(j, w, 2);
            oe[3 * n + i] = daily.value(j, w, 3);
        }
        oe[4 * n + i] = daily.value(j, w, 4);
    }
    return nb::make_tuple(tt_o, ut1_o, eop_o, latest);
}

}  // namespace

NB_MODULE(_timecore, m) {
    m.doc() =
        "Per-epoch loops of the time scales and the Earth-orientation series (private). The tables are "
        "owned by astrovia.iers and passed in; stamps are int64 TT nanoseconds from J2000.0.";
    m.attr("SPAN_NS") = kSpan;
    m.def("utc_parts", &utc_parts, nb::arg("tt"), nb::arg("leap"),
          "(mjd, sod, length, dat) of UTC for TT stamps: int64 arrays (day, ns into it, day length ns, TAI-UTC ns).");
    m.def("utc_mjd", &utc_mjd, nb::arg("tt"), nb::arg("leap"), "UTC modified Julian dates of TT stamps.");
    m.def("utc_jd12", &utc_jd12, nb::arg("tt"), nb::arg("leap"), "UTC two-part Julian dates of TT stamps, (N, 2).");
    m.def("label_jd12", &label_jd12, nb::arg("tt"), nb::arg("offset_ns"),
          "Two-part Julian dates, (N, 2), of the uniform labels tt - offset_ns.");
    m.def("tt_from_labels", &tt_from_labels, nb::arg("mjd"), nb::arg("sod"), nb::arg("scale"), nb::arg("leap"),
          "TT stamps of calendar labels (day, ns into it) on scale 0 UTC, 1 TAI, 2 TT.");
    m.def("tt_from_dates", &tt_from_dates, nb::arg("date1"), nb::arg("date2").none(), nb::arg("offset"),
          nb::arg("scale"), nb::arg("leap"), "TT stamps of (two-part) Julian or modified Julian dates.");
    m.def("add_seconds", &add_seconds, nb::arg("tt"), nb::arg("seconds"), "TT stamps plus seconds, checked.");
    m.def("elapsed", &elapsed, nb::arg("a"), nb::arg("b"), "a - b in seconds (float64) for stamps a and b.");
    m.def("eop_values", &eop_values, nb::arg("x"), nb::arg("table"), nb::arg("x0"), nb::arg("dut1_first"),
          nb::arg("leap"), "((6, N) values at UTC dates x, earliest date, latest date).");
    m.def("ut1_jd12", &ut1_jd12, nb::arg("tt"), nb::arg("table"), nb::arg("x0"), nb::arg("dut1_first"),
          nb::arg("leap"), "((N, 2) UT1 two-part Julian dates, latest UTC date).");
    m.def("frame_inputs", &frame_inputs, nb::arg("tt"), nb::arg("table"), nb::arg("x0"), nb::arg("dut1_first"),
          nb::arg("leap"), nb::arg("with_tt"),
          "((N, 2) TT dates or None, (N, 2) UT1 dates, (5, N) pm_x, pm_y, dX, dY, lod at the UTC dates (dX, dY "
          "only with_tt), latest UTC date): a frame conversion's inputs in one pass.");
}

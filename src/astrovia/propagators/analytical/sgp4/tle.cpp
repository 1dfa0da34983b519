// astrovia.propagators.analytical.sgp4.tle: the TLE record, the ELSET history
// of one satellite, their framed text, and the catalogue readers and writers
// (two- and three-line text, OMM in JSON and CSV). The field reader and the
// catalogue kernel (tle_fields.cpp, tle_catalogue.cpp) hold no Python; this
// file binds them to Time, the Earth's constants, the Kepler solver and the
// presentation base type.
//
// Every call back into Python that can recurse (the text hooks) goes through
// the interpreter's recursion guard; every object a Python-level step returns
// (numpy.empty, numpy.arange, Time(...).int64) is checked before native code
// reads or writes it.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <memory>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "mathtools/misc/misc.hpp"
#include "propagators/analytical/sgp4/tle.hpp"
#include "propagators/analytical/sgp4/tle_catalogue.hpp"
#include "propagators/analytical/sgp4/tle_fields.hpp"
#include "state/coe/coe.hpp"
#include "utils/representable.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrovia;
using astrovia::sgp4::ELSET;
using astrovia::sgp4::TLE;
namespace fields = astrovia::sgp4::fields;
namespace cat = astrovia::sgp4::catalogue;

namespace {

// What the module binds at import. The handles are owned for the life of the
// process (never released), so nothing runs at interpreter shutdown.
struct Bound {
    nb::handle time_type;   // astrovia.time.time.Time
    nb::handle earth;       // astrovia.bodies.bodies.Earth
    nb::handle teme;        // astrovia.frames.frames.TEME
    nb::handle integral;    // numbers.Integral
    nb::handle np_empty, np_asarray, np_arange, np_array, np_double, np_int64, np_ndarray;
    nb::handle tle_type, elset_type;
    nb::handle read_error, read_warning;  // TLEReadError, TLEReadWarning
    nb::handle catalogue_type;            // the dict subclass read_elsets returns
    nb::handle ns_name;                   // interned "_ns": the stamp slot of Time
    const coe::Api* coe = nullptr;
    const misc::Api* misc = nullptr;
    double deg = 0, rev = 0, day = 0, hour = 0, km = 0;  // unit factors of astrovia.units.units
    // TAI-UTC eras (astrovia.iers.leapseconds), read at the first epoch.
    std::vector<std::int64_t> leap_start;
    std::vector<double> leap_base, leap_ref, leap_rate;
    int fast_time = -1;  // 1: Time objects are made natively; 0: through Time(numpy.int64(stamp)); -1: untried
};
Bound bound;

nb::handle keep(nb::object o) { return o.release(); }

constexpr std::int64_t kNsPerDay = cat::kNsPerDay;
constexpr std::int64_t kHalfDay = kNsPerDay / 2;
constexpr std::int64_t kMjdJ2000 = 51544;
constexpr std::int64_t kTtMinusTaiNs = 32'184'000'000;
constexpr std::int64_t kMaxDaysFromJ2000 = 106'000;  // keeps TT nanoseconds inside int64

// Enters the interpreter's recursion guard for the scope of a native call
// that calls back into Python (RecursionError instead of a C stack overflow).
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where) != 0) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

nb::object checked(PyObject* result) {
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

std::string utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p == nullptr) throw nb::python_error();
    return std::string(p, static_cast<std::size_t>(n));
}

std::string repr_text(nb::handle obj) { return utf8(checked(PyObject_Repr(obj.ptr()))); }
std::string str_text(nb::handle obj) { return utf8(checked(PyObject_Str(obj.ptr()))); }

// The repr of a few stored bytes, which may cut a character: decoded leniently.
std::string snippet(const char* bytes, Py_ssize_t n) {
    return repr_text(checked(PyUnicode_DecodeUTF8(bytes, n, "replace")));
}

nb::str make_str(std::string_view text) {
    return nb::borrow<nb::str>(checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

// --- buffers of fresh arrays ------------------------------------------------------

// A one-dimensional C-contiguous buffer of `n` items of `itemsize` bytes, of a
// kind given by the format letters in `formats`; anything else (a duck array, a
// subclass with another layout, a monkeypatched constructor) is refused before
// a loop touches it. The view is held for the object's life.
class CheckedBuffer {
public:
    CheckedBuffer(nb::handle obj, Py_ssize_t n, std::size_t itemsize, const char* formats, bool writable,
                  const char* step) {
        if (!PyObject_CheckBuffer(obj.ptr())) {
            throw nb::type_error((std::string(step) + " returned " + Py_TYPE(obj.ptr())->tp_name +
                                  ", not an array with the buffer interface").c_str());
        }
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) throw nb::python_error();
        acquired_ = true;
        std::string problem;
        const char* fmt = view_.format ? view_.format : "B";
        if (fmt[0] == '@' || fmt[0] == '=' || fmt[0] == '<') ++fmt;
        if (view_.ndim != 1) problem = "an array of " + std::to_string(view_.ndim) + " dimensions";
        else if (view_.shape[0] != n) problem = "an array of length " + std::to_string(view_.shape[0]) + " instead of " + std::to_string(n);
        else if (static_cast<std::size_t>(view_.itemsize) != itemsize || std::strlen(fmt) != 1 ||
                 std::strchr(formats, fmt[0]) == nullptr) {
            problem = std::string("items of format '") + (view_.format ? view_.format : "B") + "'";
        }
        if (!problem.empty()) {
            release();
            throw nb::value_error((std::string(step) + " returned " + problem).c_str());
        }
    }
    ~CheckedBuffer() { release(); }
    CheckedBuffer(const CheckedBuffer&) = delete;
    CheckedBuffer& operator=(const CheckedBuffer&) = delete;
    template <class T>
    T* data() const { return static_cast<T*>(view_.buf); }

private:
    void release() {
        if (acquired_) {
            PyBuffer_Release(&view_);
            acquired_ = false;
        }
    }
    Py_buffer view_{};
    bool acquired_ = false;
};

constexpr const char* kFloat64Formats = "d";

nb::object new_array(Py_ssize_t n, nb::handle dtype) {
    return checked(PyObject_CallFunctionObjArgs(bound.np_empty.ptr(), nb::int_(n).ptr(), dtype.ptr(), nullptr));
}

// --- epochs ------------------------------------------------------------------------

void load_leap_seconds() {
    if (!bound.leap_start.empty()) return;
    // The eras of astrovia.iers.leapseconds: (first UTC day [MJD], base [s], reference MJD, rate [s/day]).
    nb::object table = nb::module_::import_("astrovia.iers.leapseconds").attr("table")();
    nb::object eras = checked(PyObject_GetAttrString(table.ptr(), "eras"));
    const Py_ssize_t m = PyObject_Length(eras.ptr());
    if (m < 0) throw nb::python_error();
    nb::object flat = bound.np_asarray(eras, "dtype"_a = bound.np_double);
    flat = checked(PyObject_CallMethod(flat.ptr(), "reshape", "n", static_cast<Py_ssize_t>(-1)));
    flat = checked(PyObject_CallMethod(flat.ptr(), "copy", nullptr));
    CheckedBuffer b(flat, 4 * m, 8, kFloat64Formats, false, "leapseconds.table().eras");
    const double* e = b.data<double>();
    for (Py_ssize_t i = 0; i < m; ++i) {
        bound.leap_start.push_back(static_cast<std::int64_t>(e[4 * i]));
        bound.leap_base.push_back(e[4 * i + 1]);
        bound.leap_ref.push_back(e[4 * i + 2]);
        bound.leap_rate.push_back(e[4 * i + 3]);
    }
    if (m == 0) throw nb::value_error("the leap-second table is empty");
}

// Nearest integer, halves away from zero, as Time rounds TAI-UTC.
std::int64_t round_half_away(double v) {
    return v >= 0.0 ? static_cast<std::int64_t>(v + 0.5) : -static_cast<std::int64_t>(-v + 0.5);
}

// TAI-UTC [ns] at UTC day `mjd`, `sod` ns into it: the whole seconds of the
// table from 1972, the drifting eras of 1960-1971, 0 before 1960.
std::int64_t tai_minus_utc_ns(std::int64_t mjd, std::int64_t sod) {
    load_leap_seconds();
    auto it = std::upper_bound(bound.leap_start.begin(), bound.leap_start.end(), mjd);
    if (it == bound.leap_start.begin()) return 0;
    const std::size_t k = static_cast<std::size_t>(it - bound.leap_start.begin() - 1);
    const double rate = bound.leap_rate[k];
    if (rate == 0.0) return round_half_away(bound.leap_base[k] * 1e9);
    const double fd = std::clamp(static_cast<double>(sod) / static_cast<double>(kNsPerDay), 0.0, 1.0);
    return round_half_away((bound.leap_base[k] + (static_cast<double>(mjd) + fd - bound.leap_ref[k]) * rate) * 1e9);
}

// TT nanoseconds from J2000.0 of a UTC label; false when outside int64's span.
bool tt_from_utc_label(std::int64_t mjd, std::int64_t sod, std::int64_t& tt) {
    if (mjd - kMjdJ2000 > kMaxDaysFromJ2000 || kMjdJ2000 - mjd > kMaxDaysFromJ2000) return false;
    tt = (mjd - kMjdJ2000) * kNsPerDay - kHalfDay + sod + tai_minus_utc_ns(mjd, sod) + kTtMinusTaiNs;
    return true;
}

nb::object time_from_stamp_public(std::int64_t ns) {
    nb::object stamp = checked(PyObject_CallFunction(bound.np_int64.ptr(), "L", static_cast<long long>(ns)));
    return checked(PyObject_CallOneArg(bound.time_type.ptr(), stamp.ptr()));
}

// A one-epoch Time natively: an instance whose stamp slot holds the int, as
// Time keeps one epoch. Tried once against the public constructor; when the
// slot is not there or gives another stamp, every epoch goes through
// Time(numpy.int64(stamp)).
nb::object time_from_stamp_native(std::int64_t ns) {
    auto* tp = reinterpret_cast<PyTypeObject*>(bound.time_type.ptr());
    nb::object empty = checked(PyTuple_New(0));
    nb::object t = checked(tp->tp_new(tp, empty.ptr(), nullptr));
    nb::object value = checked(PyLong_FromLongLong(ns));
    if (PyObject_SetAttr(t.ptr(), bound.ns_name.ptr(), value.ptr()) != 0) throw nb::python_error();
    return t;
}

nb::object time_from_stamp(std::int64_t ns) {
    if (bound.fast_time < 0) {
        bound.fast_time = 0;
        try {
            constexpr std::int64_t probe = 757'382'469'123'456'789;
            nb::object t = time_from_stamp_native(probe);
            nb::object reference = time_from_stamp_public(probe);
            nb::object s = checked(PyObject_GetAttrString(t.ptr(), "int64"));
            const long long v = PyLong_AsLongLong(checked(PyNumber_Index(s.ptr())).ptr());
            const int same = PyObject_RichCompareBool(t.ptr(), reference.ptr(), Py_EQ);
            if (v == probe && same == 1) bound.fast_time = 1;
        } catch (const nb::python_error&) {
        }
        PyErr_Clear();
    }
    return bound.fast_time == 1 ? time_from_stamp_native(ns) : time_from_stamp_public(ns);
}

// An array Time of the stamps (one Time call).
nb::object time_from_stamps(const std::int64_t* ns, Py_ssize_t n) {
    nb::object a = new_array(n, bound.np_int64);
    {
        CheckedBuffer b(a, n, 8, "ql", true, "numpy.empty");
        if (n > 0) std::memcpy(b.data<std::int64_t>(), ns, static_cast<std::size_t>(n) * 8);
    }
    return checked(PyObject_CallOneArg(bound.time_type.ptr(), a.ptr()));
}

// --- one record -------------------------------------------------------------------

// A record that cannot be built: which of its lines (1 or 2) and why.
struct RecordError {
    int line;
    std::string reason;
};

double read_earth_constant(const char* name) {
    nb::object v = checked(PyObject_GetAttrString(bound.earth.ptr(), name));
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

// The strict checks of one line as given: ASCII only, 69 characters once the
// line end and trailing blanks are dropped, its line number, the format of
// every field, its checksum.
void check_strict(std::string_view given, const char stored[fields::kLineBuffer], int number) {
    const std::string name = "line" + std::to_string(number);
    if (std::size_t col = cat::first_non_ascii_column(given)) {
        throw RecordError{number, name + " holds a non-ASCII character in column " + std::to_string(col) + ": " +
                                      snippet(given.data() + col - 1, 
                                              static_cast<Py_ssize_t>(std::min<std::size_t>(4, given.size() - col + 1)))};
    }
    const std::size_t length = cat::strip_line_end(given).size();
    using fields::LineCheck;
    std::string msg;
    const LineCheck check = fields::check_line(stored, number, length);
    if (check == LineCheck::wrong_length) {
        msg = name + " must be 69 characters long, not " + std::to_string(length);
    } else if (check == LineCheck::wrong_line_number) {
        msg = name + " must start with its line number " + std::to_string(number) + ", not " + snippet(stored, 1);
    } else {
        const cat::FormatProblem p = cat::check_format(stored, number);
        if (p.column != 0) {
            msg = name + " column " + std::to_string(p.column) + ": the " + p.field + " (columns " +
                  std::to_string(p.first_column) + "-" + std::to_string(p.last_column) + ") must hold " +
                  p.expected + " there, not " + snippet(stored + p.column - 1, 1);
        } else if (check == LineCheck::bad_checksum_digit) {
            msg = name + " must end with a checksum digit in column 69, not " + snippet(stored + 68, 1);
        } else if (check == LineCheck::wrong_checksum) {
            msg = name + " fails its checksum: column 69 holds " + std::string(1, stored[68]) +
                  ", but the checksum of columns 1-68 is " + std::to_string(fields::checksum(stored));
        }
    }
    if (!msg.empty()) throw RecordError{number, msg};
}

// Earth constants for one record: read at each step of one construction
// (TLE()), or once for a whole file.
struct EarthConstants {
    bool per_step;
    double gm = 0, re = 0;
    double get_gm() const { return per_step ? read_earth_constant("GM") : gm; }
    double get_re() const { return per_step ? read_earth_constant("Re") : re; }
};

// Builds the record of two lines (UTF-8 text as given) into `t`, epoch Time
// included. RecordError for strict failures and unrepresentable epochs;
// exceptions of the Kepler solver and the angle function pass as python_error.
void build_record(TLE& t, std::string_view line1, std::string_view line2, bool strict, const EarthConstants& k) {
    fields::store_line(line1, t.line1);
    fields::store_line(line2, t.line2);
    if (strict) {
        check_strict(line1, t.line1, 1);
        check_strict(line2, t.line2, 2);
        std::int32_t n1 = 0, n2 = 0;
        if (!cat::decode_catalogue(t.line1 + 2, n1) || !cat::decode_catalogue(t.line2 + 2, n2) || n1 != n2) {
            throw RecordError{2, "line1 and line2 must hold one catalogue number (columns 3-7), not " +
                                     snippet(t.line1 + 2, 5) + " and " + snippet(t.line2 + 2, 5)};
        }
    }
    std::memcpy(t.catalogue, t.line1 + 2, fields::kCatalogueLength);
    t.catalogue[fields::kCatalogueLength] = '\0';

    const cat::EpochLabel label = cat::epoch_label(t.line1);
    if (!label.ok || !tt_from_utc_label(label.mjd, label.sod_ns, t.epoch_ns)) {
        throw RecordError{1, "line1: the epoch (columns 19-32) " + snippet(t.line1 + 18, 14) +
                                 " lies outside the range of Time"};
    }
    t.epoch = time_from_stamp(t.epoch_ns);

    const fields::Line2Fields f2 = fields::parse_line2(t.line2);
    t.inc = f2.inc_deg * bound.deg;
    t.raa = f2.raa_deg * bound.deg;
    t.ecc = f2.ecc;
    t.arp = f2.arp_deg * bound.deg;
    t.mea = f2.mea_deg * bound.deg;
    t.mnm = f2.mnm_rev_per_day * bound.rev / bound.day;

    // Derived elements: Kepler's third law with the Earth's GM, and perigee and
    // apogee as altitudes above Earth.Re.
    t.sma = std::cbrt(k.get_gm() / t.mnm / t.mnm);
    t.orp = std::sqrt(t.sma / k.get_gm()) * (t.sma * 6.283185307179586);
    t.eca = bound.coe->c_eca_from_mea(t.mea, t.ecc);
    if (PyErr_Occurred()) throw nb::python_error();
    t.tra = coe::c_tra_from_eca(t.eca, t.ecc, std::sqrt(1.0 - t.ecc * t.ecc), bound.misc->atan2_asymmetric);
    if (PyErr_Occurred()) throw nb::python_error();
    t.pge = (1.0 - t.ecc) * t.sma - k.get_re();
    t.apg = (1.0 + t.ecc) * t.sma - k.get_re();
}

[[noreturn]] void raise_already_initialised(const char* type) {
    throw nb::type_error((std::string(type) + ".__init__ called on an object that is already initialised").c_str());
}

std::string_view text_of(nb::handle line, const char* name) {
    if (line.is_none()) throw nb::type_error((std::string(name) + " must be str, not None").c_str());
    Py_ssize_t size = 0;
    const char* p = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
    if (p == nullptr) throw nb::python_error();  // lone surrogates cannot be encoded
    return {p, static_cast<std::size_t>(size)};
}

void tle_init(TLE* self, nb::handle line1, nb::handle line2, nb::handle strict_validation, nb::handle name) {
    nb::handle self_py = nb::find(self);
    if (self_py.is_valid() && nb::inst_ready(self_py)) raise_already_initialised("TLE");
    if (!line1.is_none()) native::require_exact_str(line1, "line1");
    if (!line2.is_none()) native::require_exact_str(line2, "line2");
    if (!name.is_none()) native::require_exact_str(name, "name");
    const int strict = PyObject_IsTrue(strict_validation.ptr());
    if (strict < 0) throw nb::python_error();

    // Everything is built in a local record and moved into place only when
    // complete, so a failure leaves no half-made TLE.
    TLE t;
    const std::string_view text1 = text_of(line1, "line1");
    const std::string_view text2 = text_of(line2, "line2");
    try {
        build_record(t, text1, text2, strict != 0, EarthConstants{true});
    } catch (const RecordError& e) {
        throw nb::value_error(e.reason.c_str());
    }
    t.name = nb::borrow(name);
    // A callback during construction may have initialised this object already.
    if (self_py.is_valid() && nb::inst_ready(self_py)) raise_already_initialised("TLE");
    new (self) TLE(std::move(t));
}

// Catalogue number: an int for digits or alpha-5, else the stripped text (or
// whatever int() makes of it).
nb::object tle_satno(const TLE& t) {
    std::int32_t number = 0;
    if (cat::decode_catalogue(t.catalogue, number)) return nb::int_(number);
    const std::size_t n = strnlen(t.catalogue, fields::kCatalogueLength);
    // The 5-byte field may end inside a multi-byte character: decode leniently.
    nb::object text = checked(PyUnicode_DecodeUTF8(t.catalogue, static_cast<Py_ssize_t>(n), "replace"));
    nb::object stripped = checked(PyObject_CallMethod(text.ptr(), "strip", nullptr));
    PyObject* value = PyNumber_Long(stripped.ptr());
    if (value != nullptr) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
    PyErr_Clear();
    return stripped;
}

nb::str decode_line(const char* line) {
    return nb::borrow<nb::str>(checked(PyUnicode_DecodeUTF8(line, fields::kLineLength, "strict")));
}

// A new TLE object around a complete record, without a call of TLE().
nb::object new_tle_object(TLE&& t) {
    nb::object o = nb::inst_alloc(bound.tle_type);
    new (nb::inst_ptr<TLE>(o)) TLE(std::move(t));
    nb::inst_mark_ready(o);
    return o;
}

// --- garbage collection ---------------------------------------------------------

PyObject** instance_dict(PyObject* self) {
    const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    return offset > 0 ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset) : nullptr;
}

int tle_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject** dict = instance_dict(self)) Py_VISIT(*dict);
    if (!nb::inst_ready(self)) return 0;
    TLE* t = nb::inst_ptr<TLE>(self);
    Py_VISIT(t->epoch.ptr());
    Py_VISIT(t->name.ptr());
    return 0;
}

int tle_clear(PyObject* self) {
    if (PyObject** dict = instance_dict(self)) Py_CLEAR(*dict);
    if (!nb::inst_ready(self)) return 0;
    TLE* t = nb::inst_ptr<TLE>(self);
    t->epoch = nb::none();
    t->name = nb::none();
    return 0;
}

PyType_Slot tle_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(tle_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tle_clear)},
    {0, nullptr},
};

// --- text ----------------------------------------------------------------------

std::string fixed(double x, int decimals, const char* unit = "") {
    char* s = PyOS_double_to_string(x, 'f', decimals, 0, nullptr);
    if (s == nullptr) throw nb::python_error();
    std::string out(s);
    PyMem_Free(s);
    return out + unit;
}

std::string escape_braces(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(c);
        if (c == '{' || c == '}') out.push_back(c);
    }
    return out;
}


nb::dict unit_table(const char* const keys[6], const std::string si[6], const std::string op[6]) {
    nb::dict si_rows, op_rows;
    for (int i = 0; i < 6; ++i) {
        si_rows[keys[i]] = nb::str(si[i].c_str(), si[i].size());
        op_rows[keys[i]] = nb::str(op[i].c_str(), op[i].size());
    }
    nb::dict table;
    table["SI units"] = si_rows;
    table["Op. units"] = op_rows;
    return table;
}

nb::str tle_body(const TLE& t) {
    RecursionGuard guard(" in TLE._get_body");
    nb::dict form_data;
    form_data["epoch"] = checked(PyObject_Repr(t.epoch.attr("utc").ptr()));
    form_data["frame"] = bound.teme.attr("name");
    nb::str form = utils::create_formatted_form(form_data);

    const double deg = bound.deg, km = bound.km;
    static const char* const orbital_keys[6] = {"ecc", "sma", "inc", "raa", "arp", "tra"};
    const std::string orbital_si[6] = {fixed(t.ecc, 5),          fixed(t.sma, 3, " m"),
                                       fixed(t.inc, 3, " rad"),  fixed(t.raa, 3, " rad"),
                                       fixed(t.arp, 3, " rad"),  fixed(t.tra, 3, " rad")};
    const std::string orbital_op[6] = {fixed(t.ecc, 5),                fixed(t.sma / km, 3, " km"),
                                       fixed(t.inc / deg, 3, " deg"),  fixed(t.raa / deg, 3, " deg"),
                                       fixed(t.arp / deg, 3, " deg"),  fixed(t.tra / deg, 3, " deg")};
    nb::str orbital = utils::create_formatted_frame(unit_table(orbital_keys, orbital_si, orbital_op));

    static const char* const derived_keys[6] = {"orp", "mnm", "mea", "eca", "pge", "apg"};
    const std::string derived_si[6] = {fixed(t.orp, 3, " s"),   fixed(t.mnm, 3, " rad/s"),
                                       fixed(t.mea, 3, " rad"), fixed(t.eca, 3, " rad"),
                                       fixed(t.pge, 3, " m"),   fixed(t.apg, 3, " m")};
    const std::string derived_op[6] = {fixed(t.orp / bound.hour, 3, " hour"),
                                       fixed(t.mnm / (bound.rev / bound.day), 3, " rev/day"),
                                       fixed(t.mea / deg, 3, " deg"),
                                       fixed(t.eca / deg, 3, " deg"),
                                       fixed(t.pge / km, 3, " km"),
                                       fixed(t.apg / km, 3, " km")};
    nb::str derived = utils::create_formatted_frame(unit_table(derived_keys, derived_si, derived_op));

    nb::str orbital_heading = utils::format_as_property(nb::str("Orbital Elements:"));
    nb::str derived_heading = utils::format_as_property(nb::str("Derived Elements:"));

    static constexpr const char* fence = "\n{fence}\n";
    std::string body;
    body.reserve(2048);
    body += escape_braces(t.line1_text());
    body += '\n';
    body += escape_braces(t.line2_text());
    body += fence;
    body += escape_braces(utf8(form));
    body += fence;
    body += escape_braces(utf8(orbital_heading));
    body += '\n';
    body += escape_braces(utf8(orbital));
    body += fence;
    body += escape_braces(utf8(derived_heading));
    body += '\n';
    body += escape_braces(utf8(derived));
    return nb::str(body.c_str(), body.size());
}

[[noreturn]] void refuse_pickle(const char* what) {
    throw nb::type_error((std::string("cannot pickle ") + what + " objects").c_str());
}

// --- ELSET ---------------------------------------------------------------------

const TLE& tle_of(PyObject* member) { return *nb::inst_ptr<TLE>(member); }

// The catalogue numbers of members, for messages: "25544, 25545".
std::string catalogue_list(const std::vector<PyObject*>& members) {
    std::vector<std::string> seen;
    for (PyObject* m : members) {
        std::string s = repr_text(tle_satno(tle_of(m)));
        if (std::find(seen.begin(), seen.end(), s) == seen.end()) seen.push_back(s);
        if (seen.size() == 6) break;
    }
    std::string out;
    for (std::size_t i = 0; i < seen.size(); ++i) out += (i ? ", " : "") + (i == 5 ? std::string("...") : seen[i]);
    return out;
}

// The catalogue number common to `members`; AssertionError when there is no
// member or they hold several numbers.
std::int32_t common_satno(const std::vector<PyObject*>& members) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(members.size());
    if (n == 0) {
        PyErr_SetString(PyExc_AssertionError, "an ELSET needs at least one TLE, not 0");
        throw nb::python_error();
    }
    std::int32_t satno = 0;
    bool numeric = cat::decode_catalogue(tle_of(members[0]).catalogue, satno);
    nb::object first;
    if (!numeric) first = tle_satno(tle_of(members[0]));
    for (Py_ssize_t i = 1; i < n; ++i) {
        std::int32_t s = 0;
        bool same;
        if (numeric && cat::decode_catalogue(tle_of(members[static_cast<std::size_t>(i)]).catalogue, s)) {
            same = s == satno;
        } else {
            if (!first.is_valid()) first = tle_satno(tle_of(members[0]));
            nb::object other = tle_satno(tle_of(members[static_cast<std::size_t>(i)]));
            const int r = PyObject_RichCompareBool(first.ptr(), other.ptr(), Py_EQ);
            if (r < 0) throw nb::python_error();
            same = r == 1;
        }
        if (!same) {
            const std::string msg = "the " + std::to_string(n) +
                                    " TLEs of an ELSET must hold one catalogue number, not " + catalogue_list(members);
            PyErr_SetString(PyExc_AssertionError, msg.c_str());
            throw nb::python_error();
        }
    }
    if (!numeric) {
        // Digits int() reads but the field reader does not (a sign, say).
        if (!PyLong_Check(first.ptr())) {
            throw nb::type_error(("ELSET needs an integer catalogue number, not " + repr_text(first)).c_str());
        }
        const long sat = PyLong_AsLong(first.ptr());
        if (sat == -1 && PyErr_Occurred()) throw nb::python_error();
        if (sat < INT32_MIN || sat > INT32_MAX) throw nb::value_error("ELSET catalogue number out of 32-bit range");
        satno = static_cast<std::int32_t>(sat);
    }
    return satno;
}

// Where the element values of a new ELSET come from: its members (one pass
// over them), or the stored arrays and epochs of the ELSET it is selected
// from, at the given positions.
struct ParentSource {
    const ELSET* parent = nullptr;
    const std::int64_t* positions = nullptr;  // one per member, in member order
    // Or a reader's table of the values of its records, at the given rows.
    const std::array<double, 12>* table_values = nullptr;
    const std::int64_t* table_stamps = nullptr;
    const std::size_t* rows = nullptr;
    const std::int32_t* satno = nullptr;  // the members' common number, when known
};

// Fills `e` from members already in epoch order.
void fill_elset(ELSET& e, const std::vector<PyObject*>& members, std::int32_t satno, ParentSource from = {}) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(members.size());
    e.satno = satno;
    nb::object list = checked(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(members[static_cast<std::size_t>(i)]);
        PyList_SET_ITEM(list.ptr(), i, members[static_cast<std::size_t>(i)]);
    }
    e.members = nb::steal<nb::list>(list.release());

    nb::object* arrays[12] = {&e.ecc, &e.sma, &e.inc, &e.raa, &e.arp, &e.tra,
                              &e.mnm, &e.orp, &e.eca, &e.mea, &e.pge, &e.apg};
    std::vector<std::int64_t> stamps(static_cast<std::size_t>(n));
    double* out[12];
    std::vector<std::unique_ptr<CheckedBuffer>> buffers;
    // One allocation for the twelve arrays: each is a contiguous slice of it.
    nb::object block = new_array(12 * n, bound.np_double);
    CheckedBuffer(block, 12 * n, 8, kFloat64Formats, true, "numpy.empty");
    for (int k = 0; k < 12; ++k) {
        *arrays[k] = checked(PySequence_GetSlice(block.ptr(), k * n, (k + 1) * n));
        buffers.push_back(std::make_unique<CheckedBuffer>(*arrays[k], n, 8, kFloat64Formats, true, "a slice of numpy.empty"));
        out[k] = buffers.back()->data<double>();
    }
    if (from.rows != nullptr) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            const std::size_t r = from.rows[i];
            for (int k = 0; k < 12; ++k) out[k][i] = from.table_values[r][static_cast<std::size_t>(k)];
            stamps[static_cast<std::size_t>(i)] = from.table_stamps[r];
        }
    } else if (from.parent == nullptr) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            const TLE& t = tle_of(members[static_cast<std::size_t>(i)]);
            const double values[12] = {t.ecc, t.sma, t.inc, t.raa, t.arp, t.tra,
                                       t.mnm, t.orp, t.eca, t.mea, t.pge, t.apg};
            for (int k = 0; k < 12; ++k) out[k][i] = values[k];
            stamps[static_cast<std::size_t>(i)] = t.epoch_ns;
        }
    } else {
        const ELSET& p = *from.parent;
        const Py_ssize_t m = p.size();
        const nb::object* parent_arrays[12] = {&p.ecc, &p.sma, &p.inc, &p.raa, &p.arp, &p.tra,
                                               &p.mnm, &p.orp, &p.eca, &p.mea, &p.pge, &p.apg};
        for (int k = 0; k < 12; ++k) {
            CheckedBuffer source(*parent_arrays[k], m, 8, kFloat64Formats, false, "an element array of the ELSET");
            const double* in = source.data<double>();
            for (Py_ssize_t i = 0; i < n; ++i) out[k][i] = in[from.positions[i]];
        }
        nb::object parent_stamps = checked(PyObject_GetAttrString(p.epoch.ptr(), "int64"));
        CheckedBuffer source(parent_stamps, m, 8, "ql", false, "ELSET.epoch.int64");
        const std::int64_t* in = source.data<std::int64_t>();
        for (Py_ssize_t i = 0; i < n; ++i) stamps[static_cast<std::size_t>(i)] = in[from.positions[i]];
    }
    buffers.clear();
    e.epoch = time_from_stamps(stamps.data(), n);
}

// A stable sort by epoch, on a packed copy of the stamps (members lie
// scattered in memory; comparing through them would miss the cache).
void sort_by_epoch(std::vector<PyObject*>& members) {
    const std::size_t n = members.size();
    std::vector<std::pair<std::int64_t, std::size_t>> keys(n);
    bool sorted = true;
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = {tle_of(members[i]).epoch_ns, i};
        sorted = sorted && (i == 0 || keys[i - 1].first <= keys[i].first);
    }
    if (sorted) return;
    std::sort(keys.begin(), keys.end());  // ties ordered by position: stable
    std::vector<PyObject*> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = members[keys[i].second];
    members.swap(out);
}

void set_satname(nb::handle obj, nb::handle satname) {
    if (PyObject_SetAttrString(obj.ptr(), "_satname", satname.ptr()) != 0) throw nb::python_error();
}

// A new ELSET object of members in epoch order, without a call of ELSET().
nb::object new_elset_object(const std::vector<PyObject*>& members, nb::handle satname, ParentSource from = {}) {
    ELSET e;
    fill_elset(e, members, from.parent ? from.parent->satno : from.satno ? *from.satno : common_satno(members), from);
    nb::object o = nb::inst_alloc(bound.elset_type);
    new (nb::inst_ptr<ELSET>(o)) ELSET(std::move(e));
    nb::inst_mark_ready(o);
    set_satname(o, satname);
    return o;
}

void elset_init(ELSET* self, nb::args members, nb::handle satname) {
    nb::handle self_py = nb::find(self);
    if (self_py.is_valid() && nb::inst_ready(self_py)) raise_already_initialised("ELSET");
    if (!satname.is_none()) native::require_exact_str(satname, "satname");
    const Py_ssize_t n = static_cast<Py_ssize_t>(members.size());
    std::vector<PyObject*> sorted(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* m = PyTuple_GET_ITEM(members.ptr(), i);
        if (!nb::isinstance<TLE>(m) || !nb::inst_ready(m)) {
            throw nb::type_error(("ELSET members must be TLE, not " + std::string(Py_TYPE(m)->tp_name) +
                                  " (argument " + std::to_string(i) + ")").c_str());
        }
        sorted[static_cast<std::size_t>(i)] = m;
    }
    sort_by_epoch(sorted);  // the tuple keeps the members alive meanwhile
    ELSET e;
    fill_elset(e, sorted, common_satno(sorted));
    // A callback during construction may have initialised this object already.
    if (self_py.is_valid() && nb::inst_ready(self_py)) raise_already_initialised("ELSET");
    set_satname(self_py, satname);
    new (self) ELSET(std::move(e));
}

int elset_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject** dict = instance_dict(self)) Py_VISIT(*dict);
    if (!nb::inst_ready(self)) return 0;
    ELSET* e = nb::inst_ptr<ELSET>(self);
    Py_VISIT(e->epoch.ptr());
    Py_VISIT(e->members.ptr());
    for (nb::object* a : {&e->ecc, &e->sma, &e->inc, &e->raa, &e->arp, &e->tra, &e->mnm, &e->orp, &e->eca, &e->mea,
                          &e->pge, &e->apg}) {
        Py_VISIT(a->ptr());
    }
    return 0;
}

int elset_clear(PyObject* self) {
    if (PyObject** dict = instance_dict(self)) Py_CLEAR(*dict);
    if (!nb::inst_ready(self)) return 0;
    ELSET* e = nb::inst_ptr<ELSET>(self);
    // The list stays a list (size() reads it), emptied.
    if (PyList_SetSlice(e->members.ptr(), 0, PyList_GET_SIZE(e->members.ptr()), nullptr) != 0) PyErr_Clear();
    e->epoch = nb::none();
    for (nb::object* a : {&e->ecc, &e->sma, &e->inc, &e->raa, &e->arp, &e->tra, &e->mnm, &e->orp, &e->eca, &e->mea,
                          &e->pge, &e->apg}) {
        *a = nb::none();
    }
    return 0;
}

PyType_Slot elset_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(elset_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(elset_clear)},
    {0, nullptr},
};

// The ELSET behind a Python object that methods receive untyped (they need the
// object itself too); a bare ELSET.__new__ instance is refused like nanobind does.
const ELSET& elset_of(nb::handle obj) {
    if (!nb::isinstance<ELSET>(obj) || !nb::inst_ready(obj)) {
        throw nb::type_error((std::string("expected an initialised ELSET, not ") + Py_TYPE(obj.ptr())->tp_name).c_str());
    }
    return *nb::inst_ptr<ELSET>(obj);
}

// The members at `positions` (each checked against the size), in epoch order,
// their values taken from the stored arrays.
nb::object elset_pick(const ELSET& e, const std::int64_t* positions, Py_ssize_t k, bool in_order) {
    // in_order: the positions are known to be increasing.
    const Py_ssize_t n = e.size();
    std::vector<std::int64_t> pos(static_cast<std::size_t>(k));
    for (Py_ssize_t j = 0; j < k; ++j) {
        std::int64_t p = positions[j];
        if (p < 0) p += n;
        if (p < 0 || p >= n) {
            throw nb::index_error(("position " + std::to_string(positions[j]) + " is out of range for an ELSET of " +
                                   std::to_string(n) + " members").c_str());
        }
        pos[static_cast<std::size_t>(j)] = p;
    }
    for (Py_ssize_t j = 1; j < k && in_order == false; ++j) {
        if (pos[static_cast<std::size_t>(j)] < pos[static_cast<std::size_t>(j - 1)]) break;
        if (j == k - 1) in_order = true;  // increasing positions are in epoch order
    }
    if (!in_order && k > 1) {
        nb::object stamps_obj = checked(PyObject_GetAttrString(e.epoch.ptr(), "int64"));
        CheckedBuffer stamps(stamps_obj, n, 8, "ql", false, "ELSET.epoch.int64");
        const std::int64_t* st = stamps.data<std::int64_t>();
        std::vector<std::pair<std::int64_t, std::size_t>> keys(static_cast<std::size_t>(k));
        for (std::size_t j = 0; j < keys.size(); ++j) keys[j] = {st[pos[j]], j};
        std::sort(keys.begin(), keys.end());  // ties ordered by position in the selection: stable
        std::vector<std::int64_t> sorted(keys.size());
        for (std::size_t j = 0; j < keys.size(); ++j) sorted[j] = pos[keys[j].second];
        pos.swap(sorted);
    }
    std::vector<PyObject*> picked(static_cast<std::size_t>(k));
    for (Py_ssize_t j = 0; j < k; ++j) picked[static_cast<std::size_t>(j)] = e.member_object(static_cast<Py_ssize_t>(pos[static_cast<std::size_t>(j)])).ptr();
    if (k == 0) return new_elset_object(picked, nb::none());  // AssertionError: no member
    return new_elset_object(picked, nb::none(), ParentSource{&e, pos.data()});
}

nb::object elset_range(const ELSET& e, Py_ssize_t first, Py_ssize_t last) {
    std::vector<std::int64_t> positions(static_cast<std::size_t>(std::max<Py_ssize_t>(0, last - first)));
    std::iota(positions.begin(), positions.end(), static_cast<std::int64_t>(first));
    return elset_pick(e, positions.data(), static_cast<Py_ssize_t>(positions.size()), true);
}

nb::object elset_getitem_integral(const ELSET& e, nb::handle item) {
    Py_ssize_t i = PyNumber_AsSsize_t(item.ptr(), PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!(i >= 0)) i += e.size();
    PyObject* m = PyList_GetItem(e.members.ptr(), i);  // IndexError out of range
    if (m == nullptr) throw nb::python_error();
    return nb::borrow(m);
}

nb::object elset_getitem_integral_slice(const ELSET& e, nb::handle item) {
    if (!PySlice_Check(item.ptr())) {
        throw nb::type_error((std::string("item must be slice, not ") + Py_TYPE(item.ptr())->tp_name).c_str());
    }
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(item.ptr(), &start, &stop, &step) != 0) throw nb::python_error();
    const Py_ssize_t k = PySlice_AdjustIndices(e.size(), &start, &stop, step);
    std::vector<std::int64_t> positions(static_cast<std::size_t>(k));
    for (Py_ssize_t j = 0; j < k; ++j) positions[static_cast<std::size_t>(j)] = start + j * step;
    return elset_pick(e, positions.data(), k, step > 0);
}

nb::object elset_getitem_selection(const ELSET& e, nb::handle selection) {
    // The positions NumPy's indexing picks out of the member list.
    nb::object index = bound.np_arange(nb::int_(e.size()), "dtype"_a = bound.np_int64);
    nb::object positions = checked(PyObject_GetItem(index.ptr(), selection.ptr()));
    nb::object flat = checked(PyObject_CallFunctionObjArgs(bound.np_asarray.ptr(), positions.ptr(), nullptr));
    const int is_array = PyObject_IsInstance(flat.ptr(), bound.np_ndarray.ptr());
    if (is_array < 0) throw nb::python_error();
    if (!is_array || nb::cast<int>(flat.attr("ndim")) != 1) {
        throw nb::type_error("selection must pick members along one axis (a boolean mask or integer positions)");
    }
    nb::object contiguous = checked(PyObject_CallMethod(flat.ptr(), "copy", nullptr));
    const Py_ssize_t k = PyObject_Length(contiguous.ptr());
    if (k < 0) throw nb::python_error();
    CheckedBuffer b(contiguous, k, 8, "ql", false, "the selected positions");
    return elset_pick(e, b.data<std::int64_t>(), k, false);
}

bool is_integral(nb::handle x) {
    if (x.is_none()) return false;
    const int r = PyObject_IsInstance(x.ptr(), bound.integral.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// The stamp of one time-range bound; several epochs are a TypeError naming it.
std::int64_t bound_stamp(nb::handle when, const char* which) {
    nb::object t = checked(PyObject_CallOneArg(bound.time_type.ptr(), when.ptr()));
    nb::object s = checked(PyObject_GetAttrString(t.ptr(), "int64"));
    const int is_array = PyObject_IsInstance(s.ptr(), bound.np_ndarray.ptr());
    if (is_array < 0) throw nb::python_error();
    if (is_array) {
        const Py_ssize_t n = PyObject_Length(s.ptr());
        if (n < 0) PyErr_Clear();
        throw nb::type_error((std::string("the ") + which + " of a time range must be a single epoch, not " +
                              std::to_string(n) + " epochs: " + repr_text(when)).c_str());
    }
    nb::object i = checked(PyNumber_Index(s.ptr()));
    const long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

nb::object elset_getitem(nb::handle self, nb::handle item) {
    const ELSET& e = elset_of(self);
    if (is_integral(item)) return elset_getitem_integral(e, item);
    if (PySlice_Check(item.ptr())) {
        auto* s = reinterpret_cast<PySliceObject*>(item.ptr());
        if (is_integral(s->start) || is_integral(s->stop) || is_integral(s->step)) {
            return elset_getitem_integral_slice(e, item);
        }
        // A time range: start included, stop excluded; the step is ignored.
        // Members are in epoch order, so the range is found by bisection.
        nb::handle start(s->start), stop(s->stop);
        const Py_ssize_t n = e.size();
        auto stamp_at = [&](Py_ssize_t i) { return e.member(i).epoch_ns; };
        auto lower = [&](std::int64_t v) {
            Py_ssize_t lo = 0, hi = n;
            while (lo < hi) {
                const Py_ssize_t mid = lo + (hi - lo) / 2;
                if (stamp_at(mid) < v) lo = mid + 1;
                else hi = mid;
            }
            return lo;
        };
        const Py_ssize_t first = start.is_none() ? 0 : lower(bound_stamp(start, "start"));
        const Py_ssize_t last = stop.is_none() ? n : lower(bound_stamp(stop, "stop"));
        return elset_range(e, first, std::max(first, last));
    }
    nb::object array = checked(PyObject_CallFunctionObjArgs(bound.np_array.ptr(), item.ptr(), nullptr));
    return elset_getitem_selection(e, array);
}

nb::object getitem(nb::handle obj, Py_ssize_t i) {
    nb::object index = checked(PyLong_FromSsize_t(i));
    return checked(PyObject_GetItem(obj.ptr(), index.ptr()));
}

// An iterator over the members with its own cursor, so nested loops over one
// ELSET visit every pair.
struct MemberIterator {
    nb::object elset;
    Py_ssize_t next = 0;
};

// Consecutive pairs (member i-1, member i).
struct PairIterator {
    nb::object elset;
    Py_ssize_t next = 1;
    nb::object previous;
};

nb::object elset_next(nb::handle self) {
    const ELSET& e = elset_of(self);
    nb::object index = checked(PyObject_GetAttrString(self.ptr(), "index"));
    nb::object size = nb::int_(e.size());
    const int more = PyObject_RichCompareBool(index.ptr(), size.ptr(), Py_LT);
    if (more < 0) throw nb::python_error();
    if (!more) throw nb::stop_iteration();
    nb::object next = checked(PyNumber_Add(index.ptr(), nb::int_(1).ptr()));
    if (PyObject_SetAttrString(self.ptr(), "index", next.ptr()) != 0) throw nb::python_error();
    return checked(PyObject_GetItem(self.ptr(), index.ptr()));
}

nb::object elset_element(const ELSET& e, const nb::object ELSET::*field) {
    return bound.np_asarray(e.*field);
}

// --- catalogue readers and writers --------------------------------------------------

enum class ErrorMode { raise, warn };

ErrorMode error_mode(nb::handle errors) {
    if (!PyUnicode_Check(errors.ptr())) {
        throw nb::type_error(("errors must be str, not " + std::string(Py_TYPE(errors.ptr())->tp_name)).c_str());
    }
    const std::string mode = utf8(errors);
    if (mode == "raise") return ErrorMode::raise;
    if (mode == "warn") return ErrorMode::warn;
    throw nb::value_error(("errors must be 'raise' or 'warn', not " + repr_text(errors)).c_str());
}

// The text of a source: a str holding a line break (or blank, or starting
// with "[" or "{") is the text itself; any other str, or an os.PathLike, is a path; bytes are the text's bytes; an
// object with read() is a file. `keep` owns the memory `text` points into.
struct SourceText {
    nb::object keep;
    std::string_view text;
    bool from_bytes = false;
};

SourceText source_text(nb::handle source) {
    SourceText s;
    nb::object value = nb::borrow(source);
    if (PyUnicode_Check(source.ptr())) {
        const std::string_view t = text_of(source, "source");
        const std::size_t first = t.find_first_not_of(" \t");
        const bool content = first == std::string_view::npos || t[first] == '[' || t[first] == '{';
        if (t.find_first_of("\r\n") == std::string_view::npos && !content) {
            nb::object path = nb::module_::import_("pathlib").attr("Path")(source);
            value = path.attr("read_bytes")();
        }
    } else if (PyBytes_Check(source.ptr())) {
        // the bytes themselves
    } else if (PyObject_HasAttrString(source.ptr(), "__fspath__")) {
        nb::object path = nb::module_::import_("pathlib").attr("Path")(source);
        value = path.attr("read_bytes")();
    } else if (PyObject_HasAttrString(source.ptr(), "read")) {
        value = checked(PyObject_CallMethod(source.ptr(), "read", nullptr));
        if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr())) {
            throw nb::type_error(("source.read() must return str or bytes, not " +
                                  std::string(Py_TYPE(value.ptr())->tp_name)).c_str());
        }
    } else {
        throw nb::type_error(("source must be a path, a file object, or the text (str or bytes), not " +
                              std::string(Py_TYPE(source.ptr())->tp_name)).c_str());
    }
    if (PyBytes_Check(value.ptr())) {
        s.text = {PyBytes_AS_STRING(value.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(value.ptr()))};
        s.from_bytes = true;
    } else {
        s.text = text_of(value, "source");
    }
    if (s.text.substr(0, 3) == "\xef\xbb\xbf") s.text.remove_prefix(3);  // a byte-order mark is no text
    s.keep = value;
    return s;
}

// The collector paused while a reader creates its records: they are young
// objects that cannot be garbage yet, and scanning them over and over costs
// more than making them.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_enabled_;
};

// Two TLEs of the same two lines, for de-duplication.
struct SameLinesHash {
    std::size_t operator()(const TLE* t) const {
        const std::size_t h1 = std::hash<std::string_view>{}(t->line1_text());
        return h1 ^ (std::hash<std::string_view>{}(t->line2_text()) + 0x9e3779b97f4a7c15ULL + (h1 << 6) + (h1 >> 2));
    }
};
struct SameLines {
    bool operator()(const TLE* a, const TLE* b) const {
        return std::memcmp(a->line1, b->line1, fields::kLineLength) == 0 &&
               std::memcmp(a->line2, b->line2, fields::kLineLength) == 0;
    }
};

struct ReadError {
    std::int64_t line;
    std::string reason;
};

// Raises TLEReadError (errors="raise") or warns TLEReadWarning once per bad
// record (errors="warn"), in line order.
void report(ErrorMode mode, nb::handle records, std::vector<ReadError>& errors) {
    if (errors.empty()) return;
    std::stable_sort(errors.begin(), errors.end(), [](const ReadError& a, const ReadError& b) { return a.line < b.line; });
    if (mode == ErrorMode::warn) {
        for (const ReadError& e : errors) {
            const std::string msg = "line " + std::to_string(e.line) + ": " + e.reason;
            if (PyErr_WarnEx(bound.read_warning.ptr(), msg.c_str(), 1) != 0) throw nb::python_error();
        }
        return;
    }
    nb::list list;
    std::string msg = std::to_string(errors.size()) + (errors.size() == 1 ? " bad record" : " bad records");
    for (std::size_t i = 0; i < errors.size(); ++i) {
        list.append(nb::make_tuple(nb::int_(errors[i].line), make_str(errors[i].reason)));
        if (i < 5) msg += (i ? "; line " : ": line ") + std::to_string(errors[i].line) + ": " + errors[i].reason;
    }
    if (errors.size() > 5) msg += "; ...";
    nb::object exc = checked(PyObject_CallOneArg(bound.read_error.ptr(), make_str(msg).ptr()));
    if (PyObject_SetAttrString(exc.ptr(), "records", records.ptr()) != 0) throw nb::python_error();
    if (PyObject_SetAttrString(exc.ptr(), "errors", list.ptr()) != 0) throw nb::python_error();
    PyErr_SetObject(bound.read_error.ptr(), exc.ptr());
    throw nb::python_error();
}

bool valid_utf8(std::string_view text) {
    if (cat::first_non_ascii_column(text) == 0) return true;
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (s == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(s);
    return true;
}

// The reason of a ValueError raised while a record was built (the exception is
// consumed); other exceptions propagate.
std::string value_error_reason(nb::python_error& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    return str_text(e.value());
}

struct ReadRecords {
    std::vector<nb::object> tles;
    std::vector<std::int64_t> first_line;  // line of line 1 of each TLE
    // Taken while each record is fresh in the cache, for the grouping of read_elsets.
    std::vector<std::int64_t> satno;       // -1: not a number
    std::vector<std::size_t> line_hash;
    std::vector<std::array<double, 12>> values;  // in the order of an ELSET's arrays
    std::vector<std::int64_t> stamps;
    std::vector<PyObject*> names;                // borrowed from the records
    std::vector<ReadError> errors;
};

EarthConstants earth_constants_once() {
    EarthConstants k{false};
    k.gm = read_earth_constant("GM");
    k.re = read_earth_constant("Re");
    return k;
}

// One record from its two lines and optional name; a bad one becomes an error.
void add_record(ReadRecords& out, std::string_view line1, std::string_view line2, std::int64_t line1_no,
                std::int64_t line2_no, nb::handle name, bool zero_prefix, bool strict, const EarthConstants& k) {
    TLE t;
    try {
        build_record(t, line1, line2, strict, k);
    } catch (const RecordError& e) {
        out.errors.push_back({e.line == 2 ? line2_no : line1_no, e.reason});
        return;
    } catch (nb::python_error& e) {
        out.errors.push_back({line1_no, value_error_reason(e)});
        return;
    }
    t.name = nb::borrow(name);
    t.name_zero_prefix = zero_prefix;
    out.tles.push_back(new_tle_object(std::move(t)));
    out.first_line.push_back(line1_no);
    const TLE& made = tle_of(out.tles.back().ptr());
    std::int32_t satno = 0;
    out.satno.push_back(cat::decode_catalogue(made.catalogue, satno) ? satno : -1);
    out.line_hash.push_back(SameLinesHash{}(&made));
    out.values.push_back({made.ecc, made.sma, made.inc, made.raa, made.arp, made.tra,
                          made.mnm, made.orp, made.eca, made.mea, made.pge, made.apg});
    out.stamps.push_back(made.epoch_ns);
    out.names.push_back(made.name.ptr());
}

void read_text_records(const SourceText& src, bool strict, ReadRecords& out) {
    std::vector<cat::RawRecord> raw;
    std::vector<cat::RawProblem> problems;
    cat::split_records(src.text, raw, problems);
    CollectorPause pause;
    for (const cat::RawProblem& p : problems) out.errors.push_back({p.line, cat::describe(p.problem)});
    const EarthConstants k = earth_constants_once();
    out.tles.reserve(raw.size());
    std::unordered_map<std::string_view, nb::object> names;
    for (const cat::RawRecord& r : raw) {
        if (src.from_bytes) {
            const std::pair<std::string_view, std::int64_t> parts[] = {
                {r.name, r.name_line}, {r.line1, r.line1_line}, {r.line2, r.line2_line}};
            bool ok = true;
            for (const auto& [text, no] : parts) {
                if (ok && !valid_utf8(text)) {
                    out.errors.push_back({no, "line " + std::to_string(no) + " is not UTF-8 text"});
                    ok = false;
                }
            }
            if (!ok) continue;
        }
        nb::object name = nb::none();
        if (r.name_line != 0) {
            // One str per distinct name: a history repeats its satellite's name.
            auto it = names.find(r.name);
            if (it == names.end()) it = names.emplace(r.name, make_str(r.name)).first;
            name = it->second;
        }
        add_record(out, r.line1, r.line2, r.line1_line, r.line2_line, name, r.name_zero_prefix, strict, k);
    }
}

int truth(nb::handle x) {
    const int r = PyObject_IsTrue(x.ptr());
    if (r < 0) throw nb::python_error();
    return r;
}

nb::list as_list(const std::vector<nb::object>& items) {
    nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), nb::object(items[i]).release().ptr());
    }
    return nb::steal<nb::list>(list.release());
}

nb::object read_tles(nb::handle source, nb::handle strict, nb::handle errors) {
    const ErrorMode mode = error_mode(errors);
    const int is_strict = truth(strict);
    const SourceText src = source_text(source);
    ReadRecords out;
    read_text_records(src, is_strict != 0, out);
    nb::list result = as_list(out.tles);
    report(mode, result, out.errors);
    return result;
}

nb::object read_elsets(nb::handle source, nb::handle strict, nb::handle errors) {
    const ErrorMode mode = error_mode(errors);
    const int is_strict = truth(strict);
    const SourceText src = source_text(source);
    ReadRecords out;
    read_text_records(src, is_strict != 0, out);

    struct Group {
        std::int32_t satno;
        std::vector<std::size_t> rows;  // records of the number, in file order
        PyObject* name = Py_None;       // the last name line of the number
    };
    CollectorPause pause;
    std::vector<Group> groups;
    std::unordered_map<std::int32_t, std::size_t> index;
    for (std::size_t i = 0; i < out.tles.size(); ++i) {
        const std::int64_t satno = out.satno[i];
        if (satno < 0) {
            const TLE& t = tle_of(out.tles[i].ptr());
            out.errors.push_back({out.first_line[i], "the catalogue number " + snippet(t.catalogue, 5) +
                                                         " (columns 3-7) is not a number, which an ELSET needs"});
            continue;
        }
        auto [it, fresh] = index.try_emplace(static_cast<std::int32_t>(satno), groups.size());
        if (fresh) groups.push_back(Group{static_cast<std::int32_t>(satno), {}, Py_None});
        Group& g = groups[it->second];
        g.rows.push_back(i);
        if (out.names[i] != Py_None) g.name = out.names[i];
    }
    nb::object result = checked(PyObject_CallNoArgs(bound.catalogue_type.ptr()));
    std::vector<std::pair<std::int64_t, std::int64_t>> dropped;  // (line, satno)
    std::vector<std::pair<std::int64_t, std::size_t>> keys;
    std::vector<std::size_t> rows;
    std::vector<PyObject*> members;
    for (Group& g : groups) {
        // Epoch order (ties in file order), from the packed stamps.
        keys.clear();
        for (std::size_t r : g.rows) keys.emplace_back(out.stamps[r], r);
        std::sort(keys.begin(), keys.end());
        // Exact duplicates share the epoch: each record is compared with the kept
        // ones of its epoch (hashes first), and the later copy in the file goes.
        rows.clear();
        std::size_t run = 0;  // first kept row of the current epoch, in `rows`
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const std::size_t r = keys[k].second;
            if (k == 0 || keys[k].first != keys[k - 1].first) run = rows.size();
            bool duplicate = false;
            for (std::size_t j = run; j < rows.size() && !duplicate; ++j) {
                duplicate = out.line_hash[rows[j]] == out.line_hash[r] &&
                            SameLines{}(&tle_of(out.tles[rows[j]].ptr()), &tle_of(out.tles[r].ptr()));
            }
            if (duplicate) dropped.emplace_back(out.first_line[r], g.satno);
            else rows.push_back(r);
        }
        members.clear();
        for (std::size_t r : rows) members.push_back(out.tles[r].ptr());
        nb::object e = new_elset_object(members, g.name,
                                        ParentSource{nullptr, nullptr, out.values.data(), out.stamps.data(), rows.data(),
                                                     &g.satno});
        if (PyDict_SetItem(result.ptr(), nb::int_(g.satno).ptr(), e.ptr()) != 0) throw nb::python_error();
    }
    std::sort(dropped.begin(), dropped.end());
    nb::list duplicates;
    for (const auto& [line, satno] : dropped) duplicates.append(nb::make_tuple(nb::int_(line), nb::int_(satno)));
    if (PyObject_SetAttrString(result.ptr(), "duplicates", duplicates.ptr()) != 0) throw nb::python_error();
    report(mode, result, out.errors);
    return result;
}

// --- OMM ---------------------------------------------------------------------------

// A field of an OMM record (a dict); nullptr when absent or blank text.
PyObject* omm_field(nb::handle record, const char* key) {
    nb::str k(key);
    PyObject* v = PyDict_GetItemWithError(record.ptr(), k.ptr());  // borrowed: the record keeps it
    if (v == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nullptr;
    }
    if (v == Py_None) return nullptr;
    if (PyUnicode_Check(v)) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(v, &n);
        if (p == nullptr) throw nb::python_error();
        if (std::string_view(p, static_cast<std::size_t>(n)).find_first_not_of(" \t") == std::string_view::npos) {
            return nullptr;
        }
    }
    return v;
}

struct OmmError {
    std::string reason;
};

double omm_number(nb::handle record, const char* key, bool required, double fallback) {
    PyObject* v = omm_field(record, key);
    if (v == nullptr) {
        if (required) throw OmmError{std::string("no ") + key};
        return fallback;
    }
    PyObject* f = PyUnicode_Check(v) ? PyFloat_FromString(v) : PyNumber_Float(v);
    if (f == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        throw OmmError{std::string(key) + " is not a number: " + repr_text(v)};
    }
    const double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return d;
}

std::int64_t omm_integer(nb::handle record, const char* key, bool required, std::int64_t fallback) {
    PyObject* v = omm_field(record, key);
    if (v == nullptr) {
        if (required) throw OmmError{std::string("no ") + key};
        return fallback;
    }
    nb::object number;
    if (PyUnicode_Check(v)) {
        nb::object stripped = checked(PyObject_CallMethod(v, "strip", nullptr));
        PyObject* n = PyLong_FromUnicodeObject(stripped.ptr(), 10);
        if (n == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
            PyErr_Clear();
            throw OmmError{std::string(key) + " is not an integer: " + repr_text(v)};
        }
        number = nb::steal(n);
    } else if (PyLong_Check(v) && !PyBool_Check(v)) {
        number = nb::borrow(v);
    } else if (PyFloat_Check(v) && std::floor(PyFloat_AS_DOUBLE(v)) == PyFloat_AS_DOUBLE(v) &&
               std::fabs(PyFloat_AS_DOUBLE(v)) < 1e15) {
        number = checked(PyNumber_Long(v));
    } else {
        throw OmmError{std::string(key) + " is not an integer: " + repr_text(v)};
    }
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) throw OmmError{std::string(key) + " is out of range: " + repr_text(v)};
    return x;
}

std::string omm_text(nb::handle record, const char* key) {
    PyObject* v = omm_field(record, key);
    if (v == nullptr) return {};
    if (!PyUnicode_Check(v)) return str_text(v);
    return utf8(v);
}

// The two lines of one OMM record.
void omm_lines(nb::handle record, char line1[fields::kLineBuffer], char line2[fields::kLineBuffer]) {
    if (!PyDict_Check(record.ptr())) {
        throw OmmError{std::string("a record must be an object (dict), not ") + Py_TYPE(record.ptr())->tp_name};
    }
    cat::OmmFields f{};
    f.norad_cat_id = omm_integer(record, "NORAD_CAT_ID", true, 0);
    const std::string cls = omm_text(record, "CLASSIFICATION_TYPE");
    f.classification = cls.empty() ? 'U' : cls[0];
    if (cls.size() > 1 || static_cast<unsigned char>(f.classification) >= 0x80u) {
        throw OmmError{"CLASSIFICATION_TYPE must be one letter, not " + cls};
    }
    if (!cat::international_from_object_id(omm_text(record, "OBJECT_ID"), f.international)) {
        std::memset(f.international, ' ', 8);  // "UNKNOWN" and other forms: no designator
    }
    const std::string epoch = omm_text(record, "EPOCH");
    if (epoch.empty()) throw OmmError{"no EPOCH"};
    if (!cat::parse_iso_epoch(epoch, f.epoch_mjd, f.epoch_sod_ns)) {
        throw OmmError{"EPOCH is not an ISO date and time (YYYY-MM-DDTHH:MM:SS.ffffff): " + epoch};
    }
    f.mean_motion_dot = omm_number(record, "MEAN_MOTION_DOT", false, 0.0);
    f.mean_motion_ddot = omm_number(record, "MEAN_MOTION_DDOT", false, 0.0);
    f.bstar = omm_number(record, "BSTAR", false, 0.0);
    f.ephemeris_type = static_cast<int>(std::clamp<std::int64_t>(omm_integer(record, "EPHEMERIS_TYPE", false, 0), -1, 10));
    f.element_set_no = omm_integer(record, "ELEMENT_SET_NO", false, 999);
    f.inclination = omm_number(record, "INCLINATION", true, 0);
    f.ra_of_asc_node = omm_number(record, "RA_OF_ASC_NODE", true, 0);
    f.eccentricity = omm_number(record, "ECCENTRICITY", true, 0);
    f.arg_of_pericenter = omm_number(record, "ARG_OF_PERICENTER", true, 0);
    f.mean_anomaly = omm_number(record, "MEAN_ANOMALY", true, 0);
    f.mean_motion = omm_number(record, "MEAN_MOTION", true, 0);
    f.rev_at_epoch = omm_integer(record, "REV_AT_EPOCH", false, 0);
    std::string error;
    if (!cat::write_lines(f, line1, line2, error)) throw OmmError{error};
}

nb::object read_omm(nb::handle source, nb::handle errors) {
    const ErrorMode mode = error_mode(errors);
    const SourceText src = source_text(source);
    nb::object text = checked(PyUnicode_DecodeUTF8(src.text.data(), static_cast<Py_ssize_t>(src.text.size()), "strict"));
    const std::size_t first = src.text.find_first_not_of(" \t\r\n\xef\xbb\xbf");
    const bool json = first != std::string_view::npos && (src.text[first] == '[' || src.text[first] == '{');

    std::vector<nb::object> records;
    std::vector<std::int64_t> lines;
    if (json) {
        nb::object parsed = nb::module_::import_("json").attr("loads")(text);
        if (PyDict_Check(parsed.ptr())) {
            records.push_back(parsed);
        } else if (PyList_Check(parsed.ptr())) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parsed.ptr()); ++i) {
                records.push_back(nb::borrow(PyList_GET_ITEM(parsed.ptr(), i)));
            }
        } else {
            throw nb::value_error("source: OMM JSON must be a list of objects or one object");
        }
        lines = cat::json_record_lines(src.text);
        if (lines.size() != records.size()) {
            lines.clear();
            for (std::size_t i = 0; i < records.size(); ++i) lines.push_back(1);
        }
    } else {
        nb::module_ csv = nb::module_::import_("csv");
        nb::object io = nb::module_::import_("io").attr("StringIO")(text, "newline"_a = "");
        nb::object reader = csv.attr("DictReader")(io);
        nb::object iter = checked(PyObject_GetIter(reader.ptr()));
        while (PyObject* row = PyIter_Next(iter.ptr())) {
            records.push_back(nb::steal(row));
            nb::object n = checked(PyObject_GetAttrString(reader.ptr(), "line_num"));
            lines.push_back(PyLong_AsLongLong(n.ptr()));
            if (PyErr_Occurred()) throw nb::python_error();
        }
        if (PyErr_Occurred()) {
            // csv.Error is no ValueError: say which source and line it is about.
            nb::python_error e;
            if (!e.matches(csv.attr("Error"))) {
                e.restore();
                throw nb::python_error();
            }
            nb::object n = checked(PyObject_GetAttrString(reader.ptr(), "line_num"));
            throw nb::value_error(("source: OMM CSV is malformed at line " + str_text(n) + ": " +
                                   str_text(e.value())).c_str());
        }
    }

    ReadRecords out;
    const EarthConstants k = earth_constants_once();
    for (std::size_t i = 0; i < records.size(); ++i) {
        char line1[fields::kLineBuffer], line2[fields::kLineBuffer];
        const std::string which = "record " + std::to_string(i + 1);
        try {
            omm_lines(records[i], line1, line2);
        } catch (const OmmError& e) {
            out.errors.push_back({lines[i], which + ": " + e.reason});
            continue;
        }
        nb::object name = nb::none();
        if (PyObject* v = omm_field(records[i], "OBJECT_NAME")) name = PyUnicode_Check(v) ? nb::borrow(v) : make_str(str_text(v));
        const std::size_t before = out.errors.size();
        add_record(out, {line1, fields::kLineLength}, {line2, fields::kLineLength}, lines[i], lines[i], name, false,
                   false, k);
        if (out.errors.size() > before) out.errors.back().reason = which + ": " + out.errors.back().reason;
    }
    nb::list result = as_list(out.tles);
    report(mode, result, out.errors);
    return result;
}

std::string field_text(const char* line, int first, int last) {
    std::string s(line + first - 1, static_cast<std::size_t>(last - first + 1));
    const std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

double field_double(const char* line, int first, int last) {
    char buf[24];
    const std::size_t w = static_cast<std::size_t>(last - first + 1);
    std::memcpy(buf, line + first - 1, w);
    buf[w] = '\0';
    return fields::read_double(buf);
}

int field_int(const char* line, int first, int last) {
    char buf[24];
    const std::size_t w = static_cast<std::size_t>(last - first + 1);
    std::memcpy(buf, line + first - 1, w);
    buf[w] = '\0';
    return fields::read_int(buf);
}

nb::dict tle_to_omm(const TLE& t) {
    nb::dict d;
    d["OBJECT_NAME"] = t.name;
    // International designator: launch year (two digits and the pivot), number, piece.
    std::string id;
    const std::string intl = field_text(t.line1, 10, 17);
    if (!intl.empty()) {
        const int yy = field_int(t.line1, 10, 11);
        const int year = yy < fields::kYearPivot ? 2000 + yy : 1900 + yy;
        id = std::to_string(year) + "-" + intl.substr(std::min<std::size_t>(2, intl.size()));
    }
    d["OBJECT_ID"] = make_str(id);
    const cat::EpochLabel label = cat::epoch_label(t.line1);
    std::int64_t y;
    int mo, dd;
    cat::civil_from_mjd(label.mjd, y, mo, dd);
    const std::int64_t us = (label.sod_ns + 500) / 1000;
    char epoch[64];
    std::snprintf(epoch, sizeof epoch, "%04lld-%02d-%02dT%02lld:%02lld:%02lld.%06lld", static_cast<long long>(y), mo, dd,
                  static_cast<long long>(us / 3'600'000'000), static_cast<long long>(us / 60'000'000 % 60),
                  static_cast<long long>(us / 1'000'000 % 60), static_cast<long long>(us % 1'000'000));
    d["EPOCH"] = make_str(epoch);
    d["MEAN_MOTION"] = field_double(t.line2, 53, 63);
    d["ECCENTRICITY"] = t.ecc;
    d["INCLINATION"] = field_double(t.line2, 9, 16);
    d["RA_OF_ASC_NODE"] = field_double(t.line2, 18, 25);
    d["ARG_OF_PERICENTER"] = field_double(t.line2, 35, 42);
    d["MEAN_ANOMALY"] = field_double(t.line2, 44, 51);
    d["EPHEMERIS_TYPE"] = field_int(t.line1, 63, 63);
    d["CLASSIFICATION_TYPE"] = make_str(std::string_view(t.line1 + 7, 1));
    d["NORAD_CAT_ID"] = tle_satno(t);
    d["ELEMENT_SET_NO"] = field_int(t.line1, 65, 68);
    d["REV_AT_EPOCH"] = field_int(t.line2, 64, 68);
    d["BSTAR"] = cat::read_exponent_field(t.line1 + 53, 8);
    d["MEAN_MOTION_DOT"] = field_double(t.line1, 34, 43);
    d["MEAN_MOTION_DDOT"] = cat::read_exponent_field(t.line1 + 44, 8);
    return d;
}

// Writers: the TLEs of TLE/ELSET objects, a mapping of them, or an iterable.
void collect_tles(nb::handle obj, std::vector<std::pair<PyObject*, PyObject*>>& out, nb::handle satname, int depth) {
    if (nb::isinstance<TLE>(obj) && nb::inst_ready(obj)) {
        out.emplace_back(obj.ptr(), satname.ptr());
        return;
    }
    if (nb::isinstance<ELSET>(obj)) {
        const ELSET& e = elset_of(obj);
        nb::object name = checked(PyObject_GetAttrString(obj.ptr(), "_satname"));
        for (Py_ssize_t i = 0; i < e.size(); ++i) out.emplace_back(e.member_object(i).ptr(), name.ptr());
        return;
    }
    if (depth > 0) {
        throw nb::type_error(("tles_or_elsets must hold TLE or ELSET objects, not " +
                              std::string(Py_TYPE(obj.ptr())->tp_name)).c_str());
    }
    nb::object items = PyDict_Check(obj.ptr()) ? checked(PyDict_Values(obj.ptr())) : nb::borrow(obj);
    PyObject* it = PyObject_GetIter(items.ptr());
    if (it == nullptr) {
        PyErr_Clear();
        throw nb::type_error(("tles_or_elsets must be a TLE, an ELSET or an iterable of them, not " +
                              std::string(Py_TYPE(obj.ptr())->tp_name)).c_str());
    }
    nb::object iter = nb::steal(it);
    while (PyObject* item = PyIter_Next(iter.ptr())) {
        nb::object held = nb::steal(item);
        collect_tles(held, out, nb::none(), depth + 1);
        // The objects stay alive through their containers, which the caller holds.
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

nb::object write_tles(nb::handle tles_or_elsets, nb::handle file_or_path, nb::handle names) {
    const int with_names = truth(names);
    std::vector<std::pair<PyObject*, PyObject*>> records;
    collect_tles(tles_or_elsets, records, nb::none(), 0);
    std::string text;
    text.reserve(records.size() * 164);
    for (const auto& [obj, satname] : records) {
        const TLE& t = tle_of(obj);
        if (with_names) {
            nb::handle name = t.name.is_valid() && !t.name.is_none() ? nb::handle(t.name) : nb::handle(satname);
            if (name.is_valid() && !name.is_none()) {
                if (t.name_zero_prefix && name.is(t.name)) text += "0 ";
                text += str_text(name);
                text += '\n';
            }
        }
        text.append(t.line1, fields::kLineLength);
        text += '\n';
        text.append(t.line2, fields::kLineLength);
        text += '\n';
    }
    nb::str result = make_str(text);
    if (!file_or_path.is_none()) {
        if (PyObject_HasAttrString(file_or_path.ptr(), "write")) {
            checked(PyObject_CallMethod(file_or_path.ptr(), "write", "O", result.ptr()));
        } else {
            nb::object path = nb::module_::import_("pathlib").attr("Path")(file_or_path);
            path.attr("write_text")(result, "encoding"_a = "utf-8", "newline"_a = "");
        }
    }
    return result;
}

}  // namespace

NB_MODULE(tle, m) {
    utils::import_representable();  // first: the base type must be known before binding derived ones

    bound.time_type = keep(native::import_type("astrovia.time.time", "Time"));
    bound.earth = keep(native::import_attr("astrovia.bodies.bodies", "Earth"));
    bound.teme = keep(native::import_attr("astrovia.frames.frames", "TEME"));
    keep(native::import_type("astrovia.mathtools.ellipsoid.ellipsoid", "Ellipsoid"));
    bound.coe = coe::import_api();
    bound.misc = misc::import_api();
    bound.deg = native::import_float("astrovia.units.units", "deg");
    bound.rev = native::import_float("astrovia.units.units", "rev");
    bound.day = native::import_float("astrovia.units.units", "day");
    bound.hour = native::import_float("astrovia.units.units", "hour");
    bound.km = native::import_float("astrovia.units.units", "km");
    bound.integral = keep(native::import_type("numbers", "Integral"));
    nb::module_ np = nb::module_::import_("numpy");
    bound.np_empty = keep(np.attr("empty"));
    bound.np_asarray = keep(np.attr("asarray"));
    bound.np_arange = keep(np.attr("arange"));
    bound.np_array = keep(np.attr("array"));
    bound.np_double = keep(np.attr("double"));
    bound.np_int64 = keep(np.attr("int64"));
    bound.np_ndarray = keep(np.attr("ndarray"));
    bound.ns_name = checked(PyUnicode_InternFromString("_ns")).release();

    m.doc() = "Two-line element sets: the TLE record and the ELSET history of one satellite.";

    bound.read_error = keep(checked(PyErr_NewExceptionWithDoc(
        "astrovia.propagators.analytical.sgp4.tle.TLEReadError",
        "Bad records in a catalogue (a ValueError), raised after the whole source was read.\n\n"
        "records: what the reader would have returned (the good records); errors: a list of\n"
        "(line_number, reason) tuples, line numbers 1-based in the source, in line order.",
        PyExc_ValueError, nullptr)));
    bound.read_warning = keep(checked(PyErr_NewExceptionWithDoc(
        "astrovia.propagators.analytical.sgp4.tle.TLEReadWarning",
        "One bad record of a catalogue read with errors=\"warn\": \"line N: reason\".",
        PyExc_UserWarning, nullptr)));
    m.attr("TLEReadError") = bound.read_error;
    m.attr("TLEReadWarning") = bound.read_warning;
    {
        nb::dict ns;
        ns["__module__"] = "astrovia.propagators.analytical.sgp4.tle";
        ns["__doc__"] =
            "The ELSETs of a catalogue keyed by catalogue number (a dict, in order of first appearance).\n\n"
            "duplicates: the exact duplicate records read_elsets dropped, as (line_number, satno) tuples\n"
            "(line_number is that of the dropped record's line 1).";
        nb::object type = nb::module_::import_("builtins").attr("type");
        bound.catalogue_type = keep(type("ELSETCatalogue", nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type))), ns));
        m.attr("ELSETCatalogue") = bound.catalogue_type;
    }

    nb::class_<TLE, utils::Representable> tle(
        m, "TLE", nb::type_slots(tle_slots),
        "One two-line element set of one satellite.\n\n"
        "TLE(line1, line2, strict_validation=False, *, name=None) reads the fixed columns of the two\n"
        "lines: the catalogue number (alpha-5 numbers such as A0000 = 100000 decoded), the epoch (a\n"
        "Time: 00:00 UTC of 1 January of the year, plus day - 1 calendar days, plus the day's\n"
        "fraction x 86400 s of clock time, exact to the nanosecond of the text) and the six mean\n"
        "elements in SI units (angles in rad, mnm in rad/s), and derives sma [m], orp [s], eca and\n"
        "tra [rad], pge and apg [m, altitudes above Earth.Re] with Earth.GM. Reading is lenient:\n"
        "blank or garbled columns read as their numeric prefix or 0. With strict_validation true,\n"
        "ValueError names the line, column and field of the first fault: a non-ASCII character, a\n"
        "length other than 69 (trailing blanks, \"\\r\" and \"\\n\" dropped), a wrong line number,\n"
        "a field out of its fixed format (blanks, signs, points, digits), a wrong checksum, or two\n"
        "different catalogue numbers. Two TLEs of the same two lines are equal and hash alike.");
    tle.def("__init__", &tle_init, "line1"_a.none(), "line2"_a.none(), "strict_validation"_a.none() = false,
            nb::kw_only(), "name"_a.none() = nb::none(),
            nb::sig("def __init__(self, line1: str, line2: str, strict_validation: bool = False, *, "
                    "name: str | None = None) -> None"))
        .def_prop_ro("name", [](const TLE& t) { return t.name; }, nb::sig("def name(self) -> str | None"),
                     "The name line of the record (without a leading \"0 \"), or None.")
        .def("to_omm", &tle_to_omm, nb::sig("def to_omm(self) -> dict"),
             "The record as an OMM dict with CelesTrak's keys (OBJECT_NAME, OBJECT_ID, EPOCH, MEAN_MOTION,\n"
             "ECCENTRICITY, INCLINATION, RA_OF_ASC_NODE, ARG_OF_PERICENTER, MEAN_ANOMALY, EPHEMERIS_TYPE,\n"
             "CLASSIFICATION_TYPE, NORAD_CAT_ID, ELEMENT_SET_NO, REV_AT_EPOCH, BSTAR, MEAN_MOTION_DOT,\n"
             "MEAN_MOTION_DDOT), values as the line's text gives them (degrees, rev/day; EPOCH in UTC\n"
             "to the microsecond).")
        .def("__eq__", [](nb::handle self, nb::handle other) -> nb::object {
                 if (!nb::isinstance<TLE>(other) || !nb::inst_ready(other) || !nb::inst_ready(self)) {
                     return nb::borrow(Py_NotImplemented);
                 }
                 const TLE& a = *nb::inst_ptr<TLE>(self);
                 const TLE& b = *nb::inst_ptr<TLE>(other);
                 return nb::bool_(std::memcmp(a.line1, b.line1, fields::kLineLength) == 0 &&
                                  std::memcmp(a.line2, b.line2, fields::kLineLength) == 0);
             }, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__", [](const TLE& t) {
                 Py_hash_t h = static_cast<Py_hash_t>(SameLinesHash{}(&t));
                 return h == -1 ? Py_hash_t{-2} : h;
             }, nb::sig("def __hash__(self) -> int"))
        .def_prop_ro("line1", [](const TLE& t) { return decode_line(t.line1); },
                     "The first line, 69 characters (padded with blanks or cut).")
        .def_prop_ro("line2", [](const TLE& t) { return decode_line(t.line2); },
                     "The second line, 69 characters (padded with blanks or cut).")
        .def_prop_ro("satno", &tle_satno, nb::sig("def satno(self) -> int | str"),
                     "Catalogue number (columns 3-7 of line 1): an int, or the stripped text when it is not one.")
        .def_prop_ro("epoch", [](const TLE& t) { return t.epoch; }, nb::sig("def epoch(self) -> Time"),
                     "Epoch of the element set (a Time).")
        .def_prop_ro("inc", [](const TLE& t) { return t.inc; }, "Inclination [rad].")
        .def_prop_ro("raa", [](const TLE& t) { return t.raa; }, "Right ascension of the ascending node [rad].")
        .def_prop_ro("ecc", [](const TLE& t) { return t.ecc; }, "Eccentricity.")
        .def_prop_ro("mea", [](const TLE& t) { return t.mea; }, "Mean anomaly [rad].")
        .def_prop_ro("arp", [](const TLE& t) { return t.arp; }, "Argument of perigee [rad].")
        .def_prop_ro("mnm", [](const TLE& t) { return t.mnm; }, "Mean motion [rad/s].")
        .def_prop_ro("sma", [](const TLE& t) { return t.sma; }, "Semi-major axis [m].")
        .def_prop_ro("orp", [](const TLE& t) { return t.orp; }, "Orbital period [s].")
        .def_prop_ro("eca", [](const TLE& t) { return t.eca; }, "Eccentric anomaly [rad].")
        .def_prop_ro("tra", [](const TLE& t) { return t.tra; }, "True anomaly [rad].")
        .def_prop_ro("pge", [](const TLE& t) { return t.pge; }, "Perigee altitude above Earth.Re [m].")
        .def_prop_ro("apg", [](const TLE& t) { return t.apg; }, "Apogee altitude above Earth.Re [m].")
        .def("_get_header", [](const TLE&) { return nb::str("Two-line Elements (TLE)"); },
             nb::sig("def _get_header(self) -> str"))
        .def("_get_body", &tle_body, nb::sig("def _get_body(self) -> str"))
        .def("__reduce__", [](nb::handle) -> nb::object { refuse_pickle("TLE"); })
        .def("__reduce_ex__", [](nb::handle, nb::handle) -> nb::object { refuse_pickle("TLE"); });

    nb::class_<MemberIterator>(m, "_ELSETIterator", "Iterator over the members of an ELSET.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](MemberIterator& it) -> nb::object {
            const ELSET& e = elset_of(it.elset);
            if (it.next >= e.size()) throw nb::stop_iteration();
            return getitem(it.elset, it.next++);
        });

    nb::class_<PairIterator>(m, "_ELSETPairs", "Iterator over consecutive pairs of members of an ELSET.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](PairIterator& it) -> nb::object {
            const ELSET& e = elset_of(it.elset);
            if (!it.previous.is_valid()) it.previous = getitem(it.elset, 0);
            if (it.next >= e.size()) throw nb::stop_iteration();
            nb::object current = getitem(it.elset, it.next++);
            nb::object pair = nb::make_tuple(it.previous, current);
            it.previous = current;
            return pair;
        });

    nb::class_<ELSET, utils::Representable> elset(
        m, "ELSET", nb::type_slots(elset_slots),
        "The element-set history of one satellite.\n\n"
        "ELSET(*tles, satname=None) keeps the TLEs (one catalogue number, at least one, else\n"
        "AssertionError saying what was wrong) sorted by\n"
        "epoch, with epoch (a Time of all members) and one float64 array per element, sharing memory\n"
        "with the ELSET. Index by position (int or slice with int bounds), by time range (a slice of\n"
        "Time-like bounds, start included, stop excluded), or by a boolean mask or integer positions;\n"
        "selections are new ELSETs without a satname. size gives the number of members (no len()).");
    elset.def("__init__", &elset_init, "tles"_a, nb::kw_only(), "satname"_a.none() = nb::none(),
              nb::sig("def __init__(self, *tles: TLE, satname: str | None = None) -> None"))
        .def_prop_ro("size", [](const ELSET& e) { return e.size(); }, "Number of members.")
        .def_prop_ro("satname", [](nb::handle self) { elset_of(self); return self.attr("_satname"); },
                     nb::sig("def satname(self) -> str | None"), "Satellite name given at construction, or None.")
        .def_prop_ro("satno", [](const ELSET& e) { return e.satno; }, "Common catalogue number.")
        .def_prop_ro("epoch", [](const ELSET& e) { return e.epoch; }, nb::sig("def epoch(self) -> Time"),
                     "Epochs of the members (a Time of size epochs).");
    static constexpr struct {
        const char* name;
        nb::object ELSET::*field;
        const char* doc;
    } elements[] = {
        {"ecc", &ELSET::ecc, "Eccentricities, shape (size,)."},
        {"sma", &ELSET::sma, "Semi-major axes [m], shape (size,)."},
        {"inc", &ELSET::inc, "Inclinations [rad], shape (size,)."},
        {"raa", &ELSET::raa, "Right ascensions of the ascending node [rad], shape (size,)."},
        {"arp", &ELSET::arp, "Arguments of perigee [rad], shape (size,)."},
        {"tra", &ELSET::tra, "True anomalies [rad], shape (size,)."},
        {"mnm", &ELSET::mnm, "Mean motions [rad/s], shape (size,)."},
        {"orp", &ELSET::orp, "Orbital periods [s], shape (size,)."},
        {"eca", &ELSET::eca, "Eccentric anomalies [rad], shape (size,)."},
        {"mea", &ELSET::mea, "Mean anomalies [rad], shape (size,)."},
        {"pge", &ELSET::pge, "Perigee altitudes [m], shape (size,)."},
        {"apg", &ELSET::apg, "Apogee altitudes [m], shape (size,)."},
    };
    for (const auto& el : elements) {
        const auto field = el.field;
        elset.def_prop_ro(el.name, [field](const ELSET& e) { return elset_element(e, field); },
                          nb::sig((std::string("def ") + el.name + "(self) -> numpy.typing.NDArray[numpy.float64]").c_str()),
                          el.doc);
    }
    elset.def("__getitem__", &elset_getitem, "item"_a.none(), nb::sig("def __getitem__(self, item: Any) -> TLE | ELSET"))
        .def("_getitem_integral",
             [](const ELSET& e, nb::handle item) { return elset_getitem_integral(e, item); }, "item"_a.none(),
             nb::sig("def _getitem_integral(self, item: numbers.Integral) -> TLE"))
        .def("_getitem_integral_slice",
             [](const ELSET& e, nb::handle item) { return elset_getitem_integral_slice(e, item); }, "item"_a.none(),
             nb::sig("def _getitem_integral_slice(self, item: slice) -> ELSET"))
        .def("_getitem_selection",
             [](const ELSET& e, nb::handle selection) { return elset_getitem_selection(e, selection); },
             "selection"_a.none(), nb::sig("def _getitem_selection(self, selection: ndarray[bool | int]) -> ELSET"))
        .def("__iter__",
             [](nb::handle self) {
                 elset_of(self);
                 nb::setattr(self, "index", nb::int_(0));
                 return MemberIterator{nb::borrow(self), 0};
             },
             nb::sig("def __iter__(self) -> Iterator[TLE]"))
        .def("__next__", &elset_next, nb::sig("def __next__(self) -> TLE"))
        .def("pairwise", [](nb::handle self) { elset_of(self); return PairIterator{nb::borrow(self), 1, nb::object()}; },
             nb::sig("def pairwise(self) -> Iterator[tuple[TLE, TLE]]"),
             "Consecutive pairs of members: (0, 1), (1, 2), ... (size - 1 pairs).")
        .def("_get_header",
             [](nb::handle self) {
                 const ELSET& e = elset_of(self);
                 RecursionGuard guard(" in ELSET._get_header");
                 nb::object satname = checked(PyObject_GetAttrString(self.ptr(), "_satname"));
                 const std::string name = str_text(satname);
                 return make_str("ELSET " + name + " (" + std::to_string(e.satno) + ")");
             },
             nb::sig("def _get_header(self) -> str"))
        .def("_get_body",
             [](const ELSET& e) { return nb::str((std::to_string(e.size()) + " elements").c_str()); },
             nb::sig("def _get_body(self) -> str"))
        .def("__reduce__", [](nb::handle) -> nb::object { refuse_pickle("ELSET"); })
        .def("__reduce_ex__", [](nb::handle, nb::handle) -> nb::object { refuse_pickle("ELSET"); });

    bound.elset_type = elset;
    bound.tle_type = tle;

    m.def("read_tles", &read_tles, "source"_a.none(), "strict"_a.none() = false, "errors"_a.none() = "raise",
          nb::sig("def read_tles(source: str | os.PathLike | bytes | typing.IO, strict: bool = False, "
                  "errors: str = 'raise') -> list[TLE]"),
          "The TLEs of a catalogue in two- or three-line form, in file order.\n\n"
          "source: a path (str without a line break, or os.PathLike), a file object (text or binary),\n"
          "or the text itself (str with a line break, or bytes). Blank lines, lines starting with \"#\"\n"
          "and CRLF endings are skipped; a name line (a leading \"0 \" dropped) names the record that\n"
          "follows it (TLE.name). strict: the checks of TLE(..., strict_validation=True) on every record.\n"
          "Bad records (a line 1 or 2 without the other, a name line without element lines, a strict\n"
          "failure, an epoch Time cannot hold, an eccentricity the Kepler solver refuses) never hide the\n"
          "rest: with errors=\"raise\" (default) TLEReadError is raised after reading, with .records (the\n"
          "good TLEs) and .errors ([(line_number, reason), ...]); with errors=\"warn\" each gives a\n"
          "TLEReadWarning and the good TLEs are returned. Earth.GM and Earth.Re are read once per call.");
    m.def("read_elsets", &read_elsets, "source"_a.none(), "strict"_a.none() = false, "errors"_a.none() = "raise",
          nb::sig("def read_elsets(source: str | os.PathLike | bytes | typing.IO, strict: bool = False, "
                  "errors: str = 'raise') -> ELSETCatalogue"),
          "The records of read_tles grouped by catalogue number into ELSETs: an ELSETCatalogue (a dict\n"
          "keyed by number, in order of first appearance), each ELSET's satname taken from the last name\n"
          "line of that number in the file. Exact duplicates (same two lines) are dropped and listed in\n"
          "the result's .duplicates as (line_number, satno); a catalogue number that is not a number is a\n"
          "bad record. errors as in read_tles (TLEReadError.records is the ELSETCatalogue).");
    m.def("read_omm", &read_omm, "source"_a.none(), "errors"_a.none() = "raise",
          nb::sig("def read_omm(source: str | os.PathLike | bytes | typing.IO, errors: str = 'raise') -> list[TLE]"),
          "TLEs from OMM records as CelesTrak and Space-Track publish them: JSON (a list of objects, or one)\n"
          "or CSV (the same keys as a header), detected from the text. The two lines are written from the\n"
          "fields (checksums computed; NORAD_CAT_ID 100000-339999 in alpha-5; the epoch rounded to the\n"
          "1e-8 day a line holds; an OBJECT_ID that is not YYYY-NNNP leaves the designator blank), the\n"
          "name is OBJECT_NAME. A record that does not fit a line (a larger number, a missing field) is a\n"
          "bad record named \"record N\" with its line in the source; errors as in read_tles.");
    m.def("write_tles", &write_tles, "tles_or_elsets"_a.none(), "file_or_path"_a.none() = nb::none(),
          "names"_a.none() = true,
          nb::sig("def write_tles(tles_or_elsets: TLE | ELSET | Iterable[TLE | ELSET] | Mapping[int, ELSET], "
                  "file_or_path: str | os.PathLike | typing.IO | None = None, names: bool = True) -> str"),
          "The records as text: for each TLE its name line (when names is true and it has one: TLE.name,\n"
          "else the ELSET's satname; a leading \"0 \" kept as read), line 1 and line 2, each ending in\n"
          "\"\\n\". Returns the text; writes it to the file object or path too when one is given. Reading\n"
          "the text back gives the same records, byte for byte for well-formed input.");
}

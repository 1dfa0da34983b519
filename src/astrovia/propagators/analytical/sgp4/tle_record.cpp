// The TLE record: its epoch as a Time (made natively from the stamp, or through
// Time's constructor where that is not possible), one record built from its two
// lines (strict checks, derived elements), TLE's constructor and catalogue
// number, and its garbage-collector slots.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "_native/gc.hpp"

#include "propagators/analytical/sgp4/tle_binding.hpp"

namespace astrovia::sgp4::binding {

namespace {

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
nb::object time_from_stamp_native(nb::handle value) {
    auto* tp = reinterpret_cast<PyTypeObject*>(bound.time_type.ptr());
    nb::object empty = checked(PyTuple_New(0));
    nb::object t = checked(tp->tp_new(tp, empty.ptr(), nullptr));
    if (PyObject_SetAttr(t.ptr(), bound.ns_name.ptr(), value.ptr()) != 0) throw nb::python_error();
    return t;
}

nb::object time_from_stamp_native(std::int64_t ns) {
    return time_from_stamp_native(checked(PyLong_FromLongLong(ns)));
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

}  // namespace

// natively, as Time keeps an array of epochs, when that was found to give
// what Time(stamps) gives (tried once); else through Time(stamps).
nb::object time_from_stamp_array(nb::handle stamps) {
    if (bound.fast_time_array < 0) {
        bound.fast_time_array = 0;
        try {
            constexpr std::int64_t probe[2] = {-757'382'469'123'456'789, 757'382'469'123'456'789};
            nb::object a = new_array(2, bound.np_int64);
            {
                CheckedBuffer b(a, 2, 8, "ql", true, "numpy.empty");
                std::memcpy(b.data<std::int64_t>(), probe, sizeof probe);
            }
            nb::object reference = checked(PyObject_CallOneArg(bound.time_type.ptr(), a.ptr()));
            nb::object copy = checked(PyObject_CallMethod(a.ptr(), "copy", nullptr));
            nb::object t = time_from_stamp_native(copy);
            nb::object s = checked(PyObject_GetAttrString(t.ptr(), "int64"));
            CheckedBuffer b(s, 2, 8, "ql", false, "Time.int64");
            if (std::memcmp(b.data<std::int64_t>(), probe, sizeof probe) == 0) {
                nb::object r = checked(PyObject_RichCompare(t.ptr(), reference.ptr(), Py_EQ));
                nb::object all = checked(PyObject_CallMethod(r.ptr(), "all", nullptr));
                if (PyObject_IsTrue(all.ptr()) == 1) bound.fast_time_array = 1;
            }
        } catch (const nb::python_error&) {
        }
        PyErr_Clear();
    }
    if (bound.fast_time_array == 1) return time_from_stamp_native(stamps);
    return checked(PyObject_CallOneArg(bound.time_type.ptr(), stamps.ptr()));
}

nb::object epoch_of(const TLE& t) {
    if (!t.epoch_cache.is_valid() || t.epoch_cache.is_none()) t.epoch_cache = time_from_stamp(t.epoch_ns);
    return t.epoch_cache;
}

double read_earth_constant(const char* name) {
    nb::object v = checked(PyObject_GetAttrString(bound.earth.ptr(), name));
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

namespace {

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

}  // namespace

// Builds the record of two lines (UTF-8 text as given) into `t`; its epoch
// Time is made on first use (epoch_of). RecordError for strict failures and unrepresentable epochs;
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
    // The solver's checked entry raises for an eccentricity outside [0, 1).
    if (t.ecc >= 0.0 && t.ecc < 1.0) {
        t.eca = bound.coe->eca_from_mea_unchecked(t.mea, t.ecc);
    } else {
        t.eca = bound.coe->c_eca_from_mea(t.mea, t.ecc);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    t.tra = coe::c_tra_from_eca(t.eca, t.ecc, std::sqrt(1.0 - t.ecc * t.ecc), bound.misc->atan2_asymmetric);
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

namespace {

std::array<nb::object*, 2> tle_objects(TLE& t) { return {&t.epoch_cache, &t.name}; }

void tle_clear(TLE& t) {
    t.epoch_cache = nb::object();  // made again from epoch_ns if asked for
    t.name = nb::none();
}

}  // namespace

PyType_Slot* const tle_slots = native::GcSlots<TLE, tle_objects, tle_clear>::slots;

}  // namespace astrovia::sgp4::binding

// astrovia.propagators.analytical.sgp4.tle: the TLE record, the ELSET history
// of one satellite, and their framed text. The field reader is the kernel in
// tle_fields.cpp; this file binds it to Time, the Earth's constants, the Kepler
// solver and the presentation base type.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "mathtools/misc/misc.hpp"
#include "propagators/analytical/sgp4/tle.hpp"
#include "propagators/analytical/sgp4/tle_fields.hpp"
#include "state/coe/coe.hpp"
#include "utils/representable.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrovia;
using astrovia::sgp4::ELSET;
using astrovia::sgp4::TLE;

namespace {

// What the module binds at import. The handles are owned for the life of the
// process (never released), so nothing runs at interpreter shutdown.
struct Bound {
    nb::handle time_type;   // astrovia.time.time.Time
    nb::handle earth;       // astrovia.bodies.bodies.Earth
    nb::handle teme;        // astrovia.frames.frames.TEME
    nb::handle integral;    // numbers.Integral
    nb::handle np_zeros, np_ones, np_empty, np_asarray, np_arange, np_double, np_bool, np_int64;
    nb::handle elset_type;  // this module's ELSET, for the selections
    const coe::Api* coe = nullptr;
    const misc::Api* misc = nullptr;
    double deg = 0, rev = 0, day = 0, hour = 0, km = 0;  // unit factors of astrovia.units.units
};
Bound bound;

nb::handle keep(nb::object o) { return o.release(); }

// --- TLE -----------------------------------------------------------------------

void require_line_type(nb::handle line, const char* name) {
    if (!line.is_none()) native::require_exact_str(line, name);
}

// Pads/cuts one line into its buffer; returns the number of characters given.
std::size_t store_line(nb::handle line, char out[sgp4::fields::kLineBuffer], const char* name) {
    if (line.is_none()) throw nb::type_error((std::string(name) + " must be str, not None").c_str());
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
    if (utf8 == nullptr) throw nb::python_error();  // lone surrogates cannot be encoded
    sgp4::fields::store_line(std::string_view(utf8, static_cast<std::size_t>(size)), out);
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(line.ptr()));
}

std::string utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p == nullptr) throw nb::python_error();
    return std::string(p, static_cast<std::size_t>(n));
}

std::string repr_text(nb::handle obj) { return utf8(nb::repr(obj)); }

// The repr of a few stored bytes, which may cut a character: decoded leniently.
std::string snippet(const char* bytes, Py_ssize_t n) {
    PyObject* s = PyUnicode_DecodeUTF8(bytes, n, "replace");
    if (s == nullptr) throw nb::python_error();
    return repr_text(nb::steal(s));
}

void validate_line(const char line[sgp4::fields::kLineBuffer], int number, std::size_t given_length) {
    using sgp4::fields::LineCheck;
    const std::string name = "line" + std::to_string(number);
    std::string msg;
    switch (sgp4::fields::check_line(line, number, given_length)) {
        case LineCheck::ok: return;
        case LineCheck::wrong_length:
            msg = name + " must be 69 characters long, not " + std::to_string(given_length);
            break;
        case LineCheck::wrong_line_number:
            msg = name + " must start with its line number " + std::to_string(number) + ", not " +
                  snippet(line, 1);
            break;
        case LineCheck::bad_checksum_digit:
            msg = name + " must end with a checksum digit in column 69, not " +
                  snippet(line + 68, 1);
            break;
        case LineCheck::wrong_checksum:
            msg = name + " fails its checksum: column 69 holds " + std::string(1, line[68]) +
                  ", but the checksum of columns 1-68 is " + std::to_string(sgp4::fields::checksum(line));
            break;
    }
    throw nb::value_error(msg.c_str());
}

double read_earth_constant(const char* name) {
    nb::object v = bound.earth.attr(name);
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

// True anomaly from eccentric anomaly; -1.0 with an exception pending when the
// angle function failed. The table's function is pure, so the lock is needed
// only for the test.
double c_tra_from_eca(double eca, double ecc) {
    const double y = std::sin(eca) * std::sqrt(1.0 - ecc * ecc);
    const double x = std::cos(eca) - ecc;
    const double tra = bound.misc->atan2_asymmetric(y, x);
    PyGILState_STATE gil = PyGILState_Ensure();
    const bool failed = PyErr_Occurred() != nullptr;
    PyGILState_Release(gil);
    return failed ? -1.0 : tra;
}

void tle_init(TLE* self, nb::handle line1, nb::handle line2, nb::handle strict_validation) {
    require_line_type(line1, "line1");
    require_line_type(line2, "line2");
    const int strict = PyObject_IsTrue(strict_validation.ptr());
    if (strict < 0) throw nb::python_error();

    // Everything is built in a local record and moved into place only when
    // complete, so a failure leaves no half-made TLE.
    TLE t;
    const std::size_t length1 = store_line(line1, t.line1, "line1");
    const std::size_t length2 = store_line(line2, t.line2, "line2");
    if (strict) {
        validate_line(t.line1, 1, length1);
        validate_line(t.line2, 2, length2);
        if (!sgp4::fields::same_catalogue(t.line1, t.line2)) {
            throw nb::value_error(("line1 and line2 must hold one catalogue number (columns 3-7), not " +
                                   snippet(t.line1 + 2, 5) + " and " +
                                   snippet(t.line2 + 2, 5))
                                      .c_str());
        }
    }

    const sgp4::fields::Line1Fields f1 = sgp4::fields::parse_line1(t.line1);
    std::memcpy(t.catalogue, f1.catalogue, sizeof t.catalogue);
    char year_text[5];
    const std::size_t year_length = sgp4::fields::format_year(f1.year, year_text);
    nb::object new_year = bound.time_type(nb::str(year_text, year_length));
    const double jd_new_year = nb::cast<double>(new_year.attr("jd"));
    t.epoch = bound.time_type(jd_new_year - 1.0 + f1.day_of_year, "format"_a = "jd");

    const sgp4::fields::Line2Fields f2 = sgp4::fields::parse_line2(t.line2);
    t.inc = f2.inc_deg * bound.deg;
    t.raa = f2.raa_deg * bound.deg;
    t.ecc = f2.ecc;
    t.arp = f2.arp_deg * bound.deg;
    t.mea = f2.mea_deg * bound.deg;
    t.mnm = f2.mnm_rev_per_day * bound.rev / bound.day;

    // Derived elements: Kepler's third law with the Earth's GM, and perigee and
    // apogee as altitudes above Earth.Re.
    double gm = read_earth_constant("GM");
    t.sma = std::cbrt(gm / t.mnm / t.mnm);
    gm = read_earth_constant("GM");
    t.orp = std::sqrt(t.sma / gm) * (t.sma * 6.283185307179586);
    t.eca = bound.coe->c_eca_from_mea(t.mea, t.ecc);
    if (PyErr_Occurred()) throw nb::python_error();
    t.tra = c_tra_from_eca(t.eca, t.ecc);
    if (PyErr_Occurred()) throw nb::python_error();
    t.pge = (1.0 - t.ecc) * t.sma - read_earth_constant("Re");
    t.apg = (1.0 + t.ecc) * t.sma - read_earth_constant("Re");

    new (self) TLE(std::move(t));
}

// Catalogue number: an int when the stripped text is a decimal integer, else that text.
nb::object tle_satno(const TLE& t) {
    const std::size_t n = strnlen(t.catalogue, sgp4::fields::kCatalogueLength);
    bool plain = true;  // only digits and blanks: parsed here, as int() would
    for (std::size_t i = 0; i < n && plain; ++i) plain = t.catalogue[i] == ' ' || (t.catalogue[i] >= '0' && t.catalogue[i] <= '9');
    if (plain) {
        std::size_t b = 0, e = n;
        while (b < e && t.catalogue[b] == ' ') ++b;
        while (e > b && t.catalogue[e - 1] == ' ') --e;
        bool digits = b < e;
        long value = 0;
        for (std::size_t i = b; i < e && digits; ++i) {
            digits = t.catalogue[i] != ' ';
            value = value * 10 + (t.catalogue[i] - '0');
        }
        if (digits) return nb::int_(value);
        return nb::str(t.catalogue + b, e - b);
    }
    // The 5-byte field may end inside a multi-byte character: decode leniently.
    PyObject* text = PyUnicode_DecodeUTF8(t.catalogue, static_cast<Py_ssize_t>(n), "replace");
    if (text == nullptr) throw nb::python_error();
    nb::object stripped = nb::steal(text).attr("strip")();
    PyObject* number = PyNumber_Long(stripped.ptr());
    if (number != nullptr) return nb::steal(number);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
    PyErr_Clear();
    return stripped;
}

nb::str decode_line(const char* line) {
    PyObject* s = PyUnicode_DecodeUTF8(line, sgp4::fields::kLineLength, "strict");
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// Python's own float formatting (as format(x, ".3f") gives it), plus a unit.
std::string fixed(double x, int decimals, const char* unit = "") {
    char* s = PyOS_double_to_string(x, 'f', decimals, 0, nullptr);
    if (s == nullptr) throw nb::python_error();
    std::string out(s);
    PyMem_Free(s);
    return out + unit;
}

// The body is a format template: braces of inserted text are doubled so that
// they print as themselves.
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
    nb::dict form_data;
    form_data["epoch"] = nb::repr(t.epoch.attr("utc"));
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

long long stamp_of(nb::handle member) {
    nb::object s = nb::borrow(member).attr("epoch").attr("int64");
    PyObject* idx = PyNumber_Index(s.ptr());
    if (idx == nullptr) throw nb::python_error();
    nb::object i = nb::steal(idx);
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// Writable raw data of a fresh C-contiguous one-dimensional array.
template <class T>
T* array_data(nb::handle array) {
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) throw nb::python_error();
    T* p = static_cast<T*>(view.buf);
    PyBuffer_Release(&view);  // the array owns the memory and outlives the caller's use
    return p;
}

// AssertionError without a message, as an inconsistent ELSET reports.
[[noreturn]] void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

void elset_init(ELSET* self, nb::args members, nb::handle satname) {
    if (!satname.is_none()) native::require_exact_str(satname, "satname");
    const Py_ssize_t n = static_cast<Py_ssize_t>(members.size());

    // Members sorted by epoch: Time stamps order like the instants, so a stable
    // sort on them is the sort on the epochs.
    std::vector<long long> stamps(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle m = members[i];
        if (!nb::isinstance<TLE>(m)) {
            throw nb::type_error(("ELSET members must be TLE, not " + std::string(Py_TYPE(m.ptr())->tp_name) +
                                  " (argument " + std::to_string(i) + ")").c_str());
        }
        stamps[static_cast<std::size_t>(i)] = stamp_of(m);
    }
    std::vector<Py_ssize_t> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), Py_ssize_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](Py_ssize_t a, Py_ssize_t b) { return stamps[a] < stamps[b]; });

    nb::handle self_py = nb::find(self);
    nb::setattr(self_py, "_satname", satname);

    ELSET e;
    e.members = nb::list();
    for (Py_ssize_t k : order) e.members.append(members[k]);

    // One catalogue number and at least one member, also under python -O.
    nb::object satno;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object s = tle_satno(e.member(i));
        if (i == 0) {
            satno = s;
        } else {
            const int same = PyObject_RichCompareBool(satno.ptr(), s.ptr(), Py_EQ);
            if (same < 0) throw nb::python_error();
            if (!same) raise_assertion();
        }
    }
    if (n == 0) raise_assertion();
    if (!PyLong_Check(satno.ptr())) {
        throw nb::type_error(("ELSET needs an integer catalogue number, not " +
                              repr_text(satno)).c_str());
    }
    const long sat = PyLong_AsLong(satno.ptr());
    if (sat == -1 && PyErr_Occurred()) throw nb::python_error();
    if (sat < INT32_MIN || sat > INT32_MAX) throw nb::value_error("ELSET catalogue number out of 32-bit range");
    e.satno = static_cast<std::int32_t>(sat);

    nb::object length = nb::int_(n);
    nb::object stamp_array = bound.np_empty(length, "dtype"_a = bound.np_int64);
    nb::object* arrays[12] = {&e.ecc, &e.sma, &e.inc, &e.raa, &e.arp, &e.tra,
                              &e.mnm, &e.orp, &e.eca, &e.mea, &e.pge, &e.apg};
    double* data[12];
    for (int k = 0; k < 12; ++k) {
        *arrays[k] = bound.np_zeros(length, "dtype"_a = bound.np_double);
        data[k] = array_data<double>(*arrays[k]);
    }
    long long* stamp_data = array_data<long long>(stamp_array);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const TLE& t = e.member(i);
        stamp_data[i] = stamps[static_cast<std::size_t>(order[static_cast<std::size_t>(i)])];
        const double values[12] = {t.ecc, t.sma, t.inc, t.raa, t.arp, t.tra,
                                   t.mnm, t.orp, t.eca, t.mea, t.pge, t.apg};
        for (int k = 0; k < 12; ++k) data[k][i] = values[k];
    }
    e.epoch = bound.time_type(bound.np_asarray(stamp_array));

    new (self) ELSET(std::move(e));
}

nb::object make_elset(nb::handle members_list) {
    nb::object args = nb::steal(PySequence_Tuple(members_list.ptr()));
    if (!args.is_valid()) throw nb::python_error();
    PyObject* r = PyObject_Call(bound.elset_type.ptr(), args.ptr(), nullptr);
    if (r == nullptr) throw nb::python_error();
    return nb::steal(r);
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
    PyObject* part = PyObject_GetItem(e.members.ptr(), item.ptr());
    if (part == nullptr) throw nb::python_error();
    return make_elset(nb::steal(part));
}

nb::object elset_getitem_selection(const ELSET& e, nb::handle selection) {
    // The positions NumPy's indexing picks out of the member list.
    nb::object positions = bound.np_arange(nb::int_(e.size()))[selection];
    nb::object flat = bound.np_asarray(positions, "dtype"_a = bound.np_int64);
    if (nb::cast<int>(flat.attr("ndim")) != 1) {
        throw nb::type_error("selection must pick members along one axis (a boolean mask or integer positions)");
    }
    nb::object contiguous = nb::module_::import_("numpy").attr("ascontiguousarray")(flat);
    Py_buffer view;
    if (PyObject_GetBuffer(contiguous.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    const auto* p = static_cast<const long long*>(view.buf);
    const Py_ssize_t k = view.len / static_cast<Py_ssize_t>(sizeof(long long));
    nb::list picked;
    for (Py_ssize_t j = 0; j < k; ++j) picked.append(e.member_object(static_cast<Py_ssize_t>(p[j])));
    PyBuffer_Release(&view);
    return make_elset(picked);
}

// The ELSET behind a Python object that methods receive untyped (they need the
// object itself too); a bare ELSET.__new__ instance is refused like nanobind does.
const ELSET& elset_of(nb::handle obj) {
    if (!nb::isinstance<ELSET>(obj) || !nb::inst_ready(obj)) {
        throw nb::type_error((std::string("expected an initialised ELSET, not ") + Py_TYPE(obj.ptr())->tp_name).c_str());
    }
    return *nb::inst_ptr<ELSET>(obj);
}

bool is_integral(nb::handle x) {
    if (x.is_none()) return false;
    const int r = PyObject_IsInstance(x.ptr(), bound.integral.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object stamps_of(nb::handle when) { return bound.time_type(when).attr("int64"); }

nb::object elset_getitem(nb::handle self, nb::handle item) {
    const ELSET& e = elset_of(self);
    if (is_integral(item)) return elset_getitem_integral(e, item);
    if (PySlice_Check(item.ptr())) {
        auto* s = reinterpret_cast<PySliceObject*>(item.ptr());
        if (is_integral(s->start) || is_integral(s->stop) || is_integral(s->step)) {
            return elset_getitem_integral_slice(e, item);
        }
        // A time range: start included, stop excluded; the step is ignored.
        nb::object stamps = e.epoch.attr("int64");
        nb::object mask = bound.np_ones(nb::int_(e.size()), "dtype"_a = bound.np_bool);
        nb::handle start(s->start), stop(s->stop);
        if (!start.is_none()) mask = mask & nb::steal(PyObject_RichCompare(stamps.ptr(), stamps_of(start).ptr(), Py_GE));
        if (!stop.is_none()) mask = mask & nb::steal(PyObject_RichCompare(stamps.ptr(), stamps_of(stop).ptr(), Py_LT));
        if (PyErr_Occurred()) throw nb::python_error();
        return elset_getitem_selection(e, mask);
    }
    return elset_getitem_selection(e, nb::module_::import_("numpy").attr("array")(item));
}

nb::object getitem(nb::handle obj, Py_ssize_t i) {
    PyObject* r = PyObject_GetItem(obj.ptr(), nb::int_(i).ptr());
    if (r == nullptr) throw nb::python_error();
    return nb::steal(r);
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
    nb::object index = self.attr("index");
    nb::object size = nb::int_(e.size());
    const int more = PyObject_RichCompareBool(index.ptr(), size.ptr(), Py_LT);
    if (more < 0) throw nb::python_error();
    if (!more) throw nb::stop_iteration();
    nb::setattr(self, "index", index + nb::int_(1));
    PyObject* r = PyObject_GetItem(self.ptr(), index.ptr());
    if (r == nullptr) throw nb::python_error();
    return nb::steal(r);
}

nb::object elset_element(const ELSET& e, const nb::object ELSET::*field) {
    return bound.np_asarray(e.*field);
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
    bound.np_zeros = keep(np.attr("zeros"));
    bound.np_ones = keep(np.attr("ones"));
    bound.np_empty = keep(np.attr("empty"));
    bound.np_asarray = keep(np.attr("asarray"));
    bound.np_arange = keep(np.attr("arange"));
    bound.np_double = keep(np.attr("double"));
    bound.np_bool = keep(np.attr("bool_"));
    bound.np_int64 = keep(np.attr("int64"));

    m.doc() = "Two-line element sets: the TLE record and the ELSET history of one satellite.";

    nb::class_<TLE, utils::Representable> tle(
        m, "TLE",
        "One two-line element set of one satellite.\n\n"
        "TLE(line1, line2, strict_validation=False) reads the fixed columns of the two lines: the\n"
        "catalogue number, the epoch (a Time) and the six mean elements in SI units (angles in rad,\n"
        "mnm in rad/s), and derives sma [m], orp [s], eca and tra [rad], pge and apg [m, altitudes\n"
        "above Earth.Re] with Earth.GM. Reading is lenient: blank or garbled columns read as their\n"
        "numeric prefix or 0. With strict_validation true, a wrong line number in column 1, a wrong\n"
        "checksum, different catalogue numbers on the two lines, or a line that is not 69 characters\n"
        "long raises ValueError.");
    tle.def("__init__", &tle_init, "line1"_a.none(), "line2"_a.none(), "strict_validation"_a.none() = false,
            nb::sig("def __init__(self, line1: str, line2: str, strict_validation: bool = False) -> None"))
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
        m, "ELSET",
        "The element-set history of one satellite.\n\n"
        "ELSET(*tles, satname=None) keeps the TLEs (one catalogue number, at least one) sorted by\n"
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
                 PyObject* text = PyObject_Str(self.attr("_satname").ptr());
                 if (text == nullptr) throw nb::python_error();
                 nb::str name = nb::steal<nb::str>(text);
                 return nb::str(("ELSET " + utf8(name) + " (" + std::to_string(e.satno) + ")").c_str());
             },
             nb::sig("def _get_header(self) -> str"))
        .def("_get_body",
             [](const ELSET& e) { return nb::str((std::to_string(e.size()) + " elements").c_str()); },
             nb::sig("def _get_body(self) -> str"))
        .def("__reduce__", [](nb::handle) -> nb::object { refuse_pickle("ELSET"); })
        .def("__reduce_ex__", [](nb::handle, nb::handle) -> nb::object { refuse_pickle("ELSET"); });

    bound.elset_type = elset;
}

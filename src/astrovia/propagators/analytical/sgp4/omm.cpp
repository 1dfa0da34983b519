// OMM records (the orbit mean-elements message as CelesTrak and Space-Track
// publish it, in JSON or CSV): read_omm writes the two lines of each record from
// its fields and reads them as a catalogue record; TLE.to_omm gives the fields
// of one record back.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "propagators/analytical/sgp4/tle_binding.hpp"

namespace astrovia::sgp4::binding {

namespace {

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

}  // namespace

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
    nb::list result = tle_list(out.records);
    report(mode, result, out.errors);
    return result;
}

namespace {

std::string field_text(const char* line, int first, int last) {
    std::string s(line + first - 1, static_cast<std::size_t>(last - first + 1));
    const std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// Columns first..last of a line as a zero-terminated field for the lenient readers.
struct FieldText {
    char text[24];
    FieldText(const char* line, int first, int last) {
        const std::size_t w = static_cast<std::size_t>(last - first + 1);
        std::memcpy(text, line + first - 1, w);
        text[w] = '\0';
    }
};

double field_double(const char* line, int first, int last) { return fields::read_double(FieldText(line, first, last).text); }
int field_int(const char* line, int first, int last) { return fields::read_int(FieldText(line, first, last).text); }

}  // namespace

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

}  // namespace astrovia::sgp4::binding

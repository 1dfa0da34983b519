// What the files of the tle extension module share (they bind one module):
// the handles the module binds at import, small helpers around the C API, and
// the functions one file defines and another calls. Not a public interface:
// other modules read TLE and ELSET through tle.hpp.
//
//   tle.cpp          the module: import-time binding, classes, docstrings
//   tle_record.cpp   epochs (Time from a stamp) and one record from its two lines
//   tle_text.cpp     the framed console text of TLE and ELSET (Representable's hooks)
//   elset.cpp        ELSET: construction, element arrays, selection, iteration
//   tle_readers.cpp  the catalogue readers (two- and three-line text) and the writer
//   omm.cpp          OMM records (JSON, CSV) in and out
//
// Every call back into Python that can recurse (the text hooks) goes through
// the interpreter's recursion guard; every object a Python-level step returns
// (numpy.empty, numpy.arange, Time(...).int64) is checked before native code
// reads or writes it (native::CheckedBuffer).
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "mathtools/misc/misc.hpp"
#include "propagators/analytical/sgp4/tle.hpp"
#include "propagators/analytical/sgp4/tle_catalogue.hpp"
#include "propagators/analytical/sgp4/tle_fields.hpp"
#include "state/coe/coe.hpp"

namespace astrovia::sgp4::binding {

namespace nb = nanobind;
using namespace nb::literals;
namespace fields = astrovia::sgp4::fields;
namespace cat = astrovia::sgp4::catalogue;
using native::CheckedBuffer;
using native::RecursionGuard;

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
    int fast_time_array = -1;  // the same for Time objects of many epochs
    nb::handle satname_name;   // interned "_satname"
};
extern Bound bound;  // defined in tle.cpp

inline nb::handle keep(nb::object o) { return o.release(); }


inline constexpr std::int64_t kNsPerDay = cat::kNsPerDay;
inline constexpr std::int64_t kHalfDay = kNsPerDay / 2;
inline constexpr std::int64_t kMjdJ2000 = 51544;
inline constexpr std::int64_t kTtMinusTaiNs = 32'184'000'000;
inline constexpr std::int64_t kMaxDaysFromJ2000 = 106'000;  // keeps TT nanoseconds inside int64

inline nb::object checked(PyObject* result) {
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

inline std::string utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p == nullptr) throw nb::python_error();
    return std::string(p, static_cast<std::size_t>(n));
}

inline std::string repr_text(nb::handle obj) { return utf8(checked(PyObject_Repr(obj.ptr()))); }
inline std::string str_text(nb::handle obj) { return utf8(checked(PyObject_Str(obj.ptr()))); }

// The repr of a few stored bytes, which may cut a character: decoded leniently.
inline std::string snippet(const char* bytes, Py_ssize_t n) {
    return repr_text(checked(PyUnicode_DecodeUTF8(bytes, n, "replace")));
}

inline nb::str make_str(std::string_view text) {
    return nb::borrow<nb::str>(checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

inline constexpr const char* kFloat64Formats = "d";

inline nb::object new_array(Py_ssize_t n, nb::handle dtype) {
    return checked(PyObject_CallFunctionObjArgs(bound.np_empty.ptr(), nb::int_(n).ptr(), dtype.ptr(), nullptr));
}

inline const TLE& tle_of(PyObject* member) { return *nb::inst_ptr<TLE>(member); }

// --- epochs and one record (tle_record.cpp) ---------------------------------------

// A record that cannot be built: which of its lines (1 or 2) and why.
struct RecordError {
    int line;
    std::string reason;
};

double read_earth_constant(const char* name);

// Earth constants for one record: read at each step of one construction
// (TLE()), or once for a whole file.
struct EarthConstants {
    bool per_step;
    double gm = 0, re = 0;
    double get_gm() const { return per_step ? read_earth_constant("GM") : gm; }
    double get_re() const { return per_step ? read_earth_constant("Re") : re; }
};

// An array Time of the stamps of a fresh int64 array, which it takes as its own.
nb::object time_from_stamp_array(nb::handle stamps);
// The epoch Time of a record: made from its stamp on first use and kept.
nb::object epoch_of(const TLE& t);
// Builds the record of two lines (UTF-8 text as given) into `t`; its epoch
// Time is made on first use (epoch_of). RecordError for strict failures and
// unrepresentable epochs; exceptions of the Kepler solver and the angle
// function pass as python_error.
void build_record(TLE& t, std::string_view line1, std::string_view line2, bool strict, const EarthConstants& k);
[[noreturn]] void raise_already_initialised(const char* type);
// The UTF-8 text of a str argument; None is a TypeError naming it.
std::string_view text_of(nb::handle line, const char* name);
void tle_init(TLE* self, nb::handle line1, nb::handle line2, nb::handle strict_validation, nb::handle name);
// Catalogue number: an int for digits or alpha-5, else the stripped text (or
// whatever int() makes of it).
nb::object tle_satno(const TLE& t);
nb::str decode_line(const char* line);
// A new TLE object around a complete record, without a call of TLE().
nb::object new_tle_object(TLE&& t);
extern PyType_Slot* const tle_slots;

// --- text hooks (tle_text.cpp) ------------------------------------------------------

nb::str tle_body(const TLE& t);
nb::str elset_header(nb::handle self);
[[noreturn]] void refuse_pickle(const char* what);

// --- ELSET (elset.cpp) ------------------------------------------------------------------

// Where the element values of a new ELSET come from: its members (one pass
// over them), or the stored arrays and epochs of the ELSET it is selected
// from, at the given positions.
struct ParentSource {
    const ELSET* parent = nullptr;
    const std::int64_t* positions = nullptr;  // one per member, in member order
    const std::int32_t* satno = nullptr;      // the members' common number, when known
};

// A new ELSET object of members in epoch order, without a call of ELSET().
nb::object new_elset_object(const std::vector<PyObject*>& members, nb::handle satname, ParentSource from = {},
                            nb::object list = {});
void elset_init(ELSET* self, nb::args members, nb::handle satname);
extern PyType_Slot* const elset_slots;
// The ELSET behind a Python object that methods receive untyped (they need the
// object itself too); a bare ELSET.__new__ instance is refused like nanobind does.
const ELSET& elset_of(nb::handle obj);
// The Time of an ELSET's epochs, made on first use from its stamps and kept.
nb::object elset_epoch(const ELSET& e);
nb::object elset_element(const ELSET& e, int k);
nb::object elset_getitem(nb::handle self, nb::handle item);
nb::object elset_getitem_integral(const ELSET& e, nb::handle item);
nb::object elset_getitem_integral_slice(const ELSET& e, nb::handle item);
nb::object elset_getitem_selection(const ELSET& e, nb::handle selection);
nb::object elset_next(nb::handle self);
nb::object getitem(nb::handle obj, Py_ssize_t i);

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

// --- catalogue readers and writers (tle_readers.cpp) -----------------------------------

enum class ErrorMode { raise, warn };

ErrorMode error_mode(nb::handle errors);

// The text of a source: a str holding a line break (or blank, or starting
// with "[" or "{") is the text itself; any other str, or an os.PathLike, is a path; bytes are the text's bytes; an
// object with read() is a file. `keep` owns the memory `text` points into.
struct SourceText {
    nb::object keep;
    std::string_view text;
    bool from_bytes = false;
};

SourceText source_text(nb::handle source);

// Two TLEs of the same two lines, for de-duplication.
struct SameLinesHash {
    std::size_t operator()(const TLE* t) const {
        const std::size_t h1 = std::hash<std::string_view>{}(t->line1_text());
        return h1 ^ (std::hash<std::string_view>{}(t->line2_text()) + 0x9e3779b97f4a7c15ULL + (h1 << 6) + (h1 >> 2));
    }
};

struct ReadError {
    std::int64_t line;
    std::string reason;
};

// Raises TLEReadError (errors="raise") or warns TLEReadWarning once per bad
// record (errors="warn"), in line order.
void report(ErrorMode mode, nb::handle records, std::vector<ReadError>& errors);

// The records of a source, parsed natively. No Python object is made for them
// until their final order is known: a catalogue's objects are then allocated
// in the order they are kept in (file order, or satellite by satellite in
// epoch order), so making, walking and freeing them runs through memory in
// step instead of jumping across it.
struct ReadRecords {
    std::vector<TLE> records;
    std::vector<std::int64_t> first_line;  // line of line 1 of each record
    std::vector<ReadError> errors;
};

EarthConstants earth_constants_once();
// One record from its two lines and optional name; a bad one becomes an error.
// A kept record takes a reference to `name`: a new one, or with
// `name_owed`, one its caller adds later (true is returned when kept).
bool add_record(ReadRecords& out, std::string_view line1, std::string_view line2, std::int64_t line1_no,
                std::int64_t line2_no, nb::handle name, bool zero_prefix, bool strict, const EarthConstants& k,
                bool name_owed = false);
// A list of new TLE objects, made from the records (moved out of them) in order.
nb::list tle_list(std::vector<TLE>& records);
nb::object read_tles(nb::handle source, nb::handle strict, nb::handle errors);
nb::object read_elsets(nb::handle source, nb::handle strict, nb::handle errors);
nb::object write_tles(nb::handle tles_or_elsets, nb::handle file_or_path, nb::handle names);

// --- OMM (omm.cpp) ------------------------------------------------------------------------

nb::object read_omm(nb::handle source, nb::handle errors);
nb::dict tle_to_omm(const TLE& t);

}  // namespace astrovia::sgp4::binding

// Native interface of astrovia.propagators.analytical.sgp4.tle: the TLE record
// and the ELSET history of one satellite, for modules that bind or read them
// (propagators, satellite).
//
// A consumer writes, first thing in its NB_MODULE:
//
//     astrovia::utils::import_representable();
//     nb::object tle_type = astrovia::sgp4::import_tle_type();     // ImportError if missing or mismatched
//     nb::object elset_type = astrovia::sgp4::import_elset_type();
//
// and then reads a bound object natively:
//
//     const auto& t = nb::cast<const astrovia::sgp4::TLE&>(obj);   // after an isinstance check
//     double n = t.mnm;  nb::object epoch = t.epoch_time();  std::int64_t ns = t.epoch_ns;
//
// Both types are immutable once constructed; their fields may be read without
// the interpreter lock except the Python objects (`epoch_time()`, `name`,
// `members`, the arrays), which need it.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "_native/checks.hpp"
#include "propagators/analytical/sgp4/tle_fields.hpp"
#include "utils/representable.hpp"

namespace astrovia::sgp4 {

namespace nb = nanobind;

inline constexpr const char* kTleModule = "astrovia.propagators.analytical.sgp4.tle";

// One two-line element set. Angles in rad, mnm in rad/s, sma/pge/apg in m, orp in s.
struct TLE : utils::Representable {
    char line1[fields::kLineBuffer];          // 69 bytes of UTF-8 and a zero byte
    char line2[fields::kLineBuffer];
    char catalogue[fields::kCatalogueBuffer];  // columns 3-7 of line 1, zero-terminated
    // The epoch as a Time (astrovia.time.time.Time of epoch_ns), made on first
    // use: a catalogue reader makes none for records whose epoch is never asked
    // for. Read it through epoch_time(); null or None until then.
    mutable nb::object epoch_cache;
    double inc, raa, ecc, mea, arp, mnm;       // mean elements of line 2
    double sma, orp, eca, tra, pge, apg;       // derived from them and the Earth's constants
    std::int64_t epoch_ns = 0;                 // epoch.int64: TT nanoseconds from J2000.0
    nb::object name;                           // the name line of the record (str), or None
    bool name_zero_prefix = false;             // the name line was read with a leading "0 "

    // The epoch Time, made and kept on the first call (interpreter lock held).
    // A TLE that is not a Python object of the tle module has no epoch Time:
    // TypeError.
    nb::object epoch_time() const {
        if (epoch_cache.is_valid() && !epoch_cache.is_none()) return epoch_cache;
        nb::object self = nb::find(this);
        if (!self.is_valid()) throw nb::type_error("the epoch Time of a TLE record that is no TLE object");
        // TLE's own property (not a subclass's) makes the Time and keeps it in epoch_cache.
        nb::handle type = nb::type<TLE>();
        return type.attr("epoch").attr("__get__")(self, type);
    }

    std::string_view line1_text() const { return {line1, fields::kLineLength}; }
    std::string_view line2_text() const { return {line2, fields::kLineLength}; }
};

// The element-set history of one satellite: members sorted by epoch, their
// epochs and element values kept in two NumPy arrays made with the ELSET:
// `stamps` (int64 TT nanoseconds from J2000.0, size()) and `values` (float64,
// twelve rows of size() values, one per element in the order ecc, sma, inc,
// raa, arp, tra, mnm, orp, eca, mea, pge, apg). The Time of the epochs and the
// array of each element (a view of its row) are made on first use: read them
// through epoch_time() and element_array(name); null or None until then.
struct ELSET : utils::Representable {
    mutable nb::object epoch;  // vector Time of the members (epoch_time())
    std::int32_t satno;        // common catalogue number
    nb::list members;          // the TLE objects, sorted by epoch; never changed after construction
    mutable nb::object ecc, sma, inc, raa, arp, tra, mnm, orp, eca, mea, pge, apg;  // element_array(name)
    nb::object stamps, values;

    // The Time of the epochs, made and kept on the first call (lock held).
    nb::object epoch_time() const {
        if (epoch.is_valid() && !epoch.is_none()) return epoch;
        return own_property("epoch");  // makes the Time and keeps it
    }
    // The float64 array of one element ("ecc", ..., "apg"), made and kept on the first call.
    nb::object element_array(const char* name) const { return own_property(name); }

    Py_ssize_t size() const { return PyList_GET_SIZE(members.ptr()); }
    // Member i, 0 <= i < size(); the ELSET keeps it alive.
    nb::handle member_object(Py_ssize_t i) const { return PyList_GET_ITEM(members.ptr(), i); }
    const TLE& member(Py_ssize_t i) const { return *nb::inst_ptr<TLE>(member_object(i)); }

private:
    // ELSET's own property (not a subclass's) of the Python object.
    nb::object own_property(const char* name) const {
        nb::object self = nb::find(this);
        if (!self.is_valid()) throw nb::type_error("an ELSET record that is no ELSET object");
        nb::handle type = nb::type<ELSET>();
        return type.attr(name).attr("__get__")(self, type);
    }
};

// Import the tle module (which registers both types with nanobind) and check
// that its classes are the ones this module was compiled against. Call after
// utils::import_representable().
inline nb::object import_tle_type() { return native::import_native_type<TLE>(kTleModule, "TLE"); }
inline nb::object import_elset_type() { return native::import_native_type<ELSET>(kTleModule, "ELSET"); }

}  // namespace astrovia::sgp4

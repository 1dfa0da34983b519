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
//     double n = t.mnm;  nb::handle epoch = t.epoch;
//
// Both types are immutable once constructed; their fields may be read without
// the interpreter lock except the Python objects (`epoch`, `members`, the arrays).
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
    nb::object epoch;                          // astrovia.time.time.Time of the element set
    double inc, raa, ecc, mea, arp, mnm;       // mean elements of line 2
    double sma, orp, eca, tra, pge, apg;       // derived from them and the Earth's constants
    std::int64_t epoch_ns = 0;                 // epoch.int64: TT nanoseconds from J2000.0
    nb::object name;                           // the name line of the record (str), or None
    bool name_zero_prefix = false;             // the name line was read with a leading "0 "

    std::string_view line1_text() const { return {line1, fields::kLineLength}; }
    std::string_view line2_text() const { return {line2, fields::kLineLength}; }
};

// The element-set history of one satellite: members sorted by epoch and one
// float64 array per element (NumPy arrays of length size(), in member order).
struct ELSET : utils::Representable {
    nb::object epoch;    // vector Time of the members
    std::int32_t satno;  // common catalogue number
    nb::list members;    // the TLE objects, sorted by epoch; never changed after construction
    nb::object ecc, sma, inc, raa, arp, tra, mnm, orp, eca, mea, pge, apg;

    Py_ssize_t size() const { return PyList_GET_SIZE(members.ptr()); }
    // Member i, 0 <= i < size(); the ELSET keeps it alive.
    nb::handle member_object(Py_ssize_t i) const { return PyList_GET_ITEM(members.ptr(), i); }
    const TLE& member(Py_ssize_t i) const { return *nb::inst_ptr<TLE>(member_object(i)); }
};

// Import the tle module (which registers both types with nanobind) and check
// that its classes are the ones this module was compiled against. Call after
// utils::import_representable().
inline nb::object import_tle_type() { return native::import_native_type<TLE>(kTleModule, "TLE"); }
inline nb::object import_elset_type() { return native::import_native_type<ELSET>(kTleModule, "ELSET"); }

}  // namespace astrovia::sgp4

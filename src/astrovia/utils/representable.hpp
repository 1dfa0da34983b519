// Native interface of astrovia.utils.representable: the base type of objects
// that print as framed console text.
//
// A deriving extension module (TLE and ELSET do this) writes:
//
//     #include "utils/representable.hpp"
//
//     struct TLE : astrovia::utils::Representable { ... };
//
//     NB_MODULE(tle, m) {
//         astrovia::utils::import_representable();   // first: registers the base type
//         nb::class_<TLE, astrovia::utils::Representable>(m, "TLE")
//             .def("_get_header", ..., nb::sig("def _get_header(self) -> str"))
//             .def("_get_body", ..., nb::sig("def _get_body(self) -> str"));
//     }
//
// The base type's methods work on the Python object only (its hooks
// `_get_header`/`_get_body` are looked up as ordinary attributes, so a derived
// class overrides them by binding methods of those names), never on the C++
// object: `Representable` has no fields, no virtual functions and no state, and
// it is compiled into every module that includes this header without anything
// global to keep in step. The building blocks are called through the bound
// static methods of the one `Representable` type, so every module shares the
// single implementation in the representable module.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "_native/checks.hpp"

namespace astrovia::utils {

namespace nb = nanobind;

inline constexpr const char* kRepresentableModule = "astrovia.utils.representable";

// Deliberately empty: instances carry a Python attribute dictionary
// (nb::dynamic_attr on the base binding, inherited by derived bindings).
struct Representable {};

// Imports astrovia.utils.representable and checks that its `Representable` is
// the native type this module was compiled against. Call it at the very start
// of NB_MODULE, before `nb::class_<Derived, Representable>`: nanobind aborts on
// an unknown base type. A missing module raises ImportError.
inline nb::object import_representable() {
    return native::import_native_type<Representable>(kRepresentableModule, "Representable");
}

// The bound `Representable` class (valid once import_representable() ran).
inline nb::handle representable_type() { return nb::type<Representable>(); }

// `Representable._format_as_property(text)`: the label styled as the settings ask.
inline nb::str format_as_property(nb::handle text) {
    return nb::str(representable_type().attr("_format_as_property")(text));
}

// `Representable._create_formatted_form(data, ...)`; keywords pass through, e.g.
//   create_formatted_form(d, "min_gap"_a = 2, "uppercase"_a = true)
template <class... Args>
nb::str create_formatted_form(Args&&... args) {
    return nb::str(representable_type().attr("_create_formatted_form")(std::forward<Args>(args)...));
}

// `Representable._create_formatted_frame(data, ...)`; keywords pass through, e.g.
//   create_formatted_frame(d, "index"_a = false, "alignment"_a = align)
template <class... Args>
nb::str create_formatted_frame(Args&&... args) {
    return nb::str(representable_type().attr("_create_formatted_frame")(std::forward<Args>(args)...));
}

}  // namespace astrovia::utils

// astrovia.utils.representable: framed console text (work in progress).
#include <nanobind/nanobind.h>

#include "utils/representable.hpp"

namespace nb = nanobind;
using astrovia::utils::Representable;

namespace {
[[noreturn]] void raise_not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}
}  // namespace

NB_MODULE(representable, m) {
    m.doc() = "Framed console text of astrovia objects.";
    nb::class_<Representable>(m, "Representable", nb::dynamic_attr())
        .def(nb::init<>())
        .def("_get_header", [](nb::handle) -> nb::str { raise_not_implemented(); }, nb::is_method(),
             nb::sig("def _get_header(self) -> str"))
        .def("_get_body", [](nb::handle) -> nb::str { raise_not_implemented(); }, nb::is_method(),
             nb::sig("def _get_body(self) -> str"));
}

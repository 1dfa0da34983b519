// astrovia.mathtools.misc._misc: small native helpers shared through a capsule.
#include <nanobind/nanobind.h>

#include "_native/buffer.hpp"
#include "mathtools/misc/misc.hpp"

namespace nb = nanobind;
using namespace astrovia;

namespace {
double atan2_asymmetric_c(double y, double x) { return misc::atan2_asymmetric(y, x); }
const misc::Api api = {{misc::kApiVersion, static_cast<int>(sizeof(misc::Api))}, &atan2_asymmetric_c};
}  // namespace

NB_MODULE(_misc, m) {
    m.doc() = "Native helpers of astrovia.mathtools.misc.";
    m.attr("_C_API") = native::export_table(&api, misc::kCapsuleName);
    m.def("atan2_asymmetric", &atan2_asymmetric_c, nb::arg("y"), nb::arg("x"),
          nb::sig("def atan2_asymmetric(y: float, x: float) -> float"),
          "The angle [rad] of the point (x, y) in [0, 2 pi) (scalar).");
    native::def_elementwise_1d<misc::atan2_asymmetric>(m, "_atan2_asymmetric_1d", "y", "x");
}

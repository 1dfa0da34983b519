// astrovia.state.coe._coe: the native Kepler solver, exported to other
// extension modules through the capsule table of coe.hpp.
#include <nanobind/nanobind.h>

#include <cstdio>
#include <limits>

#include "_native/buffer.hpp"
#include "state/coe/coe.hpp"
#include "state/coe/kepler.hpp"

namespace nb = nanobind;
using namespace astrovia;

namespace {

double c_eca_from_mea(double mea, double ecc) {
    if (!(ecc >= 0.0 && ecc < 1.0)) {
        if (std::isnan(ecc)) return std::numeric_limits<double>::quiet_NaN();
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", ecc);
        PyErr_Format(PyExc_ValueError, "ecc must be in [0, 1) for an elliptic orbit, not %s", text);
        return std::numeric_limits<double>::quiet_NaN();
    }
    return coe::solve_kepler(mea, ecc);
}

double eca_from_mea_unchecked(double mea, double ecc) { return coe::solve_kepler(mea, ecc); }

const coe::Api api = {
    {coe::kApiVersion, static_cast<int>(sizeof(coe::Api))},
    &c_eca_from_mea,
    &eca_from_mea_unchecked,
};

}  // namespace

NB_MODULE(_coe, m) {
    m.doc() = "Native Kepler solver of astrovia.state.coe.";
    m.attr("_C_API") = native::export_table(&api, coe::kCapsuleName);
    m.def(
        "c_eca_from_mea",
        [](double mea, double ecc) {
            double e = c_eca_from_mea(mea, ecc);
            if (PyErr_Occurred()) throw nb::python_error();
            return e;
        },
        nb::arg("mea"), nb::arg("ecc"),
        nb::sig("def c_eca_from_mea(mea: float, ecc: float) -> float"),
        "Eccentric anomaly [rad] solving mea = E - ecc sin E for 0 <= ecc < 1 (scalar).");
    // Array kernel behind eca_from_mea: one-dimensional inputs of equal length,
    // eccentricities already checked; writes out.
    native::def_elementwise_1d<coe::solve_kepler>(m, "_eca_from_mea_1d", "mea", "ecc");
}

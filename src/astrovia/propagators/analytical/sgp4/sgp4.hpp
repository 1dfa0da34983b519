// Native interface of astrovia.propagators.analytical.sgp4.sgp4: the SGP4/SDP4
// propagator of two-line element sets, deriving from Propagator.
//
// Hook table: c_jac_r is overridden with the gravity gradient of the Earth with
// its J2 term (the gravity constants the propagator was built with); c_jac_v and
// c_jac_x are inherited. A module that binds the type imports it with
// import_sgp4_type() first thing in its NB_MODULE.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include "_native/checks.hpp"
#include "propagators/analytical/sgp4/sgp4_kernel.hpp"
#include "propagators/propagators.hpp"

namespace astrovia::sgp4 {

inline constexpr const char* kSgp4Module = "astrovia.propagators.analytical.sgp4.sgp4";

class SGP4 : public propagators::Propagator {
public:
    SGP4(Gravity g, Mode m) : gravity(g), mode(m), constants(gravity_constants(g)) {}

    Gravity gravity;
    Mode mode;
    GravityConstants constants;

    // Slot 1: point mass and J2 of the chosen constants; epoch and velocity are not used.
    void c_jac_r(PyObject*, const double* r, const double*, double* out) const override {
        j2_gravity_gradient(constants.mu * 1e9, constants.radius_km * 1e3, constants.j2, r, out);
    }
};

inline nanobind::object import_sgp4_type() { return native::import_native_type<SGP4>(kSgp4Module, "SGP4"); }

}  // namespace astrovia::sgp4

// Native interface of astrovia.propagators.propagators: the Propagator base
// class and its table of Jacobian hooks.
//
// The hooks are C++ virtual members. A propagator written in C++ derives from
// Propagator, overrides the hooks its force model changes and binds itself with
// nb::class_<Derived, Propagator> after importing astrovia.propagators.propagators
// (see import_propagator_type below).
//
// Hook contract: `epoch` is a borrowed one-epoch Time or Py_None; `r` and `v`
// point to 3 doubles (position [m], velocity [m/s]) that the hook only reads;
// `out` is a caller-owned row-major 3x3 or 6x6 array that the hook fills. A hook
// returns nothing and reports a failure by setting a Python exception, which the
// caller checks right after the call. The hooks of the base class are pure
// arithmetic and need no interpreter lock.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <utility>

#include "_native/checks.hpp"

namespace astrovia::propagators {

class Propagator {
public:
    Propagator() = default;
    Propagator(const Propagator&) = default;
    Propagator& operator=(const Propagator&) = default;
    virtual ~Propagator() = default;

    // Slot 1: partial derivatives of the acceleration with respect to position, 3x3.
    // Force-free motion: zero.
    virtual void c_jac_r(PyObject* epoch, const double* r, const double* v, double* out) const {
        (void)epoch, (void)r, (void)v;
        for (int k = 0; k < 9; ++k) out[k] = 0.0;
    }

    // Slot 2: partial derivatives of the acceleration with respect to velocity, 3x3.
    // Force-free motion: zero.
    virtual void c_jac_v(PyObject* epoch, const double* r, const double* v, double* out) const {
        (void)epoch, (void)r, (void)v;
        for (int k = 0; k < 9; ++k) out[k] = 0.0;
    }

    // Slot 3: the 6x6 Jacobian of the state derivative (v, a) with respect to the
    // state (r, v): [[0, I], [c_jac_r, c_jac_v]]. Stops at the first hook that
    // raised, leaving `out` partly written.
    virtual void c_jac_x(PyObject* epoch, const double* r, const double* v, double* out) const {
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 6; ++j) out[6 * i + j] = (j == i + 3) ? 1.0 : 0.0;
        }
        double a[9], b[9];
        c_jac_r(epoch, r, v, a);
        if (PyErr_Occurred()) return;
        c_jac_v(epoch, r, v, b);
        if (PyErr_Occurred()) return;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                out[6 * (i + 3) + j] = a[3 * i + j];
                out[6 * (i + 3) + j + 3] = b[3 * i + j];
            }
        }
    }
};

// Imports astrovia.propagators.propagators (registering Propagator with nanobind)
// and checks that its class is the native type this module was built against.
// Call it first thing in NB_MODULE of a module that derives from Propagator.
inline nanobind::object import_propagator_type() {
    return native::import_native_type<Propagator>("astrovia.propagators.propagators", "Propagator");
}

// Binds a derived class's propagate_state. The base class's is a Python
// function (it carries the abstract marker), which nanobind will not overload:
// the override is set on the class directly. `extra` are the annotations of
// nb::cpp_function (arguments, signature, docstring).
template <class Func, class... Extra>
void set_propagate_state(nanobind::handle cls, Func&& f, const Extra&... extra) {
    nanobind::setattr(cls, "propagate_state",
                      nanobind::cpp_function(std::forward<Func>(f), nanobind::is_method(),
                                             nanobind::name("propagate_state"), extra...));
}

}  // namespace astrovia::propagators

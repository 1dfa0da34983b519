// Native interface of astrovia.propagators.analytical.keplerian.keplerian: the
// Keplerian (two-body) propagator, deriving from Propagator.
//
// Hook table, in slot order: c_jac_r (overridden: the gravity gradient),
// c_jac_v (inherited: zero), c_jac_x (inherited), then propagate_tra,
// c_propagate_state and c_jac_x_from_r, and last c_propagate_sv, which moves a
// Cartesian state in universal variables (the route of propagate_state). Every member is defined in this header,
// so that modules binding the type (a size check, a derived class) get the whole
// class; the Python-facing parts reach the package through the Context that the
// keplerian module fills once at its import.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstddef>
#include <string>

#include "_native/buffer.hpp"
#include "mathtools/misc/misc.hpp"
#include "propagators/analytical/keplerian/kernel.hpp"
#include "propagators/propagators.hpp"
#include "state/coe/coe.hpp"

namespace astrovia::keplerian {

// What the propagation slots call: the Kepler solver and atan2_asymmetric
// through their components' tables, and the COEEphemeris class. Owned by the
// keplerian module for the life of the process.
struct Context {
    const coe::Api* coe = nullptr;
    const misc::Api* misc = nullptr;
    PyObject* COEEphemeris = nullptr;
    PyObject* StateVectorEphemeris = nullptr;
};

class Keplerian : public propagators::Propagator {
public:
    Keplerian(double gm, const Context* context) : GM(gm), context_(context) {}

    // Gravitational parameter of the central body [m^3/s^2].
    double GM;

    // Slot 1: the gravity gradient; epoch and velocity are not used.
    void c_jac_r(PyObject*, const double* r, const double*, double* out) const override {
        gravity_gradient(GM, r, out);
    }

    // Slot 4: true anomaly [rad] at the elapsed times dt (a one-dimensional
    // float64 array of seconds), from the true anomaly tra0 at dt = 0, the
    // eccentricity and the mean motion n [rad/s]. Returns a new array like dt.
    virtual nanobind::object propagate_tra(nanobind::handle dt, double tra0, double ecc, double n) const {
        namespace nb = nanobind;
        // The view of dt is held until the loop is done; the output is checked
        // to be as long as dt before anything is written to it.
        native::Float64View dtv(dt, 1, false, "dt");
        const native::Output tra = native::zeros_like_output(dt, dtv, "dt");
        const AnomalyFunctions fn{context_->coe->c_eca_from_mea, context_->misc->atan2_asymmetric,
                                  [] { return PyErr_Occurred() != nullptr; }};
        if (!keplerian::propagate_tra(dtv.bytes(), dtv.stride(0), tra->bytes(), tra->stride(0),
                                      static_cast<std::size_t>(dtv.shape(0)), tra0, ecc, n, fn)) {
            throw nb::python_error();
        }
        return tra.array;
    }

    // Slot 5: classical elements at the epochs `time` (a Time) from the initial
    // elements coe0 (a COE of an elliptic orbit), as a COEEphemeris in the frame
    // of coe0 carrying this propagator's GM.
    virtual nanobind::object c_propagate_state(nanobind::handle time, nanobind::handle coe0) const {
        namespace nb = nanobind;
        using namespace nb::literals;
        const Advance adv = advance(time, coe0);
        const Py_ssize_t n_epochs = adv.n_epochs;
        nb::object full = nb::module_::import_("numpy").attr("full");
        nb::object ecc_a = full(n_epochs, adv.ecc), sma_a = full(n_epochs, adv.sma),
                   inc_a = full(n_epochs, adv.inc), raa_a = full(n_epochs, adv.raa),
                   arp_a = full(n_epochs, adv.arp), slr_a = full(n_epochs, adv.slr);
        return nb::handle(context_->COEEphemeris)(time, "frame"_a = coe0.attr("frame"), "GM"_a = GM,
                                                   "ecc"_a = ecc_a, "sma"_a = sma_a, "inc"_a = inc_a,
                                                   "raa"_a = raa_a, "arp"_a = arp_a, "tra"_a = adv.tra,
                                                   "slr"_a = slr_a);
    }

    // Slot 6: the 6x6 Jacobian [[0, I], [G(r), 0]] from the position alone.
    virtual void c_jac_x_from_r(const double* r, double* out) const { jac_x_from_r(GM, r, out); }

    // Slot 7: the states at the epochs `time` of the Cartesian state r0 [m], v0
    // [m/s] at `epoch` (a one-epoch Time), in universal variables: a
    // StateVectorEphemeris in `frame`. `alpha` is 1 / a [1/m] when the elements
    // give it, NaN to take it from r0 and v0.
    virtual nanobind::object c_propagate_sv(nanobind::handle time, nanobind::handle epoch, nanobind::handle frame,
                                            const double* r0, const double* v0, double alpha) const {
        namespace nb = nanobind;
        using namespace nb::literals;
        nb::object numpy = nb::module_::import_("numpy");
        nb::object elapsed = time - epoch;
        nb::object dt = numpy.attr("asarray")(elapsed, "dtype"_a = numpy.attr("float64")).attr("reshape")(-1);
        nb::object r, v;
        {
            // Only a one-dimensional float64 array of elapsed seconds goes on.
            native::Float64View dtv(dt, 1, false, "time - state.epoch");
            const Py_ssize_t n_epochs = dtv.shape(0);
            const native::Output rv = native::zeros_output({n_epochs, 3}, "r");
            const native::Output vv = native::zeros_output({n_epochs, 3}, "v");
            if (!rv->rows_contiguous() || !vv->rows_contiguous()) {
                throw nb::value_error("c_propagate_sv needs contiguous arrays");
            }
            const UniversalOrbit orbit = std::isnan(alpha) ? UniversalOrbit(GM, r0, v0)
                                                           : UniversalOrbit(GM, r0, v0, alpha);
            propagate_universal(orbit, dtv.bytes(), dtv.stride(0), static_cast<std::size_t>(n_epochs),
                                reinterpret_cast<double*>(rv->bytes()), reinterpret_cast<double*>(vv->bytes()));
            r = rv.array;
            v = vv.array;
        }
        return nb::handle(context_->StateVectorEphemeris)(time, r, v, "frame"_a = frame);
    }

    const Context* context() const { return context_; }

private:
    // The initial elements and the true anomalies at the epochs of `time`.
    struct Advance {
        double sma, ecc, inc, raa, arp, slr;
        nanobind::object tra;
        Py_ssize_t n_epochs;  // the length of tra, checked
    };

    Advance advance(nanobind::handle time, nanobind::handle coe0) const {
        namespace nb = nanobind;
        using namespace nb::literals;
        nb::object numpy = nb::module_::import_("numpy");
        nb::object elapsed = time - coe0.attr("epoch");
        nb::object dt = numpy.attr("asarray")(elapsed, "dtype"_a = numpy.attr("float64")).attr("reshape")(-1);
        Advance a;
        a.sma = element(coe0, "sma");
        a.ecc = element(coe0, "ecc");
        a.inc = element(coe0, "inc");
        a.raa = element(coe0, "raa");
        a.arp = element(coe0, "arp");
        a.slr = element(coe0, "slr");
        const double mean_motion = std::sqrt(GM / a.sma) / a.sma;
        const double tra0 = element(coe0, "tra");
        {
            // Only a one-dimensional float64 array of elapsed seconds goes on.
            native::Float64View dtv(dt, 1, false, "time - state.epoch");
            a.n_epochs = dtv.shape(0);
        }
        // A derived class may override propagate_tra: its result is checked here.
        a.tra = propagate_tra(dt, tra0, a.ecc, mean_motion);
        native::Float64View trv(a.tra, 1, false, "propagate_tra");
        trv.require_shape({a.n_epochs}, "propagate_tra");
        return a;
    }

    static double element(nanobind::handle coe0, const char* name) {
        nanobind::object v = coe0.attr(name);
        const double d = PyFloat_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred()) throw nanobind::python_error();
        return d;
    }

    const Context* context_;
};

// Imports the keplerian module (registering Keplerian with nanobind) and checks
// that its class is the native type this module was built against.
inline nanobind::object import_keplerian_type() {
    return native::import_native_type<Keplerian>("astrovia.propagators.analytical.keplerian.keplerian",
                                                 "Keplerian");
}

}  // namespace astrovia::keplerian

// astrovia.propagators.analytical.keplerian.keplerian: the Keplerian (two-body)
// propagator and its Jacobian.
#include <nanobind/nanobind.h>

#include <cmath>
#include <limits>
#include <string>
#include <typeinfo>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "propagators/analytical/keplerian/keplerian.hpp"
#include "propagators/bound_types.hpp"
#include "propagators/propagators.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrovia;
using keplerian::Keplerian;
using propagators::Propagator;

namespace {

propagators::BoundTypes types;
keplerian::Context context;

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

double gm_from(nb::handle gm) {
    const double d = PyFloat_AsDouble(gm.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        throw nb::type_error((std::string("GM must be a float, not ") + Py_TYPE(gm.ptr())->tp_name).c_str());
    }
    return d;
}

// The elements of `coe0` checked to be those of an ellipse: NotImplementedError
// (without a message) otherwise.
void require_ellipse(const Keplerian& self, nb::handle coe0) {
    native::require_instance(coe0, types.COE, "the elements of state");
    nb::object ecc = coe0.attr("ecc");
    const double e = PyFloat_AsDouble(ecc.ptr());
    if (e == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (e >= 1.0) {
        PyErr_SetNone(PyExc_NotImplementedError);
        throw nb::python_error();
    }
    // An unbound orbit that rounding left with ecc a hair below 1 (a sma that is
    // not positive and finite, or no finite mean motion) is no ellipse either.
    nb::object sma_obj = coe0.attr("sma");
    const double a = PyFloat_AsDouble(sma_obj.ptr());
    if (a == -1.0 && PyErr_Occurred()) throw nb::python_error();
    const double mean_motion = std::sqrt(self.GM / a) / a;
    if (!(a > 0.0) || !std::isfinite(a) || !std::isfinite(mean_motion)) {
        PyErr_SetNone(PyExc_NotImplementedError);
        throw nb::python_error();
    }
}

double float_attr(nb::handle obj, const char* name) {
    nb::object v = obj.attr(name);
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

// Position and velocity of the elements `coe` for this propagator's GM. The
// semi-latus rectum is formed as a (1 - e)(1 + e), which keeps its digits as e
// approaches 1.
void cartesian_of_elements(const Keplerian& self, nb::handle coe, double* r, double* v) {
    const double sma = float_attr(coe, "sma"), ecc = float_attr(coe, "ecc");
    const double slr = sma * ((1.0 - ecc) * (1.0 + ecc));
    const keplerian::OrbitGeometry g = keplerian::orbit_geometry(
        slr, ecc, float_attr(coe, "inc"), float_attr(coe, "raa"), float_attr(coe, "arp"), self.GM);
    const double tra = float_attr(coe, "tra");
    keplerian::sv_from_tra(g, &tra, 1, r, v);
}

void read_vector3(nb::handle sv, const char* name, const char* what, double* out) {
    nb::object numpy = nb::module_::import_("numpy");
    nb::object a = numpy.attr("asarray")(sv.attr(name), "dtype"_a = numpy.attr("float64")).attr("reshape")(3);
    const native::Float64View view(a, 1, false, what);
    for (int j = 0; j < 3; ++j) out[j] = view(j);
}

// The initial elements of `state` (a COE of an elliptic orbit, checked) and its
// Cartesian state. A Cartesian state is read with this propagator's GM and moved
// from its own position and velocity, so that it comes back unchanged at its own
// epoch and keeps its digits however near 1 its eccentricity is.
struct Initial {
    nb::object coe0;
    double r0[3], v0[3];
    double alpha = std::numeric_limits<double>::quiet_NaN();  // 1 / a when the elements are the state
};

Initial initial_state(const Keplerian& self, nb::handle state) {
    Initial in;
    nb::object sv;
    if (is_instance(state, types.COE)) {
        in.coe0 = nb::borrow(state);
    } else if (is_instance(state, types.StateVector)) {
        sv = nb::borrow(state);
        in.coe0 = state.attr("to_coe")("GM"_a = self.GM);
    } else {
        sv = state.attr("to_sv")();
        in.coe0 = sv.attr("to_coe")("GM"_a = self.GM);
    }
    require_ellipse(self, in.coe0);
    if (sv.is_valid() && !is_instance(sv, types.COE)) {
        read_vector3(sv, "r", "the position of state", in.r0);
        read_vector3(sv, "v", "the velocity of state", in.v0);
    } else {
        cartesian_of_elements(self, in.coe0, in.r0, in.v0);
        in.alpha = 1.0 / float_attr(in.coe0, "sma");
    }
    return in;
}

nb::object initial_elements(const Keplerian& self, nb::handle state) {
    nb::object coe0;
    if (is_instance(state, types.COE)) {
        coe0 = nb::borrow(state);
    } else if (is_instance(state, types.StateVector)) {
        coe0 = state.attr("to_coe")("GM"_a = self.GM);
    } else {
        coe0 = state.attr("to_sv")().attr("to_coe")("GM"_a = self.GM);
    }
    require_ellipse(self, coe0);
    return coe0;
}

nb::object propagate_state(const Keplerian& self, nb::handle time, nb::handle state, nb::kwargs) {
    const native::RecursionGuard guard(" in Keplerian.propagate_state");
    native::require_instance(state, types.State, "state");
    nb::object _time = types.Time(time);
    const Initial in = initial_state(self, state);
    return self.c_propagate_sv(_time, in.coe0.attr("epoch"), in.coe0.attr("frame"), in.r0, in.v0, in.alpha);
}

nb::object propagate_coe(const Keplerian& self, nb::handle time, nb::handle state) {
    const native::RecursionGuard guard(" in Keplerian._propagate_coe");
    native::require_instance(state, types.State, "state");
    nb::object _time = types.Time(time);
    nb::object coe0 = initial_elements(self, state);
    return self.c_propagate_state(_time, coe0);
}

nb::object jacobian(const Keplerian& self, nb::handle eph) {
    propagators::EphemerisArrays arrays(eph, types.StateVectorEphemeris);
    const Py_ssize_t n = arrays.n;
    const native::Output jac = native::zeros_output({n, 6, 6}, "jac");
    const native::Float64View& out = *jac;
    const native::Float64View& r = *arrays.r;
    const native::Float64View& v = *arrays.v;
    // The output is our own fresh C-contiguous array: each matrix is written in
    // place; a local 6x6 is used only for an exporter with other strides.
    const bool packed = out.stride(2) == sizeof(double) && out.stride(1) == 6 * sizeof(double) &&
                        out.stride(0) == 36 * sizeof(double);
    double* dst = reinterpret_cast<double*>(out.bytes());
    // A C++ subclass may override the slot; Keplerian's own is called without the indirection.
    const bool exact = typeid(self) == typeid(Keplerian);
    double _r[3], _v[3], _jac[36];
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) {
            _r[k] = r(i, k);
            _v[k] = v(i, k);  // read but not needed: the two-body acceleration depends on position only
        }
        (void)_v;
        if (packed && exact) {
            keplerian::jac_x_from_r(self.GM, _r, dst + 36 * i);  // the slot itself, inlined
        } else if (packed) {
            self.c_jac_x_from_r(_r, dst + 36 * i);
        } else {
            self.c_jac_x_from_r(_r, _jac);
            for (int a = 0; a < 6; ++a) {
                for (int b = 0; b < 6; ++b) out(i, a, b) = _jac[6 * a + b];
            }
        }
    }
    return native::numpy_attr("asarray")(jac.array);
}

}  // namespace

NB_MODULE(keplerian, m) {
    // The base class must be known to nanobind before Keplerian is bound.
    nb::object base = propagators::import_propagator_type();
    types = propagators::bind_types();
    context.coe = coe::import_api();
    context.misc = misc::import_api();
    context.COEEphemeris = types.COEEphemeris.ptr();
    context.StateVectorEphemeris = types.StateVectorEphemeris.ptr();
    // The default central body is the Earth, read once now.
    const double earth_gm = gm_from(nb::handle(types.Earth).attr("GM"));

    m.doc() = "The Keplerian (two-body) orbit propagator.";
    nb::class_<Keplerian, Propagator> cls(m, "Keplerian",
                                      "Keplerian (two-body) orbit propagator.\n\n"
                                      "Unperturbed motion about one central body of gravitational parameter GM\n"
                                      "[m^3/s^2] (the Earth's, 398600.4418e9, by default); elliptical orbits only.");
    cls.def(
            "__init__",
            [](Keplerian* self, nb::handle gm) { new (self) Keplerian(gm_from(gm), &context); },
            nb::arg("GM").none() = earth_gm, nb::sig("def __init__(self, GM: float = 398600441800000.0) -> None"))
        .def_prop_ro(
            "GM", [](const Keplerian& k) { return k.GM; },
            "Gravitational parameter of the central body [m^3/s^2].")
        .def("__repr__",
             [](const Keplerian& k) { return nb::str("Keplerian(GM={!r})").format(nb::float_(k.GM)); },
             nb::sig("def __repr__(self) -> str"))
        .def("_propagate_coe", &propagate_coe, nb::arg("time").none(), nb::arg("state").none(),
             nb::sig("def _propagate_coe(self, time: DatetimeLike, state: State) -> COEEphemeris"),
             "As ``propagate_state``, but the classical elements at the epochs ``time``.")
        .def(
            "_propagate_tra",
            [](const Keplerian& k, nb::handle dt, double tra0, double ecc, double n) {
                return k.propagate_tra(dt, tra0, ecc, n);
            },
            nb::arg("dt").none(), "tra0"_a, "ecc"_a, "n"_a,
            nb::sig("def _propagate_tra(self, dt: NDArray[numpy.float64], tra0: float, ecc: float, n: float) -> NDArray[numpy.float64]"),
            "True anomaly [rad] at the elapsed times ``dt`` [s] (one-dimensional float64) from the\n"
            "true anomaly ``tra0`` at dt = 0, for eccentricity ``ecc`` and mean motion ``n`` [rad/s].")
        .def("jacobian", &jacobian, nb::arg("eph").none(),
             nb::sig("def jacobian(self, eph: StateVectorEphemeris) -> NDArray[numpy.float64]"),
             "The 6x6 Jacobian df/dx of the two-body equations at every epoch of ``eph``.\n\n"
             "[[0, I], [G(r), 0]] with the gravity gradient G = GM (3 r r^T - |r|^2 I) / |r|^5;\n"
             "a float64 array of shape (N, 6, 6), state order x, y, z, vx, vy, vz.");
    native::refuse_pickling(cls);
    propagators::set_propagate_state(
        cls, &propagate_state, nb::arg("time").none(), nb::arg("state").none(), "kwargs"_a,
        nb::sig("def propagate_state(self, time: DatetimeLike, state: State, **kwargs: Any) "
                "-> StateVectorEphemeris"),
        "Two-body propagation of ``state`` to the epochs ``time``.\n\n"
        "A Cartesian state (a StateVector, or another state through ``to_sv``) is moved\n"
        "from its own position and velocity, a COE from the position and velocity of its\n"
        "elements, in universal variables: Kepler's equation in the universal anomaly is\n"
        "solved at every epoch, without loss as the eccentricity approaches 1. The\n"
        "elements (``to_coe`` with this GM) decide that the orbit is an ellipse.\n"
        "Returns a StateVectorEphemeris, one state per epoch of ``time`` in its order, in\n"
        "the frame of ``state``. Eccentricities of 1 or more raise NotImplementedError.\n"
        "Keyword arguments are accepted and ignored.");
}

// astrovia.propagators.propagators: the Propagator base class, piecewise
// propagation over a sequence of states, and the Jacobian assembled from the
// native hooks of propagators.hpp.
#include <nanobind/eval.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <memory>
#include <string>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"
#include "propagators/bound_types.hpp"
#include "propagators/propagators.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrovia;
using propagators::Propagator;

namespace {

propagators::BoundTypes types;  // classes of the sibling components, bound at import

void check_ephemeris_result(nb::handle result, const char* what) {
    if (result.is_none()) return;
    int r = PyObject_IsInstance(result.ptr(), types.StateVectorEphemeris.ptr());
    if (r < 0) throw nb::python_error();
    if (r == 0) {
        throw nb::type_error((std::string(what) + " must return a StateVectorEphemeris, not " +
                              Py_TYPE(result.ptr())->tp_name).c_str());
    }
}

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object propagate_state_base(nb::handle, nb::handle, nb::handle state) {
    native::require_instance(state, types.State, "state");
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

// Element-wise comparison: the Python result (a bool array for a many-epoch Time), not a C++ bool.
nb::object compare(nb::handle a, nb::handle b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (r == nullptr) throw nb::python_error();
    return nb::steal(r);
}

enum class Direction { forward, backward, unknown };

// Reads no native state of `self`: a Python subclass whose __init__ does not
// call the base class's still propagates through its own propagate_state.
nb::object propagate(nb::handle self, nb::handle time, nb::handle state, nb::handle assume_sorted_states,
                     nb::handle main_direction, nb::kwargs kwargs) {
    const native::RecursionGuard guard(" in Propagator.propagate");
    native::require_instance(self, nb::type<Propagator>(), "self");
    native::require_exact_str(main_direction, "main_direction");
    nb::object propagate_state = nb::getattr(self, "propagate_state");

    if (is_instance(state, types.State) || is_instance(state, types.TLE)) {
        return propagate_state(time, state, **kwargs);
    }

    nb::object _time = types.Time(time);
    if (nb::len(nb::object(_time.attr("shape"))) == 0) {
        // One epoch: as an array of one, so that the stretch masks can select it.
        _time = types.Time(native::numpy_attr("atleast_1d")(_time.attr("int64")));
    }

    int sorted_given = PyObject_IsTrue(assume_sorted_states.ptr());
    if (sorted_given < 0) throw nb::python_error();
    // The states as a tuple of our own: the callbacks below (comparisons,
    // propagate_state) cannot change its length under the loop.
    nb::tuple states;
    if (sorted_given) {
        PyObject* t = PySequence_Tuple(state.ptr());
        if (t == nullptr) throw nb::python_error();
        states = nb::steal<nb::tuple>(t);
    } else {
        // Python's sort is stable: states with equal epochs keep their given order.
        nb::object key = nb::module_::import_("operator").attr("attrgetter")("epoch");
        nb::object sorted_states = nb::module_::import_("builtins").attr("sorted")(state, "key"_a = key);
        if (!PyList_Check(sorted_states.ptr())) {
            throw nb::type_error((std::string("sorted(state) must return a list, not ") +
                                  Py_TYPE(sorted_states.ptr())->tp_name).c_str());
        }
        states = nb::steal<nb::tuple>(PyList_AsTuple(sorted_states.ptr()));
        if (!states.is_valid()) throw nb::python_error();
    }
    const size_t n = nb::len(states);
    if (n == 0) throw nb::value_error("propagate needs at least one state in state, but the sequence is empty");

    const std::string dir = nb::cast<std::string>(main_direction);
    const Direction direction = dir == "forward" ? Direction::forward
                                : dir == "backward" ? Direction::backward
                                                    : Direction::unknown;
    nb::object any = native::numpy_attr("any");

    // Boundaries None, S1, ..., Sn, None: n + 1 stretches, visited in order.
    nb::list eph_list;
    for (size_t k = 0; k <= n; ++k) {
        nb::object s1 = k == 0 ? nb::none() : nb::object(states[k - 1]);
        nb::object s2 = k == n ? nb::none() : nb::object(states[k]);
        nb::object selection;
        if (s1.is_none()) {
            selection = compare(_time, s2.attr("epoch"), Py_LT);
        } else if (s2.is_none()) {
            selection = compare(_time, s1.attr("epoch"), Py_GE);
        } else {
            selection = compare(_time, s1.attr("epoch"), Py_GE) & compare(_time, s2.attr("epoch"), Py_LT);
        }
        int selected = PyObject_IsTrue(any(selection).ptr());
        if (selected < 0) throw nb::python_error();
        if (!selected) continue;

        nb::object s;
        switch (direction) {
            case Direction::forward: s = s1.is_none() ? s2 : s1; break;
            case Direction::backward: s = s2.is_none() ? s1 : s2; break;
            case Direction::unknown: PyErr_SetNone(PyExc_NotImplementedError); throw nb::python_error();
        }
        nb::object eph = propagate_state(_time[selection], s, **kwargs);
        check_ephemeris_result(eph, "propagate_state");
        eph_list.append(eph);
    }
    nb::object result = types.StateVectorEphemeris.attr("concatenate")(*eph_list);
    check_ephemeris_result(result, "StateVectorEphemeris.concatenate");
    return result;
}

nb::object jacobian(const Propagator& self, nb::handle eph) {
    propagators::EphemerisArrays arrays(eph, types.StateVectorEphemeris);
    const Py_ssize_t n = arrays.n;
    nb::object time = eph.attr("time");
    const native::RecursionGuard guard(" in Propagator.jacobian");
    const native::Output jac = native::zeros_output({n, 6, 6}, "jac");
    const native::Float64View& out = *jac;
    double _r[3], _v[3], _jac[36];
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) {
            _r[k] = (*arrays.r)(i, k);
            _v[k] = (*arrays.v)(i, k);
        }
        nb::object epoch = time[nb::int_(i)];
        if (!epoch.is_none() && !is_instance(epoch, types.Time)) {
            throw nb::type_error((std::string("eph.time[i] must be a Time, not ") + Py_TYPE(epoch.ptr())->tp_name)
                                     .c_str());
        }
        self.c_jac_x(epoch.ptr(), _r, _v, _jac);
        if (PyErr_Occurred()) throw nb::python_error();
        for (int a = 0; a < 6; ++a) {
            for (int b = 0; b < 6; ++b) out(i, a, b) = _jac[6 * a + b];
        }
    }
    return native::numpy_attr("asarray")(jac.array);
}

// A Propagator has no state of its own: it pickles as its class and, for a
// Python subclass, its instance dictionary (restored by pickle itself).
nb::object reduce_ex(nb::handle self, nb::handle) {
    nb::object state = nb::none();
    if (nb::hasattr(self, "__dict__")) {
        nb::object d = nb::getattr(self, "__dict__");
        if (nb::len(d) > 0) state = d;
    }
    return nb::make_tuple(self.type(), nb::tuple(), state);
}

// The abstract marker of propagate_state: a nanobind function carries no
// attributes, so the method is a thin Python function around the native check.
constexpr const char* kAbstractSource = R"PY(
def _make_propagate_state(impl, abstractmethod):
    @abstractmethod
    def propagate_state(self, time, state, **kwargs):
        """Propagates ``state`` to the epochs ``time``; every concrete propagator overrides it.

        ``time``: DatetimeLike target epochs; ``state``: a State. Returns a
        StateVectorEphemeris with one state per epoch of ``time``, in its order.
        The base class checks ``state`` (TypeError) and raises NotImplementedError.
        """
        return impl(self, time, state)
    return propagate_state
)PY";

}  // namespace

NB_MODULE(propagators, m) {
    m.doc() = "The Propagator base class: piecewise propagation and the Jacobian machinery.";
    types = propagators::bind_types();

    nb::class_<Propagator> cls(m, "Propagator", "Abstract base class for satellite state propagators");
    cls.def(nb::init<>())
        .def("propagate", &propagate, nb::arg("time").none(), nb::arg("state").none(), nb::arg("assume_sorted_states").none() = false,
             nb::arg("main_direction").none() = "forward", "kwargs"_a,
             nb::sig("def propagate(self, time: DatetimeLike, state: State | TLE | Iterable[State] | Iterable[TLE], "
                     "assume_sorted_states: bool = False, main_direction: str = 'forward', **kwargs: Any) "
                     "-> StateVectorEphemeris"),
             "Propagates over a sequence of states (e.g. before and after a manoeuvre).\n\n"
             "The epochs of ``time`` are split into stretches at the states' epochs (left boundary\n"
             "inclusive); each stretch is propagated with ``propagate_state`` from the state that\n"
             "starts it (\"forward\") or ends it (\"backward\"); before the first state and from the\n"
             "last state on, that state is used. The stretch ephemerides are concatenated in\n"
             "ascending state order. A single State (or TLE) is handed to ``propagate_state``\n"
             "unchanged. ``assume_sorted_states`` uses the states in the given order instead of\n"
             "sorting them by epoch. Keyword arguments go to every ``propagate_state`` call.")
        .def("jacobian", &jacobian, nb::arg("eph").none(),
             nb::sig("def jacobian(self, eph: StateVectorEphemeris) -> NDArray[numpy.float64]"),
             "The 6x6 Jacobian of the equations of motion at every epoch of ``eph``.\n\n"
             "Returns a float64 array of shape (N, 6, 6), rows and columns in the state order\n"
             "x, y, z, vx, vy, vz; [[0, I], [da/dr, da/dv]]. For the base class (force-free\n"
             "motion) every matrix is [[0, I], [0, 0]].")
        .def("__reduce_ex__", &reduce_ex, nb::arg("protocol").none())
        .def("__reduce__", [](nb::handle self) { return reduce_ex(self, nb::none()); });

    nb::object impl = nb::cpp_function(&propagate_state_base, nb::name("_propagate_state"));
    nb::dict ns;
    ns["__builtins__"] = nb::module_::import_("builtins");
    ns["__name__"] = m.attr("__name__");
    nb::exec(nb::str(kAbstractSource), ns);
    nb::object fn = ns["_make_propagate_state"](impl, nb::module_::import_("abc").attr("abstractmethod"));
    fn.attr("__qualname__") = "Propagator.propagate_state";
    nb::setattr(cls, "propagate_state", fn);
}

// astrovia.satellite.satellite: the Satellite object, one spacecraft with its
// reference epochs, initial state, propagator, ephemeris, name and description.
#include <nanobind/nanobind.h>

#include <array>
#include <string>

#include "_native/checks.hpp"
#include "_native/gc.hpp"
#include "propagators/analytical/keplerian/keplerian.hpp"
#include "propagators/bound_types.hpp"
#include "propagators/propagators.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrovia;

namespace {

propagators::BoundTypes types;
nb::handle PropagatorType;

struct Satellite {
    nb::object propagator = nb::none();
    nb::object ephemeris = nb::none();
    nb::object name = nb::none();
    nb::object description = nb::none();
    nb::object time = nb::none();
    nb::object state = nb::none();
};

void require_optional_instance(nb::handle obj, nb::handle cls, const char* what) {
    if (obj.is_none()) return;
    native::require_instance(obj, cls, what);
}

void require_optional_str(nb::handle obj, const char* what) {
    if (obj.is_none()) return;
    if (!PyUnicode_CheckExact(obj.ptr())) {
        throw nb::type_error((std::string(what) + " must be str or None, not " + Py_TYPE(obj.ptr())->tp_name).c_str());
    }
}

// The text as stored: blanks around it removed; None stays None.
nb::object stored_text(nb::handle value, const char* what) {
    require_optional_str(value, what);
    if (value.is_none()) return nb::none();
    return value.attr("strip")();
}

void init(Satellite* self, nb::handle time, nb::handle state, nb::handle propagator, nb::handle ephemeris,
          nb::handle name, nb::handle description) {
    require_optional_instance(propagator, PropagatorType, "propagator");
    require_optional_instance(ephemeris, types.StateVectorEphemeris, "ephemeris");
    require_optional_str(name, "name");
    require_optional_str(description, "description");
    nb::object t = types.Time(time);
    nb::object stored_name = stored_text(name, "name");
    nb::object stored_description = stored_text(description, "description");
    // Time() may call back into Python (a tzinfo, an __array__), which could
    // have run __init__ on this very object already: building it a second time
    // would drop the first construction's references on the floor.
    nb::handle py_self = nb::find(self);
    if (py_self.is_valid() && nb::inst_ready(py_self)) {
        throw nb::type_error("Satellite.__init__ was called again while the object was being initialised");
    }
    Satellite* s = new (self) Satellite();
    s->time = std::move(t);
    s->state = nb::borrow(state);
    s->propagator = nb::borrow(propagator);
    s->ephemeris = nb::borrow(ephemeris);
    s->name = std::move(stored_name);
    s->description = std::move(stored_description);
}

std::array<nb::object*, 4> satellite_objects(Satellite& s) { return {&s.propagator, &s.ephemeris, &s.time, &s.state}; }

void satellite_clear(Satellite& s) {
    for (nb::object* o : satellite_objects(s)) *o = nb::none();
}

using SatelliteGc = native::GcSlots<Satellite, satellite_objects, satellite_clear>;

[[noreturn]] void refuse_delete(Satellite&) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

// A read-write text property: assigning stores the stripped text (None stays
// None), deleting is not supported.
template <nb::object Satellite::*Field>
nb::object text_property(const char* name, const char* doc) {
    nb::object fget = nb::cpp_function([](const Satellite& s) { return s.*Field; }, nb::is_method());
    nb::object fset = nb::cpp_function(
        [name](Satellite& s, nb::handle value) { s.*Field = stored_text(value, name); }, nb::is_method(),
        nb::arg("value").none());
    nb::object fdel = nb::cpp_function(&refuse_delete, nb::is_method());
    return nb::module_::import_("builtins").attr("property")(fget, fset, fdel, doc);
}

// "N epochs, first .. last UTC", or the one epoch's ISO text.
nb::object describe_epochs(nb::handle time) {
    if (time.is_none()) return nb::str("None");
    nb::object iso = time.attr("iso");
    const int scalar = PyObject_IsTrue(time.attr("isscalar").ptr());
    if (scalar < 0) throw nb::python_error();
    if (scalar) return nb::str("{} UTC").format(iso);
    nb::object size = time.attr("size");
    const Py_ssize_t n = PyNumber_AsSsize_t(size.ptr(), nullptr);
    if (n < 0) throw nb::python_error();
    if (n == 0) return nb::str("0 epochs");
    if (n == 1) return nb::str("1 epoch, {} UTC").format(iso[nb::int_(0)]);
    return nb::str("{} epochs, {} .. {} UTC").format(size, iso[nb::int_(0)], iso[nb::int_(n - 1)]);
}

// Satellite('name', <epochs>, state=..., propagator=..., ephemeris=...): a
// propagator shows its own repr, an ephemeris its size, span and frame.
nb::object satellite_repr(const Satellite& s) {
    nb::object text = nb::str("Satellite({!r}, {}, state={!r}, propagator={!r}, ephemeris={!r}")
                          .format(s.name, describe_epochs(s.time), s.state, s.propagator, s.ephemeris);
    if (!s.description.is_none()) text = nb::str("{}, description={!r}").format(text, s.description);
    return nb::str("{})").format(text);
}

}  // namespace

NB_MODULE(satellite, m) {
    PropagatorType = propagators::import_propagator_type().release();
    keplerian::import_keplerian_type().release();
    types = propagators::bind_types();

    m.doc() = "The Satellite object.";
    m.attr("Iterable") = nb::module_::import_("typing").attr("Iterable");
    m.attr("DatetimeLike") = native::import_attr("astrovia.typing", "DatetimeLike");

    nb::class_<Satellite> cls(m, "Satellite", nb::type_slots(SatelliteGc::slots),
                              "One spacecraft: its reference epochs, initial state, propagator, ephemeris,\n"
                              "name and description.");
    cls.def("__init__", &init, nb::arg("time").none(), nb::arg("state").none(), nb::arg("propagator").none() = nb::none(),
            nb::arg("ephemeris").none() = nb::none(), nb::arg("name").none() = nb::none(),
            nb::arg("description").none() = nb::none(),
            nb::sig("def __init__(self, time: DatetimeLike, state: State, propagator: Propagator | None = None, "
                    "ephemeris: StateVectorEphemeris | None = None, name: str | None = None, "
                    "description: str | None = None) -> None"),
            "``time`` is converted with Time(time); ``propagator`` must be a Propagator or None,\n"
            "``ephemeris`` a StateVectorEphemeris or None, ``name`` and ``description`` str or None\n"
            "(TypeError otherwise, checked in that order before ``time`` is converted). All are kept;\n"
            "``name`` and ``description`` are stored as their setters store them.")
        .def_prop_ro("time", [](const Satellite& s) { return s.time; }, nb::sig("def time(self) -> Time"),
                     "The satellite's reference epochs (a Time, as given to the constructor).")
        .def_prop_ro("state", [](const Satellite& s) { return s.state; }, nb::sig("def state(self) -> State"),
                     "The initial state (a State: StateVector [m, m/s], COE, ...).")
        .def_prop_ro("propagator", [](const Satellite& s) { return s.propagator; },
                     nb::sig("def propagator(self) -> Propagator | None"), "The propagator, or None.")
        .def_prop_ro("ephemeris", [](const Satellite& s) { return s.ephemeris; },
                     nb::sig("def ephemeris(self) -> StateVectorEphemeris | None"),
                     "The ephemeris (positions [m] and velocities [m/s] at N epochs), or None.")
        .def("__repr__", &satellite_repr, nb::sig("def __repr__(self) -> str"));
    native::refuse_pickling(cls);
    nb::setattr(cls, "name",
                text_property<&Satellite::name>(
                    "name", "Satellite.name: str | None\n\nAssigning stores the text without surrounding blanks."));
    nb::setattr(cls, "description",
                text_property<&Satellite::description>(
                    "description",
                    "Satellite.description: str | None\n\nAssigning stores the text without surrounding blanks."));
}

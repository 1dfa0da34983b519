// Classes of the package's sibling components that the propagation modules
// (propagators, keplerian, satellite) bind when they are imported. A missing
// component, or a native type of another layout, fails the import.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <memory>

#include "_native/buffer.hpp"
#include "_native/checks.hpp"

#include "propagators/analytical/sgp4/tle.hpp"
#include "utils/representable.hpp"

namespace astrovia::propagators {

// Borrowed for the life of the process: the references are taken at import and
// never dropped, so nothing is released after the interpreter has finalised.
struct BoundTypes {
    nanobind::handle Time;
    nanobind::handle State, StateVector, COE, GeoState;
    nanobind::handle Ephemeris, StateVectorEphemeris, COEEphemeris, GeoStateEphemeris;
    nanobind::handle CelestialBody, Earth, Sun, Moon;
    nanobind::handle Frame, ENU, GCRF, ITRF, TEME;
    nanobind::handle Ellipsoid, GRS80, WGS72, WGS84;
    nanobind::handle TLE, ELSET, Representable;
};

inline BoundTypes bind_types() {
    using native::import_attr;
    using native::import_type;
    BoundTypes t;
    auto keep = [](nanobind::object o) { return o.release(); };
    t.Time = keep(import_type("astrovia.time.time", "Time"));
    t.State = keep(import_type("astrovia.state.state", "State"));
    t.StateVector = keep(import_type("astrovia.state.state", "StateVector"));
    t.COE = keep(import_type("astrovia.state.state", "COE"));
    t.GeoState = keep(import_type("astrovia.state.state", "GeoState"));
    t.Ephemeris = keep(import_type("astrovia.state.ephemeris", "Ephemeris"));
    t.StateVectorEphemeris = keep(import_type("astrovia.state.ephemeris", "StateVectorEphemeris"));
    t.COEEphemeris = keep(import_type("astrovia.state.ephemeris", "COEEphemeris"));
    t.GeoStateEphemeris = keep(import_type("astrovia.state.ephemeris", "GeoStateEphemeris"));
    t.CelestialBody = keep(import_type("astrovia.bodies.bodies", "CelestialBody"));
    t.Earth = keep(import_attr("astrovia.bodies.bodies", "Earth"));
    t.Sun = keep(import_attr("astrovia.bodies.bodies", "Sun"));
    t.Moon = keep(import_attr("astrovia.bodies.bodies", "Moon"));
    t.Frame = keep(import_type("astrovia.frames.frames", "Frame"));
    t.ENU = keep(import_attr("astrovia.frames.frames", "ENU"));
    t.GCRF = keep(import_attr("astrovia.frames.frames", "GCRF"));
    t.ITRF = keep(import_attr("astrovia.frames.frames", "ITRF"));
    t.TEME = keep(import_attr("astrovia.frames.frames", "TEME"));
    t.Ellipsoid = keep(import_type("astrovia.mathtools.ellipsoid.ellipsoid", "Ellipsoid"));
    t.GRS80 = keep(import_attr("astrovia.mathtools.ellipsoid.ellipsoid", "GRS80"));
    t.WGS72 = keep(import_attr("astrovia.mathtools.ellipsoid.ellipsoid", "WGS72"));
    t.WGS84 = keep(import_attr("astrovia.mathtools.ellipsoid.ellipsoid", "WGS84"));
    // Native types of this repository, with their instance sizes checked.
    t.Representable = keep(utils::import_representable());
    t.TLE = keep(sgp4::import_tle_type());
    t.ELSET = keep(sgp4::import_elset_type());
    return t;
}

// Position and velocity arrays of a StateVectorEphemeris, N x 3 float64 (m, m/s),
// checked against its size before any loop.
struct EphemerisArrays {
    Py_ssize_t n = 0;
    nanobind::object r_obj, v_obj;
    std::unique_ptr<native::Float64View> r, v;

    EphemerisArrays(nanobind::handle eph, nanobind::handle StateVectorEphemeris) {
        namespace nb = nanobind;
        native::require_instance(eph, StateVectorEphemeris, "eph");
        n = nb::cast<Py_ssize_t>(eph.attr("size"));
        r_obj = eph.attr("r");
        v_obj = eph.attr("v");
        r = std::make_unique<native::Float64View>(r_obj, 2, false, "eph.r");
        v = std::make_unique<native::Float64View>(v_obj, 2, false, "eph.v");
        if (r->shape(0) != n || r->shape(1) != 3) throw nb::value_error("eph.r must have shape (eph.size, 3)");
        if (v->shape(0) != n || v->shape(1) != 3) throw nb::value_error("eph.v must have shape (eph.size, 3)");
    }
};

}  // namespace astrovia::propagators

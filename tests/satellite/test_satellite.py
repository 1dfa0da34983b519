import gc
import pickle
import weakref

import numpy as np
import pytest

from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
from astrovia.propagators.propagators import Propagator
from astrovia.satellite.satellite import Satellite
from astrovia.state.ephemeris import StateVectorEphemeris
from astrovia.state.state import COE
from astrovia.time.time import Time

T = "2024-02-29T06:30:00"
STATE = COE(Time(T), 7e6, 0.01, 0.9, 0.1, 0.2, 0.3)


class Text(str):
    pass


def test_defaults_and_time():
    s = Satellite(T, STATE)
    assert s.name is None and s.description is None
    assert s.propagator is None and s.ephemeris is None and s.state is STATE
    assert isinstance(s.time, Time) and s.time.int64 == Time(T).int64
    many = Satellite([T, "2024-03-01"], None)
    assert np.array_equal(many.time.int64, Time([T, "2024-03-01"]).int64)


def test_the_constructor_keeps_what_it_is_given():
    k = Keplerian()
    eph = k.propagate_state(Time(T), STATE)
    s = Satellite(T, STATE, k, eph, "  ISS ", "\tstation\n")
    assert s.propagator is k and s.ephemeris is eph
    assert s.name == "ISS" and s.description == "station"
    s = Satellite(time=T, state=STATE, propagator=Propagator(), description="x")
    assert isinstance(s.propagator, Propagator) and s.description == "x" and s.name is None


@pytest.mark.parametrize(
    "kwargs, word",
    [
        ({"propagator": 42}, "propagator"),
        ({"propagator": Keplerian, "ephemeris": 1}, "propagator"),  # the class itself is not a propagator
        ({"ephemeris": STATE}, "ephemeris"),
        ({"name": 7}, "name"),
        ({"name": Text("ISS")}, "name"),
        ({"description": b"x"}, "description"),
        # the checks run in this order, each before the time is converted
        ({"propagator": 1, "ephemeris": 1, "name": 1, "description": 1}, "propagator"),
        ({"ephemeris": 1, "name": 1, "description": 1}, "ephemeris"),
        ({"name": 1, "description": 1}, "name"),
    ],
)
def test_argument_checks(kwargs, word):
    with pytest.raises(TypeError, match=word):
        Satellite("not a time", STATE, **kwargs)


def test_time_errors_pass_through_and_argument_count():
    with pytest.raises(ValueError):
        Satellite("not a time", STATE)
    with pytest.raises(TypeError):
        Satellite(T)
    with pytest.raises(TypeError):
        Satellite(T, STATE, None, None, None, None, None)


@pytest.mark.parametrize("field", ["name", "description"])
def test_text_setters(field):
    s = Satellite(T, STATE)
    setattr(s, field, "  Sentinel-2A  ")
    assert getattr(s, field) == "Sentinel-2A"
    setattr(s, field, "   ")
    assert getattr(s, field) == ""
    setattr(s, field, None)
    assert getattr(s, field) is None
    setattr(s, field, "kept")
    for bad in (3, Text("sub"), ["x"]):
        with pytest.raises(TypeError, match=field):
            setattr(s, field, bad)
        assert getattr(s, field) == "kept"
    with pytest.raises(NotImplementedError):
        delattr(s, field)
    assert getattr(s, field) == "kept"


def test_read_only_and_no_dictionary():
    s = Satellite(T, STATE)
    for attr in ("time", "state", "propagator", "ephemeris"):
        with pytest.raises(AttributeError):
            setattr(s, attr, None)
    with pytest.raises(AttributeError):
        s.other = 1


def test_pickling_is_refused():
    with pytest.raises(TypeError):
        pickle.dumps(Satellite(T, STATE))


def test_reference_cycles_are_collected():
    class Prop(Propagator):
        pass

    p = Prop()
    s = Satellite(T, STATE, p)
    p.satellite = s  # a cycle through the propagator's dictionary
    ref = weakref.ref(p)
    del p, s
    gc.collect()
    assert ref() is None


def test_ephemeris_subclasses_are_accepted():
    class Mine(StateVectorEphemeris):
        __slots__ = ()

    eph = Mine(Time([T]), np.zeros((1, 3)), np.zeros((1, 3)))
    assert Satellite(T, STATE, ephemeris=eph).ephemeris is eph

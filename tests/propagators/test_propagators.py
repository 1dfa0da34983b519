import pickle

import numpy as np
import pytest

from astrovia.propagators.propagators import Propagator
from astrovia.state.ephemeris import StateVectorEphemeris
from astrovia.state.state import StateVector
from astrovia.time.time import Time

T0 = Time("2024-03-01T00:00:00")


def at(seconds):
    return T0 + np.asarray(seconds, dtype=np.float64)


def state(seconds, tag):
    """A state whose position carries a tag, so that the ephemeris shows which state started a stretch."""
    return StateVector(T0 + float(seconds), [float(tag), 0.0, 7e6], [0.0, 7.5e3, 0.0])


class Recorder(Propagator):
    """Returns, for every epoch, the tag of the initial state and the epoch's offset in seconds."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def propagate_state(self, time, state, **kwargs):
        self.calls.append((time, state, kwargs))
        t = Time(time)
        offsets = np.atleast_1d(t - T0)
        r = np.zeros((offsets.size, 3))
        r[:, 0] = state.r[0]
        r[:, 1] = offsets
        return StateVectorEphemeris(t, r, np.zeros_like(r))


def runs(p, eph):
    """[(tag, [offsets...]), ...], one entry per propagate_state call, checked against the ephemeris."""
    out = [(float(st.r[0]), [float(x) for x in np.atleast_1d(Time(t) - T0)]) for t, st, _ in p.calls]
    flat = [(tag, off) for tag, offs in out for off in offs]
    assert [(float(a), float(b)) for a, b in eph.r[:, :2]] == flat
    return out


TIMES = [-10.0, 0.0, 5.0, 10.0, 15.0, 20.0, 30.0]


@pytest.mark.parametrize(
    "states, direction, expected",
    [
        # one state: everything from it, the part before it first
        ([(10, 1)], "forward", [(1, [-10, 0, 5]), (1, [10, 15, 20, 30])]),
        ([(10, 1)], "backward", [(1, [-10, 0, 5]), (1, [10, 15, 20, 30])]),
        # two states: the stretch between them from its start (forward) or its end (backward)
        ([(0, 1), (20, 2)], "forward", [(1, [-10]), (1, [0, 5, 10, 15]), (2, [20, 30])]),
        ([(0, 1), (20, 2)], "backward", [(1, [-10]), (2, [0, 5, 10, 15]), (2, [20, 30])]),
        # three states, given out of order: sorted by epoch first
        ([(20, 3), (0, 1), (10, 2)], "forward", [(1, [-10]), (1, [0, 5]), (2, [10, 15]), (3, [20, 30])]),
        ([(20, 3), (0, 1), (10, 2)], "backward", [(1, [-10]), (2, [0, 5]), (3, [10, 15]), (3, [20, 30])]),
        # equal epochs: the empty stretch between them is skipped, the later-given state starts the next
        ([(10, 1), (10, 2)], "forward", [(1, [-10, 0, 5]), (2, [10, 15, 20, 30])]),
        ([(10, 1), (10, 2)], "backward", [(1, [-10, 0, 5]), (2, [10, 15, 20, 30])]),
    ],
)
def test_stretch_table(states, direction, expected):
    p = Recorder()
    eph = p.propagate(at(TIMES), [state(t, tag) for t, tag in states], main_direction=direction)
    assert runs(p, eph) == [(tag, [float(x) for x in offs]) for tag, offs in expected]


def test_unsorted_time_is_regrouped_by_stretch():
    p = Recorder()
    eph = p.propagate(at([30.0, -5.0, 12.0, 1.0, 25.0]), [state(0, 1), state(20, 2)])
    assert runs(p, eph) == [(1, [-5.0]), (1, [12.0, 1.0]), (2, [30.0, 25.0])]


def test_assume_sorted_states_uses_the_given_order():
    p = Recorder()
    # [S(20), S(0)] as given: before 20; 20 <= t < 0 (empty); from 0 on -> the epochs >= 20 come twice
    eph = p.propagate(at([-5.0, 5.0, 25.0]), [state(20, 2), state(0, 1)], True)
    assert runs(p, eph) == [(2, [-5.0, 5.0]), (1, [5.0, 25.0])]


def test_unknown_direction():
    p = Recorder()
    with pytest.raises(NotImplementedError) as info:
        p.propagate(at([1.0]), [state(0, 1)], main_direction="sideways")
    assert str(info.value) == ""
    # no epoch selected anywhere: no stretch is reached, no error, an empty ephemeris
    eph = p.propagate(Time(np.zeros(0, dtype=np.int64)), [state(0, 1)], main_direction="sideways")
    assert eph.size == 0 and p.calls == []


@pytest.mark.parametrize("bad", [None, 1, b"forward", type("S", (str,), {})("forward")])
def test_main_direction_must_be_exactly_str(bad):
    p = Recorder()
    with pytest.raises(TypeError, match="main_direction"):
        p.propagate(at([1.0]), state(0, 1), main_direction=bad)
    assert p.calls == []


def test_single_state_is_handed_through_unchanged():
    p = Recorder()
    t = "2024-03-01T00:00:05"
    s = state(0, 7)
    eph = p.propagate(t, s, True, "anything", drag=False)
    ((time, st, kwargs),) = p.calls
    assert time is t and st is s and kwargs == {"drag": False}
    assert runs(p, eph) == [(7, [5.0])]


def test_keyword_arguments_reach_every_call_afresh():
    class Mutating(Recorder):
        def propagate_state(self, time, state, **kwargs):
            kwargs["seen"] = True
            return super().propagate_state(time, state, **kwargs)

    p = Mutating()
    p.propagate(at(TIMES), [state(0, 1), state(20, 2)], step=3.0)
    assert [c[2] for c in p.calls] == [{"step": 3.0, "seen": True}] * 3


def test_one_epoch_time_with_several_states():
    p = Recorder()
    eph = p.propagate("2024-03-01T00:00:15", [state(0, 1), state(20, 2)], main_direction="backward")
    assert runs(p, eph) == [(2, [15.0])]


def test_empty_sequence_of_states():
    with pytest.raises(ValueError, match="at least one state"):
        Recorder().propagate(at([1.0]), [])


def test_result_types_are_checked():
    class Bad(Propagator):
        def propagate_state(self, time, state, **kwargs):
            return 42

    with pytest.raises(TypeError, match="StateVectorEphemeris"):
        Bad().propagate(at([1.0, 2.0]), [state(0, 1)])


def test_base_propagate_state():
    p = Propagator()
    assert Propagator.propagate_state.__isabstractmethod__
    with pytest.raises(NotImplementedError) as info:
        p.propagate_state(at([1.0]), state(0, 1))
    assert str(info.value) == ""
    for bad in (None, "state", at([1.0])):
        with pytest.raises(TypeError, match="state"):
            p.propagate_state(at([1.0]), bad)
    # through propagate: a sequence reaches the base class, which refuses to propagate
    with pytest.raises(NotImplementedError):
        p.propagate(at([1.0]), [state(0, 1)])


def ephemeris(n, seed=1):
    rng = np.random.default_rng(seed)
    r = rng.normal(size=(n, 3)) * 7e6
    v = rng.normal(size=(n, 3)) * 7e3
    return StateVectorEphemeris(T0 + np.arange(n, dtype=np.float64), r, v)


@pytest.mark.parametrize("n", [0, 1, 5])
def test_base_jacobian_is_force_free(n):
    jac = Propagator().jacobian(ephemeris(n))
    assert jac.shape == (n, 6, 6) and jac.dtype == np.float64
    expected = np.zeros((6, 6))
    expected[:3, 3:] = np.eye(3)
    assert np.array_equal(jac, np.broadcast_to(expected, (n, 6, 6)))


def test_jacobian_checks_its_argument():
    p = Propagator()
    for bad in (None, np.zeros((3, 3)), state(0, 1)):
        with pytest.raises(TypeError, match="eph"):
            p.jacobian(bad)


def test_pickling_keeps_class_and_dictionary():
    p = pickle.loads(pickle.dumps(Propagator()))
    assert type(p) is Propagator
    r = Recorder()
    r.note = "kept"
    q = pickle.loads(pickle.dumps(r))
    assert type(q) is Recorder and q.note == "kept" and q.calls == []


LINE1 = "1 25544U 98067A   24001.51258435  .00016717  00000-0  30270-3 0  9986"
LINE2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.50103472433265"


def test_a_tle_is_handed_through_unchanged():
    from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
    from astrovia.propagators.analytical.sgp4.tle import TLE

    tle = TLE(LINE1, LINE2)
    seen = []

    class Seen(Propagator):
        def propagate_state(self, time, state, **kwargs):
            seen.append((time, state, kwargs))
            return None

    assert Seen().propagate("2024-01-02", tle, main_direction="up", k=1) is None
    assert seen == [("2024-01-02", tle, {"k": 1})]
    # the base class and Keplerian accept only a State
    for prop in (Propagator(), Keplerian()):
        with pytest.raises(TypeError, match="state"):
            prop.propagate("2024-01-02", tle)

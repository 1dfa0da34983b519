"""Inputs that once crashed the interpreter, corrupted memory or gave NaN.

Each case runs in a child interpreter and prints the type and message of what
it raised; the parent checks them, so a crash fails only its own case.
"""

import ast

import pytest

RUN = """
try:
    result = None
{body}
    outcome = ("returned", repr(result))
except BaseException as error:
    outcome = (type(error).__name__, str(error))
print(repr(outcome))
"""


def outcome(child, setup, body):
    code = setup + RUN.format(body="\n".join("    " + line for line in body.strip().splitlines()))
    result = child(code)
    result.check()
    return ast.literal_eval(result.stdout.strip().splitlines()[-1])


TLE_SETUP = """
from astrovia.propagators.analytical.sgp4.tle import TLE
from astrovia.utils.representable import Representable
from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
import astrovia.frames.rotations as rotations
class Shown(Representable):
    def _get_header(self):
        return "header"
    def _get_body(self):
        return "body"
class Plain(Keplerian):
    pass
"""


@pytest.mark.parametrize(
    "body",
    [
        # A hook that is the object's own __str__: native str -> hook -> native str ...
        "t = TLE(*TLE_LINES)\nt._get_header = t.__str__\nstr(t)",
        "t = TLE(*TLE_LINES)\nt._get_body = t.__repr__\nrepr(t)",
        "s = Shown()\ns._get_body = s.__str__\nstr(s)",
        # propagate -> propagate_state (bound to propagate) -> propagate ...
        "k = Plain()\nk.propagate_state = k.propagate\n"
        "k.propagate(T0, COE(T0, 7.0e6, 0.01, 0.5, 0.1, 0.2, 0.3))",
        # A module function looked up by name at call time, pointed at its caller.
        "rotations.rot_ITRF_from_GCRF = rotations.rot_GCRF_from_ITRF\nrotations.rot_GCRF_from_ITRF(T0)",
    ],
    ids=["tle-header", "tle-body-repr", "subclass-body", "propagate-cycle", "rotations-cycle"],
)
def test_native_cycles_end_in_recursion_error(child, body):
    kind, message = outcome(child, TLE_SETUP, body)
    assert kind == "RecursionError", (kind, message)


SHAPE_SETUP = """
import builtins
from astrovia.propagators.propagators import Propagator
from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
zeros, zeros_like = numpy.zeros, numpy.zeros_like
eph = StateVectorEphemeris(Time(["2024-01-01", "2024-01-02", "2024-01-03"]),
                           numpy.full((3, 3), 7.0e6), numpy.full((3, 3), 1.0e3))
state = COE(T0, 7.0e6, 0.01, 0.5, 0.1, 0.2, 0.3)
class Duck:
    shape = (1000,)
"""


@pytest.mark.parametrize(
    "patch, call, expected",
    [
        ("numpy.zeros_like = lambda a: zeros_like(a)[:1]", "Keplerian()._propagate_tra(numpy.arange(1000.0), 0.1, 0.1, 1e-3)",
         ("ValueError", "numpy.zeros_like(dt) returned an array of shape (1,), but (1000,) was expected")),
        ("numpy.zeros_like = lambda a: Duck()", "Keplerian()._propagate_tra(numpy.arange(1000.0), 0.1, 0.1, 1e-3)",
         ("TypeError", "numpy.zeros_like(dt) must be a float64 array (an object with the buffer interface), not Duck")),
        ("numpy.zeros_like = lambda a: zeros_like(a, dtype=numpy.float32)",
         "Keplerian()._propagate_tra(numpy.arange(1000.0), 0.1, 0.1, 1e-3)",
         ("ValueError", "numpy.zeros_like(dt) must hold float64 values, not items of format 'f'")),
        ("numpy.zeros = lambda shape, *a, **k: zeros((1, 6, 6))", "Keplerian().jacobian(eph)",
         ("ValueError", "numpy.zeros for jac returned an array of shape (1, 6, 6), but (3, 6, 6) was expected")),
        ("numpy.zeros = lambda shape, *a, **k: zeros((1, 6, 6))", "Propagator().jacobian(eph)",
         ("ValueError", "numpy.zeros for jac returned an array of shape (1, 6, 6), but (3, 6, 6) was expected")),
        ("numpy.zeros = lambda shape, *a, **k: zeros((18, 6))", "Propagator().jacobian(eph)",
         ("ValueError", "numpy.zeros for jac must have 3 dimensions, not 2")),
        ("numpy.zeros = lambda shape, *a, **k: zeros((1, 3))",
         "Keplerian().propagate_state(Time(['2024-01-01', '2024-01-02']), state)",
         ("ValueError", "numpy.zeros for r returned an array of shape (1, 3), but (2, 3) was expected")),
        ("builtins.sorted = lambda *a, **k: (state,)", "Keplerian().propagate(T0, [state])",
         ("TypeError", "sorted(state) must return a list, not tuple")),
    ],
    ids=["zeros_like-short", "zeros_like-duck", "zeros_like-float32", "kepler-jac-short", "base-jac-short",
         "jac-matrix", "sv-short", "sorted-tuple"],
)
def test_results_of_python_steps_are_checked(child, patch, call, expected):
    assert outcome(child, SHAPE_SETUP, patch + "\n" + call) == expected


def test_states_shrunk_by_a_callback_are_not_read(child):
    # A sorted() that hands back the caller's own list, which propagate_state then empties.
    body = """
shared = [state, COE(Time("2024-01-02"), 7.1e6, 0.01, 0.5, 0.1, 0.2, 0.3)]
builtins.sorted = lambda *a, **k: shared
class Shrinking(Keplerian):
    def propagate_state(self, time, s, **kw):
        shared.clear()
        return Keplerian.propagate_state(self, time, s)
eph3 = Shrinking().propagate(Time(["2024-01-01T13:00", "2024-01-02T13:00"]), shared)
result = eph3.size
"""
    assert outcome(child, SHAPE_SETUP, body) == ("returned", "2")


BUFFER_SETUP = """
import astrovia.frames.geocentric as geocentric
import astrovia.frames.rotations as rotations
from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
class Refusing:
    def __buffer__(self, flags):
        raise BufferError("this exporter refuses")
good = numpy.zeros((1, 3))
"""


@pytest.mark.parametrize(
    "call",
    [
        "geocentric.ITRF_from_GCRF(T0, Refusing(), good)",
        "geocentric.TEME_from_ITRF(T0, good, Refusing())",
        "rotations.ITRF_from_GCRF(T0, Refusing(), good)",
        "Keplerian()._propagate_tra(Refusing(), 0.0, 0.1, 1e-3)",
    ],
)
def test_an_exporters_own_error_is_reported(child, call):
    assert outcome(child, BUFFER_SETUP, call) == ("BufferError", "this exporter refuses")


HELD_SETUP = """
import astrovia.frames.geocentric as geocentric
import astrovia.frames.rotations as rotations
from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
class Backed:
    # A (rows, 3) float64 exporter backed by a bytearray that a callback tries to shrink.
    def __init__(self, rows):
        self.data = bytearray(numpy.linspace(1.0e6, 7.0e6, rows * 3).tobytes())
        self.rows = rows
    def __buffer__(self, flags):
        return memoryview(self.data).cast("d", (self.rows, 3))
    def __release_buffer__(self, view):
        view.release()
    def shrink(self):
        try:
            del self.data[8:]
            return "resized"
        except BufferError:
            return "held"
times = Time(["2024-01-01", "2024-01-02", "2024-01-03"])
r, v = Backed(3), Backed(3)
seen = []
"""


@pytest.mark.parametrize(
    "module, function",
    [("geocentric", "ITRF_from_GCRF"), ("geocentric", "ITRF_from_TEME"), ("rotations", "ITRF_from_GCRF")],
)
def test_inputs_stay_held_while_callbacks_run(child, module, function):
    body = f"""
expected = {module}.{function}(times, numpy.asarray(r), numpy.asarray(v))
eop = {module}.EOP
def shrinking_eop(mjd):
    seen.append(r.shrink())
    return eop(mjd)
{module}.EOP = shrinking_eop
got = {module}.{function}(times, r, v)
result = (seen, all((a == b).all() for a, b in zip(got, expected)))
"""
    assert outcome(child, HELD_SETUP, body) == ("returned", repr((["held"], True)))


KEPLER_SETUP = """
from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
GM = 3.986004418e14
"""


@pytest.mark.parametrize(
    "call",
    [
        # Escape speed within rounding: ecc a hair below 1 with a negative sma.
        "Keplerian().propagate_state(T0, COE(T0, -7.0e6, 1.0 - 1e-12, 0.5, 0.1, 0.2, 0.3))",
        "Keplerian()._propagate_coe(T0, COE(T0, -7.0e6, 0.5, 0.5, 0.1, 0.2, 0.3))",
        "Keplerian().propagate_state(T0, COE(T0, 0.0, 0.1, 0.5, 0.1, 0.2, 0.3))",
        "Keplerian().propagate_state(T0, COE(T0, float('nan'), 0.1, 0.5, 0.1, 0.2, 0.3))",
        "Keplerian().propagate_state(T0, COE(T0, float('inf'), 0.1, 0.5, 0.1, 0.2, 0.3))",
        "Keplerian(GM=-GM).propagate_state(T0, COE(T0, 7.0e6, 0.1, 0.5, 0.1, 0.2, 0.3))",
        "Keplerian().propagate(T0, [COE(T0, -7.0e6, 0.9999999, 0.5, 0.1, 0.2, 0.3)])",
    ],
    ids=["hair-below-1", "negative-sma", "zero-sma", "nan-sma", "inf-sma", "negative-GM", "via-propagate"],
)
def test_unbound_orbits_are_not_implemented(child, call):
    assert outcome(child, KEPLER_SETUP, call) == ("NotImplementedError", "")


def test_escape_speed_state_is_refused_not_nan(child):
    # |v| = sqrt(2 GM / |r|) to rounding; the elements come out with ecc a hair below 1
    # and a negative sma. This propagated to all-NaN rows, even at the state's own epoch.
    body = """
r = numpy.array([763098.6147508328, -8591464.37971202, -4782586.632463936])
v = numpy.array([-679.9647438470918, -8916.782121705877, -927.4944557453188])
coe = StateVector(T0, r, v).to_coe(GM=GM)
assert coe.ecc < 1.0 and coe.sma < 0.0, (coe.ecc, coe.sma)
Keplerian().propagate_state(T0, StateVector(T0, r, v))
"""
    assert outcome(child, KEPLER_SETUP, body) == ("NotImplementedError", "")


def test_huge_min_gap_is_a_value_error(child):
    setup = "from astrovia.utils.representable import Representable\n"
    assert outcome(child, setup, "Representable._create_formatted_form({'a': 1}, min_gap=2**63 - 1)") == (
        "ValueError",
        "min_gap is too large: the form would be wider than any text can be",
    )


def test_satellite_init_reentered_from_a_callback_keeps_no_stray_references(child):
    # Time() calls the tzinfo of an aware datetime; this one runs __init__ on the
    # satellite under construction. The outer construction must not build over it.
    setup = """
import datetime, gc, sys
from astrovia.satellite.satellite import Satellite
marker = object()
holder = {}
class Reentering(datetime.tzinfo):
    def utcoffset(self, dt):
        s = holder.pop("s", None)
        if s is not None:
            s.__init__(T0, marker, name="inner")
        return datetime.timedelta(0)
"""
    body = """
before = sys.getrefcount(marker)
s = Satellite.__new__(Satellite)
holder["s"] = s
try:
    s.__init__(datetime.datetime(2024, 1, 1, tzinfo=Reentering()), None, name="outer")
    kept = "outer init returned"
except TypeError as error:
    kept = str(error)
name = s.name
del s
gc.collect()
result = (kept, name, sys.getrefcount(marker) - before)
"""
    assert outcome(child, setup, body) == (
        "returned", repr(("Satellite.__init__ was called again while the object was being initialised", "inner", 0)))


SGP4_SETUP = """
from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE
zeros = numpy.zeros
times = Time(["2024-01-01T12:00:00", "2024-01-01T13:00:00"])
"""


@pytest.mark.parametrize(
    "body, expected",
    [
        ("SGP4().propagate_many(times, ELSET.__new__(ELSET))",
         ("TypeError", "tles is an ELSET that was never initialised")),
        ("SGP4().propagate_many(times, [TLE(*TLE_LINES), TLE.__new__(TLE)])",
         ("TypeError", "tles[1] is a TLE that was never initialised")),
        ("empty = numpy.empty\n"
         "numpy.empty = lambda shape, *a, **k: zeros(1) if isinstance(shape, tuple) and len(shape) == 3 "
         "else empty(shape, *a, **k)\nSGP4().propagate_state(times, TLE(*TLE_LINES))",
         ("ValueError", "numpy.empty for r did not return a C-contiguous float64 array of the requested shape")),
    ],
    ids=["uninitialised-elset", "uninitialised-tle", "short-output"],
)
def test_sgp4_checks_what_it_reads_and_writes(child, body, expected):
    pytest.importorskip("astrovia.propagators.analytical.sgp4.sgp4")
    assert outcome(child, SGP4_SETUP, body) == expected


def test_modules_sharing_the_sgp4_kernel_keep_their_own_vector_targets(child):
    # The passes and screening modules link the SGP4 kernel too; loaded first, their
    # vector targets once shared (and moved) the table the sgp4 module dispatches through.
    got = outcome(child, "", """
import numpy as np
import astrovia.events._passes, astrovia.conjunctions._screen
from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
from astrovia.propagators.analytical.sgp4.tle import read_tles
from astrovia.time.time import Time
from sgp4.api import Satrec, jday
tles = read_tles("examples/data/sample.tle")
time = Time("2024-01-05T00:00") + np.arange(4) * 900.0
r, _, err = SGP4().propagate_many(time, tles)
sat = Satrec.twoline2rv(tles[0].line1, tles[0].line2)
_, ref, _ = sat.sgp4(*jday(2024, 1, 5, 0, 15, 0.0))
result = bool(np.abs(r[0, 1] - np.array(ref) * 1e3).max() < 1e-3)
""")
    assert got == ("returned", "True")

"""The one-pass gathering of a frame conversion's epoch inputs against the separate public calls
(Time's scales and EOP), and the conversions' results with and without it."""

import warnings

import numpy as np
import pytest

from astrovia.frames import geocentric, rotations
from astrovia.iers import EOP
from astrovia.time.time import Time, _frame_inputs

EPOCHS = {
    "minutes of 2024": Time(Time("2024-01-01").int64 + np.arange(5000, dtype=np.int64) * 60_000_000_000),
    "1958-2040": Time(np.linspace(36200.0, 65000.0, 20001) + 0.123, format="mjd"),
    # out of order, long enough to be split among threads: each block's era lookups start cold
    "1958-2040 shuffled": Time(np.random.default_rng(2).permutation(np.linspace(36200.0, 65000.0, 40001)) + 0.377,
                               format="mjd"),
    "the 2016 leap second": Time(Time("2016-12-31T23:59:58").int64 + np.arange(50, dtype=np.int64) * 100_000_000),
    "drifting UTC of 1965": Time(np.linspace(38761.0, 38765.0, 997), format="mjd"),
    "one epoch": Time("2020-02-29T12:00:00"),
    "no epochs": Time(np.zeros(0, dtype=np.int64)),
}


@pytest.mark.parametrize("with_tt", [True, False], ids=["GCRF", "TEME"])
@pytest.mark.parametrize("name", list(EPOCHS))
def test_one_pass_gives_the_separate_calls_to_the_bit(name, with_tt):
    t = EPOCHS[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tt, ut1, pm_x, pm_y, dX, dY, lod = _frame_inputs(t, with_tt)
        eop = EOP(t.utc.mjd)
    if with_tt:
        np.testing.assert_array_equal(tt, t.tt.jd12.reshape(-1, 2))
        np.testing.assert_array_equal(dX, eop.dX)
        np.testing.assert_array_equal(dY, eop.dY)
    else:
        assert tt is None and dX is None and dY is None
    np.testing.assert_array_equal(ut1, t.ut1.jd12.reshape(-1, 2))
    for got, field in ((pm_x, "pm_x"), (pm_y, "pm_y"), (lod, "lod")):
        np.testing.assert_array_equal(got, getattr(eop, field))
    for a in (ut1, pm_x, lod):
        assert a.flags.writeable and a.dtype == np.float64


class _LaterTime(Time):
    """A Time subclass: its conversions take the separate calls."""


@pytest.mark.parametrize("convert", [geocentric.ITRF_from_GCRF, geocentric.ITRF_from_TEME,
                                     rotations.ITRF_from_GCRF], ids=["geocentric GCRF", "TEME", "rotations"])
def test_conversions_agree_with_the_separate_calls(monkeypatch, convert):
    t = EPOCHS["1958-2040"]
    rng = np.random.default_rng(4)
    r = rng.normal(size=(t.size, 3)) * 7e6
    v = rng.normal(size=(t.size, 3)) * 7e3
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fast = convert(t, r, v)
        by_subclass = convert(_LaterTime(t.int64), r, v)
        module = rotations if convert is rotations.ITRF_from_GCRF else geocentric
        calls = []

        def eop(mjd):
            calls.append(len(mjd))
            return EOP(mjd)

        monkeypatch.setattr(module, "EOP", eop)
        replaced = convert(t, r, v)
    assert calls == [t.size]  # a replaced EOP is called as it is, once
    for got in (by_subclass, replaced):
        for a, b in zip(got, fast):
            np.testing.assert_array_equal(a, b)

"""The native loops check every argument they are handed, private as they are."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

from astrovia.iers import leapseconds
from astrovia.time import _timecore as core

LEAP = leapseconds.table().eras
TABLE = np.zeros((10, 6))
I = np.arange(4, dtype=np.int64)
F = np.arange(4, dtype=np.float64)

CALLS = {
    "utc_parts": lambda tt=I, leap=LEAP: core.utc_parts(tt, leap),
    "utc_mjd": lambda tt=I, leap=LEAP: core.utc_mjd(tt, leap),
    "utc_jd12": lambda tt=I, leap=LEAP: core.utc_jd12(tt, leap),
    "label_jd12": lambda tt=I: core.label_jd12(tt, 0),
    "ut1_jd12": lambda tt=I, table=TABLE, leap=LEAP: core.ut1_jd12(tt, table, 50000.0, 0.0, leap),
    "add_seconds": lambda tt=I, seconds=F: core.add_seconds(tt, seconds),
    "elapsed": lambda a=I, b=I: core.elapsed(a, b),
    "eop_values": lambda x=F, table=TABLE, leap=LEAP: core.eop_values(x, table, 50000.0, 0.0, leap),
    "tt_from_labels": lambda mjd=I, sod=I, leap=LEAP: core.tt_from_labels(mjd, sod, 0, leap),
    "tt_from_dates": lambda date1=F, date2=F, leap=LEAP: core.tt_from_dates(date1, date2, 0.0, 0, leap),
}

# (function, argument, bad value, exception, words of the message)
BAD = []
for fname, call in CALLS.items():
    args = call.__defaults__
    names = call.__code__.co_varnames[: len(args)]
    for name, good in zip(names, args):
        if name == "leap":
            continue
        kind = "int64" if good.dtype == np.int64 else "float64"
        wrong_dtype = good.astype(np.float64 if kind == "int64" else np.int64)
        wrong_ndim = np.zeros(6, dtype=good.dtype) if good.ndim == 2 else np.zeros((2, 2), dtype=good.dtype)
        strided = np.zeros((10, 12), dtype=good.dtype)[:, ::2] if good.ndim == 2 else np.zeros(8, good.dtype)[::2]
        BAD += [
            (fname, name, [1, 2], TypeError, [name, kind]),
            (fname, name, wrong_dtype, ValueError, [name, kind]),
            (fname, name, wrong_ndim, ValueError, [name, "dimension"]),
            (fname, name, strided, ValueError, [name, "contiguous"]),
        ]
    if "leap" in names:
        BAD += [
            (fname, "leap", np.zeros((3, 3)), ValueError, ["leap", "4 columns"]),
            (fname, "leap", np.zeros((0, 4)), ValueError, ["leap", "rows"]),
            (fname, "leap", LEAP[::-1].copy(), ValueError, ["leap", "increasing"]),
            (fname, "leap", np.full((2, 4), np.nan), ValueError, ["leap row 0"]),
        ]


@pytest.mark.parametrize("fname,name,value,exc,words", BAD, ids=[f"{b[0]}-{b[1]}-{i}" for i, b in enumerate(BAD)])
def test_bad_arguments_raise_naming_them(fname, name, value, exc, words):
    with pytest.raises(exc) as info:
        CALLS[fname](**{name: value})
    for w in words:
        assert w in str(info.value)


@pytest.mark.parametrize("call,words", [
    (lambda: core.tt_from_labels(I, I[:2], 0, LEAP), ["sod has 2", "mjd has 4"]),
    (lambda: core.tt_from_dates(F, F[:3], 0.0, 0, LEAP), ["date2 has 3"]),
    (lambda: core.add_seconds(I, F[:3]), ["seconds has 3"]),
    (lambda: core.elapsed(I, I[:3]), ["b has 3"]),
    (lambda: core.eop_values(F, np.zeros((1, 6)), 50000.0, 0.0, LEAP), ["table", "2 rows"]),
    (lambda: core.eop_values(F, np.zeros((5, 5)), 50000.0, 0.0, LEAP), ["table", "6 columns"]),
    (lambda: core.eop_values(F, TABLE, np.nan, 0.0, LEAP), ["x0"]),
    (lambda: core.tt_from_labels(I, np.full(4, -1, dtype=np.int64), 0, LEAP), ["sod -1"]),
    (lambda: core.tt_from_labels(I, I, 7, LEAP), ["scale"]),
    (lambda: core.tt_from_dates(F, None, 3.0, 0, LEAP), ["offset"]),
    (lambda: core.label_jd12(I, 10**15), ["offset_ns"]),
])
def test_inconsistent_arguments_raise(call, words):
    with pytest.raises(ValueError) as info:
        call()
    for w in words:
        assert w in str(info.value)


EDGE = np.array([2**63 - 1, -(2**63), 2**63 - 3600 * 10**9], dtype=np.int64)


@pytest.mark.parametrize("call", [
    lambda: core.utc_parts(EDGE[:1], LEAP),
    lambda: core.utc_mjd(EDGE[1:2], LEAP),
    lambda: core.utc_jd12(EDGE[2:], LEAP),
    lambda: core.label_jd12(EDGE[:1], 0),
    lambda: core.ut1_jd12(EDGE[1:2], TABLE, 50000.0, 0.0, LEAP),
    lambda: core.add_seconds(EDGE[:1], np.zeros(1)),
    lambda: core.add_seconds(np.zeros(1, dtype=np.int64), np.array([9.3e9])),
    lambda: core.tt_from_labels(np.array([2**62], dtype=np.int64), np.zeros(1, dtype=np.int64), 2, LEAP),
    lambda: core.tt_from_labels(np.array([-(2**62)], dtype=np.int64), np.zeros(1, dtype=np.int64), 0, LEAP),
    lambda: core.tt_from_dates(np.array([1e300]), None, 0.0, 0, LEAP),
    lambda: core.tt_from_dates(np.array([160000.0]), None, 0.0, 2, LEAP),
])
def test_stamps_near_the_ends_of_int64_raise(call):
    with pytest.raises(ValueError, match="outside the span of Time"):
        call()


@pytest.mark.parametrize("n,m", [(1, 0), (0, 1), (1, 3), (3, 1), (0, 0)])
def test_one_value_goes_with_any_number(n, m):
    a = np.arange(n, dtype=np.int64) * 10**9
    b = np.arange(m, dtype=np.int64)
    size = m if n == 1 else n
    assert core.elapsed(a, b).shape == (size,)
    assert core.add_seconds(a, b.astype(np.float64)).shape == (size,)
    np.testing.assert_array_equal(core.add_seconds(a, b.astype(np.float64)), a + b * 10**9)


def test_elapsed_between_the_ends_of_int64():
    # the difference of two int64 counts needs more than 64 bits; it is formed exactly
    d = core.elapsed(np.array([2**63 - 1], dtype=np.int64), np.array([-(2**63)], dtype=np.int64))
    assert d[0] == pytest.approx((2**64 - 1) / 1e9, rel=1e-15)


def test_read_only_inputs_and_untouched_inputs():
    tt = np.array([0, 10**15], dtype=np.int64)
    tt.flags.writeable = False
    out = core.utc_parts(tt, LEAP)
    assert all(a.flags.writeable and a.shape == (2,) for a in out)
    np.testing.assert_array_equal(tt, [0, 10**15])


SWEEP = textwrap.dedent("""
    import numpy as np
    from astrovia.iers import leapseconds
    from astrovia.time import _timecore as core
    leap = leapseconds.table().eras
    values = [None, 0, 1.5, "x", b"abc", bytearray(16), memoryview(b"12345678"), np.zeros(0),
              np.zeros(0, dtype=np.int64), np.zeros(3), np.zeros(3, dtype=np.int64), np.zeros((3, 6)),
              np.zeros((1, 4)), leap, np.zeros(5, dtype=np.int32), np.array([np.nan]),
              np.array([2**63 - 1], dtype=np.int64), np.array([-2**63], dtype=np.int64)]
    names = ["utc_parts", "utc_mjd", "utc_jd12", "label_jd12", "ut1_jd12", "add_seconds", "elapsed",
             "eop_values", "tt_from_labels", "tt_from_dates"]
    arity = {"utc_parts": 2, "utc_mjd": 2, "utc_jd12": 2, "label_jd12": 2, "ut1_jd12": 5, "add_seconds": 2,
             "elapsed": 2, "eop_values": 5, "tt_from_labels": 4, "tt_from_dates": 5}
    rng = np.random.default_rng(1)
    seen = set()
    for name in names:
        f = getattr(core, name)
        for _ in range(400):
            args = [values[i] for i in rng.integers(0, len(values), arity[name])]
            try:
                f(*args)
            except (TypeError, ValueError) as e:
                seen.add(type(e).__name__)
    print("ok", sorted(seen))
""")


def test_a_sweep_of_bad_arguments_never_crashes():
    r = subprocess.run([sys.executable, "-c", SWEEP], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.startswith("ok")

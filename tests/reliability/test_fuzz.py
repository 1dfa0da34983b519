"""Property-based fuzzing of the Python surface: arbitrary text for TLE lines,
arbitrary keys for ELSET, arbitrary arrays for the frame and propagation functions.
Anything may be refused with an exception; nothing may crash, write its inputs or
return a result that disagrees with an independent route."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import astrovia.frames.geocentric as geocentric
import astrovia.frames.rotations as rotations
from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE
from astrovia.state.ephemeris import StateVectorEphemeris
from astrovia.time.time import Time

FUZZ = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
LINE1 = "1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9005"
LINE2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537"
REFUSALS = (TypeError, ValueError, AttributeError, IndexError, KeyError, OverflowError, MemoryError,
            NotImplementedError, AssertionError, RecursionError)


def mutated(line):
    """A valid line with a few characters replaced, inserted or deleted, or cut short."""
    edits = st.lists(st.tuples(st.integers(0, len(line)), st.sampled_from(["replace", "insert", "delete"]),
                               st.text(min_size=1, max_size=3)), max_size=6)

    def apply(ops):
        text = line
        for pos, op, chars in ops:
            pos = min(pos, len(text))
            if op == "replace":
                text = text[:pos] + chars + text[pos + len(chars):]
            elif op == "insert":
                text = text[:pos] + chars + text[pos:]
            else:
                text = text[:pos] + text[pos + len(chars):]
        return text

    return edits.map(apply)


line_text = st.one_of(st.text(max_size=120), mutated(LINE1), mutated(LINE2))


@FUZZ
@given(line_text, line_text)
def test_tle_text_never_crashes(line1, line2):
    try:
        tle = TLE(line1, line2)
    except (ValueError, TypeError):
        return  # e.g. unencodable surrogates
    # Whatever was read, the record answers for all its fields and prints.
    for name in ("satno", "inc", "raa", "ecc", "arp", "mea", "mnm", "sma", "orp", "eca", "tra", "pge", "apg"):
        try:
            getattr(tle, name)
        except REFUSALS:
            pass
    try:
        str(tle)
    except REFUSALS:
        pass


@FUZZ
@given(mutated(LINE2))
def test_tle_reads_the_fixed_columns(line2):
    # Where the inclination columns still hold a plain number, it is read as that number.
    # ASCII only: one character per column (how wider characters count is the reader's own rule).
    assume(len(line2) >= 16 and line2.isascii())
    field = line2[8:16]
    assume("_" not in field)
    try:
        expected = float(field)
    except ValueError:
        return
    assume(math.isfinite(expected) and field.strip() == field.strip().lstrip("+"))
    tle = TLE(LINE1, line2)
    assert tle.inc == pytest.approx(math.radians(expected), rel=1e-15, abs=1e-15)


def day(k):
    return LINE1[:20] + f"{1.5 + k:012.8f}" + LINE1[32:]


ELSET_MEMBERS = [TLE(day(k), LINE2) for k in range(5)]
ELSET_FIVE = ELSET(*ELSET_MEMBERS)

elset_keys = st.one_of(
    st.integers(-10, 10),
    st.integers(),
    st.slices(8),
    hnp.arrays(np.bool_, st.integers(0, 8)),
    hnp.arrays(np.int64, st.integers(0, 6), elements=st.integers(-7, 7)),
    st.lists(st.integers(-6, 6), max_size=6),
    st.floats(allow_nan=True),
    st.text(max_size=5),
    st.none(),
    st.tuples(st.integers(0, 4), st.integers(0, 4)),
)


@FUZZ
@given(elset_keys)
def test_elset_keys_index_like_the_member_list(key):
    try:
        got = ELSET_FIVE[key]
    except REFUSALS:
        return
    if isinstance(key, int) and not isinstance(key, bool):
        assert got is ELSET_MEMBERS[key]
    elif isinstance(key, slice) and any(isinstance(b, int) for b in (key.start, key.stop, key.step)):
        assert [t.epoch.int64 for t in got] == sorted(t.epoch.int64 for t in ELSET_MEMBERS[key])
    elif isinstance(key, np.ndarray):
        chosen = np.array(ELSET_MEMBERS, dtype=object)[key].tolist()
        assert sorted(int(t.epoch.int64) for t in got) == sorted(int(t.epoch.int64) for t in chosen)


float_arrays = hnp.arrays(
    dtype=st.sampled_from([np.float64, np.dtype(">f8"), np.float32, np.int64, np.complex128]),
    shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5),
)
strided = st.builds(lambda a, step: a[::step] if a.ndim else a, float_arrays, st.integers(1, 2))
FRAME_FUNCTIONS = [geocentric.ITRF_from_GCRF, geocentric.GCRF_from_ITRF, geocentric.ITRF_from_TEME,
                   geocentric.TEME_from_ITRF, rotations.ITRF_from_GCRF]
TIMES = [Time("2024-01-01T00:00:00") + np.arange(n) * 3600.0 for n in (0, 1, 3, 5)]


@FUZZ
@given(st.sampled_from(FRAME_FUNCTIONS), st.sampled_from(TIMES), strided, strided, st.booleans())
def test_frame_functions_take_any_array(fn, time, r, v, read_only):
    if read_only:
        r.flags.writeable = False
    r_before, v_before = r.copy(), v.copy()
    try:
        r_out, v_out = fn(time, r, v)
    except REFUSALS:
        pass
    else:
        assert r_out.shape == r.shape and v_out.shape == v.shape
        n = time.size
        # Rows beyond the epochs and columns beyond z stay zero; a rotation keeps each position's length.
        assert not r_out[n:].any() and not v_out[n:].any()
        assert not r_out[:, 3:].any() and not v_out[:, 3:].any()
        rows = np.isfinite(r[:n, :3]).all(axis=1)
        np.testing.assert_allclose(np.linalg.norm(r_out[:n, :3][rows], axis=1),
                                   np.linalg.norm(r[:n, :3][rows], axis=1), rtol=1e-12)
    np.testing.assert_array_equal(r, r_before)
    np.testing.assert_array_equal(v, v_before)


@FUZZ
@given(
    hnp.arrays(np.float64, st.integers(0, 20), elements=st.floats(-1e9, 1e9) | st.sampled_from([np.nan, np.inf])),
    st.floats(-10.0, 10.0),
    st.floats(0.0, 0.99),
    st.floats(1e-6, 1e-2),
)
def test_propagate_tra_satisfies_keplers_equation(dt, tra0, ecc, n):
    before = dt.copy()
    tra = Keplerian()._propagate_tra(dt, tra0, ecc, n)
    np.testing.assert_array_equal(dt, before)
    assert tra.shape == dt.shape
    finite = np.isfinite(dt) & (np.abs(dt) < 1e7)
    assert np.all((tra[finite] >= 0.0) & (tra[finite] < 2 * math.pi))
    # Independent route: mean anomalies from the true anomalies, against n dt + M0.
    def mean_from_true(nu):
        e_anom = 2.0 * np.arctan(np.sqrt((1 - ecc) / (1 + ecc)) * np.tan(nu / 2.0))
        return e_anom - ecc * np.sin(e_anom)
    m = mean_from_true(tra[finite])
    expected = n * dt[finite] + mean_from_true(np.asarray(tra0))
    diff = np.angle(np.exp(1j * (m - expected)))
    assert np.all(np.abs(diff) < 1e-7 * np.maximum(1.0, np.abs(expected)))


@FUZZ
@given(hnp.arrays(np.float64, st.tuples(st.integers(0, 6), st.just(3)),
                  elements=st.floats(-1e8, 1e8) | st.sampled_from([0.0, np.nan, np.inf])))
def test_jacobians_of_any_positions(r):
    t = Time("2024-01-01T00:00:00") + np.arange(r.shape[0]) * 60.0
    eph = StateVectorEphemeris(t, r, np.zeros_like(r))
    kepler = Keplerian()
    jac = kepler.jacobian(eph)
    assert jac.shape == (r.shape[0], 6, 6)
    np.testing.assert_array_equal(jac[:, :3, :3], 0.0)
    np.testing.assert_array_equal(jac[:, :3, 3:], np.broadcast_to(np.eye(3), (r.shape[0], 3, 3)))
    # The inherited route through the hooks gives the same matrices, NaN for NaN.
    np.testing.assert_array_equal(super(Keplerian, kepler).jacobian(eph), jac)
    # Against the closed form GM (3 r r^T - |r|^2 I) / |r|^5 where it is finite.
    for k in range(r.shape[0]):
        x = r[k]
        rho = np.linalg.norm(x)
        if np.isfinite(rho) and rho > 1.0:
            g = kepler.GM * (3.0 * np.outer(x, x) - rho**2 * np.eye(3)) / rho**5
            np.testing.assert_allclose(jac[k, 3:, :3], g, rtol=0, atol=1e-12 * np.abs(g).max())


def catalogue_text():
    """Valid records, mutated records, names and junk lines in any order, in bytes."""
    line = st.one_of(st.just(LINE1), st.just(LINE2), mutated(LINE1), mutated(LINE2),
                     st.text(max_size=30), st.just(""), st.just("ISS (ZARYA)"))
    ending = st.sampled_from(["\n", "\r\n", "\r"])
    return st.tuples(st.lists(line, max_size=12), ending).map(lambda p: p[1].join(p[0]).encode("utf-8", "replace"))


@FUZZ
@given(st.one_of(catalogue_text(), st.binary(max_size=300)), st.booleans())
def test_readers_take_any_bytes(data, strict):
    import warnings

    from astrovia.propagators.analytical.sgp4.tle import read_elsets, read_tles

    text = data.decode("utf-8", "replace")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            tles = read_tles(data, strict=strict, errors="warn")
        except REFUSALS + (UnicodeError,):
            return
        # Every record read is a pair of lines of the input, in input order.
        at = -1
        for t in tles:
            at = text.find(t.line1.rstrip(), at + 1)
            assert at >= 0, (t.line1, text)
            assert t.line2.rstrip() in text[at:], (t.line2, text)
        try:
            catalogue = read_elsets(data, strict=strict, errors="warn")
        except REFUSALS + (UnicodeError,):
            return
    # Grouping drops only exact duplicates: no record appears that read_tles did not find.
    found = {(t.line1, t.line2) for t in tles}
    for elset in catalogue.values() if hasattr(catalogue, "values") else catalogue:
        for t in elset:
            assert (t.line1, t.line2) in found

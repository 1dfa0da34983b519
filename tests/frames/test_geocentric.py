import erfa
import numpy as np
import pytest

from astrovia.frames import geocentric
from astrovia.time.time import Time

from frames_oracle import OMEGA0, cross_z, epochs, gcrf_chain, inputs, matrices_of, mv, states, teme_chain

N = 40
TO_ITRF = {"ITRF_from_GCRF": "GCRF_from_ITRF", "ITRF_from_TEME": "TEME_from_ITRF"}
ALL = ["ITRF_from_GCRF", "GCRF_from_ITRF", "ITRF_from_TEME", "TEME_from_ITRF"]


def test_gcrf_matrix_is_c2t00a_without_pole_offsets(eop_override):
    t = epochs(N)
    eop = eop_override(geocentric, dX=0.0, dY=0.0)
    p = inputs(t, eop)
    q = matrices_of(geocentric.ITRF_from_GCRF, t, N)
    expected = erfa.c2t00a(p.tt1, p.tt2, p.ut1a, p.ut1b, p.xp, p.yp)
    np.testing.assert_allclose(q, expected, rtol=0, atol=1e-15)
    # the same matrices through the inverse direction, transposed
    np.testing.assert_allclose(matrices_of(geocentric.GCRF_from_ITRF, t, N), expected.swapaxes(1, 2), rtol=0, atol=1e-15)


@pytest.mark.parametrize("scale", [1.0, 1e3])  # the IERS offsets, and exaggerated ones
def test_gcrf_matrix_follows_the_erfa_sequence_with_offsets(eop_override, scale):
    t = epochs(N)
    eop = eop_override(geocentric, dX=lambda a: a * scale, dY=lambda a: a * scale)
    p = inputs(t, eop)
    assert np.all(p.dX != 0)
    q = matrices_of(geocentric.ITRF_from_GCRF, t, N)
    np.testing.assert_allclose(q, gcrf_chain(p)[2], rtol=0, atol=1e-15)
    if scale > 1:
        # The CIO locator is that of the model pole: evaluating it at the offset pole moves Q visibly.
        assert np.abs(q - gcrf_chain(p, s_with_offsets=True)[2]).max() > 1e-13
        # and the offsets do change C
        eop_override(geocentric, dX=0.0, dY=0.0)
        assert np.abs(q - matrices_of(geocentric.ITRF_from_GCRF, t, N)).max() > 1e-9


@pytest.mark.parametrize("lod", [0.0, 1e-3, "iers"])
def test_gcrf_velocity_has_the_lod_corrected_earth_rotation(eop_override, lod):
    t = epochs(N)
    eop = eop_override(geocentric) if lod == "iers" else eop_override(geocentric, lod=lod)
    p = inputs(t, eop)
    r, v = states(N, seed=1)
    rc, w, q = gcrf_chain(p)
    omega = OMEGA0 * (1 - p.lod / 86400)
    if lod == 1e-3:
        assert omega[0] == OMEGA0 * (1 - 0.001 / 86400)
    r_itrf, v_itrf = geocentric.ITRF_from_GCRF(t, r, v)
    np.testing.assert_allclose(r_itrf, mv(q, r), rtol=0, atol=1e-8)
    np.testing.assert_allclose(v_itrf, mv(q, v) - mv(w, cross_z(omega, mv(rc, r))), rtol=0, atol=1e-11)
    r_gcrf, v_gcrf = geocentric.GCRF_from_ITRF(t, r, v)
    wt = w.swapaxes(1, 2)
    np.testing.assert_allclose(r_gcrf, mv(q.swapaxes(1, 2), r), rtol=0, atol=1e-8)
    np.testing.assert_allclose(v_gcrf, mv(rc.swapaxes(1, 2), mv(wt, v) + cross_z(omega, mv(wt, r))), rtol=0, atol=1e-11)


def test_gcrf_velocity_is_the_time_derivative_of_the_position(eop_override):
    # Independent of the formula: d/dt (Q(t) r(t)) by central differences of pyerfa's matrices.
    # Precession-nutation drift and the LOD correction are below 1e-4 m/s here.
    n, h = 5, 0.5  # seconds
    t = epochs(n)
    p = inputs(t, eop_override(geocentric, dX=0.0, dY=0.0))
    r, v = states(n, seed=2)

    def q_at(dt):
        d = dt / 86400
        return erfa.c2t00a(p.tt1, p.tt2 + d, p.ut1a, p.ut1b + d, p.xp, p.yp)

    expected = (mv(q_at(h), r + h * v) - mv(q_at(-h), r - h * v)) / (2 * h)
    np.testing.assert_allclose(geocentric.ITRF_from_GCRF(t, r, v)[1], expected, rtol=0, atol=1e-3)


def test_teme_without_polar_motion_is_exactly_r3_gmst(eop_override):
    t = epochs(N)
    p = inputs(t, eop_override(geocentric, pm_x=0.0, pm_y=0.0))
    g, _ = teme_chain(p)
    assert np.array_equal(matrices_of(geocentric.ITRF_from_TEME, t, N), g)
    assert np.array_equal(matrices_of(geocentric.TEME_from_ITRF, t, N), g.swapaxes(1, 2))


def test_teme_states_follow_the_erfa_sequence(eop_override):
    t = epochs(N)
    p = inputs(t, eop_override(geocentric, lod=lambda a: a * 10))
    g, w0 = teme_chain(p)
    omega = OMEGA0 * (1 - p.lod / 86400)
    r, v = states(N, seed=3)
    r_itrf, v_itrf = geocentric.ITRF_from_TEME(t, r, v)
    gr = mv(g, r)
    np.testing.assert_allclose(r_itrf, mv(w0, gr), rtol=0, atol=1e-8)
    np.testing.assert_allclose(v_itrf, mv(w0, mv(g, v) - cross_z(omega, gr)), rtol=0, atol=1e-11)
    r_teme, v_teme = geocentric.TEME_from_ITRF(t, r, v)
    gt, w0t = g.swapaxes(1, 2), w0.swapaxes(1, 2)
    np.testing.assert_allclose(r_teme, mv(gt, mv(w0t, r)), rtol=0, atol=1e-8)
    np.testing.assert_allclose(v_teme, mv(gt, mv(w0t, v) + cross_z(omega, mv(w0t, r))), rtol=0, atol=1e-11)


@pytest.mark.parametrize("name", ["ITRF_from_TEME", "TEME_from_ITRF"])
def test_teme_ignores_pole_offsets_and_tt(eop_override, name):
    t = epochs(N)
    r, v = states(N, seed=4)
    f = getattr(geocentric, name)
    eop_override(geocentric, dX=0.0, dY=0.0)
    base = f(t, r, v)
    eop_override(geocentric, dX=1e-3, dY=np.nan)
    changed = f(t, r, v)

    class NoTT(Time):
        @property
        def tt(self):
            raise AssertionError("TT dates read by a TEME conversion")

    other = f(NoTT(t), r, v)
    for a, b, c in zip(base, changed, other):
        assert np.array_equal(a, b) and np.array_equal(a, c)


@pytest.mark.parametrize("forward", list(TO_ITRF))
def test_round_trip(forward):
    t = epochs(200)
    r, v = states(200, seed=5)
    back = getattr(geocentric, TO_ITRF[forward])
    r2, v2 = back(t, *getattr(geocentric, forward)(t, r, v))
    np.testing.assert_allclose(r2, r, rtol=0, atol=1e-8)
    np.testing.assert_allclose(v2, v, rtol=0, atol=1e-11)


@pytest.mark.parametrize("forward", list(TO_ITRF))
def test_point_at_rest_in_itrf(forward):
    t = epochs(N)
    p = inputs(t)
    r, _ = states(N, seed=6)
    rest = np.zeros((N, 3))
    to_inertial = getattr(geocentric, TO_ITRF[forward])
    r_in, v_in = to_inertial(t, r, rest)
    # distance from the axis of the rotating intermediate system, which polar motion tilts against ITRF
    sp = erfa.sp00(p.tt1, p.tt2) if forward == "ITRF_from_GCRF" else np.zeros(N)
    pole = mv(erfa.pom00(p.xp, p.yp, sp).swapaxes(1, 2), r)
    omega = OMEGA0 * (1 - p.lod / 86400)
    np.testing.assert_allclose(np.linalg.norm(v_in, axis=1), omega * np.hypot(pole[:, 0], pole[:, 1]), rtol=1e-13)
    r_back, v_back = getattr(geocentric, forward)(t, r_in, v_in)
    np.testing.assert_allclose(v_back, 0.0, atol=1e-11)
    np.testing.assert_allclose(r_back, r, rtol=0, atol=1e-8)


@pytest.mark.parametrize("name", ALL)
def test_layouts_give_the_values_of_row_major_copies(name):
    f = getattr(geocentric, name)
    t = epochs(6)
    r, v = states(6, seed=7)
    expected = f(t, r, v)
    # extra rows and columns stay zero
    big_r, big_v = np.full((9, 5), 3.0), np.full((9, 5), -2.0)
    big_r[:6, :3], big_v[:6, :3] = r, v
    big = f(t, big_r, big_v)
    for out, exp in zip(big, expected):
        assert out.shape == (9, 5)
        assert np.array_equal(out[:6, :3], exp)
        assert not out[6:].any() and not out[:, 3:].any()
    # column-major and strided inputs; outputs keep the layout
    fr, fv = np.asfortranarray(r), np.asfortranarray(v)
    out_f = f(t, fr, fv)
    for out, exp in zip(out_f, expected):
        assert out.flags.f_contiguous and not out.flags.c_contiguous
        assert np.array_equal(out, exp)
    sr, sv = big_r[:, ::-1][:6, 2:], big_v[::-1][3:, ::-1][:, 2:][::-1]  # negative and odd strides
    out_s = f(t, sr, sv)
    exp_s = f(t, np.ascontiguousarray(sr), np.ascontiguousarray(sv))
    for out, exp in zip(out_s, exp_s):
        assert np.array_equal(out, exp)


@pytest.mark.parametrize("name", ALL)
def test_inputs_are_not_written(name):
    t = epochs(5)
    r, v = states(5, seed=8)
    r0, v0 = r.copy(), v.copy()
    getattr(geocentric, name)(t, r, v)
    assert np.array_equal(r, r0) and np.array_equal(v, v0)


@pytest.mark.parametrize("name", ALL)
def test_one_epoch_and_keywords(name):
    t = Time("2021-06-01T12:00:00")
    r, v = states(1, seed=9)
    f = getattr(geocentric, name)
    arg_r, arg_v = ("r_" + name[-4:], "v_" + name[-4:])
    out = f(time=t, **{arg_r: r, arg_v: v})
    assert [a.shape for a in out] == [(1, 3), (1, 3)]
    assert np.array_equal(out[0], f(t, r, v)[0])
    with pytest.raises(ValueError, match=arg_r):
        f(t, r[0], v)
    with pytest.raises(TypeError):
        f(t, r)


@pytest.mark.parametrize("name", ALL)
def test_no_epochs_still_asks_eop_once(eop_override, name):
    eop = eop_override(geocentric)
    t = Time(np.array([], dtype=np.int64))
    r_out, v_out = getattr(geocentric, name)(t, np.ones((2, 3)), np.ones((2, 3)))
    assert eop.calls == 1
    assert r_out.shape == (2, 3) and not r_out.any() and not v_out.any()


@pytest.mark.parametrize("name", ALL)
def test_bad_arrays_are_rejected(name):
    f = getattr(geocentric, name)
    t = epochs(3)
    r, v = states(3)
    ro = r.copy()
    ro.flags.writeable = False
    side = name[-4:]
    cases = [
        (r.astype(np.float32), v, ValueError, f"r_{side}.*float64"),
        (r, v.astype(np.int64), ValueError, f"v_{side}.*float64"),
        (ro, v, ValueError, f"r_{side} is read-only"),
        (r, v[None], ValueError, f"v_{side} must have 2 dimensions"),
        (r.tolist(), v, TypeError, f"r_{side}"),
        (r, "abc", TypeError, f"v_{side}"),
        (r[:2], v, ValueError, f"r_{side} has 2 rows"),
        (r, v[:, :2], ValueError, f"v_{side} has 2 columns"),
    ]
    for rr, vv, exc, msg in cases:
        with pytest.raises(exc, match=msg):
            f(t, rr, vv)


@pytest.mark.parametrize("name", ALL)
def test_time_must_be_a_time(name):
    f = getattr(geocentric, name)
    r, v = states(2)
    with pytest.raises(TypeError, match="time"):
        f(51544.0, r, v)
    with pytest.raises(AttributeError):
        f(None, r, v)


@pytest.mark.parametrize("field", ["pm_x", "pm_y", "dX", "dY", "lod"])
def test_short_earth_orientation_series_is_rejected(eop_override, field):
    t = epochs(4)
    r, v = states(4)
    eop_override(geocentric, **{field: lambda a: a[:3]})
    teme = field in ("pm_x", "pm_y", "lod")
    with pytest.raises(ValueError, match=f"{field} has 3 values"):
        geocentric.ITRF_from_GCRF(t, r, v)
    if teme:
        with pytest.raises(ValueError, match=f"{field} has 3 values"):
            geocentric.TEME_from_ITRF(t, r, v)
    else:
        geocentric.TEME_from_ITRF(t, r, v)  # not read by the TEME chain


def test_non_finite_earth_orientation_spoils_only_its_epoch(eop_override):
    t = epochs(4)
    r, v = states(4)
    eop_override(geocentric, pm_x=lambda a: np.where(np.arange(a.size) == 2, np.nan, a))
    for f in (geocentric.ITRF_from_GCRF, geocentric.ITRF_from_TEME):
        r_out, v_out = f(t, r, v)
        assert np.isnan(r_out[2]).all() and np.isfinite(np.delete(r_out, 2, axis=0)).all()

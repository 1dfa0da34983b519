"""The numerical propagator against independent oracles: heyoka's geopotential, scipy's DOP853 on equations of
motion assembled in oracle.py, finite differences and round trips."""

from __future__ import annotations

import sys
from pathlib import Path

import erfa
import numpy as np
import pytest

from astrovia.frames import geocentric
from astrovia.frames.frames import GCRF, ITRF
from astrovia.propagators.numerical import SRP, Drag, Exponential, HarrisPriester, Numerical
from astrovia.state.ephemeris import StateVectorEphemeris
from astrovia.state.state import COE, StateVector
from astrovia.time.time import Time

hy = pytest.importorskip("heyoka")
sys.path.insert(0, str(Path(__file__).parent))
from oracle import Oracle  # noqa: E402

T0 = Time("2024-03-01T00:00:00")
DEG = np.pi / 180


def circular(alt, inc, raan=0.3, u=0.0, epoch=T0):
    return COE(epoch, 6378137.0 + alt, 1e-4, inc, raan, 0.0, u).to_sv()


def write_icgem(path, degree):
    """heyoka's EGM2008 table as an ICGEM file (header as ICGEM writes it)."""
    cs = hy.model.get_egm2008_CS()
    lines = ["EGM2008 from heyoka", "begin_of_head", f"earth_gravity_constant {hy.model.get_egm2008_mu()!r}",
             f"radius {hy.model.get_egm2008_a()!r}", f"max_degree {degree}", "norm fully_normalized",
             "end_of_head", "gfc 0 0 1.0D+00 0.0D+00"]
    row = 0
    for n in range(2, degree + 1):
        for m in range(n + 1):
            c, s = cs[row]
            row += 1
            lines.append(f"gfc {n} {m} {c:.17e} {s:.17e}".replace("e", "D"))
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.fixture(scope="module")
def icgem(tmp_path_factory):
    return write_icgem(tmp_path_factory.mktemp("gfc") / "egm2008.gfc", 80)


@pytest.mark.parametrize("degree", [20, 36])
def test_geopotential_against_heyoka(icgem, degree):
    x, y, z = hy.make_vars("x", "y", "z")
    oracle = hy.cfunc(hy.model.egm2008_acc([x, y, z], degree, degree), [x, y, z])
    rng = np.random.default_rng(degree)
    n = 40
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1)[:, None]
    r_itrf = d * rng.uniform(6.5e6, 4.3e7, n)[:, None]
    r_itrf[:4] = [[0, 0, 6.9e6], [0, 0, -7.1e6], [1e-3, 0, 6.8e6], [0, 0, 4.2e7]]  # the poles, and beside one
    t = Time(np.full(n, T0.int64))
    r_gcrf, _ = geocentric.GCRF_from_ITRF(t, r_itrf, np.zeros((n, 3)))
    p = Numerical(gravity=str(icgem), degree=degree, order=degree, third_bodies=())
    a_gcrf = p.acceleration(t, r_gcrf, np.zeros((n, 3)))
    # Back to the ITRF through the same ERFA chain (an acceleration rotates like a position).
    a_itrf, _ = geocentric.ITRF_from_GCRF(t, a_gcrf, np.zeros((n, 3)))
    expected = oracle(np.ascontiguousarray(r_itrf.T)).T
    rel = np.linalg.norm(a_itrf - expected, axis=1) / np.linalg.norm(expected, axis=1)
    assert rel.max() < 1e-12


def test_shipped_field_is_heyokas_egm2008():
    x, y, z = hy.make_vars("x", "y", "z")
    oracle = hy.cfunc(hy.model.egm2008_acc([x, y, z], 70, 70), [x, y, z])
    r_itrf = np.array([[4.1e6, -3.3e6, 4.4e6], [0.0, 0.0, 6.7e6]])
    t = Time(np.full(2, T0.int64))
    r_gcrf, _ = geocentric.GCRF_from_ITRF(t, r_itrf, np.zeros((2, 3)))
    a = Numerical(degree=70, order=70, third_bodies=()).acceleration(t, r_gcrf, np.zeros((2, 3)))
    a_itrf, _ = geocentric.ITRF_from_GCRF(t, a, np.zeros((2, 3)))
    np.testing.assert_allclose(a_itrf, oracle(np.ascontiguousarray(r_itrf.T)).T, rtol=1e-12, atol=0)


# name, initial state, span [s], Numerical keywords, oracle keywords
CASES = {
    "LEO day 20x20": (lambda: circular(500e3, 51.6 * DEG), 86400.0, {"third_bodies": ()}, {}),
    "GEO three days, Sun and Moon": (lambda: circular(35786e3, 0.05 * DEG), 3 * 86400.0,
                                     {"degree": 8, "order": 8}, {"degree": 8, "sun": True, "moon": True}),
    "400 km LEO day with drag": (lambda: circular(400e3, 51.6 * DEG), 86400.0,
                                 {"third_bodies": (), "drag": Drag(0.02, cd=2.2, atmosphere=Exponential(
                                     3.725e-12, 400e3, 58.515e3))},
                                 {"drag": (2.2 * 0.02, 3.725e-12, 400e3, 58.515e3)}),
    "800 km sun-synchronous day with SRP": (lambda: circular(800e3, 98.6 * DEG, raan=2.0), 86400.0,
                                            {"third_bodies": ("sun",), "srp": SRP(0.05, cr=1.3)},
                                            {"sun": True, "srp": 1.3 * 0.05}),
}


@pytest.mark.slow
@pytest.mark.parametrize("name", list(CASES))
def test_trajectory_against_dop853(name):
    make, span, kw, okw = CASES[name]
    s0 = make()
    hours = np.arange(0.0, span + 1.0, 3600.0)
    oracle = Oracle(T0, span, **okw)
    r_ref, _ = oracle.integrate(np.asarray(s0.r), np.asarray(s0.v), hours)
    eph = Numerical(**kw).propagate_state(T0 + hours, s0)
    assert np.linalg.norm(eph.r - r_ref, axis=1).max() < 0.01


def test_eclipses_are_crossed_in_the_trajectory():
    # The sun-synchronous case of the trajectory test does go through the shadow.
    s0 = CASES["800 km sun-synchronous day with SRP"][0]()
    eph = Numerical(third_bodies=("sun",), srp=SRP(0.05)).propagate_state(T0 + np.arange(0, 6001, 60.0), s0)
    oracle = Oracle(T0, 6000.0, sun=True, srp=0.05)
    nu = [oracle.visible_fraction(r, oracle.sun_app(t)) for t, r in zip(np.arange(0, 6001, 60.0), eph.r)]
    assert min(nu) == 0.0 and max(nu) == 1.0


def full_model():
    return Numerical(degree=12, order=12, drag=Drag(0.02, atmosphere=HarrisPriester(4)), srp=SRP(0.02))


def test_stm_against_central_differences():
    p = full_model()
    s0 = circular(450e3, 70 * DEG)
    times = T0 + np.array([1800.0, 5400.0])
    _, phi = p.propagate_stm(times, s0)
    x0 = np.concatenate([s0.r, s0.v])
    steps = np.array([10.0, 10.0, 10.0, 1e-2, 1e-2, 1e-2])  # large enough to rise above the integration noise
    fd = np.zeros((2, 6, 6))
    for j in range(6):
        xp, xm = x0.copy(), x0.copy()
        xp[j] += steps[j]
        xm[j] -= steps[j]
        ep = p.propagate_state(times, StateVector(T0, xp[:3], xp[3:]))
        em = p.propagate_state(times, StateVector(T0, xm[:3], xm[3:]))
        fd[:, :3, j] = (ep.r - em.r) / (2 * steps[j])
        fd[:, 3:, j] = (ep.v - em.v) / (2 * steps[j])
    for rows in (slice(0, 3), slice(3, 6)):
        for cols in (slice(0, 3), slice(3, 6)):
            block, ref = phi[:, rows, cols], fd[:, rows, cols]
            err = np.abs(block - ref).max(axis=(1, 2)) / np.abs(ref).max(axis=(1, 2))
            assert err.max() < 1e-4


def test_jacobian_against_central_differences():
    p = full_model()
    s0 = circular(380e3, 97 * DEG)
    eph = p.propagate_state(T0 + np.array([0.0, 2000.0, 4000.0]), s0)
    jac = p.jacobian(eph)
    for i in range(eph.size):
        t = eph.time[i]
        r, v = eph.r[i], eph.v[i]
        fd = np.zeros((3, 6))
        for j, h in enumerate([10.0, 10.0, 10.0, 1.0, 1.0, 1.0]):
            d = np.zeros(6)
            d[j] = h
            ap = p.acceleration(t, (r + d[:3])[None], (v + d[3:])[None])[0]
            am = p.acceleration(t, (r - d[:3])[None], (v - d[3:])[None])[0]
            fd[:, j] = (ap - am) / (2 * h)
        np.testing.assert_array_equal(jac[i, :3], np.hstack([np.zeros((3, 3)), np.eye(3)]))
        for cols in (slice(0, 3), slice(3, 6)):
            err = np.abs(jac[i, 3:, cols] - fd[:, cols]).max() / np.abs(fd[:, cols]).max()
            assert err < 1e-6


def test_forward_and_back_returns_to_the_start():
    p = full_model()
    s0 = circular(600e3, 40 * DEG)
    end = p.propagate_state(T0 + 43200.0, s0)
    back = p.propagate_state(T0, StateVector(T0 + 43200.0, end.r[0], end.v[0]))
    assert np.linalg.norm(back.r[0] - s0.r) < 1e-3
    assert np.linalg.norm(back.v[0] - s0.v) < 1e-6


def test_epochs_on_both_sides_and_in_any_order():
    p = Numerical(degree=4, order=4, third_bodies=())
    s0 = circular(700e3, 60 * DEG)
    offsets = np.array([3000.0, -1200.0, 0.0, 600.0, -3000.0])
    eph = p.propagate_state(T0 + offsets, s0)
    np.testing.assert_array_equal(eph.r[2], s0.r)
    for k, dt in enumerate(offsets):
        alone = p.propagate_state(T0 + np.array([dt]), s0)
        assert np.linalg.norm(alone.r[0] - eph.r[k]) < 1e-3  # the dense output against a step ending there


def test_frames_of_the_state_and_the_result():
    p = Numerical(degree=8, order=8, third_bodies=())
    s0 = circular(500e3, 51.6 * DEG)
    t1 = T0 + np.array([0.0, 3600.0])
    r_itrf, v_itrf = geocentric.ITRF_from_GCRF(Time(np.full(1, T0.int64)), np.asarray(s0.r)[None],
                                               np.asarray(s0.v)[None])
    from_itrf = p.propagate_state(t1, StateVector(T0, r_itrf[0], v_itrf[0], frame=ITRF))
    from_gcrf = p.propagate_state(t1, s0)
    assert from_itrf.frame == GCRF
    assert np.abs(from_itrf.r - from_gcrf.r).max() < 1e-6
    in_itrf = p.propagate_state(t1, s0, frame=ITRF)
    expected, _ = geocentric.ITRF_from_GCRF(t1, from_gcrf.r, from_gcrf.v)
    assert in_itrf.frame == ITRF
    np.testing.assert_allclose(in_itrf.r, expected, rtol=0, atol=1e-6)


def test_propagate_many_matches_single_states_and_flags_reentry():
    p = Numerical(degree=8, order=8, drag=Drag(0.01))
    times = T0 + np.arange(0.0, 7201.0, 600.0)
    states = [circular(500e3 + 100e3 * k, (30 + 20 * k) * DEG, u=k, epoch=T0 + 60.0 * k) for k in range(3)]
    # Falling in from 300 km at a tenth of the orbital speed: under the ground within the window.
    states.append(StateVector(T0, [6678137.0, 0, 0], [0.0, 770.0, 0.0]))
    r, v, status = p.propagate_many(times, states)
    assert r.shape == (4, times.size, 3) and status.shape == (4, times.size)
    for k in range(3):
        eph = p.propagate_state(times, states[k])
        np.testing.assert_array_equal(r[k], eph.r)
        np.testing.assert_array_equal(v[k], eph.v)
    assert not status[:3].any()
    assert status[3, 0] == 0 and status[3, -1] == 1
    assert np.isnan(r[3, status[3] != 0]).all() and np.isfinite(r[3, status[3] == 0]).all()


def test_piecewise_across_a_manoeuvre():
    p = Numerical(degree=4, order=4, third_bodies=())
    s1 = circular(500e3, 51.6 * DEG)
    mid = p.propagate_state(T0 + 1800.0, s1)
    s2 = StateVector(T0 + 1800.0, mid.r[0], mid.v[0] + np.array([0.0, 0.0, 5.0]))  # a 5 m/s burn
    times = T0 + np.arange(0.0, 3601.0, 900.0)
    eph = p.propagate(times, [s2, s1])
    np.testing.assert_array_equal(eph.r[2], s2.r)
    np.testing.assert_array_equal(eph.v[2], s2.v)
    np.testing.assert_array_equal(eph.r[0], s1.r)


def test_harris_priester_density_from_the_drag():
    # At 400 km, the drag's magnitude gives the density back: between the table's night and day values.
    p = Numerical(gravity="point", third_bodies=(), drag=Drag(1.0, cd=2.0, atmosphere=HarrisPriester(2)))
    q = Numerical(gravity="point", third_bodies=())
    t = Time(np.full(8, T0.int64))
    lon = np.linspace(0, 2 * np.pi, 8, endpoint=False)
    r_itrf = erfa.gd2gc(1, lon, np.zeros(8), np.full(8, 400e3))
    v_itrf = np.zeros((8, 3))
    v_itrf[:, 2] = 7000.0  # northwards, relative to the rotating atmosphere
    r, v = geocentric.GCRF_from_ITRF(t, r_itrf, v_itrf)
    drag = p.acceleration(t, r, v) - q.acceleration(t, r, v)
    rho = np.linalg.norm(drag, axis=1) / (0.5 * 2.0 * 7000.0 ** 2)
    assert rho.min() >= 2.249e-12 * (1 - 1e-9) and rho.max() <= 7.492e-12 * (1 + 1e-9)
    assert rho.max() / rho.min() > 2.0  # day and night sides both sampled


@pytest.mark.parametrize("kwargs, error, word", [
    ({"degree": 71, "order": 0}, ValueError, "degree"),
    ({"degree": 10, "order": 11}, ValueError, "order"),
    ({"gravity": "JGM3"}, ValueError, "gravity"),
    ({"gravity": "EGM96"}, ValueError, "EGM96"),
    ({"rtol": 0.0}, ValueError, "rtol"),
    ({"rtol": -1e-9}, ValueError, "rtol"),
    ({"rtol": "tight"}, TypeError, "rtol"),
    ({"third_bodies": ("sun", "jupiter")}, ValueError, "third_bodies"),
    ({"drag": 0.01}, TypeError, "drag"),
    ({"srp": "on"}, TypeError, "srp"),
    ({"degree": 2.5}, TypeError, "degree"),
])
def test_bad_settings(kwargs, error, word):
    with pytest.raises(error, match=word):
        Numerical(**kwargs)


@pytest.mark.parametrize("make, error, word", [
    (lambda: Drag(-0.01), ValueError, "area_to_mass"),
    (lambda: SRP(-1.0), ValueError, "area_to_mass"),
    (lambda: Drag(0.01, cd=float("nan")), ValueError, "cd"),
    (lambda: Exponential(1e-12, 400e3, 0.0), ValueError, "scale_height"),
    (lambda: HarrisPriester(9), ValueError, "exponent"),
    (lambda: Drag(0.01, atmosphere="nrlmsise"), TypeError, "atmosphere"),
])
def test_bad_force_models(make, error, word):
    with pytest.raises(error, match=word):
        make()


def test_bad_states_and_files(tmp_path):
    p = Numerical(degree=2, order=0, third_bodies=())
    with pytest.raises(TypeError, match="state"):
        p.propagate_state(T0, (7e6, 0, 0))
    with pytest.raises(TypeError, match="state"):
        p.propagate_stm(T0, None)
    with pytest.raises(TypeError, match=r"states\[1\]"):
        p.propagate_many(T0, [circular(500e3, 0.5), "ISS"])
    with pytest.raises(ValueError, match="gravity"):
        Numerical(gravity=str(tmp_path / "missing.gfc"))
    bad = tmp_path / "bad.gfc"
    bad.write_text("not a gravity field\n")
    with pytest.raises(ValueError, match="end_of_head"):
        Numerical(gravity=str(bad))
    with pytest.raises(ValueError, match="time: .* at most 1000 days"):
        p.propagate_state(Time("2000-01-01"), circular(500e3, 0.5))  # 24 years back in one call
    with pytest.raises(ValueError, match="r must have shape"):
        p.acceleration(T0, np.zeros((2, 2)), np.zeros((2, 2)))


def test_user_field_and_inputs_left_alone(icgem):
    p = Numerical(gravity=icgem, degree=30, order=30, third_bodies=())
    assert p.degree == 30 and p.GM == hy.model.get_egm2008_mu()
    r = np.array([[7e6, 1e5, 2e5]])
    v = np.array([[0.0, 7.5e3, 1e3]])
    r0, v0 = r.copy(), v.copy()
    p.acceleration(T0, r, v)
    np.testing.assert_array_equal(r, r0)
    np.testing.assert_array_equal(v, v0)
    with pytest.raises(TypeError, match="pickle"):
        import pickle

        pickle.dumps(p)


def assert_same_on_thread_counts(p, times, states, counts):
    """propagate_many on each OpenMP thread count (switched at run time) gives the same arrays, to the bit."""
    import ctypes
    import ctypes.util

    lib = ctypes.util.find_library("gomp")
    if lib is None:
        pytest.skip("no OpenMP runtime to switch")
    omp = ctypes.CDLL(lib)
    before = omp.omp_get_max_threads()
    results = []
    try:
        for n in counts:
            omp.omp_set_num_threads(n)
            results.append(p.propagate_many(times, states))
    finally:
        omp.omp_set_num_threads(before)
    for other in results[1:]:
        for a, b in zip(results[0], other):
            np.testing.assert_array_equal(a, b)


def test_propagate_many_does_not_depend_on_the_thread_count():
    p = Numerical(degree=6, order=6, drag=Drag(0.02))
    times = T0 + np.arange(0.0, 5401.0, 900.0)
    states = [circular(350e3 + 50e3 * k, (20 + 15 * k) * DEG, u=0.7 * k) for k in range(6)]
    assert_same_on_thread_counts(p, times, states, (1, 4))


@pytest.mark.slow
def test_propagate_many_on_two_threads_after_a_larger_field_on_the_main_thread():
    """The sequence that once made one of 200 states 1.2 um apart on two threads: the step's error
    scale read components of the new state before they were made (stack contents on the first step,
    so the worker thread's history mattered). A 70x70 evaluation on the main thread first, then the
    same states on one and two threads, equal to the bit."""
    s0 = circular(500e3, 51.6 * DEG)
    Numerical(degree=70, order=70, third_bodies=()).acceleration(T0, np.reshape(s0.r, (1, 3)), np.reshape(s0.v, (1, 3)))
    states = [COE(T0, 6378137.0 + 400e3 + 2e3 * k, 1e-3, np.radians(30 + 0.3 * k), 0.1 * k, 0.0,
                  2 * np.pi * k / 200).to_sv() for k in range(200)]
    p = Numerical(degree=20, order=20, drag=Drag(0.01, atmosphere=HarrisPriester()))
    times = T0 + np.arange(0.0, 3 * 3600.0 + 1.0, 600.0)
    assert_same_on_thread_counts(p, times, states, (1, 2))

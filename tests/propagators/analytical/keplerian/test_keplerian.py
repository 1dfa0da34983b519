import pickle

import numpy as np
import pytest
from scipy.integrate import solve_ivp

from astrovia.bodies.bodies import Earth, Moon
from astrovia.frames.frames import TEME
from astrovia.propagators.analytical.keplerian.keplerian import Keplerian
from astrovia.propagators.propagators import Propagator
from astrovia.state.ephemeris import StateVectorEphemeris
from astrovia.state.state import COE, State, StateVector
from astrovia.time.time import Time

T0 = Time("2024-05-01T12:00:00")
GM = Earth.GM


def two_body_truth(r0, v0, targets, gm, sma):
    """Positions at the times `targets` (s, all of one sign) by DOP853 integration of two-body motion.

    The independent variable is a Sundman time, dt/ds = |r| / (a n) in units of the orbit, so that the
    steps shrink at perigee; each target is located as an event of the integrated time.
    """
    n = np.sqrt(gm / sma**3)

    def rhs(s, y):
        rn = np.linalg.norm(y[:3])
        return np.concatenate([rn * y[3:6], -y[:3] / rn**2, [rn]])

    tt = np.asarray(targets) * n
    sign = 1.0 if tt[-1] > 0 else -1.0
    events = [(lambda x: (lambda s, y: y[6] - x))(x) for x in tt]
    y0 = np.concatenate([r0 / sma, v0 / (sma * n), [0.0]])
    span = sign * (np.max(np.abs(tt)) + 2 * np.pi)
    sol = solve_ivp(rhs, (0.0, span), y0, method="DOP853", rtol=2.5e-14, atol=1e-16, events=events)
    assert all(len(y) >= 1 for y in sol.y_events)
    return np.array([y[0][:3] for y in sol.y_events]) * sma


ECCENTRICITIES = [0.0, 1e-3, 0.1, 0.7, 0.95, 0.999]


@pytest.mark.parametrize("sign", [1.0, -1.0], ids=["forward", "backward"])
@pytest.mark.parametrize("ecc", ECCENTRICITIES)
def test_against_integrated_two_body_motion(ecc, sign):
    sma = 7.0e6
    coe0 = COE(T0, sma, ecc, 0.9, 0.4, 1.1, 2.5)
    sv0 = coe0.to_sv()
    period = 2 * np.pi * np.sqrt(sma**3 / GM)
    dt = sign * np.linspace(0.0, 10 * period, 41)[1:]
    eph = Keplerian().propagate_state(T0 + dt, coe0)
    truth = two_body_truth(sv0.r, sv0.v, dt, GM, sma)
    err = np.max(np.linalg.norm(eph.r - truth, axis=1))
    # 1e-6 m per km of semi-major axis; at e = 0.999 the integration itself is good to about 1e-4 m per km
    # (its error falls with its tolerance), and the timing is checked more tightly below
    bound = (1e-6 if ecc < 0.99 else 1e-3) * sma / 1000.0
    assert err < bound


@pytest.mark.parametrize("ecc", ECCENTRICITIES)
def test_kepler_equation_holds_at_every_epoch(ecc):
    sma, tra0 = 2.6e7, 4.0
    coe0 = COE(T0, sma, ecc, 0.3, 1.0, 2.0, tra0)
    n = np.sqrt(GM / sma**3)
    dt = np.linspace(-20 * 2 * np.pi / n, 20 * 2 * np.pi / n, 257)
    eph = Keplerian().propagate_state(T0 + dt, coe0)
    rn = np.linalg.norm(eph.r, axis=1)
    rv = np.einsum("ij,ij->i", eph.r, eph.v)
    # e cos E = 1 - r/a, e sin E = r.v / sqrt(GM a); with e = 0 the mean anomaly is the argument of latitude
    if ecc == 0.0:
        h = np.cross(eph.r[0], eph.v[0])
        p_hat = eph.r[0] / rn[0]
        q_hat = np.cross(h, p_hat) / np.linalg.norm(h)
        mea = np.arctan2(eph.r @ q_hat, eph.r @ p_hat) + tra0
        mea0 = tra0 - n * dt[0]
    else:
        eca = np.arctan2(rv / np.sqrt(GM * sma), 1.0 - rn / sma)
        mea = eca - ecc * np.sin(eca)
        eca0 = 2 * np.arctan(np.sqrt((1 - ecc) / (1 + ecc)) * np.tan(tra0 / 2))
        mea0 = eca0 - ecc * np.sin(eca0)
    residual = np.angle(np.exp(1j * (mea - (n * dt + mea0))))
    assert np.max(np.abs(residual)) < 1e-11
    # the orbit itself does not change: energy and angular momentum
    energy = 0.5 * np.einsum("ij,ij->i", eph.v, eph.v) - GM / rn
    np.testing.assert_allclose(energy, -GM / (2 * sma), rtol=1e-11)


def test_state_at_its_own_epoch_comes_back():
    sv = StateVector(T0, [7.1e6, -1.2e6, 0.3e6], [1.1e3, 7.0e3, 1.5e3], frame=TEME)
    for k in (Keplerian(), Keplerian(Moon.GM * 60)):
        eph = k.propagate_state(T0, sv)
        assert eph.size == 1 and eph.frame is TEME
        np.testing.assert_allclose(eph.r[0], sv.r, rtol=0, atol=1e-7)
        np.testing.assert_allclose(eph.v[0], sv.v, rtol=0, atol=1e-10)
    coe = COE(T0, 7.0e6, 0.2, 0.5, 0.6, 0.7, 0.8)
    eph = Keplerian().propagate_state([T0, T0], coe)
    np.testing.assert_allclose(eph.r, np.vstack([coe.to_sv().r] * 2), rtol=0, atol=1e-7)


def test_result_follows_time_order_and_frame():
    coe = COE(T0, 8.0e6, 0.05, 1.0, 0.2, 0.3, 0.4, frame=TEME)
    dt = np.array([300.0, -50.0, 1000.0, 0.0])
    k = Keplerian()
    eph = k.propagate_state(T0 + dt, coe)
    assert eph.frame is TEME and eph.size == 4
    assert np.array_equal(eph.time.int64, (T0 + dt).int64)
    for i, d in enumerate(dt):
        one = k.propagate_state(T0 + float(d), coe)
        np.testing.assert_allclose(one.r[0], eph.r[i], rtol=0, atol=1e-8)


def test_elements_route_agrees_with_the_state_route():
    coe = COE(T0, 7.5e6, 0.3, 1.2, 2.0, 3.0, 1.0)
    t = T0 + np.linspace(0, 86400, 50)
    k = Keplerian()
    elements = k._propagate_coe(t, coe)
    assert elements.GM == k.GM and np.all(elements.sma == 7.5e6) and np.all(elements.ecc == 0.3)
    np.testing.assert_allclose(elements.to_sv().r, k.propagate_state(t, coe).r, rtol=0, atol=1e-6)


def test_true_anomaly_loop_against_numpy():
    k = Keplerian()
    dt = np.linspace(-1e5, 1e5, 1001)
    ecc, n, tra0 = 0.6, 1.1e-3, 5.5
    tra = k._propagate_tra(dt, tra0, ecc, n)
    assert np.all((tra >= 0) & (tra < 2 * np.pi))
    # back to mean anomalies with NumPy: M(nu) = n dt + M(nu0)
    def mea(nu):
        eca = 2 * np.arctan(np.sqrt((1 - ecc) / (1 + ecc)) * np.tan(nu / 2))
        return eca - ecc * np.sin(eca)

    residual = np.angle(np.exp(1j * (mea(tra) - (n * dt + mea(tra0)))))
    assert np.max(np.abs(residual)) < 1e-12
    assert k._propagate_tra(np.zeros(1), tra0, ecc, n)[0] == pytest.approx(tra0, abs=1e-14)
    strided = np.zeros(2002)[::2]
    strided[:] = dt
    np.testing.assert_array_equal(k._propagate_tra(strided, tra0, ecc, n), tra)
    # the solver's error stops the loop and comes through unchanged
    with pytest.raises(ValueError, match="ecc"):
        k._propagate_tra(dt, tra0, -0.5, n)
    with pytest.raises(ValueError, match="dimension"):
        k._propagate_tra(dt.reshape(7, -1)[:, :1], tra0, ecc, n)


def test_state_conversions():
    calls = []

    class Custom(State):
        __slots__ = ()

        def to_sv(self):
            calls.append("to_sv")
            return StateVector(self.epoch, [7e6, 0, 0], [0, 7.6e3, 0])

    class Recording(StateVector):
        __slots__ = ()

        def to_coe(self, GM=None):
            calls.append(("to_coe", GM))
            return super().to_coe(GM)

        def to_sv(self):
            raise AssertionError("a StateVector is converted with to_coe only")

    k = Keplerian()
    eph = k.propagate_state(T0 + 10.0, Custom(T0))
    assert calls == ["to_sv"] and eph.size == 1
    k.propagate_state(T0 + 10.0, Recording(T0, [7e6, 0, 0], [0, 7.6e3, 0]))
    assert calls[-1] == ("to_coe", k.GM)


@pytest.mark.parametrize("ecc", [1.0, 1.5])
def test_parabolic_and_hyperbolic_orbits_are_not_propagated(ecc):
    with pytest.raises(NotImplementedError) as info:
        Keplerian().propagate_state(T0, COE(T0, -7e6 if ecc > 1 else 7e6, ecc, 0.1, 0.2, 0.3, 0.4))
    assert str(info.value) == ""


def test_arguments():
    k = Keplerian()
    for bad in (None, "state", T0):
        with pytest.raises(TypeError, match="state"):
            k.propagate_state(T0, bad)
    coe = COE(T0, 7e6, 0.1, 0.2, 0.3, 0.4, 0.5)
    assert k.propagate_state(T0, coe, drag=True).size == 1  # keyword arguments are ignored
    assert Keplerian().GM == Earth.GM and Keplerian(4.9e12).GM == 4.9e12 and Keplerian(GM=3).GM == 3.0
    with pytest.raises(TypeError, match="GM"):
        Keplerian("3.986e14")
    with pytest.raises(AttributeError):
        k.GM = 1.0
    with pytest.raises(TypeError):
        pickle.dumps(k)


def test_piecewise_propagation_across_a_manoeuvre():
    k = Keplerian()
    before = COE(T0, 7.0e6, 0.01, 0.9, 0.1, 0.2, 0.3)
    t_burn = T0 + 3000.0
    after_sv = k.propagate_state(t_burn, before)
    after = StateVector(t_burn, after_sv.r[0], after_sv.v[0] * 1.01)
    t = T0 + np.linspace(0, 6000, 7)
    eph = k.propagate(t, [after, before])
    np.testing.assert_array_equal(eph.r[:3], k.propagate_state(t[:3], before).r)
    np.testing.assert_array_equal(eph.r[3:], k.propagate_state(t[3:], after).r)


def ephemeris(n, seed=3):
    rng = np.random.default_rng(seed)
    r = rng.normal(size=(n, 3)) * 7e6
    v = rng.normal(size=(n, 3)) * 7e3
    return StateVectorEphemeris(T0 + np.arange(n, dtype=np.float64), r, v)


def acceleration(r, gm):
    return -gm * r / np.linalg.norm(r) ** 3


def test_gravity_gradient_against_finite_differences():
    eph = ephemeris(20)
    jac = Keplerian().jacobian(eph)
    for r, j in zip(eph.r, jac):
        h = 1e-4 * np.linalg.norm(r)
        fd = np.column_stack([(acceleration(r + h * e, GM) - acceleration(r - h * e, GM)) / (2 * h) for e in np.eye(3)])
        np.testing.assert_allclose(j[3:, :3], fd, rtol=0, atol=1e-7 * np.max(np.abs(fd)))
        g = j[3:, :3]
        np.testing.assert_array_equal(g, g.T)
        assert abs(np.trace(g)) < 1e-14 * np.max(np.abs(g))
        np.testing.assert_array_equal(j[:3], np.hstack([np.zeros((3, 3)), np.eye(3)]))
        np.testing.assert_array_equal(j[3:, 3:], np.zeros((3, 3)))


def test_x_axis_case_and_independence_of_velocity_and_epoch():
    rho = 6.9e6
    k = Keplerian(GM)
    e1 = StateVectorEphemeris(Time([T0, T0 + 1.0]), [[rho, 0, 0], [rho, 0, 0]], [[0, 7e3, 0], [1, 2, 3]])
    jac = k.jacobian(e1)
    np.testing.assert_allclose(jac[0, 3:, :3], np.diag([2.0, -1.0, -1.0]) * GM / rho**3, rtol=1e-15, atol=0)
    np.testing.assert_array_equal(jac[0], jac[1])
    e2 = StateVectorEphemeris(Time([T0 + 9e5, T0 - 7.0]), e1.r, [[-5, 0, 0], [0, 0, 0]])
    np.testing.assert_array_equal(k.jacobian(e2), jac)


def test_inherited_route_is_the_override_bitwise():
    eph = ephemeris(50)
    k = Keplerian(3.1e14)
    assert np.array_equal(Propagator.jacobian(k, eph), k.jacobian(eph))
    assert k.jacobian(ephemeris(0)).shape == (0, 6, 6)
    with pytest.raises(TypeError, match="eph"):
        k.jacobian(None)


def integrated_states(r0, v0, targets, gm):
    """Positions and velocities at `targets` (s, any signs) by DOP853 integration of two-body motion in time."""
    def rhs(t, y):
        return np.concatenate([y[3:], -gm * y[:3] / np.linalg.norm(y[:3]) ** 3])

    out = np.empty((len(targets), 6))
    for sign in (1.0, -1.0):
        pick = np.flatnonzero(np.sign(targets) == sign)
        if pick.size == 0:
            continue
        order = pick[np.argsort(np.abs(targets[pick]))]
        sol = solve_ivp(rhs, (0.0, targets[order[-1]]), np.concatenate([r0, v0]), method="DOP853",
                        rtol=1e-13, atol=1e-9, t_eval=targets[order])
        out[order] = sol.y.T
    return out[:, :3], out[:, 3:]


NEAR_PARABOLIC = [1e-3, 1e-6, 1e-9, 1e-12, 1e-15]


@pytest.mark.parametrize("gap", NEAR_PARABOLIC, ids=[f"1-e={g:g}" for g in NEAR_PARABOLIC])
def test_near_parabolic_ellipses_against_integration(gap):
    # perigee at 7000 km with the speed of eccentricity 1 - gap, in an inclined plane
    rp, ecc = 7.0e6, 1.0 - gap
    tilt = np.array([[1.0, 0.0, 0.0], [0.0, np.cos(0.7), -np.sin(0.7)], [0.0, np.sin(0.7), np.cos(0.7)]])
    r0 = tilt @ np.array([rp, 0.0, 0.0])
    v0 = tilt @ np.array([0.0, np.sqrt(GM * (1.0 + ecc) / rp), 0.0])
    sv = StateVector(T0, r0, v0)
    assert sv.to_coe(GM=GM).ecc < 1.0
    dt = np.array([-10 * 86400.0, -3600.0, -60.0, 0.0, 1.0, 600.0, 3600.0, 86400.0, 10 * 86400.0])
    eph = Keplerian().propagate_state(T0 + dt, sv)
    np.testing.assert_array_equal(eph.r[3], r0)
    np.testing.assert_array_equal(eph.v[3], v0)
    moving = dt != 0.0
    r, v = integrated_states(r0, v0, dt[moving], GM)
    rn = np.linalg.norm(r, axis=1, keepdims=True)
    vn = np.linalg.norm(v, axis=1, keepdims=True)
    # the integration at rtol 1e-13 is itself good to about 2e-11 of the distance after ten days
    assert np.max(np.abs(eph.r[moving] - r) / rn) < 1e-10
    assert np.max(np.abs(eph.v[moving] - v) / vn) < 1e-10


@pytest.mark.parametrize("ulps", [2, 4, 16])
def test_escape_speed_less_a_few_ulps(ulps):
    r0 = np.array([763098.6147508328, -8591464.37971202, -4782586.632463936])
    direction = np.array([-679.9647438470918, -8916.782121705877, -927.4944557453188])
    speed = np.sqrt(2.0 * GM / np.linalg.norm(r0))
    for _ in range(ulps):
        speed = np.nextafter(speed, 0.0)
    v0 = direction / np.linalg.norm(direction) * speed
    sv = StateVector(T0, r0, v0)
    coe = sv.to_coe(GM=GM)
    if not (coe.ecc < 1.0 and coe.sma > 0.0):
        pytest.skip("rounding made this state's elements unbound")
    assert 1.0 - coe.ecc < 1e-13
    dt = np.array([0.0, -7200.0, -30.0, 30.0, 7200.0, 5 * 86400.0])
    eph = Keplerian().propagate_state(T0 + dt, sv)
    np.testing.assert_array_equal(eph.r[0], r0)
    np.testing.assert_array_equal(eph.v[0], v0)
    r, v = integrated_states(r0, v0, dt[1:], GM)
    assert np.max(np.linalg.norm(eph.r[1:] - r, axis=1) / np.linalg.norm(r, axis=1)) < 1e-10
    # the orbital energy, nearly zero, is kept to the last digits of GM / r along the whole arc
    potential = GM / np.linalg.norm(eph.r, axis=1)
    energy = 0.5 * np.einsum("ij,ij->i", eph.v, eph.v) - potential
    assert np.max(np.abs(energy - energy[0]) / potential) < 5e-14  # a few ulps of v^2 / 2


@pytest.mark.parametrize("ecc", [0.0, 0.3, 0.9])
def test_cartesian_and_element_routes_agree(ecc):
    # the same orbit given as elements and as their position and velocity, over many periods
    coe = COE(T0, 9.0e6, ecc, 1.0, 2.0, 3.0, 4.0)
    sv = coe.to_sv()
    period = 2 * np.pi * np.sqrt(9.0e6**3 / GM)
    t = T0 + np.linspace(-50 * period, 50 * period, 101)
    k = Keplerian()
    np.testing.assert_allclose(k.propagate_state(t, sv).r, k.propagate_state(t, coe).r, rtol=0, atol=2e-5)


@pytest.mark.parametrize("seed", [1, 2])
def test_random_states_against_integration(seed):
    # ellipses of every shape at times up to many periods away; the perigee stays above 6500 km, where the
    # integration in plain time keeps its accuracy through the perigee passes
    rng = np.random.default_rng(seed)
    k = Keplerian()
    tried = 0
    while tried < 8:
        rs = 7e6 * (1 + 3 * rng.random())
        r0 = rng.normal(size=3)
        r0 *= rs / np.linalg.norm(r0)
        v0 = rng.normal(size=3)
        v0 *= np.sqrt(2 * GM / rs) * (0.3 + 0.7 * rng.random()) / np.linalg.norm(v0)
        h = np.linalg.norm(np.cross(r0, v0))
        ecc = np.linalg.norm(np.cross(v0, np.cross(r0, v0)) / GM - r0 / rs)
        if h * h / GM / (1 + ecc) < 6.5e6:
            continue
        tried += 1
        dt = np.array([rng.uniform(-2e5, 2e5)])
        eph = k.propagate_state(T0 + dt, StateVector(T0, r0, v0))
        r, v = integrated_states(r0, v0, dt, GM)
        assert np.linalg.norm(eph.r[0] - r[0]) / np.linalg.norm(r[0]) < 1e-9
        assert np.linalg.norm(eph.v[0] - v[0]) / np.linalg.norm(v[0]) < 1e-9


def closed_form_positions(r0, v0, dt, gm):
    """Positions after dt of the ellipses of (K, 3) states r0, v0, from their elements and Kepler's equation."""
    rn = np.linalg.norm(r0, axis=1)
    alpha = 2.0 / rn - np.einsum("ij,ij->i", v0, v0) / gm
    a = 1.0 / alpha
    h = np.cross(r0, v0)
    e_vec = np.cross(v0, h) / gm - r0 / rn[:, None]
    ecc = np.linalg.norm(e_vec, axis=1)
    p_hat = e_vec / ecc[:, None]
    q_hat = np.cross(h / np.linalg.norm(h, axis=1)[:, None], p_hat)
    eca0 = np.arctan2(np.einsum("ij,ij->i", r0, v0) / np.sqrt(gm * a), 1.0 - rn / a)
    mea = eca0 - ecc * np.sin(eca0) + np.sqrt(gm / a**3) * dt
    eca = mea + 0.85 * ecc * np.sign(np.sin(mea))  # Danby's start: Newton converges from it for every e < 1
    for _ in range(60):
        eca -= (eca - ecc * np.sin(eca) - mea) / (1.0 - ecc * np.cos(eca))
    x, y = a * (np.cos(eca) - ecc), a * np.sqrt(1.0 - ecc**2) * np.sin(eca)
    return x[:, None] * p_hat + y[:, None] * q_hat


def test_many_random_ellipses_against_keplers_equation():
    rng = np.random.default_rng(11)
    count = 1500
    rs = 7e6 * (1 + 3 * rng.random(count))
    r0 = rng.normal(size=(count, 3))
    r0 *= (rs / np.linalg.norm(r0, axis=1))[:, None]
    v0 = rng.normal(size=(count, 3))
    v0 *= (np.sqrt(2 * GM / rs) * rng.uniform(0.3, 0.95, count) / np.linalg.norm(v0, axis=1))[:, None]
    dt = rng.uniform(-1e6, 1e6, count)
    h = np.linalg.norm(np.cross(r0, v0), axis=1)
    ecc = np.linalg.norm(np.cross(v0, np.cross(r0, v0)) / GM - r0 / rs[:, None], axis=1)
    keep = h * h / GM / (1 + ecc) > 6.5e6  # perigees above the ground
    r0, v0, dt, rs = r0[keep], v0[keep], dt[keep], rs[keep]
    k = Keplerian()
    ours = np.array([k.propagate_state(T0 + float(d), StateVector(T0, r, v)).r[0] for r, v, d in zip(r0, v0, dt)])
    truth = closed_form_positions(r0, v0, dt, GM)
    # both are limited by the digits of 1 / a from the state, over up to a few hundred periods
    scale = np.linalg.norm(truth, axis=1) * (1.0 + np.abs(dt) * np.sqrt(GM * (2 / rs) ** 3))
    assert np.max(np.linalg.norm(ours - truth, axis=1) / scale) < 1e-12

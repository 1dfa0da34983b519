import math

import numpy as np
import pytest

from astrovia.bodies.bodies import Earth
from astrovia.frames.frames import GCRF, ITRF, TEME
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84
from astrovia.state.ephemeris import COEEphemeris, GeoStateEphemeris, StateVectorEphemeris
from astrovia.state.state import COE, GeoState, StateVector
from astrovia.time.time import Time

GM = Earth.GM
EPOCH = "2024-01-01T00:00:00"


def circular_speed(r):
    return math.sqrt(GM / r)


CASES = {
    "elliptic": ([6524834.0, 6862875.0, 6448296.0], [4901.327, 5533.756, -1976.341]),
    "near_circular": None,  # built below with e = 1e-12
    "circular_inclined": ([7e6, 0, 0], [0, circular_speed(7e6) * math.cos(0.9), circular_speed(7e6) * math.sin(0.9)]),
    "equatorial_elliptic": ([7e6, 0, 0], [0, 8000.0, 0]),
    "circular_equatorial": ([0, 7e6, 0], [-circular_speed(7e6), 0, 0]),
    "polar": ([7e6, 0, 0], [0, 0, 7700.0]),
    "retrograde": ([7e6, 1e5, 2e5], [100.0, -7000.0, 1500.0]),
    "retrograde_equatorial": ([7e6, 0, 0], [0, -7800.0, 0]),
}


def case_state(name):
    if name == "near_circular":
        return COE(EPOCH, 7e6, 1e-12, 0.5, 1.0, 2.0, 3.0).to_sv()
    r, v = CASES[name]
    return StateVector(EPOCH, r, v)


@pytest.mark.parametrize("name", list(CASES))
def test_state_to_elements_to_state(name):
    sv = case_state(name)
    back = sv.to_coe().to_sv()
    assert np.linalg.norm(back.r - sv.r) <= 1e-9 * np.linalg.norm(sv.r)
    assert np.linalg.norm(back.v - sv.v) <= 1e-9 * np.linalg.norm(sv.v)
    assert back.frame is sv.frame


def test_elements_of_a_hand_worked_orbit():
    # r, v of the "elliptic" case: a = 36127.343 km, e = 0.832853, i = 87.870 deg,
    # node 227.898 deg, perigee 53.38 deg, true anomaly 92.335 deg (Vallado 2013, example 2-5)
    c = case_state("elliptic").to_coe()
    assert c.sma == pytest.approx(36127.343e3, rel=1e-6)
    assert c.ecc == pytest.approx(0.832853, abs=1e-6)
    assert math.degrees(c.inc) == pytest.approx(87.870, abs=1e-3)
    assert math.degrees(c.raa) == pytest.approx(227.898, abs=1e-3)
    assert math.degrees(c.arp) == pytest.approx(53.38, abs=1e-2)
    assert math.degrees(c.tra) == pytest.approx(92.335, abs=1e-3)
    assert c.slr == pytest.approx(c.sma * (1 - c.ecc ** 2))


@pytest.mark.parametrize(
    "name,inc,raa,arp",
    [("circular_equatorial", 0.0, 0.0, 0.0), ("retrograde_equatorial", math.pi, 0.0, None), ("polar", math.pi / 2, None, None)],
)
def test_degenerate_orbits_use_fixed_conventions(name, inc, raa, arp):
    c = case_state(name).to_coe()
    assert c.inc == pytest.approx(inc, abs=1e-15)
    if raa is not None:
        assert c.raa == raa
    if arp is not None:
        assert c.arp == arp
    assert 0 <= c.tra < 2 * math.pi


def test_coe_ephemeris_matches_the_scalar_route():
    t = Time(["2024-01-01", "2024-01-02", "2024-01-03"])
    el = dict(ecc=[0.0, 0.1, 0.7], sma=[7e6, 8e6, 2.6e7], inc=[0.0, 1.0, 3.0], raa=[0.0, 2.0, 4.0],
              arp=[0.0, 3.0, 5.0], tra=[1.0, 2.0, 6.0])
    eph = COEEphemeris(t, frame=TEME, **el).to_sv()
    assert isinstance(eph, StateVectorEphemeris) and eph.frame is TEME and eph.size == 3
    for i in range(3):
        sv = COE(t[i], *(el[k][i] for k in ("sma", "ecc", "inc", "raa", "arp", "tra"))).to_sv()
        np.testing.assert_allclose(eph.r[i], sv.r, rtol=1e-14)
        # the energy equation as an independent check
        assert np.dot(sv.v, sv.v) / 2 - GM / np.linalg.norm(sv.r) == pytest.approx(-GM / (2 * el["sma"][i]), rel=1e-12)


def test_state_vector_ephemeris_concatenate_and_copies():
    t1, t2 = Time(["2024-01-01", "2024-01-02"]), Time(["2024-01-03"])
    r = np.arange(6.0).reshape(2, 3) + 7e6
    a = StateVectorEphemeris(t1, r, np.ones((2, 3)))
    r[0, 0] = 0.0  # the ephemeris holds its own copy
    assert a.r[0, 0] == 7e6
    b = StateVectorEphemeris(t2, np.full((1, 3), 8e6), np.zeros((1, 3)))
    c = StateVectorEphemeris.concatenate(a, b)
    assert c.size == 3 and c.time[2] == Time("2024-01-03") and c.r[2, 0] == 8e6 and c.r.flags.c_contiguous
    assert StateVectorEphemeris.concatenate().size == 0
    with pytest.raises(ValueError, match="frame"):
        StateVectorEphemeris.concatenate(a, StateVectorEphemeris(t2, np.ones((1, 3)), np.ones((1, 3)), frame=ITRF))
    with pytest.raises(ValueError, match="r must have shape"):
        StateVectorEphemeris(t1, np.ones((3, 3)), np.ones((2, 3)))


def test_geodetic_points():
    g = GeoState(EPOCH, 0.0, 0.0, 0.0)
    np.testing.assert_allclose(g.to_sv().r, [WGS84.a, 0, 0])
    pole = GeoState(EPOCH, math.pi / 2, 0.0, 100.0).to_sv()
    np.testing.assert_allclose(pole.r, [0, 0, WGS84.b + 100.0], atol=1e-8)
    assert pole.frame is ITRF and not pole.v.any()
    e = GeoStateEphemeris(Time(["2024", "2025"]), [0.0, 0.1], [0.0, 0.2], 0.0).to_sv()
    assert e.r.shape == (2, 3)


def test_states_compare_by_epoch_and_check_arguments():
    a, b = StateVector("2024-01-01", [7e6, 0, 0], [0, 7e3, 0]), StateVector("2024-01-02", [7e6, 0, 0], [0, 7e3, 0])
    assert a < b and b >= Time("2024-01-02") and sorted([b, a])[0] is a
    with pytest.raises(ValueError, match="r must have three"):
        StateVector(EPOCH, [1, 2], [1, 2, 3])
    with pytest.raises(TypeError, match="frame"):
        StateVector(EPOCH, [1, 2, 3], [1, 2, 3], frame="GCRF")
    with pytest.raises(ValueError, match="single epoch"):
        StateVector(Time(["2024", "2025"]), [1, 2, 3], [1, 2, 3])
    assert StateVector(EPOCH, [7e6, 0, 0], [0, 7e3, 0]).frame is GCRF

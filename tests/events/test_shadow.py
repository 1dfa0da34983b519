"""illumination and sunlit against skyfield's is_sunlit and an overlap of discs integrated numerically."""

import math
import warnings

import numpy as np
import pytest
from scipy.integrate import quad

from astrovia.bodies.bodies import Earth, Sun
from astrovia.events import illumination, sunlit
from astrovia.frames import geocentric
from astrovia.frames.frames import GCRF, ITRF, TEME
from astrovia.time.time import Time

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import os

    import skyfield_data
    from skyfield.api import EarthSatellite, load
    from skyfield.jpllib import SpiceKernel

SUN_RADIUS = 695_700e3
ISS = ("1 25544U 98067A   24001.51258435  .00016717  00000-0  30270-3 0  9986",
       "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.50103472433265")


def visible_fraction_by_quadrature(r, s):
    """1 - (covered area of the Sun's disc) / (its area), the discs flat with the angular radii seen
    from r, the covered area integrated chord by chord along the line of centres."""
    w = s - r
    a = math.asin(SUN_RADIUS / np.linalg.norm(w))
    b = math.asin(Earth.Re / np.linalg.norm(r))
    c = math.atan2(np.linalg.norm(np.cross(-r, w)), np.dot(-r, w))

    def chord(x):
        ys = math.sqrt(max(0.0, a * a - x * x))
        d = b * b - (x - c) ** 2
        return 2.0 * min(ys, math.sqrt(d)) if d > 0 else 0.0

    lo, hi = max(-a, c - b), min(a, c + b)
    if lo >= hi:
        return 1.0
    # the chords switch from one circle to the other where the circles cross
    kink = [x for x in ((c * c + a * a - b * b) / (2 * c),) if lo < x < hi]
    covered, _ = quad(chord, lo, hi, points=kink or None, epsabs=1e-16, epsrel=1e-12, limit=200)
    return 1.0 - covered / (math.pi * a * a)


def ring(time, radius, psi):
    """Positions at `radius` whose angle from the anti-Sun direction is psi, in GCRF."""
    s = Sun.position(time)
    u = -s / np.linalg.norm(s)
    p = np.cross(u, [0.0, 0.0, 1.0])
    p /= np.linalg.norm(p)
    return radius * (np.cos(psi)[:, None] * u + np.sin(psi)[:, None] * p), s


@pytest.mark.parametrize("radius", [6.8e6, 4.2164e7, 3.0e9], ids=["LEO", "GEO", "antumbra"])
def test_illumination_against_quadrature(radius):
    t0 = Time("2024-06-01T00:00")
    b = math.asin(Earth.Re / radius)
    a = SUN_RADIUS / 1.5e11
    psi = np.concatenate([np.linspace(max(0.0, b - 3 * a), b + 3 * a, 300), [0.0, 0.5, 3.0]])
    t = Time([t0.utc.iso] * psi.size)
    r, s = ring(t0, radius, psi)
    got = illumination(t, r)
    ref = np.array([visible_fraction_by_quadrature(ri, s) for ri in r])
    # the closed form's terms are of the Earth's disc size (b ~ 1 rad in LEO) against an overlap of the
    # Sun's (a^2 ~ 2e-5): a few 1e-9 is its rounding
    assert np.max(np.abs(got - ref)) < 2e-8
    assert np.all((got >= 0) & (got <= 1))
    assert ref.min() < 0.8 and ref.max() == 1.0  # the scan crosses the penumbra
    if radius == 3.0e9:
        assert got[-3] == pytest.approx(1 - (b / math.asin(SUN_RADIUS / np.linalg.norm(s - r[-3]))) ** 2, rel=1e-9)


def test_sunlit_against_skyfield():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ts = load.timescale(builtin=True)
        eph = SpiceKernel(os.path.join(skyfield_data.get_skyfield_data_path(), "de421.bsp"))
    sat = EarthSatellite(*ISS, ts=ts)
    time = Time("2024-01-01T12:00") + np.arange(0.0, 86400.0, 10.0)
    tt = time.tt.jd12

    def sky(dt):
        t = ts.tt_jd(tt[:, 0].copy(), tt[:, 1] + dt / 86400.0)
        return sat.at(t).is_sunlit(eph), sat.at(t).position.m.T

    lit, r = sky(0.0)
    settled = (sky(-2.0)[0] == lit) & (sky(2.0)[0] == lit)
    got = sunlit(time, r, GCRF)
    assert got.dtype == bool and 0.2 < got.mean() < 0.9
    assert np.array_equal(got[settled], lit[settled])
    assert np.count_nonzero(~settled) < 0.01 * time.size
    # the centre visible exactly where the fraction is past one half of the penumbra's depth is not
    # implied, but umbra and full sunlight are
    frac = illumination(time, r)
    assert np.all(got[frac == 1.0]) and not np.any(got[frac == 0.0])


@pytest.mark.parametrize("frame", [ITRF, TEME], ids=lambda f: f.name)
def test_frames_agree(frame):
    time = Time("2024-03-01") + np.linspace(0.0, 86400.0, 97)
    psi = np.linspace(0.0, np.pi, 97)
    s = Sun.position(time)
    u = -s / np.linalg.norm(s, axis=1, keepdims=True)
    p = np.cross(u, [0.0, 0.0, 1.0])
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    r = 6.9e6 * (np.cos(psi)[:, None] * u + np.sin(psi)[:, None] * p)
    ri, vi = geocentric.ITRF_from_GCRF(time, r, np.zeros_like(r))
    rf = ri if frame == ITRF else geocentric.TEME_from_ITRF(time, ri, vi)[0]
    np.testing.assert_allclose(illumination(time, rf, frame), illumination(time, r), atol=1e-9)
    assert np.array_equal(sunlit(time, rf, frame), sunlit(time, r))


def test_one_epoch_and_bad_input():
    r = -Sun.position("2024-01-05")
    r *= 7e6 / np.linalg.norm(r)
    assert illumination("2024-01-05", r) == 0.0 and sunlit("2024-01-05", r) is False
    assert illumination("2024-01-05", -r) == 1.0 and sunlit("2024-01-05", -r) is True
    assert np.isnan(illumination("2024-01-05", [np.nan, 0, 0]))
    t2 = Time(["2024-01-05", "2024-01-06"])
    with pytest.raises(ValueError, match="r"):
        illumination(t2, np.zeros((3, 3)))
    with pytest.raises(TypeError, match="r"):
        sunlit(t2, "here")
    with pytest.raises(TypeError, match="frame"):
        sunlit(t2, np.zeros((2, 3)), frame=None)

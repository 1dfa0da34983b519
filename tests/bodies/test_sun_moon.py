"""Sun and Moon positions against skyfield with the DE421 ephemeris that skyfield-data ships."""

import math
import os
import warnings

import numpy as np
import pytest

from astrovia.bodies.bodies import Moon, Sun
from astrovia.frames.frames import GCRF, ITRF, TEME
from astrovia.time.time import Time

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import skyfield_data
    from skyfield.api import load
    from skyfield.jpllib import SpiceKernel
    from skyfield.framelib import itrs
    from skyfield.sgp4lib import TEME as SKY_TEME

    DE421 = os.path.join(skyfield_data.get_skyfield_data_path(), "de421.bsp")  # shipped: no download

ARCSEC = math.pi / 180 / 3600


@pytest.fixture(scope="module")
def de421():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        eph = SpiceKernel(DE421)
        ts = load.timescale(builtin=True)
    return eph, ts


def angle(a, b):
    return np.arctan2(np.linalg.norm(np.cross(a, b), axis=1), np.einsum("ij,ij->i", a, b))


@pytest.mark.parametrize("body, cls, max_angle, max_dist", [
    ("sun", Sun, 2 * ARCSEC, None), ("moon", Moon, 40 * ARCSEC, 60e3)], ids=["Sun", "Moon"])
def test_gcrf_against_de421(de421, body, cls, max_angle, max_dist):
    eph, ts = de421
    time = Time(np.linspace(36934.0, 69807.0, 1500), format="mjd")  # 1960 .. 2050
    tt = time.tt.jd12
    ref = eph["earth"].at(ts.tt_jd(tt[:, 0].copy(), tt[:, 1].copy())).observe(eph[body]).position.m.T
    r = cls.position(time)
    assert r.shape == (1500, 3)
    assert np.max(angle(r, ref)) < max_angle
    dist = np.abs(np.linalg.norm(r, axis=1) - np.linalg.norm(ref, axis=1))
    if max_dist is None:
        assert np.max(dist / np.linalg.norm(ref, axis=1)) < 1e-6
    else:
        assert np.max(dist) < max_dist


@pytest.mark.parametrize("cls, body", [(Sun, "sun"), (Moon, "moon")], ids=["Sun", "Moon"])
@pytest.mark.parametrize("frame, sky_frame", [(ITRF, itrs), (TEME, SKY_TEME)], ids=["ITRF", "TEME"])
def test_earth_fixed_and_teme_against_skyfield(de421, cls, body, frame, sky_frame):
    """The rotated outputs keep the GCRF agreement (skyfield rotates with its own chain)."""
    eph, ts = de421
    time = Time("2024-01-01") + np.linspace(0.0, 30 * 86400.0, 200)
    tt = time.tt.jd12
    astrometric = eph["earth"].at(ts.tt_jd(tt[:, 0].copy(), tt[:, 1].copy())).observe(eph[body])
    ref = astrometric.frame_xyz(sky_frame).m.T
    err = angle(cls.position(time, frame), ref) - angle(cls.position(time), astrometric.position.m.T)
    # differences of the frame chains (polar motion is not installed in skyfield here: up to 0.5 arcsec)
    assert np.max(np.abs(err)) < 0.6 * ARCSEC
    assert np.max(angle(cls.position(time, frame), ref)) < (2 if cls is Sun else 40) * ARCSEC


def test_one_epoch_and_inputs():
    one = Sun.position("2024-03-20T03:06", TEME)
    assert one.shape == (3,)
    # the March equinox: the Sun crosses the true equator of date at right ascension 0
    # (within the aberration the astrometric position leaves out)
    assert abs(one[2]) / np.linalg.norm(one) < 1e-4 and one[0] > 0
    assert 1.47e11 < np.linalg.norm(Sun.position(Time("2024-01-03"))) < 1.4715e11  # perihelion
    assert Moon.position(Time(["2024-01-05"] * 2)).shape == (2, 3)
    with pytest.raises(TypeError, match="frame"):
        Sun.position("2024-01-01", "ITRF")
    with pytest.raises(ValueError, match="time"):
        Moon.position("yesterday")


@pytest.mark.parametrize("cls, body", [(Sun, "sun"), (Moon, "moon")], ids=["Sun", "Moon"])
def test_jpl_ephemeris_option_matches_skyfield(de421, cls, body):
    """With the same DE421 file the two light-time solutions agree to micro-arcseconds and millimetres."""
    eph, ts = de421
    path = DE421
    time = Time(np.linspace(36934.0, 69807.0, 300), format="mjd")
    tt = time.tt.jd12
    ref = eph["earth"].at(ts.tt_jd(tt[:, 0].copy(), tt[:, 1].copy())).observe(eph[body]).position.m.T
    r = cls.position(time, ephemeris=path)
    assert np.max(angle(r, ref)) < 1e-3 * ARCSEC
    assert np.max(np.abs(np.linalg.norm(r, axis=1) - np.linalg.norm(ref, axis=1))) < 0.05
    with pytest.raises(TypeError, match="ephemeris"):
        cls.position(time, ephemeris=421)

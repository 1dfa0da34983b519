"""Frame conversions of the 1960s stand on the Earth-orientation series: checked against astropy
with the same UT1 and polar motion handed to it."""

import warnings

import numpy as np
import pytest

from astrovia.frames import geocentric
from astrovia.iers import EOP
from astrovia.time.time import Time

N = 400


@pytest.fixture(scope="module")
def astropy_teme():
    from astropy.utils import iers as aiers

    aiers.conf.auto_download = False
    from astropy import units as u
    from astropy.coordinates import ITRS, TEME, CartesianRepresentation
    from astropy.coordinates.builtin_frames import intermediate_rotation_transforms as rot
    from astropy.time import Time as ATime

    return u, ITRS, TEME, CartesianRepresentation, rot, ATime


def epochs_1962_1972():
    rng = np.random.default_rng(11)
    return Time(np.sort(rng.uniform(37665.0, 41683.0, N)), format="mjd")


def test_itrf_from_teme_1962_to_1972_against_astropy(astropy_teme, monkeypatch):
    u, ITRS, TEME, CartesianRepresentation, rot, ATime = astropy_teme
    t = epochs_1962_1972()
    rng = np.random.default_rng(3)
    r = rng.normal(size=(N, 3))
    r *= 7.0e6 / np.linalg.norm(r, axis=1, keepdims=True)
    v = np.zeros((N, 3))
    got, _ = geocentric.ITRF_from_TEME(t, r, v)

    e = EOP(t.utc.mjd)
    monkeypatch.setattr(rot, "get_polar_motion", lambda time: (e.pm_x, e.pm_y))
    ut1 = t.ut1.jd12
    obstime = ATime(ut1[:, 0], ut1[:, 1], format="jd", scale="ut1")  # astropy reads this UT1 as given
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        teme = TEME(CartesianRepresentation(r.T * u.m), obstime=obstime)
        ref = teme.transform_to(ITRS(obstime=obstime)).cartesian.xyz.to_value(u.m).T
    assert np.max(np.linalg.norm(got - ref, axis=1)) < 0.01  # metres


def test_astropy_own_ut1_before_1972_steps_at_utc_midnight(astropy_teme):
    # astropy takes TAI-UTC at the start of each UTC day for UT1 (as ERFA's utcut1 does), so its UT1
    # runs ahead of UTC + (UT1-UTC) by the drift of TAI-UTC since midnight and steps back at the
    # next one: up to rate x 1 day, 2.6 ms in 1966-1971
    *_, ATime = astropy_teme
    from astropy.utils import iers as aiers

    t = Time(np.arange(39200.0, 41300.0, 7.0) + 0.999, format="mjd")
    ours = t.ut1.jd12
    utc = t.utc.jd12
    at = ATime(utc[:, 0], utc[:, 1], format="jd", scale="utc")
    at.delta_ut1_utc = EOP(t.utc.mjd).dut1
    theirs = at.ut1
    diff = ((ours[:, 0] - theirs.jd1) + (ours[:, 1] - theirs.jd2)) * 86400.0
    rate = 0.002592  # s/day, 1966-1971
    np.testing.assert_allclose(diff, -rate * 0.999, atol=2e-6)
    assert aiers.conf.auto_download is False


def test_itrf_from_gcrf_1962_to_1972_against_erfa_and_the_c04_file():
    import erfa
    from astropy_iers_data import IERS_B_FILE

    rows = np.array([[float(p) for p in line.split()[4:8]] for line in open(IERS_B_FILE)
                     if line[:4].isdigit() and 1961 < int(line[:4]) < 1974])  # mjd, x", y", UT1-UTC
    t = epochs_1962_1972()
    rng = np.random.default_rng(4)
    r = rng.normal(size=(N, 3))
    r *= 7.0e6 / np.linalg.norm(r, axis=1, keepdims=True)
    got, _ = geocentric.ITRF_from_GCRF(t, r, np.zeros((N, 3)))

    tt = t.tt.jd12
    tai1, tai2 = erfa.tttai(tt[:, 0], tt[:, 1])
    u1, u2 = erfa.taiutc(tai1, tai2)
    mjd = (u1 - 2400000.5) + u2
    day = np.floor(mjd)
    j = np.searchsorted(rows[:, 0], day)
    w = mjd - day

    def dat(d, fd=0.0):
        y, m, dd, _ = erfa.jd2cal(2400000.5, d)
        return erfa.dat(y, m, dd, fd)

    # UT1-TAI linear between the rows at 0h UTC; polar motion linear
    ut1_tai = (rows[j, 3] - dat(day)) * (1 - w) + (rows[j + 1, 3] - dat(day + 1)) * w
    xp, yp = ((rows[j, k] * (1 - w) + rows[j + 1, k] * w) * np.pi / 648000 for k in (1, 2))
    ut1a, ut1b = erfa.taiut1(tai1, tai2, ut1_tai)
    q = erfa.c2t00a(tt[:, 0], tt[:, 1], ut1a, ut1b, xp, yp)  # C04 holds dX = dY = 0 before 1984
    ref = np.einsum("nij,nj->ni", q, r)
    assert np.max(np.linalg.norm(got - ref, axis=1)) < 0.01  # metres

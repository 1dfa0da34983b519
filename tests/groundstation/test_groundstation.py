"""Ground stations and look angles against skyfield (topocentric alt/az and range rate, with the
same polar motion installed), finite differences and hand-derived geometry."""

import math
import pickle
import warnings

import numpy as np
import pytest

from astrovia.datamodel.structured import AER_dtype, ENU_dtype
from astrovia.frames.frames import GCRF, ITRF, TEME, Frame
from astrovia.frames.geodetic import ITRF_from_geodetic
from astrovia.groundstation import GroundStation
from astrovia.iers import EOP
from astrovia.mathtools.ellipsoid.ellipsoid import WGS72, WGS84
from astrovia.time.time import Time

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from skyfield.api import EarthSatellite, load, wgs84
    from skyfield.data import iers
    from skyfield.framelib import itrs
    from skyfield.sgp4lib import TEME as SKY_TEME

ARCSEC = math.pi / 180 / 3600
ISS = ("1 25544U 98067A   24001.51258435  .00016717  00000-0  30270-3 0  9986",
       "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.50103472433265")
GPS = ("1 32711U 08012A   24001.49567639  .00000048  00000-0  00000-0 0  9991",
       "2 32711  55.4677 175.4512 0121476  55.7963 305.3880  2.00561690115823")


@pytest.fixture(scope="module")
def sky():
    """skyfield's timescale with polar motion from astrovia's EOP values, and epochs near 2024-01-01."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ts = load.timescale(builtin=True)
    mjd = np.arange(60300.0, 60320.0)
    e = EOP(mjd)
    iers.install_polar_motion_table(ts, {"utc_mjd": mjd, "x_arcseconds": e.pm_x / ARCSEC,
                                         "y_arcseconds": e.pm_y / ARCSEC})
    time = Time("2024-01-01T12:00") + np.arange(0.0, 2 * 86400.0, 47.0)
    tt = time.tt.jd12
    return ts, time, ts.tt_jd(tt[:, 0].copy(), tt[:, 1].copy())


STATIONS = [(47.0671, 15.4933, 491.0), (78.2297, 15.4078, 458.0), (-33.8688, 151.2093, 20.0), (0.0, -60.0, 0.0)]


@pytest.mark.parametrize("tle", [ISS, GPS], ids=["LEO", "MEO"])
@pytest.mark.parametrize("lat, lon, alt", STATIONS)
@pytest.mark.parametrize("frame", [ITRF, GCRF, TEME], ids=lambda f: f.name)
def test_against_skyfield(sky, tle, lat, lon, alt, frame):
    ts, time, t = sky
    sat = EarthSatellite(*tle, ts=ts)
    site = wgs84.latlon(lat, lon, alt)
    g = sat.at(t)
    if frame == ITRF:
        r, v = g.frame_xyz_and_velocity(itrs)
        r, v = r.m.T, v.m_per_s.T
    elif frame == TEME:
        r, v = g.frame_xyz_and_velocity(SKY_TEME)
        r, v = r.m.T, v.m_per_s.T
    else:
        r, v = g.position.m.T, g.velocity.m_per_s.T
    look = GroundStation(math.radians(lat), math.radians(lon), alt).look(time, r, v, frame=frame)
    topo = (sat - site).at(t)
    el, az, dist = topo.altaz()
    rate = topo.frame_latlon_and_rates(site)[5].m_per_s
    assert list(look.dtype.names) == list(AER_dtype.names) + ["range_rate"]
    d_az = np.angle(np.exp(1j * (look["azimuth"] - az.radians))) * np.cos(el.radians)
    assert np.max(np.abs(d_az)) < 0.5 * ARCSEC
    assert np.max(np.abs(look["elevation"] - el.radians)) < 0.5 * ARCSEC
    assert np.max(np.abs(look["range"] - dist.m)) < 0.1
    assert np.max(np.abs(look["range_rate"] - rate)) < 5e-3
    assert np.all((look["azimuth"] >= 0) & (look["azimuth"] < 2 * np.pi))


def test_rates_and_axes_by_finite_differences():
    """Range rate is the derivative of range; the ENU axes are the unit derivatives of the
    geodetic-to-ITRF map (east along longitude, north along latitude, up along height)."""
    st = GroundStation(0.7, -1.2, 300.0)
    t0 = Time("2024-01-05T00:00")
    w = 1.1e-3
    tau = np.array([-1e-3, 0.0, 1e-3]) + 500.0

    def target(s):
        return np.stack([7.1e6 * np.cos(w * s), 3.0e6 * np.sin(w * s) - 1e6, 6.0e6 * np.sin(w * s)], axis=1)

    r = target(tau)
    v = np.stack([-7.1e6 * w * np.sin(w * tau), 3.0e6 * w * np.cos(w * tau), 6.0e6 * w * np.cos(w * tau)], axis=1)
    look = st.look(t0 + tau, r, v)
    fd = (look["range"][2] - look["range"][0]) / 2e-3
    assert look["range_rate"][1] == pytest.approx(fd, rel=1e-7)

    enu = st.enu
    assert enu.dtype == ENU_dtype
    h = 1e-6
    p = ITRF_from_geodetic(np.array([[0.7, -1.2 + h, 300.0], [0.7, -1.2 - h, 300.0], [0.7 + h, -1.2, 300.0],
                                     [0.7 - h, -1.2, 300.0], [0.7, -1.2, 301.0], [0.7, -1.2, 299.0]]))
    for k, field in enumerate(("u_east", "u_north", "u_up")):
        d = p[2 * k] - p[2 * k + 1]
        np.testing.assert_allclose(enu[field], d / np.linalg.norm(d), rtol=0, atol=1e-9)
    np.testing.assert_allclose(st.position, (p[4] + p[5]) / 2, rtol=0, atol=1e-8)


def test_hand_derived_directions():
    """At the equator and longitude 0 the axes are the ITRF axes: targets straight up, due north
    and due east give the obvious angles."""
    st = GroundStation(0.0, 0.0, 0.0, name="Null Island")
    a = WGS84.a
    r = np.array([[a + 1e6, 0, 0], [a, 0, 1e6], [a, 1e6, 0], [a, -1e6, 1e-3], [a - 1e6, 0, 0]])
    look = st.look(Time(["2024-01-05"] * 5), r, np.zeros((5, 3)))
    np.testing.assert_allclose(look["elevation"], [np.pi / 2, 0, 0, 0, -np.pi / 2], atol=1e-15)
    np.testing.assert_allclose(look["azimuth"][1:4], [0.0, np.pi / 2, 3 * np.pi / 2], atol=1e-9)
    np.testing.assert_allclose(look["range"], 1e6, rtol=1e-15)
    one = st.look("2024-01-05", r[2], [0.0, 1.0, 0.0])
    assert one.shape == (1,) and one["range_rate"][0] == pytest.approx(1.0)


def test_properties_repr_pickle_and_inputs_untouched():
    st = GroundStation(0.5, 2.0, 100.0, name="Site", min_elevation=0.1, ellipsoid=WGS72)
    assert (st.lat, st.lon, st.alt, st.name, st.min_elevation, st.ellipsoid) == (0.5, 2.0, 100.0, "Site", 0.1, WGS72)
    for attr in ("lat", "lon", "alt", "name", "min_elevation", "ellipsoid", "position"):
        with pytest.raises(AttributeError):
            setattr(st, attr, 0.0)
    with pytest.raises(ValueError):
        st.position[0] = 1.0
    assert "Site" in repr(st) and "28.647890 deg" in repr(st) and "WGS72" in repr(st)
    assert pickle.loads(pickle.dumps(st)) == st
    r = np.array([[7e6, 0, 0], [0, 7e6, 0]])
    v = np.array([[0, 7e3, 0], [0, 0, 7e3]])
    r0, v0 = r.copy(), v.copy()
    st.look(Time(["2024-01-05", "2024-01-06"]), r, v, frame=GCRF)
    np.testing.assert_array_equal(r, r0)
    np.testing.assert_array_equal(v, v0)


T2 = Time(["2024-01-05", "2024-01-06"])
R2 = np.array([[7e6, 0, 0], [0, 7e6, 0]])


@pytest.mark.parametrize("call, exc, word", [
    (lambda: GroundStation(2.0, 0.0), ValueError, "lat"),
    (lambda: GroundStation(-1.6, 0.0), ValueError, "lat"),
    (lambda: GroundStation(0.0, 0.0, min_elevation=1.7), ValueError, "min_elevation"),
    (lambda: GroundStation("0.5", 0.0), TypeError, "lat"),
    (lambda: GroundStation(0.5, "east"), TypeError, "lon"),
    (lambda: GroundStation(0.5, 0.0, "high"), TypeError, "alt"),
    (lambda: GroundStation(0.5, 0.0, float("nan")), ValueError, "alt"),
    (lambda: GroundStation(0.5, 0.0, name=3), TypeError, "name"),
    (lambda: GroundStation(0.5, 0.0, ellipsoid="WGS84"), TypeError, "ellipsoid"),
    (lambda: GroundStation(0.5, 0.0).look(T2, R2[:1], R2), ValueError, "r"),
    (lambda: GroundStation(0.5, 0.0).look(T2, R2, R2[:, :2]), ValueError, "v"),
    (lambda: GroundStation(0.5, 0.0).look(T2, "r", R2), TypeError, "r"),
    (lambda: GroundStation(0.5, 0.0).look(T2, R2, R2, frame="ITRF"), TypeError, "frame"),
    (lambda: GroundStation(0.5, 0.0).look(T2, R2, R2, frame=Frame("ENU")), ValueError, "frame"),
    (lambda: GroundStation(0.5, 0.0).look("not a date", R2[0], R2[0]), ValueError, "time"),
])
def test_bad_input(call, exc, word):
    with pytest.raises(exc, match=word):
        call()

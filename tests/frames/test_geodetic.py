"""Geodetic coordinates against pyerfa (gc2gde/gd2gce), closed-form special cases and round trips."""

import erfa
import numpy as np
import pytest

from astrovia.datamodel.structured import LLA_dtype
from astrovia.frames.geodetic import ITRF_from_geodetic, geodetic_from_ITRF
from astrovia.mathtools.ellipsoid.ellipsoid import WGS72, WGS84, Ellipsoid


def random_points(n, r_min, r_max, seed):
    rng = np.random.default_rng(seed)
    u = rng.normal(size=(n, 3))
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    r = u * rng.uniform(r_min, r_max, size=(n, 1))
    # exact poles and the equatorial plane among them
    r[:5, :2] = 0.0
    r[5:10, 2] = 0.0
    return r


@pytest.mark.parametrize("ell", [WGS84, WGS72], ids=lambda e: e.name)
@pytest.mark.parametrize("r_min, r_max, near", [(6.30e6, 6.42e6, True), (6.42e6, 8.4e6, True),
                                                (8.4e6, 1.0e8, False)])
def test_against_erfa(ell, r_min, r_max, near):
    """ERFA's own answer degrades with distance (2.5e-11 rad at 20 000 km): beyond LEO the bound is
    relative to the radius."""
    r = random_points(20000, r_min, r_max, seed=int(r_max) % 97)
    g = geodetic_from_ITRF(r, ell)
    lon, lat, h = erfa.gc2gde(ell.a, ell.f, r)
    radius = np.linalg.norm(r, axis=1)
    if near:
        assert np.max(np.abs(g["lat"] - lat)) < 1e-11
        assert np.max(np.abs(g["alt"] - h)) < 1e-4
    else:
        assert np.max(np.abs(g["lat"] - lat) * radius) < 5e-11 * radius.max()
        assert np.max(np.abs(g["alt"] - h) / radius) < 5e-11
    dlon = np.angle(np.exp(1j * (g["lon"] - lon)))
    assert np.max(np.abs(dlon)) < 1e-14
    # the forward direction against gd2gce
    back = ITRF_from_geodetic(g, ell)
    ref = erfa.gd2gce(ell.a, ell.f, g["lon"], g["lat"], g["alt"])
    assert np.max(np.abs(back - ref)) < 1e-8 * max(1.0, radius.max() / ell.a)


@pytest.mark.parametrize("scale", [1.0, 3.0e4, 4.2e4, 1.0e5, 3.0e6, 6.4e6, 4.2e7, 1.0e9])
def test_round_trip_everywhere(scale):
    """Inside the evolute (within ~43 km of the centre) and far out: positions come back to rounding."""
    r = random_points(20000, 0.0, scale, seed=int(scale) % 89)
    r[10:20, 2] *= 1e-9  # just off the equatorial plane
    r[20:30, :2] *= 1e-9  # just off the axis
    g = geodetic_from_ITRF(r)
    back = erfa.gd2gce(WGS84.a, WGS84.f, g["lon"], g["lat"], g["alt"])
    assert np.max(np.linalg.norm(back - r, axis=1)) < 2e-8 * max(1.0, scale / WGS84.a)
    assert np.all(np.abs(g["lat"]) <= np.pi / 2)


def test_closed_form_cases():
    a, b, e2 = WGS84.a, WGS84.b, WGS84.e2
    cases = np.array([[0, 0, 0], [0, 0, 7e6], [0, 0, -b], [a, 0, 0], [0, -2 * a, 0], [1.0e4, 0, 0]])
    g = geodetic_from_ITRF(cases)
    assert g["lat"][0] == pytest.approx(np.pi / 2) and g["alt"][0] == pytest.approx(-b, abs=1e-8)
    assert g["lat"][1] == np.pi / 2 and g["alt"][1] == pytest.approx(7e6 - b, abs=1e-8)
    assert g["lat"][2] == -np.pi / 2 and g["alt"][2] == pytest.approx(0.0, abs=1e-8)
    assert g["lat"][3] == 0.0 and g["alt"][3] == pytest.approx(0.0, abs=1e-8)
    assert g["lon"][4] == pytest.approx(-np.pi / 2) and g["alt"][4] == pytest.approx(a, abs=1e-8)
    # on the equatorial plane inside the evolute the foot point's normal passes through the point:
    # rho = N e^2 cos(lat), h = -N (1 - e^2)
    lat = g["lat"][5]
    n = a / np.sqrt(1 - e2 * np.sin(lat) ** 2)
    assert n * e2 * np.cos(lat) == pytest.approx(1.0e4, rel=1e-13)
    assert g["alt"][5] == pytest.approx(-n * (1 - e2), rel=1e-13)


def test_sphere_is_spherical_coordinates():
    sphere = Ellipsoid("sphere", 6.4e6, 0.0)
    r = random_points(100, 1.0, 1e8, seed=5)
    g = geodetic_from_ITRF(r, sphere)
    np.testing.assert_allclose(g["alt"], np.linalg.norm(r, axis=1) - 6.4e6, rtol=0, atol=1e-7)
    np.testing.assert_allclose(g["lat"], np.arctan2(r[:, 2], np.hypot(r[:, 0], r[:, 1])), rtol=0, atol=1e-15)


def test_shapes_layouts_and_records():
    r = random_points(50, 6.4e6, 7e6, seed=1)
    g = geodetic_from_ITRF(r)
    assert g.dtype == LLA_dtype and g.shape == (50,)
    one = geodetic_from_ITRF(r[3])
    assert one.dtype == LLA_dtype and one.shape == () and one["alt"] == g["alt"][3]
    # strided and Fortran-ordered input, integers
    big = np.zeros((50, 6))
    big[:, ::2] = r
    np.testing.assert_array_equal(geodetic_from_ITRF(big[:, ::2]), g)
    np.testing.assert_array_equal(geodetic_from_ITRF(np.asfortranarray(r)), g)
    assert geodetic_from_ITRF(np.array([[7000000, 0, 0]]))["alt"][0] == pytest.approx(7e6 - WGS84.a)
    assert geodetic_from_ITRF(np.zeros((0, 3))).shape == (0,)
    # records, one record, plain rows
    np.testing.assert_allclose(ITRF_from_geodetic(g), r, rtol=0, atol=1e-8)
    np.testing.assert_allclose(ITRF_from_geodetic(g[3]), r[3], rtol=0, atol=1e-8)
    plain = np.stack([g["lat"], g["lon"], g["alt"]], axis=1)
    np.testing.assert_allclose(ITRF_from_geodetic(plain), r, rtol=0, atol=1e-8)
    # inputs are not written
    r0 = r.copy()
    geodetic_from_ITRF(r)
    np.testing.assert_array_equal(r, r0)
    far = geodetic_from_ITRF([[1e160, 1e160, 1e160], [1e300, 0.0, -1e300]])
    np.testing.assert_allclose(far["lat"], [np.arctan(1 / np.sqrt(2)), -np.pi / 4], rtol=1e-15)
    np.testing.assert_allclose(far["alt"], [np.sqrt(3) * 1e160, np.sqrt(2) * 1e300], rtol=1e-15)
    nan = geodetic_from_ITRF([np.nan, 0.0, 1.0])
    assert np.isnan(nan["lat"]) and np.isnan(nan["alt"])


@pytest.mark.parametrize("call, exc, word", [
    (lambda: geodetic_from_ITRF(np.zeros((4, 2))), ValueError, "r"),
    (lambda: geodetic_from_ITRF(np.zeros((2, 3, 3))), ValueError, "r"),
    (lambda: geodetic_from_ITRF("1,2,3"), TypeError, "r"),
    (lambda: geodetic_from_ITRF([["a", "b", "c"]]), TypeError, "r"),
    (lambda: geodetic_from_ITRF(np.zeros(3), ellipsoid=6378137.0), TypeError, "ellipsoid"),
    (lambda: ITRF_from_geodetic(np.array([2.0, 0.0, 0.0])), ValueError, "latitude"),
    (lambda: ITRF_from_geodetic(np.zeros(3, dtype=[("lat", "f8"), ("lon", "f8")])), ValueError, "alt"),
    (lambda: ITRF_from_geodetic(np.zeros((2, 2))), ValueError, "lla"),
    (lambda: ITRF_from_geodetic(None), TypeError, "lla"),
])
def test_bad_input(call, exc, word):
    with pytest.raises(exc, match=word):
        call()


def test_every_route_mixed_in_one_array_gives_each_row_alone():
    """Rows are taken in blocks (the outer route's terms for a whole block first): points of every
    route shuffled together -- inside 3a/4, outside, on the axis, on the equator inside the evolute,
    non-finite, beyond 1e150 m -- must give what each row gives alone, in any layout."""
    rng = np.random.default_rng(12)
    parts = [random_points(300, 1.0, 4.0e6, 1), random_points(300, 6.3e6, 5.0e7, 2),
             np.array([[0.0, 0.0, 0.0], [1.0e4, 0.0, 0.0], [0.0, 0.0, 6.0e6], [np.nan, 1.0, 2.0],
                       [np.inf, 0.0, 0.0], [1e200, -1e200, 3.0], [2e6, 3e6, -1e151]])]
    r = np.concatenate(parts)[rng.permutation(607)]
    alone = np.array([geodetic_from_ITRF(row).tolist() for row in r])
    for layout in (r, np.asfortranarray(r), np.repeat(r, 2, axis=1)[:, ::2], r[::-1][::-1]):
        got = geodetic_from_ITRF(layout)
        got = np.stack([got["lat"], got["lon"], got["alt"]], axis=1)
        np.testing.assert_array_equal(got, alone)

"""The ground track: its lines against pyerfa's geodetic coordinates, split at the antimeridian."""

import sys

import erfa
import numpy as np
import pytest

pytest.importorskip("matplotlib")

from astrovia.frames import geocentric  # noqa: E402
from astrovia.frames.frames import GCRF, ITRF  # noqa: E402
from astrovia.plot import ground_track  # noqa: E402
from astrovia.time.time import Time  # noqa: E402


def circular_orbit(n=400):
    """An inclined circular orbit in ITRF-like coordinates, crossing the antimeridian several times."""
    s = np.linspace(0.0, 3.0 * 2 * np.pi, n)
    inc, node_rate = np.radians(51.6), -2 * np.pi / 16.0
    u = np.stack([np.cos(s), np.sin(s) * np.cos(inc), np.sin(s) * np.sin(inc)], axis=1)
    c, k = np.cos(node_rate * s / (2 * np.pi)), np.sin(node_rate * s / (2 * np.pi))
    r = 6.8e6 * np.stack([c * u[:, 0] - k * u[:, 1], k * u[:, 0] + c * u[:, 1], u[:, 2]], axis=1)
    return Time("2024-01-05") + np.linspace(0, 3 * 5580.0, n), r


@pytest.mark.parametrize("frame", [ITRF, GCRF], ids=lambda f: f.name)
def test_track_lines_follow_the_geodetic_coordinates(frame):
    time, r = circular_orbit()
    r_in = r if frame == ITRF else geocentric.GCRF_from_ITRF(time, r, np.zeros_like(r))[0]
    fig = ground_track(time, r_in, frame)
    assert type(fig).__name__ == "Figure"
    lines = [ln for ln in fig.axes[0].get_lines() if ln.get_gid() == "ground track"]
    xs = [np.asarray(ln.get_xdata(), float) for ln in lines]
    ys = [np.asarray(ln.get_ydata(), float) for ln in lines]
    assert len(lines) >= 3  # the track wraps at least twice over three orbits
    for x in xs:
        assert np.all(np.abs(np.diff(x)) < 180.0) and np.all(np.abs(x) <= 180.0)
    lon, lat, _ = erfa.gc2gde(6378137.0, 1 / 298.257223563, r)
    # every sample is on the drawn track; the pieces add only the meridian crossings
    pts = np.concatenate([np.stack([x, y], 1) for x, y in zip(xs, ys)])
    inner = pts[np.abs(np.abs(pts[:, 0]) - 180.0) > 1e-9]
    np.testing.assert_allclose(inner, np.degrees(np.stack([lon, lat], 1)), atol=1e-7)


def test_missing_matplotlib_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    time, r = circular_orbit(5)
    with pytest.raises(ImportError, match=r"astrovia\[plot\]"):
        ground_track(time, r)


def test_bad_input():
    time, r = circular_orbit(5)
    with pytest.raises(ValueError, match="r"):
        ground_track(time, r[:4])
    with pytest.raises(TypeError, match="frame"):
        ground_track(time, r, "ITRF")

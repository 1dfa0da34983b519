"""Geodetic coordinates: Earth-fixed (ITRF) positions <-> latitude, longitude, height.

The inverse is H. Vermeille's closed form (Journal of Geodesy, 2011), exact to
rounding everywhere: at the poles and the equator, near the Earth's centre and
far beyond the geostationary orbit. Both directions run natively over the
rows, without the interpreter lock.

Latitudes are geodetic, longitudes east-positive in (-pi, pi] [rad], heights
above the ellipsoid [m]. Records are ``astrovia.datamodel.structured.LLA_dtype``.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia.datamodel.structured import LLA_dtype
from astrovia.frames import _geodetic
from astrovia.frames._convert import real_array
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84, Ellipsoid

__all__ = ["geodetic_from_ITRF", "ITRF_from_geodetic"]


def _check_ellipsoid(ellipsoid: Any) -> Ellipsoid:
    if not isinstance(ellipsoid, Ellipsoid):
        raise TypeError(f"ellipsoid must be an Ellipsoid, not {type(ellipsoid).__name__}")
    return ellipsoid


def _float_rows(x: Any, name: str) -> tuple[npt.NDArray[np.float64], bool]:
    """(N, 3) or (3,) numbers as float64 (N, 3) rows, and whether a single row was given."""
    a = real_array(x, name)
    a = a.astype(np.float64, copy=False)
    if a.ndim == 1 and a.shape[0] == 3:
        return a.reshape(1, 3), True
    if a.ndim == 2 and a.shape[1] == 3:
        return a, False
    raise ValueError(f"{name} must have shape (N, 3) or (3,), not {a.shape}")


def geodetic_from_ITRF(r: npt.ArrayLike, ellipsoid: Ellipsoid = WGS84) -> Any:
    """Geodetic coordinates of Earth-fixed positions.

    Args:
        r: ITRF positions [m], shape (N, 3) or (3,).
        ellipsoid: the reference ellipsoid (WGS84 by default).

    Returns:
        An ``LLA_dtype`` record array of shape (N,) (or one record for a (3,)
        input) with ``lat``, ``lon`` [rad] and ``alt`` [m]. On the polar axis
        the longitude is 0. A non-finite row gives NaN fields.
    """
    e = _check_ellipsoid(ellipsoid)
    rows, single = _float_rows(r, "r")
    out = _geodetic.geodetic_rows(rows, e.a, e.f).view(LLA_dtype).reshape(-1)
    return out[0] if single else out


def _lla_rows(lla: Any) -> tuple[npt.NDArray[np.float64], bool]:
    a = lla if isinstance(lla, (np.ndarray, np.void)) else None
    if a is not None and a.dtype.names is not None:
        missing = [n for n in ("lat", "lon", "alt") if n not in a.dtype.names]
        if missing:
            raise ValueError(f"lla records need the fields lat, lon and alt; missing {', '.join(missing)}")
        if a.ndim > 1:
            raise ValueError(f"lla must be a one-dimensional record array or one record, not of shape {a.shape}")
        single = a.ndim == 0
        rec = np.atleast_1d(a)
        rows = np.empty((rec.shape[0], 3))
        for j, n in enumerate(("lat", "lon", "alt")):
            if rec.dtype[n].kind not in "biuf" or rec.dtype[n].shape != ():
                raise TypeError(f"lla field {n} must hold real numbers, not {rec.dtype[n]}")
            rows[:, j] = rec[n]
        return rows, single
    return _float_rows(lla, "lla")


def ITRF_from_geodetic(lla: Any, ellipsoid: Ellipsoid = WGS84) -> npt.NDArray[np.float64]:
    """Earth-fixed positions of geodetic coordinates.

    Args:
        lla: ``LLA_dtype`` records (an (N,) array or one record), or plain
            numbers of shape (N, 3) or (3,): latitude, longitude [rad] and
            height [m] in that order.
        ellipsoid: the reference ellipsoid (WGS84 by default).

    Returns:
        ITRF positions [m], (N, 3), or (3,) for one record or row.
    """
    e = _check_ellipsoid(ellipsoid)
    rows, single = _lla_rows(lla)
    lat = rows[:, 0]
    bad = np.abs(lat) > np.pi / 2
    if np.any(bad):
        raise ValueError(f"lla latitude must be in [-pi/2, pi/2], not {lat[bad][0]!r}")
    out = _geodetic.itrf_rows(rows, e.a, e.f)
    return out[0] if single else out

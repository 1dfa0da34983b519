"""Ground stations: sites on the ellipsoid and the look angles of targets from them.

Elevations are geometric: the straight line of sight above the station's
horizon plane (the plane normal to the ellipsoid), with no atmospheric
refraction.
"""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia.datamodel.structured import AER_dtype, ENU_dtype
from astrovia.frames import _convert
from astrovia.frames.frames import ITRF, Frame
from astrovia.groundstation import _look
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84, Ellipsoid

__all__ = ["GroundStation", "LOOK_dtype"]

#: The records ``GroundStation.look`` returns: the fields of ``AER_dtype``
#: (azimuth, elevation [rad], range [m]) and ``range_rate`` [m/s].
LOOK_dtype = np.dtype(AER_dtype.descr + [("range_rate", "<f8")])


def _real(x: Any, name: str) -> float:
    if isinstance(x, bool) or not isinstance(x, (numbers.Real, np.floating, np.integer)):
        raise TypeError(f"{name} must be a real number, not {type(x).__name__}")
    v = float(x)
    if not math.isfinite(v):
        raise ValueError(f"{name} must be finite, not {v!r}")
    return v


class GroundStation:
    """A station fixed to the Earth at geodetic ``lat``, ``lon`` [rad] and height ``alt`` [m].

    Args:
        lat: geodetic latitude [rad], in [-pi/2, pi/2].
        lon: longitude [rad], east positive.
        alt: height above the ellipsoid [m].
        name: the station's name (str), or None.
        min_elevation: the elevation mask [rad], in [-pi/2, pi/2]: passes are
            the intervals above it.
        ellipsoid: the reference ellipsoid of lat, lon and alt (WGS84 by default).

    All attributes are read-only. Stations compare equal when every attribute is equal.
    """

    __slots__ = ("_lat", "_lon", "_alt", "_name", "_min_el", "_ellipsoid", "_r")

    def __init__(self, lat: float, lon: float, alt: float = 0.0, *, name: str | None = None,
                 min_elevation: float = 0.0, ellipsoid: Ellipsoid = WGS84) -> None:
        lat_ = _real(lat, "lat")
        if not -math.pi / 2 <= lat_ <= math.pi / 2:
            raise ValueError(f"lat must be in [-pi/2, pi/2] (radians), not {lat_!r}")
        mask = _real(min_elevation, "min_elevation")
        if not -math.pi / 2 <= mask <= math.pi / 2:
            raise ValueError(f"min_elevation must be in [-pi/2, pi/2] (radians), not {mask!r}")
        if name is not None and not isinstance(name, str):
            raise TypeError(f"name must be str or None, not {type(name).__name__}")
        if not isinstance(ellipsoid, Ellipsoid):
            raise TypeError(f"ellipsoid must be an Ellipsoid, not {type(ellipsoid).__name__}")
        self._lat, self._lon, self._alt = lat_, _real(lon, "lon"), _real(alt, "alt")
        self._name, self._min_el, self._ellipsoid = name, mask, ellipsoid
        from astrovia.frames.geodetic import ITRF_from_geodetic

        r = ITRF_from_geodetic(np.array([self._lat, self._lon, self._alt]), ellipsoid)
        r.flags.writeable = False
        self._r = r

    @property
    def lat(self) -> float:
        """Geodetic latitude [rad]."""
        return self._lat

    @property
    def lon(self) -> float:
        """Longitude [rad], east positive."""
        return self._lon

    @property
    def alt(self) -> float:
        """Height above the ellipsoid [m]."""
        return self._alt

    @property
    def name(self) -> str | None:
        """The station's name, or None."""
        return self._name

    @property
    def min_elevation(self) -> float:
        """The elevation mask [rad]."""
        return self._min_el

    @property
    def ellipsoid(self) -> Ellipsoid:
        """The reference ellipsoid."""
        return self._ellipsoid

    @property
    def position(self) -> npt.NDArray[np.float64]:
        """The station's ITRF position [m], a read-only array of 3."""
        return self._r

    @property
    def enu(self) -> np.void:
        """The local axes in ITRF, one ``ENU_dtype`` record: ``u_east``, ``u_north``,
        ``u_up`` (the ellipsoid's normal), unit vectors."""
        sl, cl = math.sin(self._lat), math.cos(self._lat)
        so, co = math.sin(self._lon), math.cos(self._lon)
        rec = np.zeros((), dtype=ENU_dtype)
        rec["u_east"] = (-so, co, 0.0)
        rec["u_north"] = (-sl * co, -sl * so, cl)
        rec["u_up"] = (cl * co, cl * so, sl)
        return rec[()]

    def look(self, time: Any, r: npt.ArrayLike, v: npt.ArrayLike, frame: Frame = ITRF) -> npt.NDArray[np.void]:
        """Look angles of a target from the station, one row per epoch.

        Args:
            time: the N epochs (a ``Time``, or anything ``Time`` accepts).
            r: the target's positions [m], (N, 3) (or (3,) for one epoch).
            v: its velocities [m/s], same shape.
            frame: the frame of r and v: ITRF (default), TEME or GCRF.

        Returns:
            A structured array (N,) (of one row for one epoch) with ``azimuth`` (from north through east, in
            [0, 2 pi)), ``elevation`` [rad], ``range`` [m] (the fields of
            ``AER_dtype``) and ``range_rate`` [m/s] (positive receding), of
            dtype ``LOOK_dtype``. Geometric: no refraction, no light time.
        """
        t = _convert.as_array_time(_convert.as_time(time))
        f = _convert.check_frame(frame)
        n = t.size
        r_ = _convert.rows(r, n, "r")
        v_ = _convert.rows(v, n, "v")
        ri, vi = _convert.to_itrf(t, r_, v_, f)
        e = self._ellipsoid
        rows = _look.look_rows(self._lat, self._lon, self._alt, e.a, e.f, ri, vi)
        return rows.view(LOOK_dtype).reshape(-1)

    def _key(self) -> tuple[Any, ...]:
        e = self._ellipsoid
        return (self._lat, self._lon, self._alt, self._name, self._min_el, e.name, e.a, e.f)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, GroundStation) and other._key() == self._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (self._lat, self._lon, self._alt, self._name, self._min_el, self._ellipsoid))

    def __repr__(self) -> str:
        name = f"{self._name!r}, " if self._name is not None else ""
        mask = f", min_elevation={math.degrees(self._min_el):.4f} deg" if self._min_el else ""
        ell = "" if self._ellipsoid is WGS84 else f", {self._ellipsoid.name}"
        return (f"GroundStation({name}lat={math.degrees(self._lat):.6f} deg, "
                f"lon={math.degrees(self._lon):.6f} deg, alt={self._alt:.1f} m{mask}{ell})")


def _rebuild(lat: float, lon: float, alt: float, name: str | None, mask: float, ellipsoid: Ellipsoid) -> GroundStation:
    return GroundStation(lat, lon, alt, name=name, min_elevation=mask, ellipsoid=ellipsoid)

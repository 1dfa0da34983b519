"""Celestial bodies and their constants (class attributes, SI units).

The constants are read when they are used, so assigning ``Earth.GM`` changes
every later computation that reads it.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia.frames.frames import GCRF, Frame


def _position(body: int, time: Any, frame: Frame) -> npt.NDArray[np.float64]:
    from astrovia.bodies import _sun_moon
    from astrovia.frames import _convert

    t = _convert.as_time(time)
    f = _convert.check_frame(frame)
    ta = _convert.as_array_time(t)
    r = _convert.from_gcrf(ta, _sun_moon.positions(ta.tt.jd12, body), f)
    return r[0] if t.isscalar else r


class CelestialBody:
    """A body with a gravitational parameter ``GM`` [m^3/s^2] and an equatorial radius ``Re`` [m]."""

    name: str = "body"
    GM: float = 0.0
    Re: float = 0.0

    def __init_subclass__(cls, **kwargs: object) -> None:
        super().__init_subclass__(**kwargs)
        if "name" not in cls.__dict__:
            cls.name = cls.__name__


class Earth(CelestialBody):
    """The Earth: GM of EGM2008/WGS 84 (with atmosphere), equatorial radius of WGS 84."""

    GM = 3.986004418e14
    Re = 6378137.0
    J2: float = 1.08262668e-3
    """Second zonal harmonic (unnormalised, dimensionless)."""
    omega: float = 7.292115e-5
    """Nominal rotation rate [rad/s]."""


class Sun(CelestialBody):
    """The Sun: GM [m^3/s^2] (IAU 2015), nominal radius [m]."""

    GM = 1.32712440018e20
    Re = 6.957e8

    @staticmethod
    def position(time: Any, frame: Frame = GCRF) -> npt.NDArray[np.float64]:
        """The Sun's geocentric position [m] at ``time``: (N, 3), or (3,) for one epoch.

        Astrometric (where the light that reaches the Earth's centre at ``time``
        left the Sun; no aberration), from ERFA's eraEpv00 series (a few km);
        in ``frame``: GCRF (default), ITRF or TEME.
        """
        return _position(0, time, frame)


class Moon(CelestialBody):
    """The Moon: GM [m^3/s^2], mean radius [m]."""

    GM = 4.9028e12
    Re = 1.7374e6

    @staticmethod
    def position(time: Any, frame: Frame = GCRF) -> npt.NDArray[np.float64]:
        """The Moon's geocentric position [m] at ``time``: (N, 3), or (3,) for one epoch.

        Astrometric (light-time corrected), from ERFA's eraMoon98 series
        (about 10 arcsec and a few km); in ``frame``: GCRF (default), ITRF or TEME.
        """
        return _position(1, time, frame)


__all__ = ["CelestialBody", "Earth", "Sun", "Moon"]

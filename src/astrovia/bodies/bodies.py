"""Celestial bodies and their constants (class attributes, SI units).

The constants are read when they are used, so assigning ``Earth.GM`` changes
every later computation that reads it.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia.frames.frames import GCRF, Frame


_C = 299_792_458.0  # speed of light [m/s]
_AU_DAY = 86_400.0


def _spk(ephemeris: Any) -> Any:
    """A jplephem SPK kernel from a path (opened once per call) or an SPK object as given."""
    if hasattr(ephemeris, "pairs") and callable(getattr(ephemeris, "__getitem__", None)):
        return ephemeris
    if not isinstance(ephemeris, (str, bytes)) and not hasattr(ephemeris, "__fspath__"):
        raise TypeError(f"ephemeris must be None, a path to a JPL .bsp file or a jplephem SPK, "
                        f"not {type(ephemeris).__name__}")
    try:
        from jplephem.spk import SPK
    except ImportError as exc:
        raise ImportError("a JPL ephemeris needs jplephem: pip install jplephem") from exc
    return SPK.open(ephemeris)


def _barycentric(kernel: Any, body: int, tdb1: Any, tdb2: Any) -> npt.NDArray[np.float64]:
    """Barycentric position [m] (N, 3) of the Sun (10), the Earth (399) or the Moon (301)."""
    def seg(a: int, b: int) -> npt.NDArray[np.float64]:
        try:
            return np.asarray(kernel[a, b].compute(tdb1, tdb2)).T * 1e3
        except KeyError:
            raise ValueError(f"the ephemeris has no segment {a} -> {b}") from None

    if body == 10:
        return seg(0, 10)
    return seg(0, 3) + seg(3, body)


def _jpl_position(body: int, kernel: Any, tt: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Astrometric geocentric position [m] from a JPL ephemeris: the body where the light that
    reaches the Earth's centre at tt left it (three light-time iterations), ICRF axes."""
    import erfa

    tdb2 = tt[:, 1] + erfa.dtdb(tt[:, 0], tt[:, 1], 0.0, 0.0, 0.0, 0.0) / _AU_DAY
    earth = _barycentric(kernel, 399, tt[:, 0], tdb2)
    r = _barycentric(kernel, body, tt[:, 0], tdb2) - earth
    for _ in range(3):
        tau = np.linalg.norm(r, axis=1) / _C
        r = _barycentric(kernel, body, tt[:, 0], tdb2 - tau / _AU_DAY) - earth
    return r


def _position(body: int, time: Any, frame: Frame, ephemeris: Any = None) -> npt.NDArray[np.float64]:
    from astrovia.bodies import _sun_moon
    from astrovia.frames import _convert

    t = _convert.as_time(time)
    f = _convert.check_frame(frame)
    ta = _convert.as_array_time(t)
    tt = ta.tt.jd12
    if ephemeris is None:
        gcrf = _sun_moon.positions(tt, body)
    else:
        kernel = _spk(ephemeris)
        try:
            gcrf = _jpl_position(10 if body == 0 else 301, kernel, tt)
        finally:
            if kernel is not ephemeris:  # opened here from a path
                kernel.close()
    r = _convert.from_gcrf(ta, np.ascontiguousarray(gcrf), f)
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
    def position(time: Any, frame: Frame = GCRF, ephemeris: Any = None) -> npt.NDArray[np.float64]:
        """The Sun's geocentric position [m] at ``time``: (N, 3), or (3,) for one epoch.

        Astrometric (where the light that reaches the Earth's centre at ``time``
        left the Sun; no aberration), from ERFA's eraEpv00 series (a few km);
        in ``frame``: GCRF (default), ITRF or TEME. ``ephemeris``: a path to a JPL
        ``.bsp`` file (e.g. DE421) or a ``jplephem`` SPK, read through ``jplephem``
        instead of the series (TDB from TT by ERFA's dtdb).
        """
        return _position(0, time, frame, ephemeris)


class Moon(CelestialBody):
    """The Moon: GM [m^3/s^2], mean radius [m]."""

    GM = 4.9028e12
    Re = 1.7374e6

    @staticmethod
    def position(time: Any, frame: Frame = GCRF, ephemeris: Any = None) -> npt.NDArray[np.float64]:
        """The Moon's geocentric position [m] at ``time``: (N, 3), or (3,) for one epoch.

        Astrometric (light-time corrected), from ERFA's eraMoon98 series
        (about 10 arcsec and a few km); in ``frame``: GCRF (default), ITRF or TEME.
        ``ephemeris``: a path to a JPL ``.bsp`` file or a ``jplephem`` SPK instead.
        """
        return _position(1, time, frame, ephemeris)


__all__ = ["CelestialBody", "Earth", "Sun", "Moon"]

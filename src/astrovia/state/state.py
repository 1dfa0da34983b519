"""Orbital states at one epoch: Cartesian, classical elements, geodetic."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia.bodies.bodies import Earth
from astrovia.frames.frames import GCRF, ITRF, Frame
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84, Ellipsoid
from astrovia.time.time import Time
from astrovia.typing import DatetimeLike

from . import conversions as _conv

__all__ = ["State", "StateVector", "COE", "GeoState"]


def _one_epoch(epoch: DatetimeLike) -> Time:
    t = epoch if isinstance(epoch, Time) else Time(epoch)
    if not t.isscalar:
        raise ValueError("epoch must be a single epoch")
    return t


def _frame(frame: Frame) -> Frame:
    if not isinstance(frame, Frame):
        raise TypeError(f"frame must be a Frame, not {type(frame).__name__}")
    return frame


def _ellipsoid(ellipsoid: Ellipsoid) -> Ellipsoid:
    if not isinstance(ellipsoid, Ellipsoid):
        raise TypeError(f"ellipsoid must be an Ellipsoid, not {type(ellipsoid).__name__}")
    return ellipsoid


def _vector3(x: npt.ArrayLike, name: str) -> npt.NDArray[np.float64]:
    a = np.array(x, dtype=np.float64).reshape(-1)
    if a.shape != (3,):
        raise ValueError(f"{name} must have three components, not {a.size}")
    return a


class State:
    """Base of the orbital states: an ``epoch`` (a one-epoch ``Time``) and a ``frame``.

    Comparisons with a ``Time`` (or anything ``Time`` accepts) compare the epoch.

    Attributes:
        epoch: the epoch of the state, a ``Time`` of one epoch.
        frame: the reference ``Frame`` the state is expressed in.
    """

    __slots__ = {
        "epoch": "The epoch of the state: a Time of one epoch.",
        "frame": "The reference Frame the state is expressed in (GCRF by default).",
    }
    epoch: Time
    frame: Frame

    def __init__(self, epoch: DatetimeLike, frame: Frame = GCRF) -> None:
        self.epoch = _one_epoch(epoch)
        self.frame = _frame(frame)

    def to_sv(self) -> StateVector:
        """The state as position and velocity (a ``StateVector`` in the same frame)."""
        raise NotImplementedError

    def _epoch_of(self, other: State | DatetimeLike) -> Any:
        return other.epoch if isinstance(other, State) else other

    def __lt__(self, other: State | DatetimeLike) -> bool:
        return bool(self.epoch < self._epoch_of(other))

    def __le__(self, other: State | DatetimeLike) -> bool:
        return bool(self.epoch <= self._epoch_of(other))

    def __gt__(self, other: State | DatetimeLike) -> bool:
        return bool(self.epoch > self._epoch_of(other))

    def __ge__(self, other: State | DatetimeLike) -> bool:
        return bool(self.epoch >= self._epoch_of(other))


class StateVector(State):
    """Position ``r`` [m] and velocity ``v`` [m/s] (float64 arrays of three) at ``epoch``.

    ``r`` and ``v`` are copied from anything NumPy reads as three numbers.

    Attributes:
        r: position [m], float64 array of shape (3,), in ``frame``.
        v: velocity [m/s], float64 array of shape (3,), in ``frame``.
    """

    __slots__ = {
        "r": "Position [m]: float64 array of shape (3,), in the state's frame.",
        "v": "Velocity [m/s]: float64 array of shape (3,), in the state's frame.",
    }
    r: npt.NDArray[np.float64]
    v: npt.NDArray[np.float64]

    def __init__(self, epoch: DatetimeLike, r: npt.ArrayLike, v: npt.ArrayLike, frame: Frame = GCRF) -> None:
        super().__init__(epoch, frame)
        self.r = _vector3(r, "r")
        self.v = _vector3(v, "v")

    def to_sv(self) -> StateVector:
        """This state itself."""
        return self

    def to_coe(self, GM: float | None = None) -> COE:
        """Classical elements; ``GM`` [m^3/s^2] defaults to ``Earth.GM`` read now.

        Raises ValueError when ``r`` and ``v`` are parallel (no orbit plane).
        """
        gm = Earth.GM if GM is None else float(GM)
        el = _conv.coe_from_sv(self.r, self.v, gm)
        sma, ecc, inc, raa, arp, tra = (float(el[k][0]) for k in ("sma", "ecc", "inc", "raa", "arp", "tra"))
        return COE(self.epoch, sma, ecc, inc, raa, arp, tra, frame=self.frame, GM=gm)

    def __repr__(self) -> str:
        return f"StateVector({self.epoch.utc!r}, r={self.r.tolist()}, v={self.v.tolist()}, frame={self.frame.name})"


class COE(State):
    """Classical orbital elements at ``epoch``: ``sma`` [m], ``ecc``, ``inc``, ``raa``, ``arp``,
    ``tra`` [rad], with the gravitational parameter ``GM`` [m^3/s^2] they refer to.

    Attributes (floats):
        sma: semi-major axis [m] (negative for a hyperbola).
        ecc: eccentricity, >= 0.
        inc: inclination [rad], in [0, pi].
        raa: right ascension of the ascending node [rad], in [0, 2 pi); 0 for an equatorial orbit.
        arp: argument of perigee [rad], in [0, 2 pi); 0 for a circular orbit.
        tra: true anomaly [rad], in [0, 2 pi), from the perigee (the node, or the x axis, when those are undefined).
        GM: gravitational parameter [m^3/s^2]; ``Earth.GM`` when not given.
    """

    __slots__ = {
        "sma": "Semi-major axis [m] (float; negative for a hyperbola).",
        "ecc": "Eccentricity (float, >= 0).",
        "inc": "Inclination [rad] (float, in [0, pi]).",
        "raa": "Right ascension of the ascending node [rad] (float, in [0, 2 pi); 0 when equatorial).",
        "arp": "Argument of perigee [rad] (float, in [0, 2 pi); 0 when circular).",
        "tra": "True anomaly [rad] (float, in [0, 2 pi)).",
        "GM": "Gravitational parameter the elements refer to [m^3/s^2] (float).",
    }
    sma: float
    ecc: float
    inc: float
    raa: float
    arp: float
    tra: float
    GM: float

    def __init__(self, epoch: DatetimeLike, sma: float, ecc: float, inc: float, raa: float, arp: float, tra: float,
                 frame: Frame = GCRF, GM: float | None = None) -> None:
        super().__init__(epoch, frame)
        self.sma, self.ecc, self.inc, self.raa, self.arp, self.tra = (
            float(x) for x in (sma, ecc, inc, raa, arp, tra)
        )
        if self.ecc < 0.0:
            raise ValueError(f"ecc must be >= 0, not {self.ecc!r}")
        self.GM = Earth.GM if GM is None else float(GM)

    @property
    def slr(self) -> float:
        """Semi-latus rectum [m]: sma (1 - ecc^2)."""
        return self.sma * (1.0 - self.ecc * self.ecc)

    def to_sv(self) -> StateVector:
        """Position [m] and velocity [m/s] in the same frame."""
        r, v = _conv.sv_from_coe(self.slr, self.ecc, self.inc, self.raa, self.arp, self.tra, self.GM)
        return StateVector(self.epoch, r[0], v[0], frame=self.frame)

    def to_coe(self, GM: float | None = None) -> COE:
        """These elements (``GM`` None or equal), else those of the same state for another ``GM`` [m^3/s^2]."""
        if GM is None or float(GM) == self.GM:
            return self
        return self.to_sv().to_coe(GM)

    def __repr__(self) -> str:
        return (f"COE({self.epoch.utc!r}, sma={self.sma!r}, ecc={self.ecc!r}, inc={self.inc!r}, "
                f"raa={self.raa!r}, arp={self.arp!r}, tra={self.tra!r}, frame={self.frame.name})")


class GeoState(State):
    """A point fixed to the Earth: geodetic ``lat``, ``lon`` [rad] and ``alt`` [m] on ``ellipsoid``.

    Attributes:
        lat: geodetic latitude [rad], in [-pi/2, pi/2].
        lon: longitude [rad], east positive.
        alt: height above the ellipsoid [m].
        ellipsoid: the reference ``Ellipsoid`` (WGS84 by default).
    """

    __slots__ = {
        "lat": "Geodetic latitude [rad] (float, in [-pi/2, pi/2]).",
        "lon": "Longitude [rad] (float, east positive).",
        "alt": "Height above the ellipsoid [m] (float).",
        "ellipsoid": "The reference Ellipsoid (WGS84 by default).",
    }
    lat: float
    lon: float
    alt: float
    ellipsoid: Ellipsoid

    def __init__(self, epoch: DatetimeLike, lat: float, lon: float, alt: float,
                 ellipsoid: Ellipsoid = WGS84) -> None:
        super().__init__(epoch, ITRF)
        self.ellipsoid = _ellipsoid(ellipsoid)
        self.lat, self.lon, self.alt = float(lat), float(lon), float(alt)
        if not -np.pi / 2 <= self.lat <= np.pi / 2:
            raise ValueError(f"lat must be in [-pi/2, pi/2], not {self.lat!r}")

    def to_sv(self) -> StateVector:
        """The Earth-fixed (ITRF) position, at rest in that frame."""
        r = _conv.ecef_from_geodetic(self.lat, self.lon, self.alt, self.ellipsoid.a, self.ellipsoid.f)[0]
        return StateVector(self.epoch, r, np.zeros(3), frame=ITRF)

    def __repr__(self) -> str:
        return f"GeoState({self.epoch.utc!r}, lat={self.lat!r}, lon={self.lon!r}, alt={self.alt!r})"

"""Ephemerides: states at many epochs, stored as one array per quantity."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from astrovia.bodies.bodies import Earth
from astrovia.frames.frames import GCRF, ITRF, Frame
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84, Ellipsoid
from astrovia.time.time import Time
from astrovia.typing import DatetimeLike

from . import conversions as _conv
from .state import COE, GeoState, StateVector, _ellipsoid, _frame

__all__ = ["Ephemeris", "StateVectorEphemeris", "COEEphemeris", "GeoStateEphemeris"]


def _epochs(time: DatetimeLike) -> Time:
    t = time if isinstance(time, Time) else Time(time)
    if t.isscalar:
        t = Time(np.atleast_1d(t.int64))
    return t


def _column(x: npt.ArrayLike, n: int, name: str) -> npt.NDArray[np.float64]:
    a = np.array(x, dtype=np.float64).reshape(-1)
    if a.size == 1 and n != 1:
        a = np.full(n, a[0])
    if a.shape != (n,):
        raise ValueError(f"{name} must have one value per epoch ({n}), not {a.size}")
    return a


def _rows3(x: npt.ArrayLike, n: int, name: str) -> npt.NDArray[np.float64]:
    a = np.ascontiguousarray(np.array(x, dtype=np.float64))
    if a.shape != (n, 3):
        raise ValueError(f"{name} must have shape ({n}, 3), not {a.shape}")
    return a


class Ephemeris:
    """Base of the ephemerides: ``time`` (a ``Time`` of N epochs), ``frame``, ``size``.

    Attributes:
        time: the N epochs, a one-dimensional ``Time`` (a single epoch becomes an array of one).
        frame: the reference ``Frame`` of every state.
    """

    __slots__ = {
        "time": "The N epochs: a one-dimensional Time.",
        "frame": "The reference Frame of every state (GCRF by default).",
    }
    time: Time
    frame: Frame

    def __init__(self, time: DatetimeLike, frame: Frame = GCRF) -> None:
        self.time = _epochs(time)
        self.frame = _frame(frame)

    @property
    def size(self) -> int:
        """The number of epochs N."""
        return int(self.time.size)

    def __len__(self) -> int:
        return self.size

    def to_sv(self) -> StateVectorEphemeris:
        """The states as positions and velocities (a ``StateVectorEphemeris`` in the same frame)."""
        raise NotImplementedError

    def _span(self) -> str:
        """"N epochs, first .. last" (UTC), for the reprs."""
        n = self.size
        if n == 0:
            return "0 epochs"
        if n == 1:
            return f"1 epoch, {self.time[0].iso} UTC"
        return f"{n} epochs, {self.time[0].iso} .. {self.time[n - 1].iso} UTC"

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._span()}, frame={self.frame.name})"


class StateVectorEphemeris(Ephemeris):
    """Positions ``r`` [m] and velocities ``v`` [m/s]: (N, 3) C-contiguous float64 arrays (copies).

    Attributes:
        r: positions [m], float64 array of shape (N, 3), one epoch per row, in ``frame``.
        v: velocities [m/s], float64 array of shape (N, 3), one epoch per row, in ``frame``.
    """

    __slots__ = {
        "r": "Positions [m]: float64 array of shape (N, 3), C-contiguous, one epoch per row.",
        "v": "Velocities [m/s]: float64 array of shape (N, 3), C-contiguous, one epoch per row.",
    }
    r: npt.NDArray[np.float64]
    v: npt.NDArray[np.float64]

    def __init__(self, time: DatetimeLike, r: npt.ArrayLike, v: npt.ArrayLike, frame: Frame = GCRF) -> None:
        super().__init__(time, frame)
        n = self.time.size
        self.r = _rows3(r, n, "r")
        self.v = _rows3(v, n, "v")

    def to_sv(self) -> StateVectorEphemeris:
        """This ephemeris itself."""
        return self

    def to_coe(self, GM: float | None = None) -> COEEphemeris:
        """Classical elements at every epoch; ``GM`` [m^3/s^2] defaults to ``Earth.GM`` read now."""
        gm = Earth.GM if GM is None else float(GM)
        el = _conv.coe_from_sv(self.r, self.v, gm)
        return COEEphemeris(self.time, frame=self.frame, GM=gm, **el)

    def __getitem__(self, i: int) -> StateVector:
        """The state at epoch ``i`` (an int), as a ``StateVector``."""
        if not isinstance(i, (int, np.integer)):
            raise TypeError("an ephemeris is indexed by an int")
        return StateVector(self.time[i], self.r[i], self.v[i], frame=self.frame)

    @classmethod
    def concatenate(cls, *ephemerides: StateVectorEphemeris) -> StateVectorEphemeris:
        """One ephemeris of all epochs of the arguments, in argument order.

        Their frames must agree; no argument gives an empty GCRF ephemeris.
        """
        if not ephemerides:
            return cls(Time(np.zeros(0, dtype=np.int64)), np.zeros((0, 3)), np.zeros((0, 3)))
        for e in ephemerides:
            if not isinstance(e, StateVectorEphemeris):
                raise TypeError(f"concatenate takes StateVectorEphemeris objects, not {type(e).__name__}")
        frame = ephemerides[0].frame
        if any(e.frame != frame for e in ephemerides[1:]):
            raise ValueError("the ephemerides to concatenate must share one frame")
        time = Time(np.concatenate([e.time.int64 for e in ephemerides]))
        return cls(time, np.concatenate([e.r for e in ephemerides]), np.concatenate([e.v for e in ephemerides]),
                   frame=frame)


class COEEphemeris(Ephemeris):
    """Classical elements at N epochs, one float64 array each; ``GM`` [m^3/s^2].

    Give ``sma`` or ``slr`` (or both, which must agree with ``ecc``). A single
    value is repeated for every epoch.

    Attributes (float64 arrays of shape (N,)):
        sma: semi-major axis [m]; slr: semi-latus rectum [m]; ecc: eccentricity;
        inc, raa, arp, tra: inclination, right ascension of the ascending node,
        argument of perigee, true anomaly [rad]. ``GM`` is a float [m^3/s^2].
    """

    __slots__ = {
        "GM": "Gravitational parameter the elements refer to [m^3/s^2] (float).",
        "ecc": "Eccentricities: float64 array of shape (N,).",
        "sma": "Semi-major axes [m]: float64 array of shape (N,).",
        "inc": "Inclinations [rad]: float64 array of shape (N,).",
        "raa": "Right ascensions of the ascending node [rad]: float64 array of shape (N,).",
        "arp": "Arguments of perigee [rad]: float64 array of shape (N,).",
        "tra": "True anomalies [rad]: float64 array of shape (N,).",
        "slr": "Semi-latera recta [m]: float64 array of shape (N,).",
    }
    GM: float
    ecc: npt.NDArray[np.float64]
    sma: npt.NDArray[np.float64]
    inc: npt.NDArray[np.float64]
    raa: npt.NDArray[np.float64]
    arp: npt.NDArray[np.float64]
    tra: npt.NDArray[np.float64]
    slr: npt.NDArray[np.float64]

    def __init__(self, time: DatetimeLike, frame: Frame = GCRF, GM: float | None = None,
                 ecc: npt.ArrayLike | None = None, sma: npt.ArrayLike | None = None, inc: npt.ArrayLike | None = None,
                 raa: npt.ArrayLike | None = None, arp: npt.ArrayLike | None = None, tra: npt.ArrayLike | None = None,
                 slr: npt.ArrayLike | None = None) -> None:
        super().__init__(time, frame)
        n = self.time.size
        self.GM = Earth.GM if GM is None else float(GM)
        for name, val in (("ecc", ecc), ("inc", inc), ("raa", raa), ("arp", arp), ("tra", tra)):
            if val is None:
                raise TypeError(f"COEEphemeris needs {name}")
            setattr(self, name, _column(val, n, name))
        if sma is None and slr is None:
            raise TypeError("COEEphemeris needs sma or slr")
        self.sma = _column(sma, n, "sma") if sma is not None else _column(slr, n, "slr") / (1.0 - self.ecc ** 2)
        self.slr = _column(slr, n, "slr") if slr is not None else self.sma * (1.0 - self.ecc ** 2)

    def to_sv(self) -> StateVectorEphemeris:
        """Positions [m] and velocities [m/s] at every epoch, in the same frame."""
        r, v = _conv.sv_from_coe(self.slr, self.ecc, self.inc, self.raa, self.arp, self.tra, self.GM)
        return StateVectorEphemeris(self.time, r.reshape(-1, 3), v.reshape(-1, 3), frame=self.frame)

    def __getitem__(self, i: int) -> COE:
        """The elements at epoch ``i`` (an int), as a ``COE``."""
        if not isinstance(i, (int, np.integer)):
            raise TypeError("an ephemeris is indexed by an int")
        return COE(self.time[i], self.sma[i], self.ecc[i], self.inc[i], self.raa[i], self.arp[i], self.tra[i],
                   frame=self.frame, GM=self.GM)


class GeoStateEphemeris(Ephemeris):
    """Geodetic ``lat``, ``lon`` [rad], ``alt`` [m] of Earth-fixed points at N epochs.

    Attributes: ``lat``, ``lon`` [rad] and ``alt`` [m], float64 arrays of shape (N,); ``ellipsoid``.
    """

    __slots__ = {
        "lat": "Geodetic latitudes [rad]: float64 array of shape (N,).",
        "lon": "Longitudes [rad], east positive: float64 array of shape (N,).",
        "alt": "Heights above the ellipsoid [m]: float64 array of shape (N,).",
        "ellipsoid": "The reference Ellipsoid (WGS84 by default).",
    }
    lat: npt.NDArray[np.float64]
    lon: npt.NDArray[np.float64]
    alt: npt.NDArray[np.float64]
    ellipsoid: Ellipsoid

    def __init__(self, time: DatetimeLike, lat: npt.ArrayLike, lon: npt.ArrayLike, alt: npt.ArrayLike,
                 ellipsoid: Ellipsoid = WGS84) -> None:
        super().__init__(time, ITRF)
        self.ellipsoid = _ellipsoid(ellipsoid)
        n = self.time.size
        self.lat, self.lon, self.alt = _column(lat, n, "lat"), _column(lon, n, "lon"), _column(alt, n, "alt")

    def to_sv(self) -> StateVectorEphemeris:
        """Earth-fixed (ITRF) positions [m], at rest (zero velocities)."""
        r = _conv.ecef_from_geodetic(self.lat, self.lon, self.alt, self.ellipsoid.a, self.ellipsoid.f)
        return StateVectorEphemeris(self.time, r.reshape(-1, 3), np.zeros((self.size, 3)), frame=ITRF)

    def __getitem__(self, i: int) -> GeoState:
        """The point at epoch ``i`` (an int), as a ``GeoState``."""
        return GeoState(self.time[i], self.lat[i], self.lon[i], self.alt[i], ellipsoid=self.ellipsoid)

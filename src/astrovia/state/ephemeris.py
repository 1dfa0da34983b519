"""Ephemerides: states at many epochs, stored as one array per quantity."""

from __future__ import annotations

import numpy as np

from astrovia.bodies.bodies import Earth
from astrovia.frames.frames import GCRF, ITRF
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84
from astrovia.time.time import Time

from . import conversions as _conv
from .state import COE, GeoState, StateVector, _ellipsoid, _frame

__all__ = ["Ephemeris", "StateVectorEphemeris", "COEEphemeris", "GeoStateEphemeris"]


def _epochs(time):
    t = time if isinstance(time, Time) else Time(time)
    if t.isscalar:
        t = Time(np.atleast_1d(t.int64))
    return t


def _column(x, n, name):
    a = np.array(x, dtype=np.float64).reshape(-1)
    if a.size == 1 and n != 1:
        a = np.full(n, a[0])
    if a.shape != (n,):
        raise ValueError(f"{name} must have one value per epoch ({n}), not {a.size}")
    return a


def _rows3(x, n, name):
    a = np.ascontiguousarray(np.array(x, dtype=np.float64))
    if a.shape != (n, 3):
        raise ValueError(f"{name} must have shape ({n}, 3), not {a.shape}")
    return a


class Ephemeris:
    """Base of the ephemerides: ``time`` (a ``Time`` of N epochs), ``frame``, ``size``."""

    __slots__ = ("time", "frame")

    def __init__(self, time, frame=GCRF):
        self.time = _epochs(time)
        self.frame = _frame(frame)

    @property
    def size(self):
        return self.time.size

    def __len__(self):
        return self.size

    def to_sv(self) -> StateVectorEphemeris:
        raise NotImplementedError


class StateVectorEphemeris(Ephemeris):
    """Positions ``r`` [m] and velocities ``v`` [m/s]: (N, 3) C-contiguous float64 arrays (copies)."""

    __slots__ = ("r", "v")

    def __init__(self, time, r, v, frame=GCRF):
        super().__init__(time, frame)
        n = self.time.size
        self.r = _rows3(r, n, "r")
        self.v = _rows3(v, n, "v")

    def to_sv(self):
        return self

    def to_coe(self, GM=None):
        gm = Earth.GM if GM is None else float(GM)
        el = _conv.coe_from_sv(self.r, self.v, gm)
        return COEEphemeris(self.time, frame=self.frame, GM=gm, **el)

    def __getitem__(self, i):
        """The state at epoch ``i`` (an int), as a ``StateVector``."""
        if not isinstance(i, (int, np.integer)):
            raise TypeError("an ephemeris is indexed by an int")
        return StateVector(self.time[i], self.r[i], self.v[i], frame=self.frame)

    @classmethod
    def concatenate(cls, *ephemerides):
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

    def __repr__(self):
        return f"StateVectorEphemeris(<{self.size} epochs>, frame={self.frame.name})"


class COEEphemeris(Ephemeris):
    """Classical elements at N epochs, one float64 array each; ``GM`` [m^3/s^2].

    Give ``sma`` or ``slr`` (or both, which must agree with ``ecc``).
    """

    __slots__ = ("GM", "ecc", "sma", "inc", "raa", "arp", "tra", "slr")

    def __init__(self, time, frame=GCRF, GM=None, ecc=None, sma=None, inc=None, raa=None, arp=None, tra=None,
                 slr=None):
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

    def to_sv(self):
        r, v = _conv.sv_from_coe(self.slr, self.ecc, self.inc, self.raa, self.arp, self.tra, self.GM)
        return StateVectorEphemeris(self.time, r.reshape(-1, 3), v.reshape(-1, 3), frame=self.frame)

    def __getitem__(self, i):
        if not isinstance(i, (int, np.integer)):
            raise TypeError("an ephemeris is indexed by an int")
        return COE(self.time[i], self.sma[i], self.ecc[i], self.inc[i], self.raa[i], self.arp[i], self.tra[i],
                   frame=self.frame, GM=self.GM)

    def __repr__(self):
        return f"COEEphemeris(<{self.size} epochs>, frame={self.frame.name})"


class GeoStateEphemeris(Ephemeris):
    """Geodetic ``lat``, ``lon`` [rad], ``alt`` [m] of Earth-fixed points at N epochs."""

    __slots__ = ("lat", "lon", "alt", "ellipsoid")

    def __init__(self, time, lat, lon, alt, ellipsoid=WGS84):
        super().__init__(time, ITRF)
        self.ellipsoid = _ellipsoid(ellipsoid)
        n = self.time.size
        self.lat, self.lon, self.alt = _column(lat, n, "lat"), _column(lon, n, "lon"), _column(alt, n, "alt")

    def to_sv(self):
        r = _conv.ecef_from_geodetic(self.lat, self.lon, self.alt, self.ellipsoid.a, self.ellipsoid.f)
        return StateVectorEphemeris(self.time, r.reshape(-1, 3), np.zeros((self.size, 3)), frame=ITRF)

    def __getitem__(self, i):
        return GeoState(self.time[i], self.lat[i], self.lon[i], self.alt[i], ellipsoid=self.ellipsoid)

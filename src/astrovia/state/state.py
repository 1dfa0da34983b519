"""Orbital states at one epoch: Cartesian, classical elements, geodetic."""

from __future__ import annotations

import numpy as np

from astrovia.bodies.bodies import Earth
from astrovia.frames.frames import GCRF, ITRF, Frame
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84, Ellipsoid
from astrovia.time.time import Time

from . import conversions as _conv

__all__ = ["State", "StateVector", "COE", "GeoState"]


def _one_epoch(epoch):
    t = epoch if isinstance(epoch, Time) else Time(epoch)
    if not t.isscalar:
        raise ValueError("epoch must be a single epoch")
    return t


def _frame(frame):
    if not isinstance(frame, Frame):
        raise TypeError(f"frame must be a Frame, not {type(frame).__name__}")
    return frame


def _ellipsoid(ellipsoid):
    if not isinstance(ellipsoid, Ellipsoid):
        raise TypeError(f"ellipsoid must be an Ellipsoid, not {type(ellipsoid).__name__}")
    return ellipsoid


def _vector3(x, name):
    a = np.array(x, dtype=np.float64).reshape(-1)
    if a.shape != (3,):
        raise ValueError(f"{name} must have three components, not {a.size}")
    return a


class State:
    """Base of the orbital states: an ``epoch`` (a one-epoch ``Time``) and a ``frame``.

    Comparisons with a ``Time`` (or anything ``Time`` accepts) compare the epoch.
    """

    __slots__ = ("epoch", "frame")

    def __init__(self, epoch, frame=GCRF):
        self.epoch = _one_epoch(epoch)
        self.frame = _frame(frame)

    def to_sv(self) -> StateVector:
        raise NotImplementedError

    def _epoch_of(self, other):
        return other.epoch if isinstance(other, State) else other

    def __lt__(self, other):
        return self.epoch < self._epoch_of(other)

    def __le__(self, other):
        return self.epoch <= self._epoch_of(other)

    def __gt__(self, other):
        return self.epoch > self._epoch_of(other)

    def __ge__(self, other):
        return self.epoch >= self._epoch_of(other)


class StateVector(State):
    """Position ``r`` [m] and velocity ``v`` [m/s] (float64 arrays of three) at ``epoch``."""

    __slots__ = ("r", "v")

    def __init__(self, epoch, r, v, frame=GCRF):
        super().__init__(epoch, frame)
        self.r = _vector3(r, "r")
        self.v = _vector3(v, "v")

    def to_sv(self):
        return self

    def to_coe(self, GM=None):
        """Classical elements; ``GM`` [m^3/s^2] defaults to ``Earth.GM`` read now."""
        gm = Earth.GM if GM is None else float(GM)
        el = _conv.coe_from_sv(self.r, self.v, gm)
        return COE(self.epoch, *(float(el[k][0]) for k in ("sma", "ecc", "inc", "raa", "arp", "tra")),
                   frame=self.frame, GM=gm)

    def __repr__(self):
        return f"StateVector({self.epoch.utc!r}, r={self.r.tolist()}, v={self.v.tolist()}, frame={self.frame.name})"


class COE(State):
    """Classical orbital elements at ``epoch``: ``sma`` [m], ``ecc``, ``inc``, ``raa``, ``arp``,
    ``tra`` [rad], with the gravitational parameter ``GM`` [m^3/s^2] they refer to."""

    __slots__ = ("sma", "ecc", "inc", "raa", "arp", "tra", "GM")

    def __init__(self, epoch, sma, ecc, inc, raa, arp, tra, frame=GCRF, GM=None):
        super().__init__(epoch, frame)
        self.sma, self.ecc, self.inc, self.raa, self.arp, self.tra = (
            float(x) for x in (sma, ecc, inc, raa, arp, tra)
        )
        if self.ecc < 0.0:
            raise ValueError(f"ecc must be >= 0, not {self.ecc!r}")
        self.GM = Earth.GM if GM is None else float(GM)

    @property
    def slr(self):
        """Semi-latus rectum [m]: sma (1 - ecc^2)."""
        return self.sma * (1.0 - self.ecc * self.ecc)

    def to_sv(self):
        r, v = _conv.sv_from_coe(self.slr, self.ecc, self.inc, self.raa, self.arp, self.tra, self.GM)
        return StateVector(self.epoch, r[0], v[0], frame=self.frame)

    def to_coe(self, GM=None):
        if GM is None or float(GM) == self.GM:
            return self
        return self.to_sv().to_coe(GM)

    def __repr__(self):
        return (f"COE({self.epoch.utc!r}, sma={self.sma!r}, ecc={self.ecc!r}, inc={self.inc!r}, "
                f"raa={self.raa!r}, arp={self.arp!r}, tra={self.tra!r}, frame={self.frame.name})")


class GeoState(State):
    """A point fixed to the Earth: geodetic ``lat``, ``lon`` [rad] and ``alt`` [m] on ``ellipsoid``."""

    __slots__ = ("lat", "lon", "alt", "ellipsoid")

    def __init__(self, epoch, lat, lon, alt, ellipsoid=WGS84):
        super().__init__(epoch, ITRF)
        self.ellipsoid = _ellipsoid(ellipsoid)
        self.lat, self.lon, self.alt = float(lat), float(lon), float(alt)
        if not -np.pi / 2 <= self.lat <= np.pi / 2:
            raise ValueError(f"lat must be in [-pi/2, pi/2], not {self.lat!r}")

    def to_sv(self):
        """The Earth-fixed (ITRF) position, at rest in that frame."""
        r = _conv.ecef_from_geodetic(self.lat, self.lon, self.alt, self.ellipsoid.a, self.ellipsoid.f)[0]
        return StateVector(self.epoch, r, np.zeros(3), frame=ITRF)

    def __repr__(self):
        return f"GeoState({self.epoch.utc!r}, lat={self.lat!r}, lon={self.lon!r}, alt={self.alt!r})"

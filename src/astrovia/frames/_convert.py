"""Argument checks and frame conversions shared by the modules that take
positions (and velocities) at epochs in GCRF, TEME or ITRF: the ground
stations, the Sun and the Moon, the shadow functions and the plots."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia.frames import geocentric
from astrovia.frames.frames import GCRF, ITRF, TEME, Frame
from astrovia.time.time import Time

_F64 = npt.NDArray[np.float64]
FRAMES = (GCRF, ITRF, TEME)


def as_time(time: Any, name: str = "time") -> Time:
    """A Time (anything Time accepts is converted; a str must be an ISO date)."""
    if isinstance(time, Time):
        return time
    try:
        return Time(time)
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"{name} must be a Time or something Time accepts: {exc}") from None


def as_array_time(t: Time) -> Time:
    """The same epochs as a one-dimensional Time (one epoch becomes an array of one)."""
    return Time(np.atleast_1d(t.int64).copy()) if t.isscalar else t


def check_frame(frame: Any, allowed: tuple[Frame, ...] = FRAMES) -> Frame:
    if not isinstance(frame, Frame):
        raise TypeError(f"frame must be a Frame (GCRF, TEME or ITRF), not {type(frame).__name__}")
    if frame not in allowed:
        raise ValueError(f"frame must be one of {', '.join(f.name for f in allowed)}, not {frame.name}")
    return frame


def real_array(x: Any, name: str) -> npt.NDArray[Any]:
    """x as a NumPy array of real numbers (bool, integer or float), or a TypeError naming it."""
    if isinstance(x, (str, bytes)):
        raise TypeError(f"{name} must be an array of numbers, not {type(x).__name__}")
    try:
        a = np.asarray(x)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be an array of numbers: {exc}") from None
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, not {a.dtype}")
    return a


def rows(x: Any, n: int, name: str) -> _F64:
    """(n, 3) float64 rows of x, which may be (3,) when n is 1; a fresh C-ordered
    array (never a view of the caller's data)."""
    a = real_array(x, name)
    if a.ndim == 1 and a.shape == (3,) and n == 1:
        a = a.reshape(1, 3)
    if a.ndim != 2 or a.shape[1] != 3:
        raise ValueError(f"{name} must have shape (N, 3), one row per epoch, not {a.shape}")
    if a.shape[0] != n:
        raise ValueError(f"{name} has {a.shape[0]} rows, but time has {n} epochs")
    return np.array(a, dtype=np.float64, order="C", copy=True)


def to_itrf(t: Time, r: _F64, v: _F64, frame: Frame) -> tuple[_F64, _F64]:
    """(N, 3) positions and velocities at the N epochs of t (an array Time) to ITRF."""
    if frame == ITRF or r.shape[0] == 0:
        return r, v
    if frame == GCRF:
        return geocentric.ITRF_from_GCRF(t, r, v)
    return geocentric.ITRF_from_TEME(t, r, v)


def to_gcrf(t: Time, r: _F64, frame: Frame) -> _F64:
    """(N, 3) positions at the N epochs of t (an array Time) to GCRF."""
    if frame == GCRF or r.shape[0] == 0:
        return r
    v = np.zeros_like(r)
    if frame == TEME:
        r, v = geocentric.ITRF_from_TEME(t, r, v)
    return geocentric.GCRF_from_ITRF(t, r, v)[0]


def from_gcrf(t: Time, r: _F64, frame: Frame) -> _F64:
    """(N, 3) GCRF positions at the N epochs of t (an array Time) to frame."""
    if frame == GCRF or r.shape[0] == 0:
        return r
    ri, vi = geocentric.ITRF_from_GCRF(t, r, np.zeros_like(r))
    if frame == ITRF:
        return ri
    return geocentric.TEME_from_ITRF(t, ri, vi)[0]

"""Reference frames: named markers that states and ephemerides carry.

This module imports nothing of the package: states, ephemerides and every
model depend on it, never the other way round.
"""

from __future__ import annotations

from typing import Any, Protocol


class GeodeticPoint(Protocol):
    """What an ENU frame is attached to: a point with geodetic ``lat``, ``lon`` [rad] and ``alt`` [m]
    (an ``astrovia.state.state.GeoState``)."""

    @property
    def lat(self) -> float:
        """Geodetic latitude [rad]."""
        ...

    @property
    def lon(self) -> float:
        """Longitude [rad], east positive."""
        ...

    @property
    def alt(self) -> float:
        """Height above the ellipsoid [m]."""
        ...


class Frame:
    """A reference frame, identified by its ``name``."""

    __slots__ = {"name": "The frame's name (str), e.g. \"GCRF\"."}
    name: str

    def __init__(self, name: str) -> None:
        if not isinstance(name, str):
            raise TypeError(f"name must be str, not {type(name).__name__}")
        self.name = name

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Frame) and type(other) is type(self) and other.name == self.name

    def __hash__(self) -> int:
        return hash((type(self).__name__, self.name))

    def __repr__(self) -> str:
        return f"Frame({self.name!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.name,))


class ENU(Frame):
    """A local East-North-Up frame at a point on the Earth (``origin``: a GeoState or None)."""

    __slots__ = {"origin": "The GeoState the frame is attached to, or None."}
    origin: GeodeticPoint | None

    def __init__(self, origin: GeodeticPoint | None = None) -> None:
        super().__init__("ENU")
        self.origin = origin

    def __eq__(self, other: object) -> bool:
        return isinstance(other, ENU) and other.origin is self.origin

    def __hash__(self) -> int:
        return hash(("ENU", id(self.origin)))

    def __repr__(self) -> str:
        return f"ENU(origin={self.origin!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (ENU, (self.origin,))


GCRF = Frame("GCRF")  # geocentric celestial reference frame
ITRF = Frame("ITRF")  # international terrestrial reference frame (Earth-fixed)
TEME = Frame("TEME")  # true equator, mean equinox: the frame of two-line elements

__all__ = ["Frame", "ENU", "GCRF", "ITRF", "TEME"]

"""Reference frames: named markers that states and ephemerides carry."""


class Frame:
    """A reference frame, identified by its ``name``."""

    __slots__ = ("name",)

    def __init__(self, name):
        if not isinstance(name, str):
            raise TypeError(f"name must be str, not {type(name).__name__}")
        self.name = name

    def __eq__(self, other):
        return isinstance(other, Frame) and type(other) is type(self) and other.name == self.name

    def __hash__(self):
        return hash((type(self).__name__, self.name))

    def __repr__(self):
        return f"Frame({self.name!r})"

    def __reduce__(self):
        return (type(self), (self.name,))


class ENU(Frame):
    """A local East-North-Up frame at a point on the Earth (``origin``: a GeoState or None)."""

    __slots__ = ("origin",)

    def __init__(self, origin=None):
        super().__init__("ENU")
        self.origin = origin

    def __eq__(self, other):
        return isinstance(other, ENU) and other.origin is self.origin

    def __hash__(self):
        return hash(("ENU", id(self.origin)))

    def __repr__(self):
        return f"ENU(origin={self.origin!r})"

    def __reduce__(self):
        return (ENU, (self.origin,))


GCRF = Frame("GCRF")  # geocentric celestial reference frame
ITRF = Frame("ITRF")  # international terrestrial reference frame (Earth-fixed)
TEME = Frame("TEME")  # true equator, mean equinox: the frame of two-line elements

__all__ = ["Frame", "ENU", "GCRF", "ITRF", "TEME"]

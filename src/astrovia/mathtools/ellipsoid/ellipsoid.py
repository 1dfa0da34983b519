"""Reference ellipsoids of revolution."""

import math


class Ellipsoid:
    """An oblate ellipsoid with equatorial radius ``a`` [m] and flattening ``f``."""

    __slots__ = {
        "name": "The ellipsoid's name (str).",
        "a": "Equatorial radius [m] (float).",
        "f": "Flattening (float, dimensionless).",
    }
    name: str
    a: float
    f: float

    def __init__(self, name: str, a: float, f: float) -> None:
        if not (a > 0.0 and 0.0 <= f < 1.0):
            raise ValueError(f"an ellipsoid needs a > 0 and 0 <= f < 1, not a={a!r}, f={f!r}")
        self.name = name
        self.a = float(a)
        self.f = float(f)

    @property
    def b(self) -> float:
        """Polar radius [m]."""
        return self.a * (1.0 - self.f)

    @property
    def e2(self) -> float:
        """First eccentricity squared."""
        return self.f * (2.0 - self.f)

    @property
    def e(self) -> float:
        """First eccentricity."""
        return math.sqrt(self.e2)

    def __repr__(self) -> str:
        return f"Ellipsoid({self.name!r}, a={self.a!r}, f={self.f!r})"


GRS80 = Ellipsoid("GRS80", 6378137.0, 1.0 / 298.257222101)
WGS72 = Ellipsoid("WGS72", 6378135.0, 1.0 / 298.26)
WGS84 = Ellipsoid("WGS84", 6378137.0, 1.0 / 298.257223563)

__all__ = ["Ellipsoid", "GRS80", "WGS72", "WGS84"]

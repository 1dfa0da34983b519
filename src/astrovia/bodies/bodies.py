"""Celestial bodies and their constants (class attributes, SI units).

The constants are read when they are used, so assigning ``Earth.GM`` changes
every later computation that reads it.
"""


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


class Moon(CelestialBody):
    """The Moon: GM [m^3/s^2], mean radius [m]."""

    GM = 4.9028e12
    Re = 1.7374e6


__all__ = ["CelestialBody", "Earth", "Sun", "Moon"]

"""Unit factors. The package works in SI units (m, s, rad); multiply a value in
a display unit by its factor to get SI, divide an SI value to display it."""

import math

rad = 1.0
deg = math.pi / 180.0  # radians per degree
rev = 2.0 * math.pi  # radians per revolution
arcsec = math.pi / 648000.0
m = 1.0
km = 1000.0  # metres per kilometre
minute = 60.0
hour = 3600.0  # seconds per hour
day = 86400.0  # seconds per day

__all__ = ["rad", "deg", "rev", "arcsec", "m", "km", "minute", "hour", "day"]

"""Reference ellipsoids: ``astrovia.mathtools.ellipsoid.ellipsoid``."""

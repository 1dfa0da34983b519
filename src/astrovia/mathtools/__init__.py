"""Mathematical helpers: ``misc`` (native angle helpers) and ``ellipsoid`` (reference ellipsoids)."""

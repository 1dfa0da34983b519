"""astrovia: astrodynamics with a native C++ core."""

"""Orbital states (``state``), ephemerides (``ephemeris``) and the Kepler solver (``coe``)."""

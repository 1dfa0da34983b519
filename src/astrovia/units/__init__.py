"""Unit factors: ``astrovia.units.units``."""

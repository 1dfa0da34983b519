"""Celestial bodies: ``astrovia.bodies.bodies``."""

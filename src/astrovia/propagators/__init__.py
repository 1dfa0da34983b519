"""Orbit propagators."""

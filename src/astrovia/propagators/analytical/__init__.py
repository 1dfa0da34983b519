"""Analytical orbit propagators."""

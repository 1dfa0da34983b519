"""Keplerian (two-body) propagation."""

"""Orbit propagators: the ``Propagator`` base class and its concrete propagators."""

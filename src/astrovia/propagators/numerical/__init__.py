"""Precise orbits: numerical propagation with the geopotential, the Sun and the Moon, drag and radiation pressure.

``Numerical`` (a ``Propagator``) integrates the equations of motion in the GCRF
with the embedded Runge-Kutta pair RK8(7) of Prince and Dormand; its force model
is set by ``gravity``, ``degree``, ``order``, ``third_bodies``, ``drag`` and
``srp``. The force-model settings are the classes ``Drag`` (with the
``Exponential`` or ``HarrisPriester`` atmospheres) and ``SRP``.
"""

from __future__ import annotations

from ._model import SHIPPED_FIELDS, SRP, Drag, Exponential, GravityField, HarrisPriester, load_icgem
from .numerical import Numerical

__all__ = ["Numerical", "Drag", "SRP", "Exponential", "HarrisPriester", "GravityField", "load_icgem",
           "SHIPPED_FIELDS"]

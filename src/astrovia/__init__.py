"""astrovia: astrodynamics with a native C++ core.

Two-line element sets and their catalogues, SGP4 and two-body propagation,
conversions between the GCRF, ITRF and TEME frames, epochs on every time scale.
SI units throughout (m, m/s, s, rad).

``import astrovia`` is cheap: it loads neither NumPy's heavier companions
(pandas) nor any extension module. The everyday names below are imported from
their modules on first use::

    import astrovia
    t = astrovia.Time("2024-01-01T12:00")        # astrovia.time.time.Time
    tles = astrovia.read_tles("catalogue.tle")   # astrovia.propagators.analytical.sgp4.tle

Their home modules are listed in ``astrovia._LAZY``.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

_SGP4 = "astrovia.propagators.analytical.sgp4"

# name -> module that defines it
_LAZY: dict[str, str] = {
    "Time": "astrovia.time.time",
    "EOP": "astrovia.iers",
    "TLE": f"{_SGP4}.tle",
    "ELSET": f"{_SGP4}.tle",
    "read_tles": f"{_SGP4}.tle",
    "read_elsets": f"{_SGP4}.tle",
    "read_omm": f"{_SGP4}.tle",
    "SGP4": f"{_SGP4}.sgp4",
    "Keplerian": "astrovia.propagators.analytical.keplerian.keplerian",
    "Satellite": "astrovia.satellite.satellite",
    "State": "astrovia.state.state",
    "StateVector": "astrovia.state.state",
    "COE": "astrovia.state.state",
    "GeoState": "astrovia.state.state",
    "StateVectorEphemeris": "astrovia.state.ephemeris",
    "COEEphemeris": "astrovia.state.ephemeris",
    "Frame": "astrovia.frames.frames",
    "GCRF": "astrovia.frames.frames",
    "ITRF": "astrovia.frames.frames",
    "TEME": "astrovia.frames.frames",
    "ITRF_from_GCRF": "astrovia.frames.geocentric",
    "GCRF_from_ITRF": "astrovia.frames.geocentric",
    "ITRF_from_TEME": "astrovia.frames.geocentric",
    "TEME_from_ITRF": "astrovia.frames.geocentric",
    "rot_ITRF_from_GCRF": "astrovia.frames.rotations",
    "rot_GCRF_from_ITRF": "astrovia.frames.rotations",
}

__all__ = ["__version__", *_LAZY]

if TYPE_CHECKING:  # the names as a type checker sees them (re-exported)
    from astrovia.frames.frames import GCRF as GCRF
    from astrovia.frames.frames import ITRF as ITRF
    from astrovia.frames.frames import TEME as TEME
    from astrovia.frames.frames import Frame as Frame
    from astrovia.frames.geocentric import GCRF_from_ITRF as GCRF_from_ITRF
    from astrovia.frames.geocentric import ITRF_from_GCRF as ITRF_from_GCRF
    from astrovia.frames.geocentric import ITRF_from_TEME as ITRF_from_TEME
    from astrovia.frames.geocentric import TEME_from_ITRF as TEME_from_ITRF
    from astrovia.frames.rotations import rot_GCRF_from_ITRF as rot_GCRF_from_ITRF
    from astrovia.frames.rotations import rot_ITRF_from_GCRF as rot_ITRF_from_GCRF
    from astrovia.iers import EOP as EOP
    from astrovia.propagators.analytical.keplerian.keplerian import Keplerian as Keplerian
    from astrovia.propagators.analytical.sgp4.sgp4 import SGP4 as SGP4
    from astrovia.propagators.analytical.sgp4.tle import ELSET as ELSET
    from astrovia.propagators.analytical.sgp4.tle import TLE as TLE
    from astrovia.propagators.analytical.sgp4.tle import read_elsets as read_elsets
    from astrovia.propagators.analytical.sgp4.tle import read_omm as read_omm
    from astrovia.propagators.analytical.sgp4.tle import read_tles as read_tles
    from astrovia.satellite.satellite import Satellite as Satellite
    from astrovia.state.ephemeris import COEEphemeris as COEEphemeris
    from astrovia.state.ephemeris import StateVectorEphemeris as StateVectorEphemeris
    from astrovia.state.state import COE as COE
    from astrovia.state.state import GeoState as GeoState
    from astrovia.state.state import State as State
    from astrovia.state.state import StateVector as StateVector
    from astrovia.time.time import Time as Time

def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'astrovia' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))

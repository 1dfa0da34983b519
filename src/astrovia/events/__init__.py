"""Events and conditions along orbits: the Earth's shadow on a satellite, and
passes over ground stations and eclipses as tables (``passes``, ``eclipses``).

The shadow is conical: the Earth a sphere of radius ``Earth.Re``, the Sun a
disc of radius 695 700 km at its astrometric geocentric position (ERFA's
series). No atmosphere, no oblateness.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia.bodies.bodies import Earth
from astrovia.events import _shadow
from astrovia.frames import _convert
from astrovia.frames.frames import GCRF, Frame

from astrovia.events.searches import eclipses, passes

__all__ = ["illumination", "sunlit", "passes", "eclipses"]


def _shadow_rows(fn: Any, time: Any, r: npt.ArrayLike, frame: Frame) -> tuple[npt.NDArray[np.float64], bool]:
    t = _convert.as_time(time)
    f = _convert.check_frame(frame)
    ta = _convert.as_array_time(t)
    rows = _convert.to_gcrf(ta, _convert.rows(r, ta.size, "r"), f)
    return fn(ta.tt.jd12, rows, float(Earth.Re)), t.isscalar


def illumination(time: Any, r: npt.ArrayLike, frame: Frame = GCRF) -> Any:
    """The visible fraction of the Sun's disc seen from positions ``r``, in [0, 1].

    Args:
        time: the N epochs (a ``Time``, or anything ``Time`` accepts).
        r: geocentric positions [m], (N, 3) (or (3,) for one epoch).
        frame: the frame of r: GCRF (default), TEME or ITRF.

    Returns:
        float64 (N,) (a float for one epoch): 1 in sunlight, 0 in the umbra,
        the uncovered share of the Sun's disc in the penumbra (and where the
        Earth's disc lies inside the Sun's). NaN for a non-finite position.
    """
    out, single = _shadow_rows(_shadow.illumination_rows, time, r, frame)
    return float(out[0]) if single else out


def sunlit(time: Any, r: npt.ArrayLike, frame: Frame = GCRF) -> Any:
    """True where the centre of the Sun's disc is visible from positions ``r``.

    Args:
        time: the N epochs (a ``Time``, or anything ``Time`` accepts).
        r: geocentric positions [m], (N, 3) (or (3,) for one epoch).
        frame: the frame of r: GCRF (default), TEME or ITRF.

    Returns:
        bool (N,) (a bool for one epoch). A non-finite position is not sunlit.
    """
    out, single = _shadow_rows(_shadow.sunlit_rows, time, r, frame)
    lit = out == 1.0
    return bool(lit[0]) if single else lit

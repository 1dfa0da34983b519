"""Pictures of orbits and passes, as matplotlib Figures.

matplotlib is an optional dependency (the extra ``astrovia[plot]``); it is
imported when a function is first called, so importing this package never
needs it. The figures are made with matplotlib's object interface (no pyplot
state), so they work without a display.
"""

from __future__ import annotations

from astrovia.plot._ground_track import ground_track
from astrovia.plot._sky_plot import sky_plot

__all__ = ["ground_track", "sky_plot"]

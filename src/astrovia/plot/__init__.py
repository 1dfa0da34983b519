"""Pictures of orbits and passes, as matplotlib Figures.

matplotlib is an optional dependency (the extra ``astrovia[plot]``); it is
imported when a function is first called, so importing this package never
needs it. The figures are made with matplotlib's object interface (no pyplot
state), so they work without a display.
"""

from __future__ import annotations

from typing import Any


def _require_matplotlib() -> Any:
    """matplotlib's Figure class, or an ImportError naming the extra that installs it."""
    try:
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError("astrovia.plot needs matplotlib: pip install 'astrovia[plot]'") from exc
    return Figure


from astrovia.plot._ground_track import ground_track  # noqa: E402
from astrovia.plot._sky_plot import sky_plot  # noqa: E402

__all__ = ["ground_track", "sky_plot"]

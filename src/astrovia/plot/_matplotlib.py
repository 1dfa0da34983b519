"""matplotlib, imported only when a picture is drawn (it is the optional extra ``astrovia[plot]``)."""

from __future__ import annotations

from typing import Any


def require_matplotlib() -> Any:
    """matplotlib's Figure class, or an ImportError naming the extra that installs it."""
    try:
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError("astrovia.plot needs matplotlib: pip install 'astrovia[plot]'") from exc
    return Figure

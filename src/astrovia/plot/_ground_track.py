"""The ground track: geodetic latitude against longitude of a satellite's positions."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia.frames import _convert
from astrovia.frames.frames import ITRF, Frame


def split_at_wraps(lon_deg: npt.NDArray[np.float64], lat_deg: npt.NDArray[np.float64],
                   ) -> list[tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]]:
    """The track cut into pieces that do not cross the +-180 degree meridian: each crossing
    ends one piece on the meridian and starts the next on the other side, at the latitude
    interpolated between the two samples."""
    pieces = []
    start = 0
    xs: list[float] = []
    ys: list[float] = []
    for i in range(len(lon_deg)):
        if i > start and abs(lon_deg[i] - lon_deg[i - 1]) > 180.0:
            a, b = lon_deg[i - 1], lon_deg[i]
            edge = 180.0 if a > 0 else -180.0
            b_unwrapped = b + (360.0 if a > 0 else -360.0)
            frac = (edge - a) / (b_unwrapped - a) if b_unwrapped != a else 0.0
            lat_edge = lat_deg[i - 1] + frac * (lat_deg[i] - lat_deg[i - 1])
            pieces.append((np.array(xs + [edge]), np.array(ys + [lat_edge])))
            xs, ys = [-edge], [lat_edge]
        xs.append(float(lon_deg[i]))
        ys.append(float(lat_deg[i]))
    if xs:
        pieces.append((np.array(xs), np.array(ys)))
    return pieces


def ground_track(time: Any, r: Any, frame: Frame = ITRF, *, title: str | None = None, ax: Any = None,
                 label: str | None = None, color: str | None = None) -> Any:
    """Latitude against longitude [deg] of positions, the track split where it wraps at +-180 degrees.

    Args:
        time: the N epochs (a ``Time``, or anything ``Time`` accepts).
        r: positions [m], (N, 3).
        frame: the frame of r: ITRF (default), TEME or GCRF.
        title: the axes' title.
        ax: draw into these matplotlib axes instead of a new figure (more tracks on one map).
        label, color: the track's legend label and colour.

    Returns:
        The matplotlib ``Figure``: a plate carree map with a 30-degree graticule, the
        equator and the tropics and polar circles (no coastline data is downloaded),
        the start of the track marked.
    """
    from astrovia.frames.geodetic import geodetic_from_ITRF
    from astrovia.plot._matplotlib import require_matplotlib

    Figure = require_matplotlib()
    f = _convert.check_frame(frame)
    t = _convert.as_array_time(_convert.as_time(time))
    rows = _convert.rows(r, t.size, "r")
    ri, _ = _convert.to_itrf(t, rows, np.zeros_like(rows), f)
    lla = geodetic_from_ITRF(ri)
    lat, lon = np.degrees(lla["lat"]), np.degrees(lla["lon"])

    if ax is None:
        fig = Figure(figsize=(9.0, 4.8), layout="constrained")
        ax = fig.add_subplot()
        _map(ax)
    else:
        fig = ax.figure
    line = None
    for x, y in split_at_wraps(lon, lat):
        (line,) = ax.plot(x, y, lw=1.3, color=color if line is None else line.get_color(),
                          label=label if line is None else None, gid="ground track")
    if len(lon):
        ax.plot(lon[:1], lat[:1], "o", ms=5, color=line.get_color() if line is not None else color)
    if title is not None:
        ax.set_title(title)
    if label is not None:
        ax.legend(loc="lower left", fontsize="small")
    return fig


def _map(ax: Any) -> None:
    ax.set_xlim(-180, 180)
    ax.set_ylim(-90, 90)
    ax.set_aspect("equal")
    ax.set_xticks(np.arange(-180, 181, 30))
    ax.set_yticks(np.arange(-90, 91, 30))
    ax.set_xlabel("longitude [deg]")
    ax.set_ylabel("geodetic latitude [deg]")
    ax.set_facecolor("#eef4fa")
    ax.grid(True, color="white", lw=0.8)
    ax.axhline(0.0, color="#9db3c8", lw=0.9)
    for lat in (23.44, -23.44, 66.56, -66.56):
        ax.axhline(lat, color="#c4d3e0", lw=0.7, ls="--")

"""The sky plot: passes over a station on a polar azimuth/elevation chart."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

_TRACK_POINTS = 120


def _is_look(a: Any) -> bool:
    return isinstance(a, np.ndarray) and a.dtype.names is not None and {"azimuth", "elevation"} <= set(a.dtype.names)


def _is_pass_table(a: Any) -> bool:
    columns = getattr(a, "columns", None)
    return columns is not None and {"rise", "set", "rise_azimuth", "culmination_azimuth", "set_azimuth",
                                    "max_elevation"} <= set(columns)


def _pass_tracks(table: Any, satellites: Any, stations: Any) -> list[tuple[str, npt.NDArray[np.float64],
                                                                             npt.NDArray[np.float64]]]:
    """(label, azimuth, elevation) [rad] of every pass of the table, computed along the pass."""
    from astrovia.events.searches import _tracks
    from astrovia.groundstation import GroundStation
    from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
    from astrovia.time.time import Time

    members_of = {}
    for members, satno in zip(*_tracks(satellites)):
        members_of[satno] = members
    if isinstance(stations, GroundStation):
        stations = [stations]
    by_name = {}
    for st in stations:
        if not isinstance(st, GroundStation):
            raise TypeError(f"stations must be GroundStation objects, not {type(st).__name__}")
        by_name[st.name if st.name is not None else f"{math.degrees(st.lat):.4f},{math.degrees(st.lon):.4f}"] = st
    sgp4 = SGP4()
    out = []
    for row in table.itertuples(index=False):
        if row.satno not in members_of:
            raise ValueError(f"satellites has no satellite {row.satno!r} of the table")
        if row.station not in by_name:
            raise ValueError(f"stations has no station named {row.station!r} of the table")
        rise = Time(np.datetime64(row.rise, "ns"))
        span = Time(np.datetime64(row.set, "ns")) - rise
        time = rise + np.linspace(0.0, float(span), _TRACK_POINTS)
        members = members_of[row.satno]
        middle = (rise + float(span) / 2).int64
        member = members[0]
        for m in members:
            if m.epoch.int64 <= middle:
                member = m
        r, v, err = sgp4.propagate_many(time, [member], frame="ITRF")
        ok = err[0] == 0
        look = by_name[row.station].look(time[np.flatnonzero(ok)], r[0][ok], v[0][ok])
        out.append((_label(row), look["azimuth"], look["elevation"]))
    return out


def sky_plot(data: Any, *, satellites: Any = None, stations: Any = None, title: str | None = None,
             ax: Any = None, labels: Sequence[str] | None = None, legend: bool | None = None) -> Any:
    """A polar chart of the sky over a station: azimuth clockwise from north at the top, elevation
    from 90 degrees at the centre to 0 at the rim.

    Args:
        data: the table ``astrovia.events.passes`` returns, a look array (``GroundStation.look``'s
            records, with ``azimuth`` and ``elevation`` fields [rad]), or a sequence of look arrays.
            A table is drawn along each pass when ``satellites`` and ``stations`` (those given to
            ``passes``) come with it; without them each pass is its rise, culmination and set
            joined by straight lines.
        title: the axes' title.
        ax: draw into these matplotlib polar axes instead of a new figure.
        labels: one label per track (look arrays) for the legend; passes by satno and rise (UTC).
        legend: draw a legend (default: when there are at most 12 tracks).

    Returns:
        the matplotlib Figure. Only the parts of a track at or above the horizon are drawn.
    """
    from astrovia.plot._matplotlib import require_matplotlib

    Figure = require_matplotlib()
    tracks: list[tuple[str | None, npt.NDArray[np.float64], npt.NDArray[np.float64], bool]] = []
    if _is_pass_table(data):
        if satellites is not None and stations is not None:
            tracks = [(label, az, el, False) for label, az, el in _pass_tracks(data, satellites, stations)]
        elif satellites is not None or stations is not None:
            raise ValueError("sky_plot draws passes along their tracks with both satellites and stations, "
                             "or from their three points with neither")
        else:
            for row in data.itertuples(index=False):
                az = np.array([row.rise_azimuth, row.culmination_azimuth, row.set_azimuth], dtype=np.float64)
                el = np.array([_elevation_at_edge(row, "rise"), row.max_elevation, _elevation_at_edge(row, "set")])
                tracks.append((_label(row), az, el, True))
    elif _is_look(data):
        tracks = [(labels[0] if labels else None, np.asarray(data["azimuth"], dtype=np.float64),
                   np.asarray(data["elevation"], dtype=np.float64), False)]
    elif isinstance(data, Sequence) and not isinstance(data, (str, bytes)) and all(_is_look(a) for a in data):
        if labels is not None and len(labels) != len(data):
            raise ValueError(f"labels must have one label per look array ({len(data)}), not {len(labels)}")
        tracks = [(labels[i] if labels else None, np.asarray(a["azimuth"], dtype=np.float64),
                   np.asarray(a["elevation"], dtype=np.float64), False) for i, a in enumerate(data)]
    else:
        raise TypeError("data must be a passes table, a look array with azimuth and elevation fields, or a "
                        f"sequence of look arrays, not {type(data).__name__}")

    if ax is None:
        fig = Figure(figsize=(5.5, 5.5))
        ax = fig.add_subplot(projection="polar")
    else:
        fig = ax.figure
    ax.set_theta_zero_location("N")
    ax.set_theta_direction(-1)
    ax.set_rlim(0.0, 90.0)
    ax.set_rticks([0, 30, 60, 90])
    ax.set_yticklabels(["90°", "60°", "30°", "0°"])
    ax.set_rlabel_position(135)
    ax.set_xticks(np.radians([0, 45, 90, 135, 180, 225, 270, 315]))
    ax.set_xticklabels(["N", "NE", "E", "SE", "S", "SW", "W", "NW"])
    for label, az, el, points in tracks:
        zenith = 90.0 - np.degrees(el)
        visible = np.where(el >= -1e-9, zenith, np.nan)  # the parts below the horizon are not drawn
        lines = ax.plot(az, visible, marker="o" if points else None, markersize=3, label=label)
        finite = np.flatnonzero(np.isfinite(visible))
        if finite.size:
            ax.plot(az[finite[-1]], visible[finite[-1]], marker=">", color=lines[0].get_color(), markersize=5)
    if legend or (legend is None and 0 < len(tracks) <= 12 and any(t[0] for t in tracks)):
        ax.legend(loc="lower left", bbox_to_anchor=(1.0, 0.0), fontsize="small", frameon=False)
    if title is not None:
        ax.set_title(title)
    return fig


def _label(row: Any) -> str:
    """A pass's legend label: its satellite and the UTC time of its rise."""
    rise = np.datetime_as_string(np.datetime64(row.rise, "m"), unit="m")
    return f"{row.satno} {rise[11:16]}"


def _elevation_at_edge(row: Any, edge: str) -> float:
    """The elevation at a pass's rise or set: the mask, which the table does not carry, is taken as the
    horizon (0) for a complete pass; an edge cut by the window is drawn at the horizon too."""
    return 0.0

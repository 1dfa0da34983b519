"""Passes of satellites over ground stations, and their eclipses, as tables.

Both searches run natively (``astrovia.events._passes``) on all OpenMP threads
without the interpreter lock; each satellite's result depends on it alone, so
the tables do not depend on the thread count. The satellites are propagated
with SGP4 (WGS 72, improved mode) in TEME and carried to ITRF (the TEME chain)
and GCRF (the IAU 2000A chain) with the Earth orientation of
``astrovia.iers``; the Sun is ERFA's series, light-time corrected; the shadow is
the conical shadow of a spherical Earth of radius ``Earth.Re``. Elevations are
geometric: no refraction.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

    from astrovia.typing import DatetimeLike

__all__ = ["passes", "eclipses", "PASS_COLUMNS", "ECLIPSE_COLUMNS"]

PASS_COLUMNS = ("satno", "station", "rise", "culmination", "set", "rise_azimuth", "culmination_azimuth",
                "set_azimuth", "max_elevation", "duration", "partial", "sunlit", "visible")
"""The columns of the table ``passes`` returns, in order."""
ECLIPSE_COLUMNS = ("satno", "kind", "start", "end", "duration")
"""The columns of the table ``eclipses`` returns, in order."""

_SUN_ELEVATION = -math.radians(6.0)  # civil twilight: the sky dark enough to see a sunlit satellite


def _native() -> Any:
    from astrovia.events import _passes

    return _passes


def _tle_types() -> tuple[type, type]:
    from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE

    return TLE, ELSET


def _tracks(satellites: Any) -> tuple[list[list[Any]], list[Any]]:
    """Each satellite's TLEs (sorted by epoch, as an ELSET keeps them) and its catalogue number."""
    TLE, ELSET = _tle_types()

    def one(item: Any, name: str) -> tuple[list[Any], Any]:
        if isinstance(item, TLE):
            return [item], item.satno
        if isinstance(item, ELSET):
            members = list(item)
            if not members:
                raise ValueError(f"{name} is an ELSET without members")
            return members, item.satno
        raise TypeError(f"{name} must be a TLE or an ELSET, not {type(item).__name__}")

    if isinstance(satellites, (TLE, ELSET)):
        items: list[tuple[Any, str]] = [(satellites, "satellites")]
    elif isinstance(satellites, Mapping):
        items = [(v, f"satellites[{k!r}]") for k, v in satellites.items()]
    elif isinstance(satellites, (str, bytes)) or not isinstance(satellites, Iterable):
        raise TypeError("satellites must be a TLE, an ELSET, a sequence of them or the mapping read_elsets "
                        f"returns, not {type(satellites).__name__}")
    else:
        items = [(v, f"satellites[{i}]") for i, v in enumerate(satellites)]
    tracks, satnos = [], []
    for item, name in items:
        members, satno = one(item, name)
        tracks.append(members)
        satnos.append(satno)
    return tracks, satnos


def _station_type() -> type:
    from astrovia.groundstation import GroundStation

    return GroundStation


def _angle(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number [rad], not {type(value).__name__}")
    x = float(value)
    if not -math.pi / 2 <= x <= math.pi / 2:
        raise ValueError(f"{name} must lie in [-pi/2, pi/2] rad, not {x!r}")
    return x


def _stations(stations: Any, min_elevation: Any) -> tuple[np.ndarray, list[str]]:
    """The site table (lat, lon, alt, a, f, mask) and the stations' names."""
    GroundStation = _station_type()
    if isinstance(stations, GroundStation):
        items = [stations]
    elif isinstance(stations, (str, bytes)) or not isinstance(stations, Iterable):
        raise TypeError(f"stations must be a GroundStation or a sequence of them, not {type(stations).__name__}")
    else:
        items = list(stations)
    mask = None if min_elevation is None else _angle(min_elevation, "min_elevation")
    rows, names = [], []
    for i, st in enumerate(items):
        if not isinstance(st, GroundStation):
            raise TypeError(f"stations[{i}] must be a GroundStation, not {type(st).__name__}")
        rows.append((st.lat, st.lon, st.alt, st.ellipsoid.a, st.ellipsoid.f,
                     st.min_elevation if mask is None else mask))
        names.append(st.name if st.name is not None else
                     f"{math.degrees(st.lat):.4f},{math.degrees(st.lon):.4f}")
    return np.array(rows, dtype=np.float64).reshape(-1, 6), names


def _window(start: Any, stop: Any) -> tuple[int, int]:
    from astrovia.time.time import Time

    out = []
    for value, name in ((start, "start"), (stop, "stop")):
        try:
            t = Time(value)
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"{name}: {exc}") from exc
        if t.shape != ():
            raise ValueError(f"{name} must be one epoch, not {t.size}")
        out.append(int(t.int64))
    if out[1] < out[0]:
        raise ValueError("stop must not be before start")
    return out[0], out[1]


def _utc(stamps: np.ndarray) -> np.ndarray:
    from astrovia.time.time import Time

    if stamps.size == 0:
        return np.array([], dtype="datetime64[ns]")
    return np.asarray(Time(np.ascontiguousarray(stamps, dtype=np.int64)).to_datetime64())


def passes(satellites: Any, stations: Any, start: DatetimeLike, stop: DatetimeLike,
           min_elevation: float | None = None, *, sun_elevation: float = _SUN_ELEVATION) -> pd.DataFrame:
    """Every pass of the satellites over the stations between ``start`` and ``stop``.

    ``satellites``: a ``TLE``, an ``ELSET`` (each moment propagated from the
    member the piecewise propagation uses: the latest one whose epoch is not
    after it, the first before its epoch), a sequence of them, or the mapping
    ``read_elsets`` returns. ``stations``: a ``GroundStation`` or a sequence.
    ``min_elevation`` [rad] replaces every station's own mask; ``sun_elevation``
    [rad] is the highest the Sun may stand at the station for a sunlit
    satellite to count as ``visible`` (default -6 degrees).

    Returns a pandas DataFrame, one row per pass, sorted by rise: ``satno``,
    ``station`` (its name, or "lat,lon" in degrees), ``rise``, ``culmination``,
    ``set`` (datetime64[ns], UTC), ``rise_azimuth``, ``culmination_azimuth``,
    ``set_azimuth``, ``max_elevation`` [rad], ``duration`` [s], ``partial``
    (cut by ``start`` or ``stop``, or where SGP4 stops, whose time then stands
    for the rise or set; the culmination is then the highest point inside the
    window), ``sunlit`` (the satellite in sunlight, the Sun's centre visible,
    at some moment of the pass) and ``visible`` (sunlit at a moment when the
    Sun is at most ``sun_elevation`` above the station's horizon).

    The maxima of elevation are found first (the sign changes of its rate,
    sampled on an 8th of the orbital period, shortened for an eccentric orbit
    to its angular rate at perigee, where it changes sign about twice a
    period), then the crossings of the mask between each maximum and its
    neighbouring extrema, where the elevation is monotonic: no pass is missed
    however low its peak. Samples where the satellite cannot reach a station's
    mask (outside the cone of directions from which it could, or while the
    station lies farther from its orbital plane than that cone is wide) are
    skipped. Every time is refined on SGP4 itself to 1 microsecond (times are
    rounded to the nanosecond), starting from an interpolant of the samples;
    the lighting of a pass is judged on that interpolant (within tens of
    metres of SGP4: milliseconds at a shadow boundary). States where
    SGP4 fails (a decayed orbit) are skipped: a pass is cut there.
    """
    import pandas as pd

    tracks, satnos = _tracks(satellites)
    sites, names = _stations(stations, min_elevation)
    limit = _angle(sun_elevation, "sun_elevation")
    start_ns, stop_ns = _window(start, stop)
    cols = _native().search_passes(tracks, sites, start_ns, stop_ns, limit)
    sat = np.asarray(cols["satellite"], dtype=np.int64)
    site = np.asarray(cols["station"], dtype=np.int64)
    rise, culm, set_ = (np.asarray(cols[k], dtype=np.int64) for k in ("rise", "culmination", "set"))
    order = np.lexsort((site, sat, rise))
    satno_arr = np.array(satnos, dtype=object)[sat[order]] if satnos else np.array([], dtype=object)
    frame = pd.DataFrame({
        "satno": pd.array(list(satno_arr), dtype="int64") if all(isinstance(s, numbers.Integral) for s in satnos)
        else list(satno_arr),
        "station": [names[i] for i in site[order]],
        "rise": _utc(rise[order]),
        "culmination": _utc(culm[order]),
        "set": _utc(set_[order]),
        "rise_azimuth": np.asarray(cols["rise_azimuth"])[order],
        "culmination_azimuth": np.asarray(cols["culmination_azimuth"])[order],
        "set_azimuth": np.asarray(cols["set_azimuth"])[order],
        "max_elevation": np.asarray(cols["max_elevation"])[order],
        "duration": (set_ - rise)[order] * 1e-9,
        "partial": (np.asarray(cols["cut_rise"], dtype=bool) | np.asarray(cols["cut_set"], dtype=bool))[order],
        "sunlit": np.asarray(cols["sunlit"], dtype=bool)[order],
        "visible": np.asarray(cols["visible"], dtype=bool)[order],
    }, columns=list(PASS_COLUMNS))
    return frame


def eclipses(satellites: Any, start: DatetimeLike, stop: DatetimeLike) -> pd.DataFrame:
    """Every interval of partial shadow and of full shadow between ``start`` and ``stop``.

    ``satellites`` as for ``passes``. Returns a pandas DataFrame, one row per
    interval, sorted by satellite (in the given order) and start: ``satno``,
    ``kind`` ("penumbra": part of the Sun's disc hidden by the Earth;
    "umbra": all of it), ``start``, ``end`` (datetime64[ns], UTC) and
    ``duration`` [s]. An eclipse usually shows as penumbra, umbra, penumbra;
    an interval cut by the window starts (ends) at ``start`` (``stop``).
    Boundaries are refined to 1 microsecond. The shadow functions are sampled
    on a 16th of the orbital period: a graze of the penumbra shorter than that
    may be missed.
    """
    import pandas as pd

    tracks, satnos = _tracks(satellites)
    start_ns, stop_ns = _window(start, stop)
    cols = _native().search_eclipses(tracks, start_ns, stop_ns)
    sat = np.asarray(cols["satellite"], dtype=np.int64)
    t0, t1 = np.asarray(cols["start"], dtype=np.int64), np.asarray(cols["end"], dtype=np.int64)
    satno_arr = [satnos[i] for i in sat]
    return pd.DataFrame({
        "satno": pd.array(satno_arr, dtype="int64") if all(isinstance(s, numbers.Integral) for s in satnos)
        else satno_arr,
        "kind": np.where(np.asarray(cols["umbra"], dtype=bool), "umbra", "penumbra").astype(object),
        "start": _utc(t0),
        "end": _utc(t1),
        "duration": (t1 - t0) * 1e-9,
    }, columns=list(ECLIPSE_COLUMNS))

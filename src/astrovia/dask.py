"""Frame conversions, rotation matrices and SGP4 on ``dask.array`` chunks.

Each function here splits its epochs (and, for SGP4, its satellites) into
chunks and applies the package's own one-call function to every chunk, so the
results are bitwise those of one call over everything, on whichever scheduler
runs the graph: the threaded one (the native loops of ``rotations`` and SGP4
release the interpreter lock) or ``dask.distributed`` workers in other
processes. Nothing is computed until ``.compute()`` (or ``dask.compute``).

Epochs are given as a ``Time`` or as a dask (or NumPy) array of int64 stamps as
``Time.int64`` gives them; they travel between processes as those stamps.
Satellites travel as their two TLE lines (``TLE`` objects do not pickle).

The rotations and SGP4 loops also run on OpenMP threads inside one call (the
rotations above 10000 epochs): under Dask, which already runs one chunk per core,
set ``OMP_NUM_THREADS=1`` before the first import (and on the workers) so that
the two kinds of threads do not compete for the cores.

Dask is an optional dependency: ``pip install astrovia[dask]``.
"""

from __future__ import annotations

import importlib
import io
import json
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import numpy.typing as npt

try:
    import dask.array as da
except ImportError as exc:  # an optional dependency
    raise ImportError("astrovia.dask needs Dask: pip install 'astrovia[dask]'") from exc

if TYPE_CHECKING:
    from astrovia.propagators.analytical.sgp4.tle import TLE
    from astrovia.time.time import Time

__all__ = [
    "DEFAULT_EPOCH_CHUNK",
    "DEFAULT_SATELLITE_CHUNK",
    "ITRF_from_GCRF",
    "GCRF_from_ITRF",
    "ITRF_from_TEME",
    "TEME_from_ITRF",
    "rot_ITRF_from_GCRF",
    "rot_GCRF_from_ITRF",
    "propagate_many",
    "tle_lines",
    "screen",
    "DEFAULT_SCREEN_CHUNK",
    "passes",
    "DEFAULT_PASS_CHUNK",
]

DEFAULT_EPOCH_CHUNK = 100_000
"""Epochs per chunk when none is given (about 5 MB of positions and velocities)."""
DEFAULT_SATELLITE_CHUNK = 1000
"""Satellites per chunk when none is given."""
DEFAULT_PASS_CHUNK = 100
"""Satellites per chunk of ``passes`` when none is given."""

EpochsLike = Union["Time", da.Array, npt.NDArray[np.int64]]
ArrayLike = Union[da.Array, npt.ArrayLike]
SatellitesLike = Union[
    Sequence["TLE"],
    Sequence[tuple[str, str]],
    Sequence[Mapping[str, Any]],
    npt.NDArray[np.str_],
]


def _stamps(time: EpochsLike, chunks: int | None) -> da.Array:
    """The epochs as a 1-D dask array of int64 stamps."""
    from astrovia.time.time import Time

    if isinstance(time, Time):
        stamps = np.atleast_1d(time.int64)
    elif isinstance(time, da.Array):
        if time.ndim != 1 or time.dtype != np.int64:
            raise ValueError(f"time must be a Time or a 1-D int64 array of stamps, not {time.dtype} of {time.ndim} "
                             "dimensions")
        return time.rechunk(chunks) if chunks is not None else time
    else:
        stamps = np.asarray(time)
        if stamps.ndim != 1 or stamps.dtype != np.int64:
            raise TypeError(f"time must be a Time or a 1-D int64 array of stamps, not {type(time).__name__}")
    return da.from_array(stamps, chunks=chunks or DEFAULT_EPOCH_CHUNK)


def _rows3(x: ArrayLike, stamps: da.Array, name: str) -> da.Array:
    """``x`` as an (N, 3) float64 dask array chunked like the epochs."""
    a = x if isinstance(x, da.Array) else np.asarray(x)
    if a.ndim != 2 or a.shape[1] != 3:
        raise ValueError(f"{name} must have shape (N, 3), not {a.shape}")
    if a.dtype != np.float64:
        raise ValueError(f"{name} must be float64, not {a.dtype}")
    if a.shape[0] != stamps.shape[0]:
        raise ValueError(f"{name} must have one row per epoch ({stamps.shape[0]}), not {a.shape[0]}")
    if isinstance(a, da.Array):
        return a.rechunk((stamps.chunks[0], 3))
    return da.from_array(a, chunks=(stamps.chunks[0], 3))


def _convert_block(stamps: npt.NDArray[np.int64], r: npt.NDArray[np.float64], v: npt.NDArray[np.float64], *,
                   module: str, function: str) -> npt.NDArray[np.float64]:
    from astrovia.time.time import Time

    convert = getattr(importlib.import_module(module), function)
    r_out, v_out = convert(Time(np.ascontiguousarray(stamps)), np.ascontiguousarray(r), np.ascontiguousarray(v))
    return np.stack([r_out, v_out], axis=1)


def _convert(module: str, name: str, time: EpochsLike, r: ArrayLike, v: ArrayLike,
             chunks: int | None) -> tuple[da.Array, da.Array]:
    stamps = _stamps(time, chunks)
    rr, vv = _rows3(r, stamps, "r"), _rows3(v, stamps, "v")
    both = da.blockwise(_convert_block, "isk", stamps, "i", rr, "ik", vv, "ik", new_axes={"s": 2},
                        dtype=np.float64, module=module, function=name,
                        meta=np.empty((0, 0, 0), dtype=np.float64))
    return both[:, 0, :], both[:, 1, :]


def ITRF_from_GCRF(time: EpochsLike, r: ArrayLike, v: ArrayLike,
                   chunks: int | None = None) -> tuple[da.Array, da.Array]:
    """GCRF positions and velocities (N, 3) to ITRF, chunk by chunk of epochs.

    Each chunk goes through ``astrovia.frames.rotations.ITRF_from_GCRF`` (its
    loop releases the interpreter lock, so threads scale); ``chunks`` is the
    number of epochs per chunk (default ``DEFAULT_EPOCH_CHUNK``, or the chunks
    of a dask ``time``). Units as given (m and m/s, or any length unit).
    Returns lazy (N, 3) float64 arrays ``(r_ITRF, v_ITRF)``.
    """
    return _convert("astrovia.frames.rotations", "ITRF_from_GCRF", time, r, v, chunks)


def GCRF_from_ITRF(time: EpochsLike, r: ArrayLike, v: ArrayLike,
                   chunks: int | None = None) -> tuple[da.Array, da.Array]:
    """ITRF positions and velocities (N, 3) to GCRF, chunk by chunk of epochs.

    Each chunk goes through ``astrovia.frames.geocentric.GCRF_from_ITRF``,
    which holds the interpreter lock: use processes (``dask.distributed``) to
    scale. Returns lazy (N, 3) float64 arrays ``(r_GCRF, v_GCRF)``.
    """
    return _convert("astrovia.frames.geocentric", "GCRF_from_ITRF", time, r, v, chunks)


def ITRF_from_TEME(time: EpochsLike, r: ArrayLike, v: ArrayLike,
                   chunks: int | None = None) -> tuple[da.Array, da.Array]:
    """TEME positions and velocities (N, 3) to ITRF, chunk by chunk of epochs.

    Each chunk goes through ``astrovia.frames.geocentric.ITRF_from_TEME``
    (interpreter lock held: scale with processes). Returns lazy (N, 3) float64
    arrays ``(r_ITRF, v_ITRF)``.
    """
    return _convert("astrovia.frames.geocentric", "ITRF_from_TEME", time, r, v, chunks)


def TEME_from_ITRF(time: EpochsLike, r: ArrayLike, v: ArrayLike,
                   chunks: int | None = None) -> tuple[da.Array, da.Array]:
    """ITRF positions and velocities (N, 3) to TEME, chunk by chunk of epochs.

    Each chunk goes through ``astrovia.frames.geocentric.TEME_from_ITRF``
    (interpreter lock held: scale with processes). Returns lazy (N, 3) float64
    arrays ``(r_TEME, v_TEME)``.
    """
    return _convert("astrovia.frames.geocentric", "TEME_from_ITRF", time, r, v, chunks)


def _rot_block(stamps: npt.NDArray[np.int64], *, function: str) -> npt.NDArray[np.float64]:
    from astrovia.frames import rotations
    from astrovia.time.time import Time

    out: npt.NDArray[np.float64] = np.ascontiguousarray(
        getattr(rotations, function)(Time(np.ascontiguousarray(stamps))))
    return out


def _rot(name: str, time: EpochsLike, chunks: int | None) -> da.Array:
    stamps = _stamps(time, chunks)
    return da.blockwise(_rot_block, "ijk", stamps, "i", new_axes={"j": 3, "k": 3}, dtype=np.float64, function=name,
                        meta=np.empty((0, 0, 0), dtype=np.float64))


def rot_ITRF_from_GCRF(time: EpochsLike, chunks: int | None = None) -> da.Array:
    """GCRF-to-ITRF rotation matrices, a lazy (N, 3, 3) float64 array.

    Each chunk of epochs goes through ``astrovia.frames.rotations.rot_ITRF_from_GCRF``.
    """
    return _rot("rot_ITRF_from_GCRF", time, chunks)


def rot_GCRF_from_ITRF(time: EpochsLike, chunks: int | None = None) -> da.Array:
    """ITRF-to-GCRF rotation matrices (the transposes), a lazy (N, 3, 3) float64 array."""
    return _rot("rot_GCRF_from_ITRF", time, chunks)


def tle_lines(satellites: SatellitesLike) -> npt.NDArray[np.str_]:
    """The two lines of every satellite as an (M, 2) str array, the form that travels between processes.

    ``satellites``: ``TLE`` objects (anything with ``line1`` and ``line2``), pairs of line strings, OMM records
    (mappings as CelesTrak and Space-Track publish them, read with ``read_omm``), or an (M, 2) str array.
    """
    if isinstance(satellites, np.ndarray):
        lines = satellites
    else:
        if not isinstance(satellites, Iterable):
            raise TypeError(f"satellites must be a sequence, not {type(satellites).__name__}")
        items: list[Any] = list(satellites)
        if items and all(isinstance(s, Mapping) for s in items):
            from astrovia.propagators.analytical.sgp4.tle import read_omm

            items = list(read_omm(io.StringIO(json.dumps([dict(s) for s in items]))))
        pairs = []
        for i, s in enumerate(items):
            if hasattr(s, "line1") and hasattr(s, "line2"):
                pairs.append((str(s.line1), str(s.line2)))
            elif isinstance(s, (tuple, list)) and len(s) == 2 and all(isinstance(x, str) for x in s):
                pairs.append((s[0], s[1]))
            else:
                raise TypeError(f"satellites[{i}] must be a TLE, a pair of lines or an OMM record, "
                                f"not {type(s).__name__}")
        lines = np.array(pairs, dtype=str).reshape(-1, 2)
    if lines.ndim != 2 or lines.shape[1] != 2 or lines.dtype.kind != "U":
        raise ValueError(f"satellites as an array must be (M, 2) str, not {lines.dtype} {lines.shape}")
    if lines.shape[0] == 0:
        raise ValueError("satellites is empty")
    return lines


def _sgp4_block(lines: npt.NDArray[np.str_], stamps: npt.NDArray[np.int64], *, frame: str,
                constants: str, mode: str) -> npt.NDArray[np.float64]:
    from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
    from astrovia.propagators.analytical.sgp4.tle import TLE
    from astrovia.time.time import Time

    tles = [TLE(str(a), str(b)) for a, b in lines]
    r, v, err = SGP4(constants=constants, mode=mode).propagate_many(Time(np.ascontiguousarray(stamps)), tles,
                                                                    frame=frame)
    out = np.empty(r.shape[:2] + (7,), dtype=np.float64)
    out[..., 0:3] = r
    out[..., 3:6] = v
    out[..., 6] = err
    return out


def _numerical_block(states: npt.NDArray[np.object_], stamps: npt.NDArray[np.int64], *, settings: dict[str, Any],
                     frame: str) -> npt.NDArray[np.float64]:
    from astrovia.frames import frames
    from astrovia.propagators.numerical import Numerical
    from astrovia.time.time import Time

    r, v, status = Numerical(**settings).propagate_many(Time(np.ascontiguousarray(stamps)), list(states.ravel()),
                                                        frame=getattr(frames, frame))
    out = np.empty(r.shape[:2] + (7,), dtype=np.float64)
    out[..., 0:3] = r
    out[..., 3:6] = v
    out[..., 6] = status
    return out


def _propagate_numerical(time: EpochsLike, states: Any, propagator: Any, frame: str,
                         satellite_chunks: int | None) -> tuple[da.Array, da.Array, da.Array]:
    from astrovia.state.state import State

    if isinstance(states, (str, bytes)) or not isinstance(states, Iterable):
        raise TypeError(f"satellites must be a sequence of State for a Numerical, not {type(states).__name__}")
    items = list(states)
    for i, s in enumerate(items):
        if not isinstance(s, State):
            raise TypeError(f"satellites[{i}] must be a State for a Numerical, not {type(s).__name__}")
    if not items:
        raise ValueError("satellites is empty")
    # The propagator travels as its settings (it does not pickle); every chunk of states integrates all the
    # epochs, so that the results are those of one call.
    settings = {k: getattr(propagator, k) for k in ("gravity", "degree", "order", "third_bodies", "drag", "srp",
                                                     "rtol")}
    if settings["gravity"] == "point":
        settings["degree"] = settings["order"] = 0
    stamps = _stamps(time, None)
    stamps = stamps.rechunk(stamps.shape[0] or 1)
    column = np.empty(len(items), dtype=object)
    column[:] = items
    sats = da.from_array(column, chunks=satellite_chunks or 50)
    packed = da.blockwise(_numerical_block, "ijc", sats, "i", stamps, "j", new_axes={"c": 7}, concatenate=True,
                          dtype=np.float64, settings=settings, frame=frame,
                          meta=np.empty((0, 0, 0), dtype=np.float64))
    return packed[..., 0:3], packed[..., 3:6], packed[..., 6].astype(np.int8)


def propagate_many(time: EpochsLike, satellites: SatellitesLike, frame: str | None = None, *,
                   constants: str = "wgs72", mode: str = "improved", epoch_chunks: int | None = None,
                   satellite_chunks: int | None = None, propagator: Any = None
                   ) -> tuple[da.Array, da.Array, da.Array]:
    """SGP4 (or numerical) positions and velocities of M satellites at N epochs, chunked both ways.

    Each (satellites x epochs) chunk goes through
    ``SGP4(constants, mode).propagate_many(time, tles, frame)``; ``satellites`` as
    ``tle_lines`` accepts them. Returns lazy arrays ``(r, v, err)``: r [m] and v
    [m/s] float64 of shape (M, N, 3) and the model's error codes, int8 (M, N),
    0 for none (rows with a non-zero code are NaN). ``frame`` defaults to "TEME".

    With ``propagator`` a ``Numerical`` (astrovia.propagators.numerical),
    ``satellites`` are its initial ``State`` objects, chunked by
    ``satellite_chunks`` (default 50); every chunk integrates to all the epochs
    (they are not chunked), through ``Numerical.propagate_many``. ``frame``
    defaults to "GCRF"; the codes are its status (1 where the object went under
    the Earth's surface).
    """
    if propagator is not None:
        from astrovia.propagators.numerical import Numerical

        if not isinstance(propagator, Numerical):
            raise TypeError(f"propagator must be a Numerical or None, not {type(propagator).__name__}")
        frame = "GCRF" if frame is None else frame
        if frame not in ("TEME", "ITRF", "GCRF"):
            raise ValueError(f"frame must be 'TEME', 'ITRF' or 'GCRF', not {frame!r}")
        return _propagate_numerical(time, satellites, propagator, frame, satellite_chunks)
    frame = "TEME" if frame is None else frame
    if frame not in ("TEME", "ITRF", "GCRF"):
        raise ValueError(f"frame must be 'TEME', 'ITRF' or 'GCRF', not {frame!r}")
    stamps = _stamps(time, epoch_chunks)
    lines = tle_lines(satellites)
    sats = da.from_array(lines, chunks=(satellite_chunks or DEFAULT_SATELLITE_CHUNK, 2))
    packed = da.blockwise(_sgp4_block, "ijc", sats, "il", stamps, "j", new_axes={"c": 7}, concatenate=True,
                          dtype=np.float64, frame=frame, constants=constants, mode=mode,
                          meta=np.empty((0, 0, 0), dtype=np.float64))
    return packed[..., 0:3], packed[..., 3:6], packed[..., 6].astype(np.int8)


# --- conjunction screening ----------------------------------------------------

DEFAULT_SCREEN_CHUNK = 6 * 3600.0
"""Seconds of window per screening task when none is given (rounded to whole grid intervals)."""


def _screen_block(lines1: list[str], lines2: list[str], eps_coef: npt.NDArray[np.float64],
                  grid: tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]],
                  k_begin: int, k_end: int, threshold: float, primaries: list[int] | None,
                  sub_intervals: int) -> npt.NDArray[np.float64]:
    from astrovia.conjunctions import _screen

    catalogue = _screen._Catalogue(lines1, lines2, eps_coef)
    node_t, node_jd12, leap = grid
    rows, _ = _screen.screen(catalogue, node_t, node_jd12, leap, k_begin, k_end, threshold, primaries,
                             sub_intervals, 0)
    return rows


def screen(satellites: Any, start: Any, stop: Any, threshold: float = 5000.0, *, primaries: Any = None,
           exclude: Any = None, chunk: float | None = None) -> Any:
    """``astrovia.conjunctions.screen`` split into time windows: a ``dask.delayed`` of the same DataFrame.

    The window is cut into runs of whole intervals of the screening's own time grid, about ``chunk``
    seconds each (default ``DEFAULT_SCREEN_CHUNK``). A grid interval is screened from its two nodes alone
    (each task propagates its first node again), so the windows need no overlap: a TCA near a cut lies in
    exactly one interval, and the table equals one call's row for row. The element sets travel as their
    lines; ``exclude`` (pairs or a function) is applied where the table is assembled, so a function need
    not pickle. ``.compute()`` on any scheduler, or ``client.compute`` on a ``dask.distributed`` cluster.
    """
    from dask import delayed

    from astrovia.conjunctions import _Plan

    if chunk is not None and not (isinstance(chunk, (int, float)) and not isinstance(chunk, bool)
                                  and chunk > 0 and np.isfinite(chunk)):
        raise ValueError(f"chunk must be a positive number of seconds, not {chunk!r}")
    plan = _Plan(satellites, start, stop, threshold, primaries, exclude)
    per_task = max(1, int((chunk or DEFAULT_SCREEN_CHUNK) // plan.step))
    grid = (plan.node_t, plan.node_jd12, plan.leap)
    parts = []
    if len(plan.tles) >= 2:
        block = delayed(_screen_block, pure=True)
        for k in range(0, plan.intervals, per_task):
            parts.append(block(plan.lines1, plan.lines2, plan.eps_coef, grid, k,
                               min(k + per_task, plan.intervals), plan.threshold, plan.primaries,
                               plan.sub_intervals))
    return delayed(_screen_table, pure=True)(plan.assembler(), *parts)


def _screen_table(table: Any, *rows: npt.NDArray[np.float64]) -> Any:
    return table(np.concatenate(rows) if rows else np.zeros((0, 8)))


# --- passes over ground stations ---------------------------------------------

def _passes_block(groups: list[list[tuple[str, str]]], stations: Any, start_ns: int, stop_ns: int,
                  min_elevation: float | None, sun_elevation: float) -> Any:
    from astrovia.events.searches import passes as one_call
    from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE

    satellites = [ELSET(*[TLE(*lines) for lines in group]) if len(group) > 1 else TLE(*group[0]) for group in groups]
    return one_call(satellites, stations, np.int64(start_ns), np.int64(stop_ns), min_elevation,
                    sun_elevation=sun_elevation)


def _merge_passes(parts: list[Any], satnos: list[Any], names: list[str]) -> Any:
    import pandas as pd

    from astrovia.events.searches import PASS_COLUMNS

    table = pd.concat(parts, ignore_index=True)
    if table.empty:
        return parts[0] if parts else table
    sat_rank = {s: k for k, s in reversed(list(enumerate(satnos)))}
    site_rank = {s: k for k, s in reversed(list(enumerate(names)))}
    keys = pd.DataFrame({"rise": table["rise"], "sat": table["satno"].map(sat_rank),
                         "site": table["station"].map(site_rank)})
    order = np.lexsort((keys["site"].to_numpy(), keys["sat"].to_numpy(), keys["rise"].to_numpy()))
    return table.iloc[order].reset_index(drop=True)[list(PASS_COLUMNS)]


def passes(satellites: Any, stations: Any, start: Any, stop: Any, min_elevation: float | None = None, *,
           sun_elevation: float | None = None, satellite_chunks: int | None = None) -> Any:
    """``astrovia.events.passes`` over chunks of satellites, as one ``dask.delayed`` table.

    The arguments are those of ``astrovia.events.passes``; ``satellite_chunks``
    is the number of satellites per chunk (default ``DEFAULT_PASS_CHUNK``).
    Each chunk is one call of ``astrovia.events.passes`` (its loop releases the
    interpreter lock, so the threaded scheduler scales; satellites travel as
    their TLE lines, an ELSET as the lines of its members). ``.compute()`` gives
    the pandas DataFrame that one call over all the satellites gives, row for
    row.
    """
    from dask import delayed

    from astrovia.events import searches

    tracks, satnos = searches._tracks(satellites)
    _, names = searches._stations(stations, min_elevation)
    start_ns, stop_ns = searches._window(start, stop)
    limit = searches._SUN_ELEVATION if sun_elevation is None else searches._angle(sun_elevation, "sun_elevation")
    chunk = DEFAULT_PASS_CHUNK if satellite_chunks is None else satellite_chunks
    if isinstance(chunk, bool) or not isinstance(chunk, (int, np.integer)) or chunk < 1:
        raise ValueError(f"satellite_chunks must be a positive int, not {satellite_chunks!r}")
    groups = [[(m.line1, m.line2) for m in members] for members in tracks]
    station_list = [stations] if not isinstance(stations, (list, tuple)) else list(stations)
    parts = [delayed(_passes_block)(groups[i:i + chunk], station_list, start_ns, stop_ns, min_elevation, limit)
             for i in range(0, max(len(groups), 1), chunk)]
    return delayed(_merge_passes)(parts, satnos, names)

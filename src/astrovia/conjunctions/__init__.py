"""Close approaches between the objects of a catalogue of two-line element sets.

``screen(satellites, start, stop, threshold)`` finds every conjunction of the
window: every local minimum of the distance of two objects inside
``[start, stop]`` that lies under ``threshold``, with its time of closest
approach (TCA), miss distance, relative speed and the position of the second
object in the first one's radial / in-track / cross-track frame. Everything is
evaluated on the SGP4 model itself (WGS 72, improved mode), in TEME.

How it works (native, on all cores, without the interpreter lock):

1. All objects are propagated with SGP4 on a time grid of step ``h``; only the
   nodes of a block of intervals are held, so memory does not grow with the
   window.
2. Sieve. Over each interval every trajectory is replaced by the cubic Hermite
   interpolant of its SGP4 positions and velocities at both nodes. The
   interpolant is within ``eps = sqrt(3) * M4 * h**4 / 384`` of the model
   (the Hermite remainder, ``M4`` a bound of the fourth time derivative of the
   position over the orbit: the two-body value at the element set's worst
   point, with a margin of 2 for the perturbations). The interval is cut into
   pieces; the arc of a piece lies within ``rho`` (bounded from the cubic's own
   coefficients, about ``speed * piece / 2``) of its midpoint. Two objects that
   come within ``D`` of each other somewhere in a piece have midpoints within
   ``D + rho_1 + rho_2 + eps_1 + eps_2``, so a spatial hash with cells of
   ``D + 2 max(rho + eps)`` and its 27-cell neighbourhood enumerates them all;
   a rigorous lower bound of the distance of the two cubics (exact Taylor
   expansions on eight parts of the piece) then drops the pairs that cannot
   come within ``D + eps_1 + eps_2``. The largest speed thus sets the cell
   size, the threshold and the interpolation bound the limits: no approach
   under the threshold can fall between samples, whatever the step. The step
   comes from the threshold and the orbits: ``eps`` at most 2 % of ``D`` for
   the median object and at most 180 s all-versus-all (pieces of 30 s); with
   primaries, where propagation dominates and a primary is tested against
   every object directly, up to 900 s (pieces of 60 s).
   One-versus-all first drops the objects whose radial band (osculating
   perigee to apogee at both ends of the window, widened by 20 km + 0.5 % of
   the apogee radius, plus ``D``) meets no primary's: the classical
   apogee/perigee filter.
3. Refinement. In every kept piece the TCAs are the roots of the relative
   range rate ``(r2 - r1) . (v2 - v1)`` going from negative to positive, found
   by the package's event-search kernel (Brent's method, to 1e-7 s) on SGP4
   states on sub-steps of at most 60 s; miss distance, speed and the frame
   come from the SGP4 states at the TCA.

Each (pair, interval) is worked out from the grid alone, so the table does not
depend on the thread count or on how the window is split (``astrovia.dask``
splits it into runs of grid intervals).
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import erfa
import numpy as np
import numpy.typing as npt
import pandas as pd

from astrovia.bodies.bodies import Earth
from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE
from astrovia.time.time import Time

from . import _screen

__all__ = ["screen", "COLUMNS"]

COLUMNS = ("satno_1", "satno_2", "tca", "miss_distance", "relative_speed", "radial", "in_track", "cross_track")
"""The columns of the table ``screen`` returns."""

# SGP4's WGS 72 constant [m^3/s^2]: the model's own two-body term.
_GM = 398600.8e9
_M4_MARGIN = 2.0
_MAX_STEP_ALL = 180.0
_MAX_STEP_ONE = 900.0
_MIN_STEP = 5.0
_SIEVE_STEP_ALL = 30.0  # [s] the sieve's pieces of a grid interval (all-versus-all: many pairs per cell)
_SIEVE_STEP_ONE = 60.0
# Apogee/perigee filter (one-versus-all): osculating extremes at both ends of the window, widened by
# 20 km + 0.5 % of the apogee radius for the short-period and lunar-solar oscillations in between
# (tens of km in LEO; hundreds for transfer orbits).
_BAND_MARGIN = 20e3
_BAND_SHARE = 0.005
_BLOCK = 240  # grid intervals per native call (progress granularity)


def _fourth_derivative_bound(sma: npt.NDArray[np.float64], ecc: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Bound of |d^4 r / dt^4| [m/s^4] over each two-body orbit, times the margin.

    For r'' = -g r with g = GM / r^3: r'''' = (g^2 - g'') r - 2 g' v, where
    g' = -3 g rdot / r and g'' = 3 g (4 rdot^2 / r^2 - rddot / r), taken at 37
    eccentric anomalies (its maximum is at perigee for eccentric orbits; n^4 a
    for circular ones).
    """
    a = np.asarray(sma, dtype=np.float64)[:, None]
    e = np.clip(np.asarray(ecc, dtype=np.float64), 0.0, 0.999)[:, None]
    E = np.linspace(0.0, np.pi, 37)[None, :]
    with np.errstate(all="ignore"):
        r = np.maximum(a * (1.0 - e * np.cos(E)), Earth.Re * 0.95)
        v2 = np.maximum(_GM * (2.0 / r - 1.0 / a), 0.0)
        rdot = np.sqrt(_GM * a) * e * np.sin(E) / r
        h2 = _GM * a * (1.0 - e * e)
        rddot = h2 / r**3 - _GM / r**2
        g = _GM / r**3
        gd = -3.0 * g * rdot / r
        gdd = 3.0 * g * (4.0 * rdot**2 / r**2 - rddot / r)
        m4 = np.abs(g * g - gdd) * r + 2.0 * np.abs(gd) * np.sqrt(v2)
        out = _M4_MARGIN * np.max(m4, axis=1)
    # Element sets SGP4 cannot start from are not screened; their bound is unused.
    return np.where(np.isfinite(out), out, 0.0)


def _eps_coefficients(tles: list[TLE]) -> npt.NDArray[np.float64]:
    """eps = coefficient * h**4 [m]: the Hermite remainder bound of each element set."""
    sma = np.array([t.sma for t in tles], dtype=np.float64)
    ecc = np.array([t.ecc for t in tles], dtype=np.float64)
    return math.sqrt(3.0) * _fourth_derivative_bound(sma, ecc) / 384.0


def _choose_step(eps_coef: npt.NDArray[np.float64], threshold: float, one_versus_all: bool, span: float) -> float:
    """Grid step [s]: interpolation bound a share of the threshold for the median object, capped."""
    share, cap = (20.0, _MAX_STEP_ONE) if one_versus_all else (0.02, _MAX_STEP_ALL)
    coef = float(np.median(eps_coef[eps_coef > 0])) if np.any(eps_coef > 0) else 0.0
    h = cap if coef == 0.0 else (share * threshold / coef) ** 0.25
    h = float(min(max(math.floor(h), _MIN_STEP), cap))
    return min(h, max(span, 1e-9))


def _satno_key(satno: Any) -> tuple[int, Any]:
    return (0, satno) if isinstance(satno, numbers.Integral) else (1, str(satno))


def _latest_before(elset: ELSET, start: Time) -> TLE:
    """The member whose epoch is the latest at or before ``start``; the first one if none is."""
    epochs = elset.epoch
    before = np.flatnonzero(np.atleast_1d(epochs <= start))
    index = int(before[-1]) if before.size else 0
    return elset[index]


def _collect(satellites: Any, start: Time) -> list[TLE]:
    """One TLE per catalogue number, sorted by catalogue number."""
    if isinstance(satellites, Mapping):
        items: Iterable[Any] = satellites.values()
        where = "satellites (a mapping)"
    elif isinstance(satellites, (ELSET, TLE)):
        items = [satellites]
        where = "satellites"
    elif isinstance(satellites, (list, tuple)):
        items = satellites
        where = "satellites"
    else:
        raise TypeError("satellites must be a sequence of TLE or ELSET, or the mapping read_elsets returns, not "
                        + type(satellites).__name__)
    by_satno: dict[Any, list[TLE]] = {}
    for k, item in enumerate(items):
        if isinstance(item, ELSET):
            if item.size == 0:
                continue
            tle = _latest_before(item, start)
        elif isinstance(item, TLE):
            tle = item
        else:
            raise TypeError(f"{where}[{k}] must be TLE or ELSET, not {type(item).__name__}")
        by_satno.setdefault(tle.satno, []).append(tle)
    chosen: list[TLE] = []
    for satno in sorted(by_satno, key=_satno_key):
        group = by_satno[satno]
        if len(group) == 1:
            chosen.append(group[0])
            continue
        stamps = np.array([int(t.epoch.int64) for t in group])
        before = np.flatnonzero(stamps <= int(start.int64))
        pick = before[np.argmax(stamps[before])] if before.size else int(np.argmin(stamps))
        chosen.append(group[int(pick)])
    return chosen


def _as_time(value: Any, name: str) -> Time:
    try:
        t = value if isinstance(value, Time) else Time(value)
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"{name}: {exc}") from exc
    if t.size != 1 or t.shape not in ((), (1,)):
        raise ValueError(f"{name} must be a single epoch")
    return t if t.shape == () else t[0]


def _check_threshold(threshold: Any) -> float:
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
        raise TypeError(f"threshold must be a number of metres, not {type(threshold).__name__}")
    value = float(threshold)
    if not (value > 0.0 and math.isfinite(value)):
        raise ValueError(f"threshold must be a positive, finite distance [m], not {threshold!r}")
    return value


class _Plan:
    """What a screening call needs: the element sets, their records and the time grid."""

    def __init__(self, satellites: Any, start: Any, stop: Any, threshold: Any, primaries: Any,
                 exclude: Any) -> None:
        self.threshold = _check_threshold(threshold)
        self.start = _as_time(start, "start")
        self.stop = _as_time(stop, "stop")
        span = float(self.stop - self.start)
        if not span > 0.0:
            raise ValueError("stop must be after start")
        self.exclude = _exclusion(exclude)
        tles = _collect(satellites, self.start)
        primary_index = _primary_indices(primaries, [t.satno for t in tles])
        eps_coef = _eps_coefficients(tles) if tles else np.zeros(0)
        lines1 = [t.line1 for t in tles]
        lines2 = [t.line2 for t in tles]
        if primary_index is not None and len(tles) > 1:
            keep = self._band_filter(_screen._Catalogue(lines1, lines2, eps_coef), primary_index)
            tles = [tles[k] for k in keep]
            lines1 = [lines1[k] for k in keep]
            lines2 = [lines2[k] for k in keep]
            eps_coef = eps_coef[keep]
            where = {k: n for n, k in enumerate(keep)}
            primary_index = [where[k] for k in primary_index]
        self.tles = tles
        self.satnos = [t.satno for t in tles]
        self.primaries = primary_index
        self.lines1, self.lines2, self.eps_coef = lines1, lines2, eps_coef
        self.step = _choose_step(self.eps_coef, self.threshold, self.primaries is not None, span)
        sieve = _SIEVE_STEP_ONE if self.primaries is not None else _SIEVE_STEP_ALL
        self.sub_intervals = max(1, math.ceil(self.step / sieve - 1e-9))
        self._grid(span)

    def _band_filter(self, catalogue: _screen._Catalogue, primaries: list[int]) -> list[int]:
        """The objects whose radial band meets a primary's (the primaries included), in order."""
        ends = Time(np.array([int(self.start.int64), int(self.stop.int64)], dtype=np.int64))
        lo, hi = _screen.radial_extent(catalogue, np.ascontiguousarray(ends.utc.jd12))
        margin = _BAND_MARGIN + _BAND_SHARE * hi
        lo, hi = lo - margin - self.threshold, hi + margin
        prim = np.asarray(primaries)
        ok = np.isfinite(lo) & np.isfinite(hi)
        meets = np.zeros(len(lo), dtype=bool)
        for p in prim[ok[prim]]:
            meets |= ok & (lo <= hi[p]) & (lo[p] <= hi)
        # An object SGP4 cannot start at either end is kept: the screen itself skips its failing states.
        meets |= ~ok
        meets[prim] = True
        return np.flatnonzero(meets).tolist()

    def _grid(self, span: float) -> None:
        count = max(1, math.ceil(span / self.step - 1e-9))
        start_ns = int(self.start.int64)
        stop_ns = int(self.stop.int64)
        step_ns = round(self.step * 1e9)
        stamps = start_ns + step_ns * np.arange(count + 1, dtype=np.int64)
        stamps[-1] = stop_ns
        if count > 1 and stamps[-2] >= stop_ns:
            stamps = np.delete(stamps, -2)
        nodes = Time(stamps)
        self.node_t = (stamps - start_ns).astype(np.float64) / 1e9
        self.node_jd12 = np.ascontiguousarray(nodes.utc.jd12)
        self.leap = _leap_starts(self.node_jd12, start_ns)
        self.intervals = len(stamps) - 1

    def catalogue(self) -> _screen._Catalogue:
        return _screen._Catalogue(self.lines1, self.lines2, self.eps_coef)

    def run(self, catalogue: _screen._Catalogue, k_begin: int, k_end: int, threads: int = 0
            ) -> tuple[npt.NDArray[np.float64], dict[str, float]]:
        return _screen.screen(catalogue, self.node_t, self.node_jd12, self.leap, k_begin, k_end,
                              self.threshold, self.primaries, self.sub_intervals, threads)

    def table(self, rows: npt.NDArray[np.float64]) -> pd.DataFrame:
        return self.assembler()(rows)

    def assembler(self) -> _Table:
        return _Table(self.satnos, int(self.start.int64), self.exclude)


class _Table:
    """Turns native rows into the returned DataFrame (picklable: it travels to Dask workers)."""

    def __init__(self, satnos: list[Any], start_ns: int, exclude: Callable[[Any, Any], bool] | None) -> None:
        self.satnos, self.start_ns, self.exclude = satnos, start_ns, exclude

    def __call__(self, rows: npt.NDArray[np.float64]) -> pd.DataFrame:
        i = rows[:, 0].astype(np.int64)
        j = rows[:, 1].astype(np.int64)
        satnos = np.empty(len(self.satnos), dtype=object)
        satnos[:] = self.satnos
        s1, s2 = satnos[i], satnos[j]
        if all(isinstance(s, numbers.Integral) for s in self.satnos):
            s1, s2 = s1.astype(np.int64), s2.astype(np.int64)
        tca_ns = self.start_ns + np.round(rows[:, 2] * 1e9).astype(np.int64)
        tca = Time(tca_ns).to_datetime64() if len(tca_ns) else np.zeros(0, dtype="datetime64[ns]")
        frame = pd.DataFrame({
            "satno_1": s1, "satno_2": s2, "tca": np.asarray(tca, dtype="datetime64[ns]"),
            "miss_distance": rows[:, 3], "relative_speed": rows[:, 4],
            "radial": rows[:, 5], "in_track": rows[:, 6], "cross_track": rows[:, 7],
        })
        if self.exclude is not None and len(frame):
            skip = np.fromiter((self.exclude(a, b) for a, b in zip(s1.tolist(), s2.tolist())), dtype=bool,
                               count=len(frame))
            frame = frame[~skip]
        return frame.reset_index(drop=True)


def _leap_starts(jd12: npt.NDArray[np.float64], start_ns: int) -> npt.NDArray[np.float64]:
    """Per grid interval, the TT second [from the start] at which an inserted leap second begins, else NaN."""
    leap = np.full(len(jd12) - 1, np.nan)
    y, m, d, f = erfa.jd2cal(jd12[:, 0], jd12[:, 1])
    dat = erfa.dat(y, m, d, np.zeros_like(f))
    for k in np.flatnonzero(np.diff(dat) > 0.5):
        y1, m1, d1 = int(y[k + 1]), int(m[k + 1]), int(d[k + 1])
        midnight = Time(f"{y1:04d}-{m1:02d}-{d1:02d}T00:00:00")
        leap[k] = (int(midnight.int64) - start_ns) / 1e9 - 1.0
    return leap


def _primary_indices(primaries: Any, satnos: list[Any]) -> list[int] | None:
    if primaries is None:
        return None
    if isinstance(primaries, (str, numbers.Integral)) and not isinstance(primaries, bool):
        primaries = [primaries]
    if not isinstance(primaries, Iterable):
        raise TypeError(f"primaries must be catalogue numbers, not {type(primaries).__name__}")
    index = {s: k for k, s in enumerate(satnos)}
    out = []
    for p in primaries:
        if isinstance(p, bool) or p not in index:
            raise ValueError(f"primaries: no satellite with catalogue number {p!r}")
        out.append(index[p])
    if not out:
        raise ValueError("primaries must name at least one catalogue number")
    return sorted(set(out))


def _exclusion(exclude: Any) -> Callable[[Any, Any], bool] | None:
    if exclude is None:
        return None
    if callable(exclude):
        return lambda a, b: bool(exclude(a, b))
    if isinstance(exclude, (str, bytes)) or not isinstance(exclude, Iterable):
        raise TypeError("exclude must be pairs of catalogue numbers or a function (satno_1, satno_2) -> bool, "
                        f"not {type(exclude).__name__}")
    pairs = set()
    for pair in exclude:
        try:
            a, b = pair
        except (TypeError, ValueError):
            raise TypeError(f"exclude: each item must be a pair of catalogue numbers, not {pair!r}") from None
        pairs.add(frozenset((a, b)))
    return lambda a, b: frozenset((a, b)) in pairs


def screen(satellites: Any, start: Any, stop: Any, threshold: float = 5000.0, *,
           primaries: Any = None, exclude: Any = None, threads: int | None = None,
           progress: bool = False) -> pd.DataFrame:
    """Every conjunction of the window: a local minimum of the distance of two objects under ``threshold``.

    Parameters
    ----------
    satellites
        A sequence of ``TLE`` (or ``ELSET``), or the mapping ``read_elsets``
        returns. Each object is propagated from one element set: its latest
        one with an epoch at or before ``start`` (its earliest if all are
        later); no switching between element sets inside the window.
    start, stop
        The window (anything ``Time`` accepts); ``stop`` after ``start``.
    threshold
        Miss distance [m] under which a close approach is reported (> 0).
    primaries
        Catalogue number(s) screened against every object (one-versus-all);
        ``None``: all pairs.
    exclude
        Pairs to leave out: an iterable of ``(satno_a, satno_b)`` (either
        order) or a function ``f(satno_1, satno_2) -> bool`` (true to skip),
        e.g. to skip objects of the same launch.
    threads
        OpenMP threads (default: all). The table does not depend on it.
    progress
        Show a tqdm progress bar (on stderr).

    Returns
    -------
    pandas.DataFrame
        One row per conjunction, sorted by TCA: ``satno_1``, ``satno_2`` (the
        primary first with ``primaries``, else the smaller number first),
        ``tca`` (datetime64[ns], UTC), ``miss_distance`` [m],
        ``relative_speed`` [m/s], and ``radial``, ``in_track``,
        ``cross_track`` [m]: the position of object 2 relative to object 1
        in object 1's radial / in-track / cross-track axes, all in TEME (a
        quasi-inertial frame; distances and the frame are the model's own).

    Minima only count inside the window: an approach whose closest point lies
    before ``start`` or after ``stop`` is not reported, however close the
    objects are at the edge. Where SGP4 reports an error for an object (the
    element set cannot be started, or the object has decayed) its states
    there are not screened; an error during a pair's search drops that
    interval of the pair.
    """
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, numbers.Integral)
                                or threads < 1):
        raise ValueError(f"threads must be a positive integer or None, not {threads!r}")
    plan = _Plan(satellites, start, stop, threshold, primaries, exclude)
    return _run(plan, threads or 0, progress)


def _run(plan: _Plan, threads: int, progress: bool, k_begin: int = 0, k_end: int | None = None,
         stats: dict[str, float] | None = None) -> pd.DataFrame:
    k_end = plan.intervals if k_end is None else k_end
    chunks = []
    bar = None
    if progress:
        from tqdm import tqdm
        bar = tqdm(total=k_end - k_begin, unit="step", desc="screening", leave=False)
    try:
        if len(plan.tles) >= 2:
            catalogue = plan.catalogue()
            for k in range(k_begin, k_end, _BLOCK):
                rows, st = plan.run(catalogue, k, min(k + _BLOCK, k_end), threads)
                chunks.append(rows)
                if stats is not None:
                    for key, value in st.items():
                        stats[key] = stats.get(key, 0) + value
                if bar is not None:
                    bar.update(min(k + _BLOCK, k_end) - k)
    finally:
        if bar is not None:
            bar.close()
    rows = np.concatenate(chunks) if chunks else np.zeros((0, 8))
    return plan.table(rows)

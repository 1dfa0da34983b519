"""Earth orientation and TAI-UTC: the IERS data astrovia stands on.

This package owns the data: the leap-second table (``astrovia.iers.leapseconds``)
and the daily Earth-orientation series, read from the files astropy-iers-data
ships (nothing is downloaded). ``astrovia.time`` builds on it (UTC needs
TAI-UTC, UT1 needs UT1-UTC); nothing here imports ``astrovia.time.time``. The
per-epoch loops of both live in one native leaf module, ``astrovia.time._timecore``,
which imports nothing of astrovia; the tables are handed to it on every call.

The series: the IERS C04 series (``eopc04.1962-now``, final values referred to
IAU 2000) wherever it has rows, from 1962-01-01, then IERS Bulletin A
(``finals2000A``) after C04's last row, observed values and then predictions.
Values are linearly interpolated between the daily rows (UT1-UTC as UT1-TAI
within a UTC day, so that leap seconds do not smear). Before 1962 UT1-UTC,
polar motion and the pole offsets hold their first values; after the
predictions every value holds its last one (UT1 as UT1-TAI), and
``EOPStaleWarning`` says so once per process (again after ``load``), as it does
for a date after the expiry of the leap-second table. ``coverage()`` reports the
spans.

At the junction the rows are used as they are, without blending: the day from
C04's last row to Bulletin A's next is a linear stretch between the two. The
series differ there by their usual amounts (for the files shipped in late 2026:
0.03 and 0.08 mas in the pole, 0.01 and 0.04 mas in dX, dY, 6 us in UT1-UTC,
20 us in LOD; over the last year of C04 they differ by 0.05 mas rms in the pole
and 0.025 ms rms in UT1-UTC).
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import math
import os
import sys
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia.time import _timecore

from . import leapseconds

__all__ = ["EOP", "EOPStaleWarning", "Coverage", "coverage", "load"]

_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # astrovia/
_ARCSEC = math.pi / 648000.0
_MAS = _ARCSEC / 1000.0
_MJD_EPOCH = _dt.date(1858, 11, 17)
_COLUMNS = ("pm_x", "pm_y", "dX", "dY", "lod", "ut1_tai")


class EOPStaleWarning(UserWarning):
    """An epoch lies after the Earth-orientation predictions or the leap-second table's expiry.

    The values there are held at the last ones known. Newer data:
    ``pip install -U astropy-iers-data``, or ``astrovia.iers.load(path)``.
    """


def _date(mjd: float) -> _dt.date:
    return _MJD_EPOCH + _dt.timedelta(days=int(math.floor(mjd)))


@dataclasses.dataclass(frozen=True)
class Coverage:
    """The spans of the Earth-orientation data in use (UTC dates; ``None`` where a series is absent)."""

    c04_first: _dt.date | None  # first row of the C04 series
    c04_last: _dt.date | None  # last row of the C04 series
    bulletin_a_observed_last: _dt.date | None  # last observed (not predicted) row of Bulletin A
    predicted_last: _dt.date  # last row of all: the end of the predictions
    leap_seconds_valid_until: _dt.date  # expiry date of the leap-second table
    sources: tuple[str, ...]  # the files read

    def __str__(self) -> str:
        def fmt(d: _dt.date | None) -> str:
            return "-" if d is None else d.isoformat()

        return (
            f"C04 observed {fmt(self.c04_first)} to {fmt(self.c04_last)}; Bulletin A observed to "
            f"{fmt(self.bulletin_a_observed_last)}; predicted to {fmt(self.predicted_last)}; "
            f"leap seconds valid until {fmt(self.leap_seconds_valid_until)}"
        )


# ----------------------------------------------------------------- readers ---

def _field(line: str, start: int, stop: int) -> float:
    text = line[start - 1:stop].strip()
    return float(text) if text else math.nan


def _read_finals2000a(path: str) -> tuple[dict[str, np.ndarray], float | None]:
    """Rows with polar motion and UT1-UTC (arcsec, s, ms, mas as in the file), and the last observed MJD."""
    rows: dict[str, list[float]] = {k: [] for k in ("mjd", "pm_x", "pm_y", "dut1", "lod", "dX", "dY")}
    observed = None
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            if len(line) < 68 or not line[7:15].strip():
                continue
            try:
                mjd = float(line[7:15])
                x, u = _field(line, 19, 27), _field(line, 59, 68)
            except ValueError:
                raise ValueError(f"{path} is not a finals2000A file (line {line[:20]!r}...)") from None
            if math.isnan(x) or math.isnan(u):
                continue  # past the end of the predictions
            rows["mjd"].append(mjd)
            rows["pm_x"].append(x * _ARCSEC)
            rows["pm_y"].append(_field(line, 38, 46) * _ARCSEC)
            rows["dut1"].append(u)
            rows["lod"].append(_field(line, 80, 86) * 1e-3)
            rows["dX"].append(_field(line, 98, 106) * _MAS)
            rows["dY"].append(_field(line, 117, 125) * _MAS)
            if line[57] == "I":
                observed = mjd
    return {k: np.asarray(v, dtype=np.float64) for k, v in rows.items()}, observed


def _read_c04(path: str) -> dict[str, np.ndarray]:
    """Rows of an IERS C04 file (year month day hour MJD x y UT1-UTC dX dY xrt yrt LOD ...)."""
    rows: dict[str, list[float]] = {k: [] for k in ("mjd", "pm_x", "pm_y", "dut1", "lod", "dX", "dY")}
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            parts = line.split()
            if not parts or line.startswith("#") or not parts[0].isdigit():
                continue
            try:
                v = [float(p) for p in parts[:13]]
            except ValueError:
                raise ValueError(f"{path} is not an IERS C04 file (line {line[:20]!r}...)") from None
            if len(v) < 13:
                raise ValueError(f"{path} is not an IERS C04 file (short line {line[:20]!r}...)")
            rows["mjd"].append(v[4])
            rows["pm_x"].append(v[5] * _ARCSEC)
            rows["pm_y"].append(v[6] * _ARCSEC)
            rows["dut1"].append(v[7])
            rows["dX"].append(v[8] * _ARCSEC)
            rows["dY"].append(v[9] * _ARCSEC)
            rows["lod"].append(v[12])
    return {k: np.asarray(v, dtype=np.float64) for k, v in rows.items()}


def _is_c04(path: str) -> bool:
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            if line.startswith("#"):
                if "C04" in line:
                    return True
                continue
            parts = line.split()
            if parts:  # C04 rows start with a four-digit year and carry the MJD as the fifth field
                return len(parts) >= 13 and len(parts[0]) == 4 and parts[0].isdigit() and "." in parts[4]
    return False


def _hold_gaps(a: np.ndarray) -> np.ndarray:
    """NaN entries take the last known value (the first known one before it)."""
    ok = ~np.isnan(a)
    if not ok.any():
        return np.zeros_like(a)
    idx = np.where(ok, np.arange(a.size), 0)
    np.maximum.accumulate(idx, out=idx)
    out = a[idx]
    out[: np.argmax(ok)] = out[np.argmax(ok)]
    return out


class _Series:
    """The daily table handed to the native loops, and what it covers."""

    def __init__(self, parts: list[tuple[str, dict[str, np.ndarray]]], observed_a: float | None,
                 sources: tuple[str, ...]) -> None:
        pieces = []
        c04 = None
        end = -math.inf
        for kind, rows in parts:
            keep = rows["mjd"] > end
            if not keep.any():
                continue
            piece = {k: v[keep] for k, v in rows.items()}
            if kind == "c04":
                c04 = (piece["mjd"][0], piece["mjd"][-1])
            pieces.append(piece)
            end = piece["mjd"][-1]
        if not pieces or sum(p["mjd"].size for p in pieces) < 2:
            raise ValueError(f"{', '.join(sources)} hold fewer than two Earth-orientation rows")
        cols = {k: np.concatenate([p[k] for p in pieces]) for k in pieces[0]}
        mjd = cols["mjd"]
        if np.any(mjd != np.round(mjd)) or np.any(np.diff(mjd) != 1.0):
            raise ValueError(f"{', '.join(sources)}: the rows must be daily, at 0h UTC, without gaps")
        for k in ("pm_x", "pm_y", "dut1", "lod", "dX", "dY"):
            cols[k] = _hold_gaps(cols[k])
        dat0 = np.array([leapseconds.dat_seconds(int(m), 0.0) for m in mjd])
        cols["ut1_tai"] = cols["dut1"] - dat0
        self.table = np.ascontiguousarray(np.stack([cols[k] for k in _COLUMNS], axis=1))
        self.table.flags.writeable = False
        self.x0 = float(mjd[0])
        self.x_last = float(mjd[-1])
        self.dut1_first = float(cols["dut1"][0])
        self.c04 = c04
        self.observed_a = observed_a
        self.sources = sources
        self.kinds = tuple(kind for kind, _ in parts)


def _build(paths: Sequence[str]) -> _Series:
    parts: list[tuple[str, dict[str, np.ndarray]]] = []
    observed_a = None
    for p in paths:
        if _is_c04(p):
            parts.append(("c04", _read_c04(p)))
        else:
            rows, observed = _read_finals2000a(p)
            parts.append(("finals2000A", rows))
            observed_a = observed
    parts.sort(key=lambda kp: 0 if kp[0] == "c04" else 1)  # C04 first where both have rows
    return _Series(parts, observed_a, tuple(str(p) for p in paths))


_series: _Series | None = None
_warned = False


def _current() -> _Series:
    global _series
    if _series is None:
        from astropy_iers_data import IERS_A_FILE, IERS_B_FILE

        _series = _build([IERS_B_FILE, IERS_A_FILE])
    return _series


def load(*paths: str) -> None:
    """Use the user's own IERS files for every later ``EOP`` and UT1 call.

    Each path is a finals2000A file (Bulletin A, as the IERS and USNO publish
    it) or a C04 file (``eopc04.1962-now``); with both, C04 is used where it has
    rows and finals2000A after its end. ``load()`` without paths returns to the
    files shipped by astropy-iers-data. The rows must be daily, without gaps.
    """
    global _series, _warned
    if paths:
        for p in paths:
            if not isinstance(p, (str, bytes)) and not hasattr(p, "__fspath__"):
                raise TypeError(f"path must be a str or os.PathLike, not {type(p).__name__}")
        _series = _build([os.fsdecode(p) for p in paths])
    else:
        _series = None
    _warned = False


def coverage() -> Coverage:
    """The spans of the data in use: C04, observed Bulletin A, predictions, leap seconds."""
    s = _current()
    return Coverage(
        _date(s.c04[0]) if s.c04 else None,
        _date(s.c04[1]) if s.c04 else None,
        _date(s.observed_a) if s.observed_a is not None else None,
        _date(s.x_last),
        leapseconds.table().expires,
        s.sources,
    )


def _check_stale(latest_mjd: float) -> None:
    """Warn once per process when a date lies after the predictions or the leap-second expiry."""
    global _warned
    if _warned:
        return
    s = _current()
    expires = leapseconds.mjd_of(leapseconds.table().expires)
    if latest_mjd > s.x_last or latest_mjd >= expires:
        _warned = True
        past = "the Earth-orientation predictions" if latest_mjd > s.x_last else "the leap-second table"
        message = (
            f"an epoch lies after {past} (predictions end {_date(s.x_last).isoformat()}, leap seconds valid "
            f"until {leapseconds.table().expires.isoformat()}); values there are held at the last ones known. "
            "Newer data: pip install -U astropy-iers-data, or astrovia.iers.load(path)."
        )
        if sys.version_info >= (3, 12):  # point at the user's line, outside astrovia
            warnings.warn(message, EOPStaleWarning, skip_file_prefixes=(_PACKAGE_DIR,))
        else:
            warnings.warn(message, EOPStaleWarning, stacklevel=3)


def _ut1_jd12(tt_ns: npt.NDArray[np.int64]) -> npt.NDArray[np.float64]:
    """UT1 two-part Julian dates (N, 2) of TT stamps (int64, contiguous), in one native pass."""
    s = _current()
    out, latest = _timecore.ut1_jd12(tt_ns, s.table, s.x0, s.dut1_first, leapseconds.table().eras)
    if not _warned:
        _check_stale(latest)
    return out


def _frame_inputs(tt_ns: npt.NDArray[np.int64], with_tt: bool) -> tuple[Any, ...]:
    """A frame conversion's per-epoch inputs of TT stamps (int64, contiguous), in one native pass.

    (TT (N, 2) dates or None, UT1 (N, 2) dates, pm_x, pm_y, dX, dY, lod): the values that
    ``tt.jd12``, ``ut1.jd12`` and ``EOP(utc.mjd)`` give, to the bit (dX and dY None without TT).
    """
    s = _current()
    tt, ut1, values, latest = _timecore.frame_inputs(tt_ns, s.table, s.x0, s.dut1_first, leapseconds.table().eras,
                                                     with_tt)
    if not _warned:
        _check_stale(latest)
    pm_x, pm_y, dX, dY, lod = values
    return (tt, ut1, pm_x, pm_y, dX if with_tt else None, dY if with_tt else None, lod)


class EOP:
    """Earth-orientation values at UTC modified Julian dates.

    ``EOP(mjd_utc)`` takes a float or a one-dimensional array of UTC MJDs. Every
    attribute is a fresh writable one-dimensional float64 array of shape (N,),
    one value per date, in order. NaN dates give NaN values; dates before the
    series hold its first values, dates after it (or infinite) its last ones.
    """

    __slots__ = ("_values", "_span", "_source")
    _values: tuple[npt.NDArray[np.float64], ...]

    @property
    def pm_x(self) -> npt.NDArray[np.float64]:
        """Polar motion x [rad], shape (N,)."""
        return self._values[0]

    @property
    def pm_y(self) -> npt.NDArray[np.float64]:
        """Polar motion y [rad], shape (N,)."""
        return self._values[1]

    @property
    def dX(self) -> npt.NDArray[np.float64]:
        """Celestial pole offset dX, added to the IAU 2000A pole [rad], shape (N,)."""
        return self._values[2]

    @property
    def dY(self) -> npt.NDArray[np.float64]:
        """Celestial pole offset dY, added to the IAU 2000A pole [rad], shape (N,)."""
        return self._values[3]

    @property
    def lod(self) -> npt.NDArray[np.float64]:
        """Excess length of day [s], shape (N,)."""
        return self._values[4]

    @property
    def dut1(self) -> npt.NDArray[np.float64]:
        """UT1-UTC [s], shape (N,)."""
        return self._values[5]

    def __init__(self, mjd_utc: Any) -> None:
        if isinstance(mjd_utc, (str, bytes)):
            raise TypeError(f"mjd_utc must be a float or an array of UTC MJDs, not {type(mjd_utc).__name__}")
        try:
            x = np.asarray(mjd_utc, dtype=np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"mjd_utc must be a float or an array of UTC MJDs, not {type(mjd_utc).__name__}") from None
        if x.ndim > 1:
            raise ValueError(f"mjd_utc must be a float or a one-dimensional array, not of shape {x.shape}")
        x = np.ascontiguousarray(x.reshape(1) if x.ndim == 0 else x)
        s = _current()
        values, earliest, latest = _timecore.eop_values(x, s.table, s.x0, s.dut1_first, leapseconds.table().eras)
        if not _warned:
            _check_stale(latest)
        self._values = tuple(values)
        self._span = (earliest, latest) if earliest <= latest else None
        self._source = "+".join(s.kinds)

    def __repr__(self) -> str:
        n = self.pm_x.size
        span = "no dates" if self._span is None else f"{_date_text(self._span[0])} to {_date_text(self._span[1])}"
        return f"<EOP: {n} date{'s' if n != 1 else ''}, {span} (UTC), from {self._source}>"


def _date_text(mjd: float) -> str:
    try:
        return _date(mjd).isoformat()
    except (OverflowError, ValueError):
        return f"MJD {mjd}"

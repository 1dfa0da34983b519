"""Epochs on the TT scale, exact to the nanosecond.

A ``Time`` holds one epoch or a one-dimensional array of epochs as int64
nanoseconds of TT counted from J2000.0 (2000-01-01T12:00:00 TT), exact to the
nanosecond over its whole span, 1707-09-24 to 2292-04-09 (two days inside the
int64 range, so that every calendar split stays representable); anything that
would leave the span raises ValueError. UTC is derived
with TAI-UTC (the IERS leap seconds from 1972, the drifting eras of 1960-1971
that ERFA uses), UT1 with UT1-UTC; both tables belong to ``astrovia.iers``, on
which this module builds (never the other way round). The per-epoch loops for
arrays are the native leaf ``astrovia.time._timecore``; one epoch is worked in
plain Python, which is faster for a single value.

UTC days that end in a leap second are 86401 s long (before 1972, a day that
ends in a step of TAI-UTC is longer or shorter by the step); their two-part
Julian dates follow ERFA's convention (the fraction is of the day's own length).
"""

from __future__ import annotations

import datetime as _dt
import math
import re
from bisect import bisect_right
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from astrovia import iers as _iers
from astrovia.iers import leapseconds as _leap

from . import _timecore

__all__ = ["Time"]

NS_PER_S = _leap.NS_PER_S
NS_PER_DAY = _leap.NS_PER_DAY
_HALF_DAY = NS_PER_DAY // 2
TT_MINUS_TAI_NS = 32_184_000_000
MJD_J2000 = 51544  # the UTC/TAI/TT day 2000-01-01; J2000.0 is its noon
JD_J2000 = 2451545.0
MJD_TO_JD = 2400000.5
MJD_UNIX = 40587  # 1970-01-01
_UNIX = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
_DT64_FIRST_MJD = -66164  # datetime64[ns] spans 1677-09-21T00:12:43 to 2262-04-11T23:47:16: whole days
_DT64_LAST_MJD = 147337
_SCALES = ("utc", "tai", "tt")
_SCALE_CODES = {"utc": 0, "tai": 1, "tt": 2}
SPAN_NS = _timecore.SPAN_NS  # |stamp| at most this: two days inside int64
_SPAN_TEXT = (
    "the span of Time: TT nanoseconds from J2000.0 within +-9223199236854775807, 1707-09-24 to 2292-04-09"
)

_ISO = re.compile(
    r"\s*(\d{4})(?:-(\d\d)-(\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d)(?:\.(\d+))?)?)?)?(Z|[+-]\d\d:?\d\d)?\s*"
)


# ---------------------------------------------------------------- calendar ---

def _mjd_from_civil(y: Any, m: Any, d: Any) -> Any:
    """MJD of a proleptic Gregorian date (works on ints and int arrays)."""
    a = (14 - m) // 12
    yy = y + 4800 - a
    mm = m + 12 * a - 3
    jdn = d + (153 * mm + 2) // 5 + 365 * yy + yy // 4 - yy // 100 + yy // 400 - 32045
    return jdn - 2400001


def _civil_from_mjd(mjd: Any) -> tuple[Any, Any, Any]:
    """(year, month, day) of an MJD (int64 arrays)."""
    a = mjd + 2400001 + 32044
    b = (4 * a + 3) // 146097
    c = a - 146097 * b // 4
    d = (4 * c + 3) // 1461
    e = c - 1461 * d // 4
    m = (5 * e + 2) // 153
    day = e - (153 * m + 2) // 5 + 1
    month = m + 3 - 12 * (m // 10)
    year = 100 * b + d - 4800 + m // 10
    return year, month, day


_MONTH_DAYS = (31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)


def _days_in_month(y: int, m: int) -> int:
    if m == 2 and (y % 4 == 0 and (y % 100 != 0 or y % 400 == 0)):
        return 29
    return _MONTH_DAYS[m - 1]


# -------------------------------------------------- scale conversions (ns) ---

def _tai_starts() -> list[int]:
    """TAI ns at UTC midnight of each era's first day (a list)."""
    global _TAI_STARTS
    if _TAI_STARTS is None:
        t = _leap.table()
        _TAI_STARTS = [
            (m - MJD_J2000) * NS_PER_DAY - _HALF_DAY + _leap.dat_ns(m, 0) for m in t.starts
        ]
    return _TAI_STARTS


_TAI_STARTS: list[int] | None = None


def _check_span(ns: int, value: object) -> int:
    if not -SPAN_NS <= ns <= SPAN_NS:
        raise ValueError(f"value {value!r} lies outside {_SPAN_TEXT}")
    return ns


def _whole_second_eras() -> tuple[list[int], list[int | None]]:
    """(first day of each era, TAI-UTC in ns where it is a constant, else None): for one epoch."""
    global _WHOLE
    if _WHOLE is None:
        t = _leap.table()
        _WHOLE = (list(t.starts), [_leap.round_half_away(b * 1e9) if r == 0.0 else None
                                   for b, r in zip(t.bases, t.rates)])
    return _WHOLE


_WHOLE: tuple[list[int], list[int | None]] | None = None


def _check_sum(ns: int, seconds: object) -> int:
    if not -SPAN_NS <= ns <= SPAN_NS:
        raise ValueError(f"seconds {seconds!r} would take the epoch outside {_SPAN_TEXT}")
    return ns


def _tt_from_label_scalar(scale: str, mjd: int, sod: int) -> int:
    """TT ns of ``sod`` ns into calendar day ``mjd`` on ``scale`` (Python ints)."""
    label = (mjd - MJD_J2000) * NS_PER_DAY - _HALF_DAY + sod
    if scale == "tt":
        return label
    if scale == "utc":
        starts, dats = _WHOLE or _whole_second_eras()
        k = bisect_right(starts, mjd) - 1
        whole = dats[k] if k >= 0 else 0
        if whole is None:  # a drifting era: base + (day + fraction - reference) * rate
            t = _leap.table()
            fd = sod / NS_PER_DAY
            fd = 0.0 if fd < 0.0 else (1.0 if fd > 1.0 else fd)
            whole = _leap.round_half_away((t.bases[k] + (mjd + fd - t.refs[k]) * t.rates[k]) * 1e9)
        label += whole
    return label + TT_MINUS_TAI_NS


def _utc_parts_scalar(tt: int) -> tuple[int, int, int]:
    """(mjd, sod_ns, day_length_ns) of UTC for one TT stamp, in plain Python."""
    tai = tt - TT_MINUS_TAI_NS
    t = _leap.table()
    starts = _tai_starts()
    k = bisect_right(starts, tai) - 1
    if k >= 0 and t.rates[k] == 0.0:
        day, sod = divmod(tai - _leap.round_half_away(t.bases[k] * 1e9) + _HALF_DAY, NS_PER_DAY)
        day += MJD_J2000
        if k + 1 < len(starts) and day >= t.starts[k + 1]:  # inside a leap second
            day -= 1
            sod += NS_PER_DAY
        return day, sod, _leap.day_length_ns(day)
    # before 1972: the UTC day is that of the TAI label or the one before; on it
    # TAI-UTC is linear in the time of day, solved and settled to the nanosecond
    tai_day = (tai + _HALF_DAY) // NS_PER_DAY + MJD_J2000
    for cand in (tai_day, tai_day - 1):
        a = tai - ((cand - MJD_J2000) * NS_PER_DAY - _HALF_DAY)
        ke = bisect_right(t.starts, cand) - 1
        s = a
        if ke >= 0:
            base, ref, rate = t.bases[ke], t.refs[ke], t.rates[ke]
            s = _leap.round_half_away((a - (base + (cand + 0.0 - ref) * rate) * 1e9) / (1.0 + rate / 86400.0))
            for _ in range(4):
                fd = s / NS_PER_DAY
                fd = 0.0 if fd < 0.0 else (1.0 if fd > 1.0 else fd)
                d = _leap.round_half_away((base + (cand + fd - ref) * rate) * 1e9)
                if a - d == s:
                    break
                s = a - d
        if s >= 0 or cand != tai_day:
            return cand, s, _leap.day_length_ns(cand)
    raise AssertionError("unreachable")


def _leap_eras() -> np.ndarray:
    return _leap.table().eras


def _utc_parts(tt: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """(mjd, sod_ns, day_length_ns, tai_minus_utc_ns) of UTC for TT ns (int64, one-dimensional)."""
    return _timecore.utc_parts(np.ascontiguousarray(tt, dtype=np.int64), _leap_eras())


def _split_label(label: Any) -> tuple[Any, Any]:
    """(mjd, sod) of a continuous label count (ns from noon of MJD 51544)."""
    shifted = label + _HALF_DAY
    days = shifted // NS_PER_DAY
    return days + MJD_J2000, shifted - days * NS_PER_DAY


def _label_of(scale: str, tt: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(mjd, sod_ns) of ``tt`` on a calendar scale (arrays)."""
    if scale == "utc":
        return _utc_parts(tt)[:2]
    if scale == "ut1":
        jd = _iers._ut1_jd12(np.ascontiguousarray(tt, dtype=np.int64))
        # whole days from JD 2451545.0 (exact), plus the fraction
        label = (jd[:, 0] - JD_J2000).astype(np.int64) * NS_PER_DAY + np.rint(jd[:, 1] * NS_PER_DAY).astype(np.int64)
        return _split_label(label)
    label = np.asarray(tt, dtype=np.int64)
    if scale == "tai":
        label = label - TT_MINUS_TAI_NS
    return _split_label(label)


def _iso_strings(mjd: Any, sod: Any) -> list[str]:
    mjd = np.atleast_1d(mjd)
    sod = np.atleast_1d(sod)
    y, mo, d = _civil_from_mjd(mjd)
    s_total = sod // NS_PER_S
    frac = sod - s_total * NS_PER_S
    hh = np.minimum(s_total // 3600, 23)
    rem = s_total - hh * 3600
    mi = np.minimum(rem // 60, 59)
    ss = rem - mi * 60
    return [
        f"{a:04d}-{b:02d}-{c:02d}T{e:02d}:{f:02d}:{g:02d}.{h:09d}"
        for a, b, c, e, f, g, h in zip(
            y.tolist(), mo.tolist(), d.tolist(), hh.tolist(), mi.tolist(), ss.tolist(), frac.tolist()
        )
    ]


# ----------------------------------------------------------------- parsing ---

def _parse_iso(text: str, scale: str) -> int:
    m = _ISO.fullmatch(text)
    if m is None:
        raise ValueError(
            f"value {text!r} is not an ISO 8601 date-time (YYYY[-MM-DD[THH:MM[:SS[.fff]]]][Z|+HH:MM])"
        )
    y_s, mo_s, d_s, hh_s, mi_s, ss_s, frac, zone = m.groups()
    return _iso_label(text, scale, int(y_s), mo_s, d_s, hh_s, mi_s, ss_s, frac, zone)


def _iso_label(text: str, scale: str, y: int, mo_s: str | None, d_s: str | None, hh_s: str | None,
               mi_s: str | None, ss_s: str | None, frac: str | None, zone: str | None) -> int:
    """TT ns of the fields of an ISO text (strings as matched; None where absent)."""
    if mo_s is None or d_s is None:
        mo = d = 1
        hh = mi = ss = 0
    else:
        mo, d = int(mo_s), int(d_s)
        hh = int(hh_s) if hh_s else 0
        mi = int(mi_s) if mi_s else 0
        ss = int(ss_s) if ss_s else 0
        if not (1 <= mo <= 12 and 1 <= d <= _days_in_month(y, mo) and hh < 24 and mi < 60 and ss <= 60):
            raise ValueError(f"value {text!r} is not a valid calendar date and time")
    ns = 0
    if frac:
        if len(frac) == 9:
            ns = int(frac)
        else:
            ns = int(frac[:9].ljust(9, "0"))
            if len(frac) > 9 and frac[9] >= "5":
                ns += 1
    mjd = _mjd_from_civil(y, mo, d)
    if zone and zone != "Z":
        off = (int(zone[1:3]) * 60 + int(zone[-2:])) * (1 if zone[0] == "+" else -1)
        if int(zone[-2:]) >= 60 or abs(off) >= 24 * 60:
            raise ValueError(f"value {text!r} has no valid UTC offset")
        if off:
            if scale != "utc":
                raise ValueError(f"value {text!r}: an offset from UTC needs scale='utc', not {scale!r}")
            minutes = hh * 60 + mi - off
            day_shift, minutes = divmod(minutes, 1440)
            mjd += day_shift
            hh, mi = divmod(minutes, 60)
    sod = ((hh * 60 + mi) * 60 + ss) * NS_PER_S + ns
    if ss == 60 or sod >= NS_PER_DAY:
        if scale != "utc" or not (hh == 23 and mi == 59):
            raise ValueError(f"value {text!r}: second 60 exists only at the end of a UTC leap-second day")
        if sod >= _leap.day_length_ns(mjd):
            raise ValueError(f"value {text!r}: there was no leap second at the end of that day")
    return _check_span(_tt_from_label_scalar(scale, mjd, sod), text)


def _dates_to_tt(d1: np.ndarray, d2: np.ndarray | None, fmt: str, scale: str) -> np.ndarray:
    """TT ns of float (two-part) Julian or modified Julian dates (one-dimensional arrays)."""
    return _timecore.tt_from_dates(
        np.ascontiguousarray(d1, dtype=np.float64),
        None if d2 is None else np.ascontiguousarray(d2, dtype=np.float64),
        MJD_TO_JD if fmt == "jd" else 0.0,
        _SCALE_CODES[scale],
        _leap_eras(),
    )


def _datetime64_to_tt(value: Any, scale: str) -> np.ndarray:
    ns = np.atleast_1d(np.asarray(value))
    if np.any(np.isnat(ns)):
        raise ValueError("value holds NaT, which is no epoch")
    days = ns.astype("datetime64[D]")
    sod = (ns - days).astype("timedelta64[ns]").astype(np.int64)
    mjd = days.astype(np.int64) + MJD_UNIX
    return _timecore.tt_from_labels(
        np.ascontiguousarray(mjd), np.ascontiguousarray(sod), _SCALE_CODES[scale], _leap_eras()
    )


def _datetime_to_tt(value: _dt.date, scale: str) -> int:
    if isinstance(value, _dt.datetime):
        if value.tzinfo is not None and value.utcoffset() is not None:
            value = value.astimezone(_dt.timezone.utc).replace(tzinfo=None)
            scale = "utc"
        mjd = _mjd_from_civil(value.year, value.month, value.day)
        sod = ((value.hour * 60 + value.minute) * 60 + value.second) * NS_PER_S + value.microsecond * 1000
    else:
        mjd = _mjd_from_civil(value.year, value.month, value.day)
        sod = 0
    return _check_span(_tt_from_label_scalar(scale, mjd, sod), value)


def _pandas_to_tt(value: Any, scale: str) -> int | np.ndarray | None:
    """TT ns of a pandas Timestamp, DatetimeIndex or datetime64 Series; None for other pandas objects."""
    name = type(value).__name__
    if name == "NaTType":
        raise ValueError("value is NaT, which is no epoch")
    if name == "Timestamp":
        if value.tzinfo is not None:
            value = value.tz_convert("UTC").tz_localize(None)
            scale = "utc"
        return int(_datetime64_to_tt(value.to_datetime64(), scale)[0])
    if name in ("DatetimeIndex", "Series", "Index"):
        is_series = name == "Series"
        if is_series and value.dtype.kind != "M" and not str(value.dtype).startswith("datetime64"):
            return None
        dt = value.dt if is_series else value
        if getattr(dt, "tz", None) is not None:
            value = dt.tz_convert("UTC")
            value = value.dt.tz_localize(None) if is_series else value.tz_localize(None)
            scale = "utc"
        arr = np.asarray(value.to_numpy())
        if arr.dtype.kind == "M":
            return _datetime64_to_tt(arr, scale)
        return None
    return None


def _astropy_to_tt(value: Any) -> int | np.ndarray:
    """TT ns of an astropy ``Time``, exact to its two-part date (UT1 inverted with this package's EOP)."""
    if value.ndim > 1:
        raise ValueError(f"an astropy Time must be a scalar or one-dimensional, not of shape {value.shape}")
    scale = value.scale
    if scale not in ("utc", "tai", "tt", "ut1"):
        value = value.tt
        scale = "tt"
    jd1 = np.atleast_1d(np.asarray(value.jd1, dtype=np.float64))
    jd2 = np.atleast_1d(np.asarray(value.jd2, dtype=np.float64))
    if scale == "ut1":
        ns = _tt_from_ut1(jd1, jd2)
    else:
        ns = _dates_to_tt(jd1, jd2, "jd", scale)
    return int(ns[0]) if value.ndim == 0 else ns


def _tt_from_ut1(jd1: np.ndarray, jd2: np.ndarray) -> np.ndarray:
    """TT ns whose UT1 (this package's EOP) is the two-part Julian date (jd1, jd2)."""
    tt = _dates_to_tt(jd1, jd2, "jd", "utc")  # UT1 read as UTC: within a second
    for _ in range(4):  # UT1 advances with TT at a rate within 1e-7 of one
        got = _iers._ut1_jd12(tt)
        step = np.rint(((jd1 - got[:, 0]) + (jd2 - got[:, 1])) * NS_PER_DAY).astype(np.int64)
        if not np.any(step):
            break
        tt = _timecore.add_seconds(tt, step.astype(np.float64) / NS_PER_S)
    return tt


def _check_stamps(a: np.ndarray) -> np.ndarray:
    if a.size and (a.min() < -SPAN_NS or a.max() > SPAN_NS):
        bad = a[(a < -SPAN_NS) | (a > SPAN_NS)][0]
        raise ValueError(f"value {int(bad)} lies outside {_SPAN_TEXT}")
    return a


_ACCEPTED = (
    "a Time or a scale view of one, ISO 8601 text, datetime.datetime/date, numpy.datetime64, int64 stamps "
    "(numpy.int64 or an int64 array), floats with format='jd' or 'mjd', an astropy Time, a pandas Timestamp, "
    "DatetimeIndex or datetime64 Series, or a list of these"
)


def _to_tt(value: Any, fmt: str | None, scale: str) -> int | np.ndarray:
    """int (one epoch) or int64 array of TT ns for anything ``Time`` accepts."""
    if isinstance(value, str):
        if fmt is not None:
            raise ValueError(f"format {fmt!r} does not apply to text; leave format=None")
        return _parse_iso(value, scale)
    if isinstance(value, Time):
        return value._ns
    if isinstance(value, _ScaleView):
        return value._ns
    if fmt is not None:
        if fmt not in ("jd", "mjd"):
            raise ValueError(f"format must be 'jd', 'mjd' or None, not {fmt!r}")
        if isinstance(value, float):  # the hot scalar path
            if not (-1e7 < value < 1e7 or (fmt == "jd" and 2.3e6 < value < 2.6e6)):
                raise ValueError(f"value {value!r} ({fmt}) lies outside {_SPAN_TEXT}")
            mjd_f = value - MJD_TO_JD if fmt == "jd" else value
            day = math.floor(mjd_f)
            length = _leap.day_length_ns(day) if scale == "utc" else NS_PER_DAY
            sod = _leap.round_half_away((mjd_f - day) * length)
            return _check_span(_tt_from_label_scalar(scale, day, sod), value)
        if isinstance(value, (str, bytes, _dt.date, np.datetime64)) or not _is_numeric(value):
            raise TypeError(
                f"value of type {type(value).__name__} does not go with format={fmt!r}: "
                "give a float or a one-dimensional float array"
            )
        arr = np.asarray(value)
        if arr.dtype.kind not in "fiu" or arr.ndim > 1:
            raise TypeError(f"value must be a float or a one-dimensional float array with format={fmt!r}")
        out = _dates_to_tt(np.atleast_1d(arr), None, fmt, scale)
        return int(out[0]) if arr.ndim == 0 else out
    if isinstance(value, np.integer):
        if value.dtype != np.int64:
            raise TypeError(f"integer stamps must be int64, not {value.dtype}")
        return _check_span(int(value), value)
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError(f"value must be one-dimensional, not of shape {value.shape}")
        if value.dtype.kind == "M":
            return _datetime64_to_tt(value, scale)
        if value.dtype == np.int64:
            return _check_stamps(value.copy())
        if value.dtype.kind in "US" or value.dtype == object:
            return _sequence_to_tt(value.tolist(), scale)
        raise TypeError(
            f"an array value must hold int64 stamps, datetime64 or text, not {value.dtype} "
            "(floats need format='jd' or 'mjd')"
        )
    module = type(value).__module__
    if module.startswith("pandas"):
        r = _pandas_to_tt(value, scale)
        if r is not None:
            return r
    elif module.startswith("astropy") and type(value).__name__ == "Time":
        return _astropy_to_tt(value)
    if isinstance(value, _dt.date):
        return _datetime_to_tt(value, scale)
    if isinstance(value, np.datetime64):
        return int(_datetime64_to_tt(value, scale)[0])
    if isinstance(value, (list, tuple)):
        return _sequence_to_tt(value, scale)
    if isinstance(value, (bool, int, float)):
        raise TypeError(
            f"value {value!r} ({type(value).__name__}): numbers need format='jd' or 'mjd'; int64 stamps must be "
            "numpy.int64; a year must be text"
        )
    raise TypeError(f"value of type {type(value).__name__} is no epoch; Time accepts {_ACCEPTED}")


def _is_numeric(value: Any) -> bool:
    if isinstance(value, (int, float, np.number)) and not isinstance(value, bool):
        return True
    if isinstance(value, np.ndarray):
        return value.dtype.kind in "fiu"
    return isinstance(value, (list, tuple))


def _sequence_to_tt(seq: Any, scale: str) -> np.ndarray:
    parts = []
    for item in seq:
        if isinstance(item, (list, tuple)):
            raise ValueError("value must be a flat sequence of epochs, not a nested one")
        ns = _to_tt(item, None, scale)
        parts.append(np.atleast_1d(np.asarray(ns, dtype=np.int64)))
    if not parts:
        return np.zeros(0, dtype=np.int64)
    return np.concatenate(parts)


def _as_stamps(ns: int | np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(np.atleast_1d(np.asarray(ns, dtype=np.int64)))


# -------------------------------------------------------------------- Time ---

class Time:
    """One epoch or a one-dimensional array of epochs, held as int64 TT nanoseconds from J2000.0.

    ``Time(value, format=None, scale="utc")`` accepts a ``Time`` or a scale view of
    one (``t.tt``: its epochs); ISO 8601 text (a four-digit year alone is 1 January
    00:00 of that year; a trailing "Z" or an offset such as "+00:00" or "+02:00"
    allowed, offsets mean UTC); ``datetime.datetime``/``date`` (naive in ``scale``,
    timezone-aware ones converted to UTC); ``numpy.datetime64`` scalars or arrays;
    a pandas ``Timestamp``, ``DatetimeIndex`` or datetime64 ``Series`` (naive in
    ``scale``, aware ones in UTC); an astropy ``Time`` of any scale (exact to its
    two-part date); lists or tuples of these; int64 stamps exactly as ``.int64``
    gives them; floats or float arrays with ``format="jd"`` or ``"mjd"``.
    ``scale`` is "utc", "tai" or "tt". Epochs must lie within 1707-09-24 to
    2292-04-09 (TT); others raise ``ValueError``.
    """

    __slots__ = ("_ns",)

    def __init__(self, value: Any, format: str | None = None, scale: str = "utc") -> None:
        if scale not in _SCALES:
            raise ValueError(f"scale must be one of {_SCALES}, not {scale!r}")
        self._ns = _to_tt(value, format, scale)  # a Python int for one epoch: the cheapest to make

    @classmethod
    def _from_ns(cls, ns: int | np.ndarray) -> Time:
        t = cls.__new__(cls)
        t._ns = ns
        return t

    # shape
    @property
    def int64(self) -> np.int64 | npt.NDArray[np.int64]:
        """TT nanoseconds from J2000.0: an int64 scalar, or a read-only int64 array of shape (N,)."""
        if isinstance(self._ns, np.ndarray):
            v = self._ns.view()
            v.flags.writeable = False
            return v
        return np.int64(self._ns)

    @property
    def size(self) -> int:
        """Number of epochs (1 for a one-epoch Time)."""
        return int(np.size(self._ns))

    @property
    def shape(self) -> tuple[int, ...]:
        """() for one epoch, (N,) for an array."""
        return np.shape(self._ns)

    @property
    def isscalar(self) -> bool:
        """True for a one-epoch Time."""
        return not isinstance(self._ns, np.ndarray)

    def __len__(self) -> int:
        if not isinstance(self._ns, np.ndarray):
            raise TypeError("a one-epoch Time has no len()")
        return len(self._ns)

    def __getitem__(self, index: Any) -> Time:
        if not isinstance(self._ns, np.ndarray):
            raise TypeError("a one-epoch Time cannot be indexed")
        sel = self._ns[index]
        if isinstance(sel, np.ndarray):
            if sel.ndim != 1:
                raise IndexError("a Time index must select a one-dimensional set of epochs")
            return Time._from_ns(sel)
        return Time._from_ns(int(sel))

    def __iter__(self) -> Iterator[Time]:
        if not isinstance(self._ns, np.ndarray):
            raise TypeError("a one-epoch Time is not iterable")
        for v in self._ns.tolist():
            yield Time._from_ns(v)

    # scales
    @property
    def utc(self) -> _ScaleView:
        """The epochs on UTC (leap seconds; ERFA's drifting UTC before 1972)."""
        return _ScaleView(self._ns, "utc")

    @property
    def tai(self) -> _ScaleView:
        """The epochs on TAI (TT - 32.184 s)."""
        return _ScaleView(self._ns, "tai")

    @property
    def tt(self) -> _ScaleView:
        """The epochs on TT, the scale the stamps count."""
        return _ScaleView(self._ns, "tt")

    @property
    def ut1(self) -> _ScaleView:
        """The epochs on UT1 = UTC + (UT1-UTC) of ``astrovia.iers``."""
        return _ScaleView(self._ns, "ut1")

    @property
    def jd12(self) -> npt.NDArray[np.float64]:
        """UTC two-part Julian dates [days], shape (2,) or (N, 2)."""
        return self.utc.jd12

    @property
    def jd(self) -> float | npt.NDArray[np.float64]:
        """UTC Julian date(s) [days]: a float, or shape (N,)."""
        return self.utc.jd

    @property
    def mjd(self) -> float | npt.NDArray[np.float64]:
        """UTC modified Julian date(s) [days]: a float, or shape (N,)."""
        return self.utc.mjd

    @property
    def iso(self) -> str | npt.NDArray[np.str_]:
        """UTC ISO 8601 text (str, or an array of str)."""
        return self.utc.iso

    # interoperability
    def to_datetime64(self) -> np.datetime64 | npt.NDArray[np.datetime64]:
        """UTC as ``datetime64[ns]`` (a scalar, or shape (N,)); a leap second shows as 23:59:59.999999999."""
        mjd, sod = self._utc_clamped()
        if np.any(mjd < _DT64_FIRST_MJD) or np.any(mjd > _DT64_LAST_MJD):
            raise ValueError("datetime64[ns] covers 1677-09-22 to 2262-04-11; this Time lies outside it")
        ns = (mjd - MJD_UNIX) * NS_PER_DAY + sod
        out: npt.NDArray[np.datetime64] = ns.astype("datetime64[ns]")
        return out if isinstance(self._ns, np.ndarray) else out[0]

    def to_datetime(self) -> _dt.datetime | npt.NDArray[np.object_]:
        """UTC as timezone-aware ``datetime`` (to the nearest microsecond; a leap second shows as
        23:59:59.999999): one, or an object array of shape (N,)."""
        mjd, sod = _utc_parts(_as_stamps(self._ns))[:2]
        sod = np.where(sod >= NS_PER_DAY, NS_PER_DAY - 1000, sod)  # a leap second: the day's last microsecond
        items = [
            _UNIX + _dt.timedelta(days=d - MJD_UNIX, microseconds=round(s / 1000))
            for d, s in zip(mjd.tolist(), sod.tolist())
        ]
        if isinstance(self._ns, np.ndarray):
            out = np.empty(len(items), dtype=object)
            out[:] = items
            return out
        return items[0]

    def _utc_clamped(self) -> tuple[np.ndarray, np.ndarray]:
        mjd, sod = _utc_parts(_as_stamps(self._ns))[:2]
        return mjd, np.minimum(sod, NS_PER_DAY - 1)

    # arithmetic and comparisons
    def _other_ns(self, other: Any) -> int | np.ndarray:
        if isinstance(other, Time):
            return other._ns
        return Time(other)._ns

    def __sub__(self, other: Any) -> Any:
        """``t - u``: elapsed SI seconds (float64) for an epoch ``u``; ``t - seconds``: a ``Time``."""
        if isinstance(other, _dt.timedelta):
            return self + (-other)
        if isinstance(other, (int, float, np.floating, np.integer)) and not isinstance(other, (bool, np.bool_)):
            return self + (-other)
        if isinstance(other, np.ndarray) and other.dtype.kind in "fi":
            return self + np.negative(np.asarray(other, dtype=np.float64))
        try:
            ons = self._other_ns(other)
        except (TypeError, ValueError):
            return NotImplemented
        return _elapsed(self._ns, ons)

    def __rsub__(self, other: Any) -> Any:
        try:
            ons = self._other_ns(other)
        except (TypeError, ValueError):
            return NotImplemented
        return _elapsed(ons, self._ns)

    def __add__(self, seconds: Any) -> Time:
        if isinstance(seconds, (Time, _ScaleView)):
            return NotImplemented
        if isinstance(seconds, _dt.timedelta):
            delta = (seconds.days * 86400 + seconds.seconds) * NS_PER_S + seconds.microseconds * 1000
            if isinstance(self._ns, np.ndarray):
                # bounds first, so that the int64 sum cannot wrap
                if self._ns.size and (
                    abs(delta) > 2 * SPAN_NS or int(self._ns.max()) + delta > SPAN_NS
                    or int(self._ns.min()) + delta < -SPAN_NS
                ):
                    raise ValueError(f"seconds {seconds!r} would take the epoch outside {_SPAN_TEXT}")
                return Time._from_ns(self._ns + np.int64(delta))
            return Time._from_ns(_check_sum(self._ns + delta, seconds))
        if isinstance(seconds, (int, np.integer)) and not isinstance(seconds, (bool, np.bool_)):
            if not isinstance(self._ns, np.ndarray):  # whole seconds: exact
                return Time._from_ns(_check_sum(self._ns + int(seconds) * NS_PER_S, seconds))
            seconds = float(seconds)
        if isinstance(seconds, float) and not isinstance(self._ns, np.ndarray):
            if not (math.isfinite(seconds) and abs(seconds) < 2e10):
                raise ValueError(f"seconds {seconds!r} would take the epoch outside {_SPAN_TEXT}")
            whole = math.floor(seconds)
            ns = self._ns + whole * NS_PER_S + _leap.round_half_away((seconds - whole) * NS_PER_S)
            return Time._from_ns(_check_sum(ns, seconds))
        try:
            s = np.asarray(seconds, dtype=np.float64)
        except (TypeError, ValueError):
            return NotImplemented
        if s.ndim > 1:
            raise ValueError("seconds must be a float or a one-dimensional array")
        out = _timecore.add_seconds(_as_stamps(self._ns), np.ascontiguousarray(np.atleast_1d(s)))
        if isinstance(self._ns, np.ndarray) or s.ndim == 1:
            return Time._from_ns(out)
        return Time._from_ns(int(out[0]))

    __radd__ = __add__

    def _compare(self, other: Any, op: Any) -> Any:
        try:
            ons = self._other_ns(other)
        except (TypeError, ValueError):
            return NotImplemented
        r = op(self._ns, ons)
        return bool(r) if np.ndim(r) == 0 else r

    def __lt__(self, other: Any) -> Any:
        return self._compare(other, np.less)

    def __le__(self, other: Any) -> Any:
        return self._compare(other, np.less_equal)

    def __gt__(self, other: Any) -> Any:
        return self._compare(other, np.greater)

    def __ge__(self, other: Any) -> Any:
        return self._compare(other, np.greater_equal)

    def __eq__(self, other: object) -> Any:
        r = self._compare(other, np.equal)
        return False if r is NotImplemented else r

    def __ne__(self, other: object) -> Any:
        r = self._compare(other, np.not_equal)
        return True if r is NotImplemented else r

    def __hash__(self) -> int:
        if isinstance(self._ns, np.ndarray):
            raise TypeError("an array Time is unhashable")
        return hash(("Time", int(self._ns)))

    def __reduce__(self) -> Any:
        return (Time, (self._ns if isinstance(self._ns, np.ndarray) else np.int64(self._ns),))

    def __repr__(self) -> str:
        iso = _iso_strings(*_utc_parts(_as_stamps(self._ns))[:2])
        if not isinstance(self._ns, np.ndarray):
            return f"Time('{iso[0]}', scale='utc')"
        return f"Time({_summarise(iso)}, scale='utc')"


def _elapsed(a: int | np.ndarray, b: int | np.ndarray) -> Any:
    """a - b in SI seconds (float64), exact before the final rounding for any two stamps."""
    if not isinstance(a, np.ndarray) and not isinstance(b, np.ndarray):
        whole, rest = divmod(a - b, NS_PER_S)
        return np.float64(float(whole) + rest / NS_PER_S)
    return _timecore.elapsed(_as_stamps(a), _as_stamps(b))


def _summarise(items: list[str]) -> str:
    if len(items) > 8:
        return "[" + ", ".join(f"'{s}'" for s in items[:3]) + ", ..., " + ", ".join(f"'{s}'" for s in items[-3:]) + "]"
    return "[" + ", ".join(f"'{s}'" for s in items) + "]"


def _frame_inputs(t: Time, with_tt: bool) -> tuple[Any, ...]:
    """The per-epoch inputs of a frame conversion of ``t`` (the frames modules' fast path): see
    ``astrovia.iers._frame_inputs``; one row per epoch even for a one-epoch ``t``."""
    return _iers._frame_inputs(_as_stamps(t._ns), with_tt)


class _ScaleView:
    """The epochs of a ``Time`` on one scale: two-part and plain Julian dates, ISO text.

    Passed to ``Time()``, a view means its epochs (``Time(t.tt)`` equals ``t``).
    """

    __slots__ = ("_ns", "_scale")

    def __init__(self, ns: int | np.ndarray, scale: str) -> None:
        self._ns = ns
        self._scale = scale

    @property
    def scale(self) -> str:
        """The scale's name: "utc", "tai", "tt" or "ut1"."""
        return self._scale

    def _jd12(self) -> np.ndarray:
        """(N, 2) float64 two-part Julian dates of the epochs (N = 1 for one epoch)."""
        ns = _as_stamps(self._ns)
        if self._scale == "utc":
            return _timecore.utc_jd12(ns, _leap_eras())
        if self._scale == "ut1":
            return _iers._ut1_jd12(ns)
        return _timecore.label_jd12(ns, TT_MINUS_TAI_NS if self._scale == "tai" else 0)

    @property
    def jd12(self) -> npt.NDArray[np.float64]:
        """Two-part Julian dates [days]: a fresh writable float64 array of shape (2,) for one epoch
        or (N, 2), rows of (whole day at noon, fraction). On UTC the fraction is of the day's own
        length (86401 s on a leap-second day), as ERFA counts it."""
        out = self._jd12()
        return out if isinstance(self._ns, np.ndarray) else out.reshape(2)

    @property
    def jd(self) -> float | npt.NDArray[np.float64]:
        """Julian date(s) [days]: a float, or a float64 array of shape (N,)."""
        if self._scale == "utc" and not isinstance(self._ns, np.ndarray):
            mjd, sod, length = _utc_parts_scalar(self._ns)
            return (mjd + MJD_TO_JD) + sod / length
        jd = self._jd12()
        r = jd[:, 0] + jd[:, 1]
        return r if isinstance(self._ns, np.ndarray) else float(r[0])

    @property
    def mjd(self) -> float | npt.NDArray[np.float64]:
        """Modified Julian date(s) [days]: a float, or a float64 array of shape (N,)."""
        if self._scale == "utc":
            if not isinstance(self._ns, np.ndarray):
                mjd, sod, length = _utc_parts_scalar(self._ns)
                return mjd + sod / length
            return _timecore.utc_mjd(_as_stamps(self._ns), _leap_eras())
        jd = self._jd12()
        r = (jd[:, 0] - MJD_TO_JD) + jd[:, 1]
        return r if isinstance(self._ns, np.ndarray) else float(r[0])

    @property
    def iso(self) -> str | npt.NDArray[np.str_]:
        """ISO 8601 text on this scale, to the nanosecond: a str, or an array of str of shape (N,)."""
        mjd, sod = _label_of(self._scale, _as_stamps(self._ns))
        items = _iso_strings(mjd, sod)
        return np.asarray(items) if isinstance(self._ns, np.ndarray) else items[0]

    def __repr__(self) -> str:
        iso = self.iso
        name = self._scale.upper()
        if isinstance(iso, str):
            return f"{iso} {name}"
        return f"{_summarise(list(iso))} {name}"

"""Epochs on the TT scale, exact to the nanosecond.

A ``Time`` holds one epoch or a one-dimensional array of epochs as int64
nanoseconds of TT counted from J2000.0 (2000-01-01T12:00:00 TT), which spans
1708 to 2292 and is exact to the nanosecond from 1900 to 2200. UTC is derived
with leap seconds (the IERS table; ERFA's rates before 1972), UT1 with the DUT1
series of ``astrovia.iers``.

UTC days that end in a leap second are 86401 s long; their two-part Julian
dates follow ERFA's convention (the fraction is seconds of day / 86401).
"""

from __future__ import annotations

import datetime as _dt
import math
import re
from bisect import bisect_right

import numpy as np

from . import _timecore
from . import leapseconds as _leap

__all__ = ["Time"]

NS_PER_S = _leap.NS_PER_S
NS_PER_DAY = _leap.NS_PER_DAY
_HALF_DAY = NS_PER_DAY // 2
TT_MINUS_TAI_NS = 32_184_000_000
MJD_J2000 = 51544  # the UTC/TAI/TT day 2000-01-01; J2000.0 is its noon
JD_J2000 = 2451545.0
MJD_TO_JD = 2400000.5
MJD_UNIX = 40587  # 1970-01-01
_SCALES = ("utc", "tai", "tt")

_ISO = re.compile(
    r"\s*(\d{4})(?:-(\d\d)-(\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d)(?:\.(\d+))?)?)?)?Z?\s*"
)


# ---------------------------------------------------------------- calendar ---

def _mjd_from_civil(y, m, d):
    """MJD of a proleptic Gregorian date (works on ints and int arrays)."""
    a = (14 - m) // 12
    yy = y + 4800 - a
    mm = m + 12 * a - 3
    jdn = d + (153 * mm + 2) // 5 + 365 * yy + yy // 4 - yy // 100 + yy // 400 - 32045
    return jdn - 2400001


def _civil_from_mjd(mjd):
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


def _days_in_month(y, m):
    if m == 2 and (y % 4 == 0 and (y % 100 != 0 or y % 400 == 0)):
        return 29
    return _MONTH_DAYS[m - 1]


# -------------------------------------------------- scale conversions (ns) ---

def _tt_from_label(scale, mjd, sod):
    """TT ns from a calendar day ``mjd`` and ``sod`` ns into it, on ``scale`` (arrays)."""
    label = (mjd - MJD_J2000) * NS_PER_DAY - _HALF_DAY + sod
    if scale == "tt":
        return label
    if scale == "utc":
        label = label + _leap.dat_ns(mjd, sod)
    return label + TT_MINUS_TAI_NS


def _tt_from_label_scalar(scale, mjd, sod):
    label = (mjd - MJD_J2000) * NS_PER_DAY - _HALF_DAY + sod
    if scale == "tt":
        return label
    if scale == "utc":
        if mjd >= _leap.MJD_1972:
            mjds, dats = _leap.table_lists()
            label += dats[bisect_right(mjds, mjd) - 1] * NS_PER_S
        else:
            label += round(_leap.dat_seconds_scalar(mjd, sod) * NS_PER_S)
    return label + TT_MINUS_TAI_NS


def _utc_day_length_ns(mjd):
    """Length [ns] of UTC day ``mjd``: 86400 s plus the leap second at its end."""
    ch, dat = _leap.table()
    k = np.searchsorted(ch, mjd + 1, side="right") - 1
    k0 = np.searchsorted(ch, mjd, side="right") - 1
    jump = np.where((k >= 0) & (k0 >= 0) & (k != k0), dat[np.maximum(k, 0)] - dat[np.maximum(k0, 0)], 0)
    return NS_PER_DAY + jump * NS_PER_S


def _utc_day_length_scalar(mjd):
    if mjd < _leap.MJD_1972:
        return NS_PER_DAY
    mjds, dats = _leap.table_lists()
    k = bisect_right(mjds, mjd) - 1
    if k + 1 < len(mjds) and mjds[k + 1] == mjd + 1:
        return NS_PER_DAY + (dats[k + 1] - dats[k]) * NS_PER_S
    return NS_PER_DAY


def _split_label(label):
    """(mjd, sod) of a continuous label count (ns from noon of MJD 51544)."""
    shifted = label + _HALF_DAY
    days = shifted // NS_PER_DAY
    return days + MJD_J2000, shifted - days * NS_PER_DAY


def _utc_before_1972(tai):
    """(mjd, sod_ns, tai_minus_utc_ns) of TAI stamps before 1972 (int64 arrays).

    TAI-UTC then grew linearly through each UTC day, with steps at some midnights
    (ERFA's table). On a candidate day D, TAI = label(D) + sod + dat(D, sod) with
    dat linear in sod, so sod is solved directly and then settled to the nanosecond
    against the forward mapping. The candidate is the day of the TAI label itself,
    or the day before when that gives a negative time of day (a stamp inside a step
    shows as the earlier day's second 60).
    """
    day_tai, _ = _split_label(tai)
    best_m = best_s = best_d = None
    for cand in (day_tai, day_tai - 1):
        a = _leap.dat_seconds_pre1972(cand, np.zeros_like(cand))
        b = _leap.dat_seconds_pre1972(cand, np.full_like(cand, NS_PER_DAY))
        base = tai - ((cand - MJD_J2000) * NS_PER_DAY - _HALF_DAY)  # sod + dat, ns
        sod = np.rint((base - a * NS_PER_S) / (1.0 + (b - a) * NS_PER_S / NS_PER_DAY)).astype(np.int64)
        for _ in range(2):  # settle the last nanosecond against the forward mapping
            d = np.rint(_leap.dat_seconds_pre1972(cand, sod) * NS_PER_S).astype(np.int64)
            sod = base - d
        if best_m is None:
            best_m, best_s, best_d = cand, sod, d
        else:
            use = best_s < 0
            best_m, best_s, best_d = np.where(use, cand, best_m), np.where(use, sod, best_s), np.where(use, d, best_d)
    return best_m, best_s, best_d


def _utc_parts(tt):
    """(mjd, sod_ns, day_length_ns, tai_minus_utc_ns) of UTC for TT ns (int64 arrays, any shape)."""
    tt = np.asarray(tt, dtype=np.int64)
    shape = tt.shape
    flat = np.ascontiguousarray(tt.reshape(-1))
    ch, dat = _leap.table()
    mjd, sod, length, dat_ns = (np.empty(flat.size, dtype=np.int64) for _ in range(4))
    if _timecore.utc_from_tt(flat, ch, dat, mjd, sod, length, dat_ns):
        early = flat - TT_MINUS_TAI_NS < (ch[0] - MJD_J2000) * NS_PER_DAY - _HALF_DAY + dat[0] * NS_PER_S
        m_e, s_e, d_e = _utc_before_1972(flat[early] - TT_MINUS_TAI_NS)
        mjd[early], sod[early], length[early], dat_ns[early] = m_e, s_e, NS_PER_DAY, d_e
    return mjd.reshape(shape), sod.reshape(shape), length.reshape(shape), dat_ns.reshape(shape)


def _tai_starts():
    """TAI ns at UTC midnight of each change day of the leap-second table (a list)."""
    global _TAI_STARTS
    if _TAI_STARTS is None:
        mjds, dats = _leap.table_lists()
        _TAI_STARTS = [(c - MJD_J2000) * NS_PER_DAY - _HALF_DAY + d * NS_PER_S for c, d in zip(mjds, dats)]
    return _TAI_STARTS


_TAI_STARTS = None


def _utc_parts_scalar(tt):
    """(mjd, sod_ns, day_length_ns) of UTC for one TT stamp (a Python int), in plain Python."""
    tai = tt - TT_MINUS_TAI_NS
    starts = _tai_starts()
    if tai < starts[0]:
        mjd, sod, length = _utc_from_tt(np.asarray([tt], dtype=np.int64))
        return int(mjd[0]), int(sod[0]), int(length[0])
    mjds, dats = _leap.table_lists()
    k = bisect_right(starts, tai) - 1
    day, sod = divmod(tai - dats[k] * NS_PER_S + _HALF_DAY, NS_PER_DAY)
    day += MJD_J2000
    length = NS_PER_DAY
    if k + 1 < len(mjds):
        if day >= mjds[k + 1]:  # inside the leap second
            day -= 1
            sod += NS_PER_DAY
        if mjds[k + 1] == day + 1:
            length += (dats[k + 1] - dats[k]) * NS_PER_S
    return day, sod, length


def _utc_from_tt(tt):
    """(mjd, sod_ns, day_length_ns) of UTC for TT ns."""
    return _utc_parts(tt)[:3]


def _label_of(scale, tt):
    """(mjd, sod_ns, day_length_ns) of ``tt`` on a calendar scale."""
    if scale == "utc":
        return _utc_from_tt(tt)
    label = np.asarray(tt, dtype=np.int64)
    if scale == "tai":
        label = label - TT_MINUS_TAI_NS
    mjd, sod = _split_label(label)
    return mjd, sod, np.full(np.shape(mjd), NS_PER_DAY, dtype=np.int64)


def _iso_strings(mjd, sod):
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

def _parse_iso(text, scale):
    m = _ISO.fullmatch(text)
    if m is None:
        raise ValueError(f"value {text!r} is not an ISO 8601 date-time (YYYY[-MM-DD[THH:MM[:SS[.fff]]]][Z])")
    y, mo, d, hh, mi, ss, frac = m.groups()
    y = int(y)
    mo = int(mo) if mo else 1
    d = int(d) if d else 1
    hh = int(hh) if hh else 0
    mi = int(mi) if mi else 0
    ss = int(ss) if ss else 0
    if not (1 <= mo <= 12 and 1 <= d <= _days_in_month(y, mo) and hh < 24 and mi < 60 and ss <= 60):
        raise ValueError(f"value {text!r} is not a valid calendar date and time")
    ns = 0
    if frac:
        ns = int(frac[:9].ljust(9, "0"))
        if len(frac) > 9 and frac[9] >= "5":
            ns += 1
    mjd = _mjd_from_civil(y, mo, d)
    sod = ((hh * 60 + mi) * 60 + ss) * NS_PER_S + ns
    if ss == 60 or sod >= NS_PER_DAY:
        if scale != "utc" or not (hh == 23 and mi == 59):
            raise ValueError(f"value {text!r}: second 60 exists only at the end of a UTC leap-second day")
        if sod >= _utc_day_length_scalar(mjd):
            raise ValueError(f"value {text!r}: there was no leap second at the end of that day")
    return _tt_from_label_scalar(scale, mjd, sod)


def _jd_to_tt(values, fmt, scale):
    """TT ns from float Julian (``fmt='jd'``) or modified Julian dates, scalar or array."""
    v = np.asarray(values, dtype=np.float64)
    if not np.all(np.isfinite(v)):
        raise ValueError(f"value must hold finite {fmt} dates")
    mjd_f = v - MJD_TO_JD if fmt == "jd" else v
    day = np.floor(mjd_f)
    frac = mjd_f - day
    mjd = day.astype(np.int64)
    length = _utc_day_length_ns(mjd) if scale == "utc" else NS_PER_DAY
    sod = np.rint(frac * length).astype(np.int64)
    return _tt_from_label(scale, mjd, sod)


def _datetime64_to_tt(value, scale):
    ns = np.asarray(value).astype("datetime64[ns]")
    if np.any(np.isnat(ns)):
        raise ValueError("value holds NaT, which is no epoch")
    ns = ns.astype(np.int64)
    days = ns // NS_PER_DAY
    return _tt_from_label(scale, days + MJD_UNIX, ns - days * NS_PER_DAY)


def _datetime_to_tt(value, scale):
    if isinstance(value, _dt.datetime):
        if value.tzinfo is not None and value.utcoffset() is not None:
            value = value.astimezone(_dt.timezone.utc).replace(tzinfo=None)
            scale = "utc"
        mjd = _mjd_from_civil(value.year, value.month, value.day)
        sod = ((value.hour * 60 + value.minute) * 60 + value.second) * NS_PER_S + value.microsecond * 1000
    else:
        mjd = _mjd_from_civil(value.year, value.month, value.day)
        sod = 0
    return _tt_from_label_scalar(scale, mjd, sod)


def _to_tt(value, fmt, scale):
    """int (scalar) or int64 array of TT ns for anything ``Time`` accepts."""
    if isinstance(value, str):
        if fmt is not None:
            raise ValueError(f"format {fmt!r} does not apply to text; leave format=None")
        return _parse_iso(value, scale)
    if isinstance(value, Time):
        return value._ns
    if fmt is not None:
        if fmt not in ("jd", "mjd"):
            raise ValueError(f"format must be 'jd', 'mjd' or None, not {fmt!r}")
        if isinstance(value, float):  # the hot scalar path
            if not math.isfinite(value):
                raise ValueError(f"value must be a finite {fmt} date, not {value!r}")
            mjd_f = value - MJD_TO_JD if fmt == "jd" else value
            day = math.floor(mjd_f)
            length = _utc_day_length_scalar(day) if scale == "utc" else NS_PER_DAY
            return _tt_from_label_scalar(scale, day, round((mjd_f - day) * length))
        arr = np.asarray(value)
        if arr.dtype.kind not in "fiu" or arr.ndim > 1:
            raise TypeError(f"value must be a float or a one-dimensional float array with format={fmt!r}")
        out = _jd_to_tt(arr, fmt, scale)
        return int(out) if arr.ndim == 0 else out
    if isinstance(value, _dt.date):
        return _datetime_to_tt(value, scale)
    if isinstance(value, np.datetime64):
        return int(_datetime64_to_tt(value, scale))
    if isinstance(value, np.integer):
        if value.dtype != np.int64:
            raise TypeError(f"integer stamps must be int64, not {value.dtype}")
        return int(value)
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError(f"value must be one-dimensional, not of shape {value.shape}")
        if value.dtype.kind == "M":
            return _datetime64_to_tt(value, scale)
        if value.dtype == np.int64:
            return value.copy()
        if value.dtype.kind in "US" or value.dtype == object:
            return _sequence_to_tt(value.tolist(), scale)
        raise TypeError(f"an array value must hold int64 stamps, datetime64 or text, not {value.dtype}")
    if isinstance(value, (list, tuple)):
        return _sequence_to_tt(value, scale)
    if isinstance(value, (bool, int, float)):
        raise TypeError(
            f"value {value!r}: numbers need format='jd' or 'mjd'; int64 stamps must be numpy.int64; "
            "a year must be text"
        )
    raise TypeError(f"value must be a Time, ISO text, datetime, datetime64, stamps or dates, not {type(value).__name__}")


def _sequence_to_tt(seq, scale):
    parts = []
    for item in seq:
        ns = _to_tt(item, None, scale)
        parts.append(np.atleast_1d(np.asarray(ns, dtype=np.int64)))
    if not parts:
        return np.zeros(0, dtype=np.int64)
    return np.concatenate(parts)


# -------------------------------------------------------------------- Time ---

class Time:
    """One epoch or a one-dimensional array of epochs.

    ``Time(value, format=None, scale="utc")`` accepts a ``Time``; ISO 8601 text
    (a four-digit year alone is 1 January 00:00 of that year; "Z" allowed);
    ``datetime.datetime``/``date`` (naive in ``scale``, aware in UTC);
    ``numpy.datetime64`` scalars or arrays; lists or tuples of these; int64 stamps
    exactly as ``.int64`` gives them; floats or float arrays with ``format="jd"``
    or ``"mjd"``. ``scale`` is "utc", "tai" or "tt".
    """

    __slots__ = ("_ns",)

    def __init__(self, value, format=None, scale="utc"):
        if scale not in _SCALES:
            raise ValueError(f"scale must be one of {_SCALES}, not {scale!r}")
        ns = _to_tt(value, format, scale)
        if isinstance(ns, np.ndarray):
            self._ns = ns
        else:
            if not -(2**63) <= ns < 2**63:
                raise ValueError(f"value {value!r} lies outside the range of Time")
            self._ns = ns  # a Python int for one epoch: the cheapest to make

    @classmethod
    def _from_ns(cls, ns):
        t = cls.__new__(cls)
        t._ns = ns
        return t

    # shape
    @property
    def int64(self):
        """TT nanoseconds from J2000.0: an int64 scalar, or a read-only int64 array."""
        if isinstance(self._ns, np.ndarray):
            v = self._ns.view()
            v.flags.writeable = False
            return v
        return np.int64(self._ns)

    @property
    def size(self):
        return int(np.size(self._ns))

    @property
    def shape(self):
        return np.shape(self._ns)

    @property
    def isscalar(self):
        return not isinstance(self._ns, np.ndarray)

    def __len__(self):
        if not isinstance(self._ns, np.ndarray):
            raise TypeError("a one-epoch Time has no len()")
        return len(self._ns)

    def __getitem__(self, index):
        if not isinstance(self._ns, np.ndarray):
            raise TypeError("a one-epoch Time cannot be indexed")
        sel = self._ns[index]
        if isinstance(sel, np.ndarray):
            if sel.ndim != 1:
                raise IndexError("a Time index must select a one-dimensional set of epochs")
            return Time._from_ns(sel)
        return Time._from_ns(int(sel))

    def __iter__(self):
        if not isinstance(self._ns, np.ndarray):
            raise TypeError("a one-epoch Time is not iterable")
        for v in self._ns.tolist():
            yield Time._from_ns(v)

    # scales
    @property
    def utc(self):
        return _ScaleView(self._ns, "utc")

    @property
    def tai(self):
        return _ScaleView(self._ns, "tai")

    @property
    def tt(self):
        return _ScaleView(self._ns, "tt")

    @property
    def ut1(self):
        return _ScaleView(self._ns, "ut1")

    @property
    def jd12(self):
        """UTC two-part Julian dates, shape (2,) or (N, 2)."""
        return self.utc.jd12

    @property
    def jd(self):
        """UTC Julian date(s)."""
        return self.utc.jd

    @property
    def mjd(self):
        """UTC modified Julian date(s)."""
        return self.utc.mjd

    @property
    def iso(self):
        """UTC ISO 8601 text (str, or an array of str)."""
        return self.utc.iso

    # arithmetic and comparisons
    def _other_ns(self, other):
        if isinstance(other, Time):
            return other._ns
        return Time(other)._ns

    def __sub__(self, other):
        """``t - u``: elapsed SI seconds (float64) for an epoch ``u``; ``t - seconds``: a ``Time``."""
        is_seconds = isinstance(other, (int, float, np.floating)) and not isinstance(other, bool)
        if is_seconds or (isinstance(other, np.ndarray) and other.dtype.kind == "f"):
            return self + np.negative(other)
        try:
            ons = self._other_ns(other)
        except (TypeError, ValueError):
            return NotImplemented
        diff = np.subtract(self._ns, ons, dtype=np.int64)
        whole = diff // NS_PER_S
        return whole.astype(np.float64) + (diff - whole * NS_PER_S).astype(np.float64) / NS_PER_S

    def __rsub__(self, other):
        try:
            ons = self._other_ns(other)
        except (TypeError, ValueError):
            return NotImplemented
        return Time._from_ns(ons) - self

    def __add__(self, seconds):
        if isinstance(seconds, Time):
            return NotImplemented
        s = np.asarray(seconds, dtype=np.float64)
        if s.ndim > 1:
            raise ValueError("seconds must be a float or a one-dimensional array")
        whole = np.floor(s)
        delta = whole.astype(np.int64) * NS_PER_S + np.rint((s - whole) * NS_PER_S).astype(np.int64)
        ns = self._ns + delta
        if isinstance(ns, np.ndarray) and ns.ndim == 1:
            return Time._from_ns(ns)
        return Time._from_ns(int(ns))

    __radd__ = __add__

    def _compare(self, other, op):
        try:
            ons = self._other_ns(other)
        except (TypeError, ValueError):
            return NotImplemented
        r = op(self._ns, ons)
        return bool(r) if np.ndim(r) == 0 else r

    def __lt__(self, other):
        return self._compare(other, np.less)

    def __le__(self, other):
        return self._compare(other, np.less_equal)

    def __gt__(self, other):
        return self._compare(other, np.greater)

    def __ge__(self, other):
        return self._compare(other, np.greater_equal)

    def __eq__(self, other):
        r = self._compare(other, np.equal)
        return False if r is NotImplemented else r

    def __ne__(self, other):
        r = self._compare(other, np.not_equal)
        return True if r is NotImplemented else r

    def __hash__(self):
        if isinstance(self._ns, np.ndarray):
            raise TypeError("an array Time is unhashable")
        return hash(("Time", int(self._ns)))

    def __reduce__(self):
        return (Time, (self._ns if isinstance(self._ns, np.ndarray) else np.int64(self._ns),))

    def __repr__(self):
        iso = _iso_strings(*_utc_from_tt(np.atleast_1d(self._ns))[:2])
        if not isinstance(self._ns, np.ndarray):
            return f"Time('{iso[0]}', scale='utc')"
        return f"Time({_summarise(iso)}, scale='utc')"


def _summarise(items):
    if len(items) > 8:
        return "[" + ", ".join(f"'{s}'" for s in items[:3]) + ", ..., " + ", ".join(f"'{s}'" for s in items[-3:]) + "]"
    return "[" + ", ".join(f"'{s}'" for s in items) + "]"


def _ut1_parts(ns):
    """(u, dut1): the uniform UTC label TAI - (TAI-UTC) in ns, and UT1-UTC [s] at each epoch."""
    from astrovia.iers import _dut1

    mjd, sod, length, dat_ns = _utc_parts(ns)
    u = ns - TT_MINUS_TAI_NS - dat_ns
    return u, _dut1(mjd + sod / length)


class _ScaleView:
    """The epochs of a ``Time`` on one scale: two-part and plain Julian dates, text."""

    __slots__ = ("_ns", "_scale")

    def __init__(self, ns, scale):
        self._ns = ns
        self._scale = scale

    @property
    def scale(self):
        return self._scale

    def _jd12(self):
        """(N, 2) float64 two-part Julian dates of the epochs (N = 1 for one epoch)."""
        ns = np.atleast_1d(self._ns)
        out = np.empty((ns.size, 2), dtype=np.float64)
        if self._scale == "utc":
            mjd, sod, length = _utc_from_tt(ns)
            np.add(mjd, MJD_TO_JD, out=out[:, 0], casting="unsafe")
            np.divide(sod, length, out=out[:, 1])
            return out
        if self._scale == "ut1":
            from astrovia.iers import _ut1_jd12_into

            if _ut1_jd12_into(np.ascontiguousarray(ns, dtype=np.int64), out):
                return out
            u, dut1 = _ut1_parts(ns)
            _timecore.label_jd12(u, out)
            out[:, 1] += dut1 / 86400.0
            return out
        label = ns - TT_MINUS_TAI_NS if self._scale == "tai" else ns
        _timecore.label_jd12(np.ascontiguousarray(label, dtype=np.int64), out)
        return out

    @property
    def jd12(self):
        """Two-part Julian dates: a fresh writable float64 array of shape (2,) or (N, 2)."""
        out = self._jd12()
        return out if isinstance(self._ns, np.ndarray) else out.reshape(2)

    @property
    def jd(self):
        """Julian date(s): a float, or a float64 array."""
        if self._scale == "utc" and not isinstance(self._ns, np.ndarray):
            mjd, sod, length = _utc_parts_scalar(self._ns)
            return (mjd + MJD_TO_JD) + sod / length
        jd = self._jd12()
        r = jd[:, 0] + jd[:, 1]
        return r if isinstance(self._ns, np.ndarray) else float(r[0])

    @property
    def mjd(self):
        """Modified Julian date(s): a float, or a float64 array."""
        if self._scale == "utc" and not isinstance(self._ns, np.ndarray):
            mjd, sod, length = _utc_parts_scalar(self._ns)
            return mjd + sod / length
        if self._scale == "utc":  # integral day plus fraction: the most precise sum
            ns = np.ascontiguousarray(np.atleast_1d(self._ns), dtype=np.int64)
            r = np.empty(ns.size, dtype=np.float64)
            if not _timecore.utc_mjd(ns, *_leap.table(), r):
                mjd, sod, length = _utc_from_tt(ns)
                r = mjd + sod / length
        else:
            jd = self._jd12()
            r = (jd[:, 0] - MJD_TO_JD) + jd[:, 1]
        return r if isinstance(self._ns, np.ndarray) else float(r[0])

    @property
    def iso(self):
        if self._scale == "ut1":
            u, dut1 = _ut1_parts(np.atleast_1d(self._ns))
            items = _iso_strings(*_split_label(u + np.rint(dut1 * NS_PER_S).astype(np.int64)))
        else:
            mjd, sod, _ = _label_of(self._scale, np.atleast_1d(self._ns))
            items = _iso_strings(mjd, sod)
        return np.asarray(items) if isinstance(self._ns, np.ndarray) else items[0]

    def __repr__(self):
        iso = self.iso
        name = self._scale.upper()
        if isinstance(iso, str):
            return f"{iso} {name}"
        return f"{_summarise(list(iso))} {name}"

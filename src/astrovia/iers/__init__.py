"""Earth-orientation parameters from the IERS finals2000A series.

``EOP(mjd_utc)`` gives polar motion ``pm_x``, ``pm_y`` and the celestial pole
offsets ``dX``, ``dY`` (IAU 2000A) in radians, the excess length of day ``lod``
and ``dut1`` = UT1-UTC in seconds, linearly interpolated in the daily series;
outside the series each holds its nearest end value. UT1-UTC is interpolated as
UT1-TAI so that leap seconds do not smear into the neighbouring days.

The series shipped with astropy-iers-data is used (nothing is downloaded);
``load(path)`` switches to a finals2000A file of the user's own.
"""

from __future__ import annotations

import math

import numpy as np

from astrovia.time import _timecore
from astrovia.time import leapseconds as _leap

__all__ = ["EOP", "load"]

_ARCSEC = math.pi / 648000.0
_MAS = _ARCSEC / 1000.0


_NAMES = ("pm_x", "pm_y", "dX", "dY", "lod", "ut1_tai")
_UT1_ROW = _NAMES.index("ut1_tai")


class _Series:
    """The daily table: MJD (float64) and one float64 column per quantity."""

    __slots__ = ("mjd0", "step", "mjd", "columns", "deltas", "table")

    def __init__(self, mjd, columns):
        self.mjd = mjd
        self.columns = columns
        d = np.diff(mjd)
        uniform = d.size > 0 and np.all(d == d[0])
        self.mjd0 = float(mjd[0])
        self.step = float(d[0]) if uniform else None
        self.deltas = {k: np.append(np.diff(v), 0.0) for k, v in columns.items()}
        self.table = np.ascontiguousarray(np.stack([columns[k] for k in _NAMES], axis=1))

    def interpolate(self, x, rows):
        """(len(rows), N) interpolated values at dates x; the UT1-TAI row comes out as UT1-UTC."""
        x = np.ascontiguousarray(x, dtype=np.float64)
        if self.step is not None:
            out = np.empty((len(_NAMES), x.size), dtype=np.float64)
            ch, dat = _leap.table()
            _timecore.interp_daily(x, self.mjd0, self.step, self.table, ch, dat, _UT1_ROW, out)
            return out[list(rows)] if len(rows) != len(_NAMES) else out
        i, w = self.locate(x)
        out = np.empty((len(rows), x.size), dtype=np.float64)
        for r, name in enumerate(_NAMES[j] for j in rows):
            out[r] = self.value(name, i, w)
            if name == "ut1_tai":
                out[r] += _leap.dat_days_seconds(x)
        return out

    def locate(self, mjd):
        """(index, weight) for linear interpolation, clamped to the ends."""
        x = np.asarray(mjd, dtype=np.float64)
        n = self.mjd.size
        if self.step is not None:
            pos = (x - self.mjd0) / self.step
        else:
            i = np.clip(np.searchsorted(self.mjd, x, side="right") - 1, 0, n - 2)
            pos = i + (x - self.mjd[i]) / (self.mjd[i + 1] - self.mjd[i])
        pos = np.clip(pos, 0.0, n - 1.0)
        i = np.minimum(pos.astype(np.int64), n - 1)
        return i, pos - i

    def value(self, name, i, w):
        return self.columns[name][i] + w * self.deltas[name][i]


def _field(line, start, stop):
    text = line[start - 1:stop].strip()
    return float(text) if text else math.nan


def _parse_finals2000a(path):
    mjd, pmx, pmy, dut1, lod, dx, dy = [], [], [], [], [], [], []
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            if len(line) < 68 or not line[7:15].strip():
                continue
            x = _field(line, 19, 27)
            u = _field(line, 59, 68)
            if math.isnan(x) or math.isnan(u):
                continue  # past the end of Bulletin A's predictions
            mjd.append(float(line[7:15]))
            pmx.append(x)
            pmy.append(_field(line, 38, 46))
            dut1.append(u)
            lod.append(_field(line, 80, 86))
            dx.append(_field(line, 98, 106))
            dy.append(_field(line, 117, 125))
    if len(mjd) < 2:
        raise ValueError(f"{path} holds no finals2000A Earth-orientation rows")
    mjd = np.asarray(mjd)
    if np.any(np.diff(mjd) <= 0):
        raise ValueError(f"{path}: the dates of the series must increase")

    def filled(values, scale):
        a = np.asarray(values, dtype=np.float64) * scale
        ok = ~np.isnan(a)
        if not ok.any():
            return np.zeros_like(a)
        idx = np.where(ok, np.arange(a.size), 0)
        np.maximum.accumulate(idx, out=idx)  # hold the last known value (predictions lack LOD, dX, dY)
        a = a[idx]
        first = np.argmax(ok)
        a[:first] = a[first]
        return a

    dut1 = filled(dut1, 1.0)
    columns = {
        "pm_x": filled(pmx, _ARCSEC),
        "pm_y": filled(pmy, _ARCSEC),
        "dX": filled(dx, _MAS),
        "dY": filled(dy, _MAS),
        "lod": filled(lod, 1e-3),
        # UT1-TAI is smooth across leap seconds, UT1-UTC is not
        "ut1_tai": dut1 - _leap.dat_days_seconds(mjd),
    }
    return _Series(mjd, columns)


_series = None


def _current():
    global _series
    if _series is None:
        from astropy_iers_data import IERS_A_FILE

        _series = _parse_finals2000a(IERS_A_FILE)
    return _series


def load(path):
    """Use the finals2000A file at ``path`` for every later ``EOP`` call."""
    global _series
    _series = _parse_finals2000a(path)


def _dut1(mjd_utc):
    """UT1-UTC [s] at UTC modified Julian dates (float64 array in, array out)."""
    x = np.asarray(mjd_utc, dtype=np.float64)
    return _current().interpolate(x.reshape(-1), [_UT1_ROW])[0].reshape(x.shape)


def _ut1_jd12_into(tt_ns, out):
    """UT1 two-part Julian dates of TT stamps (int64, contiguous) written into ``out`` (N, 2)
    in one native pass; False when that pass does not apply (a non-daily table, or an
    epoch before 1972), and the caller takes the general route."""
    s = _current()
    if s.step is None:
        return False
    ch, dat = _leap.table()
    return _timecore.ut1_jd12(tt_ns, ch, dat, s.mjd0, s.step, s.table, _UT1_ROW, out)


class EOP:
    """Earth-orientation values at UTC modified Julian dates.

    ``EOP(mjd_utc)`` takes a float or a one-dimensional array; every attribute is a
    fresh writable one-dimensional float64 array with one value per date:
    ``pm_x``, ``pm_y``, ``dX``, ``dY`` [rad], ``lod``, ``dut1`` [s].
    """

    __slots__ = ("pm_x", "pm_y", "dX", "dY", "lod", "dut1")

    def __init__(self, mjd_utc):
        x = np.asarray(mjd_utc, dtype=np.float64)
        if x.ndim > 1:
            raise ValueError(f"mjd_utc must be a float or a one-dimensional array, not of shape {x.shape}")
        x = np.atleast_1d(x)
        if np.any(np.isnan(x)):
            raise ValueError("mjd_utc holds NaN")
        values = _current().interpolate(x, range(len(_NAMES)))
        self.pm_x, self.pm_y, self.dX, self.dY, self.lod, self.dut1 = values

    def __repr__(self):
        return f"EOP(<{self.pm_x.size} dates>)"

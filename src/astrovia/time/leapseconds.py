"""TAI-UTC: the leap-second table since 1972 and ERFA's formula before it.

The table comes from the IERS file shipped with astropy-iers-data (read once,
at first use). Before 1972 UTC ran at a rate offset from TAI with fractional
steps; those values come from ERFA (``erfa.dat``), and before 1960 TAI-UTC is
taken as zero, as ERFA does.
"""

import functools
import warnings
from bisect import bisect_right

import erfa
import numpy as np

NS_PER_S = 1_000_000_000
NS_PER_DAY = 86_400 * NS_PER_S
MJD_1972 = 41317  # 1972-01-01, the first day of integral leap seconds


@functools.lru_cache(maxsize=None)
def table():
    """(mjd_of_change, tai_minus_utc_seconds) as int64 arrays, from 1972 on.

    Entry k says that from UTC midnight of day ``mjd[k]`` on, TAI-UTC is ``dat[k]`` s.
    """
    from astropy_iers_data import IERS_LEAP_SECOND_FILE

    mjds, dats = [], []
    with open(IERS_LEAP_SECOND_FILE, encoding="ascii") as f:
        for line in f:
            parts = line.split()
            if not parts or line.lstrip().startswith("#"):
                continue
            mjds.append(int(float(parts[0])))
            dats.append(int(parts[4]))
    mjd = np.asarray(mjds, dtype=np.int64)
    dat = np.asarray(dats, dtype=np.int64)
    if mjd[0] != MJD_1972 or np.any(np.diff(mjd) <= 0):
        raise RuntimeError(f"unexpected leap-second table {IERS_LEAP_SECOND_FILE}")
    return mjd, dat


@functools.lru_cache(maxsize=None)
def table_lists():
    mjd, dat = table()
    return mjd.tolist(), dat.tolist()


def dat_seconds_scalar(mjd, sod_ns):
    """TAI-UTC [s] at UTC day ``mjd`` (int) and ``sod_ns`` ns into that day."""
    if mjd >= MJD_1972:
        mjds, dats = table_lists()
        return dats[bisect_right(mjds, mjd) - 1]
    return float(dat_seconds_pre1972(np.asarray([mjd]), np.asarray([sod_ns]))[0])


def dat_seconds_pre1972(mjd, sod_ns):
    """ERFA's TAI-UTC [s, float] for UTC days before 1972 (arrays)."""
    mjd = np.asarray(mjd, dtype=np.int64)
    iy, im, iday, _ = erfa.jd2cal(2400000.5, mjd.astype(np.float64))
    fd = np.asarray(sod_ns, dtype=np.float64) / NS_PER_DAY
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", erfa.ErfaWarning)  # before 1960: "dubious year", value 0
        return np.asarray(erfa.dat(iy, im, iday, np.clip(fd, 0.0, 1.0)), dtype=np.float64)


def dat_ns(mjd, sod_ns):
    """TAI-UTC in ns (int64 arrays) at UTC day ``mjd`` and ``sod_ns`` ns into it."""
    mjd = np.asarray(mjd, dtype=np.int64)
    ch, dat = table()
    k = np.searchsorted(ch, mjd, side="right") - 1
    out = dat[np.maximum(k, 0)] * NS_PER_S
    early = k < 0
    if np.any(early):
        sod = np.broadcast_to(np.asarray(sod_ns, dtype=np.int64), mjd.shape)
        out = np.array(out, copy=True)
        out[early] = np.rint(dat_seconds_pre1972(mjd[early], sod[early]) * NS_PER_S).astype(np.int64)
    return out


def dat_days_seconds(mjd):
    """Integral TAI-UTC [s] per UTC day from 1972 on, float array (0 before 1972's table)."""
    ch, dat = table()
    k = np.searchsorted(ch, np.floor(np.asarray(mjd, dtype=np.float64)).astype(np.int64), side="right") - 1
    return np.where(k >= 0, dat[np.maximum(k, 0)], 0).astype(np.float64)

"""TAI-UTC: the IERS leap-second table from 1972 on, the drifting eras before it.

From 1972 TAI-UTC is a whole number of seconds that changes at the midnights
listed in the IERS file ``Leap_Second.dat`` (shipped by astropy-iers-data, read
once at first use), which also states the date it expires. From 1960 to 1971
UTC ran at a rate offset from TAI, with steps of fractions of a second; those
eras are the published USNO table (``tai-utc.dat``), the values ERFA uses.
Before 1960 TAI-UTC is taken as zero, as ERFA does.

Everything here is given to the native loops as one float64 table of eras,
``(first UTC day as MJD, base [s], reference MJD, rate [s/day])``; on UTC day D
at fraction f of the day, TAI-UTC = base + (D + f - reference) * rate.
"""

from __future__ import annotations

import datetime as _dt
import functools
import re
from bisect import bisect_right
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

NS_PER_S = 1_000_000_000
NS_PER_DAY = 86_400 * NS_PER_S
MJD_1972 = 41317  # 1972-01-01, the first day of whole leap seconds
_MJD_EPOCH = _dt.date(1858, 11, 17)

# USNO tai-utc.dat, 1960-1971: (first day, base [s], reference MJD, rate [s/day])
_DRIFT_ERAS = (
    ((1960, 1, 1), 1.4178180, 37300.0, 0.0012960),
    ((1961, 1, 1), 1.4228180, 37300.0, 0.0012960),
    ((1961, 8, 1), 1.3728180, 37300.0, 0.0012960),
    ((1962, 1, 1), 1.8458580, 37665.0, 0.0011232),
    ((1963, 11, 1), 1.9458580, 37665.0, 0.0011232),
    ((1964, 1, 1), 3.2401300, 38761.0, 0.0012960),
    ((1964, 4, 1), 3.3401300, 38761.0, 0.0012960),
    ((1964, 9, 1), 3.4401300, 38761.0, 0.0012960),
    ((1965, 1, 1), 3.5401300, 38761.0, 0.0012960),
    ((1965, 3, 1), 3.6401300, 38761.0, 0.0012960),
    ((1965, 7, 1), 3.7401300, 38761.0, 0.0012960),
    ((1965, 9, 1), 3.8401300, 38761.0, 0.0012960),
    ((1966, 1, 1), 4.3131700, 39126.0, 0.0025920),
    ((1968, 2, 1), 4.2131700, 39126.0, 0.0025920),
)


def mjd_of(date: _dt.date) -> int:
    """Modified Julian day number of a calendar date."""
    return (date - _MJD_EPOCH).days


class LeapTable(NamedTuple):
    """The TAI-UTC eras and what the shipped file says of itself."""

    eras: npt.NDArray[np.float64]  # (M, 4): start MJD, base [s], reference MJD, rate [s/day]
    starts: list[int]  # first day of each era (MJD)
    bases: list[float]
    refs: list[float]
    rates: list[float]
    expires: _dt.date  # the file's own expiry date
    path: str


def _read_leap_file(path: str) -> tuple[list[int], list[int], _dt.date]:
    mjds: list[int] = []
    dats: list[int] = []
    expires = None
    with open(path, encoding="ascii") as f:
        for line in f:
            m = re.search(r"File expires on\s+(\d+)\s+(\w+)\s+(\d{4})", line)
            if m:
                expires = _dt.datetime.strptime(" ".join(m.groups()), "%d %B %Y").date()
                continue
            parts = line.split()
            if not parts or line.lstrip().startswith("#"):
                continue
            mjds.append(int(float(parts[0])))
            dats.append(int(parts[4]))
    if not mjds or mjds[0] != MJD_1972 or any(b <= a for a, b in zip(mjds, mjds[1:])) or expires is None:
        raise ValueError(f"{path} is not an IERS leap-second table (Leap_Second.dat)")
    return mjds, dats, expires


@functools.lru_cache(maxsize=None)
def table() -> LeapTable:
    """The TAI-UTC eras from 1960 on (the shipped leap-second file from 1972)."""
    from astropy_iers_data import IERS_LEAP_SECOND_FILE

    mjds, dats, expires = _read_leap_file(IERS_LEAP_SECOND_FILE)
    rows = [(float(mjd_of(_dt.date(*ymd))), base, ref, rate) for ymd, base, ref, rate in _DRIFT_ERAS]
    rows += [(float(m), float(d), 0.0, 0.0) for m, d in zip(mjds, dats)]
    eras = np.ascontiguousarray(rows, dtype=np.float64)
    eras.flags.writeable = False
    return LeapTable(
        eras,
        [int(r[0]) for r in rows],
        [r[1] for r in rows],
        [r[2] for r in rows],
        [r[3] for r in rows],
        expires,
        IERS_LEAP_SECOND_FILE,
    )


def round_half_away(v: float) -> int:
    """Nearest integer, halves away from zero (as the native loops round)."""
    return int(v + 0.5) if v >= 0.0 else -int(-v + 0.5)


def dat_seconds(mjd: int, fd: float) -> float:
    """TAI-UTC [s] on UTC day ``mjd`` at fraction ``fd`` of the day (held in [0, 1])."""
    t = table()
    k = bisect_right(t.starts, mjd) - 1
    if k < 0:
        return 0.0
    rate = t.rates[k]
    if rate == 0.0:
        return t.bases[k]
    fd = 0.0 if fd < 0.0 else (1.0 if fd > 1.0 else fd)
    return t.bases[k] + (mjd + fd - t.refs[k]) * rate


def dat_ns(mjd: int, sod_ns: int) -> int:
    """TAI-UTC [ns, int] on UTC day ``mjd``, ``sod_ns`` ns into it."""
    return round_half_away(dat_seconds(mjd, sod_ns / NS_PER_DAY) * 1e9)


def day_length_ns(mjd: int) -> int:
    """Length [ns] of UTC day ``mjd``: 86400 s plus the step of TAI-UTC at its end."""
    t = table()
    k1 = bisect_right(t.starts, mjd + 1) - 1
    if k1 < 0 or t.starts[k1] != mjd + 1:  # within one era TAI-UTC runs on without a step
        return NS_PER_DAY
    return NS_PER_DAY + round_half_away((dat_seconds(mjd + 1, 0.0) - dat_seconds(mjd, 1.0)) * 1e9)

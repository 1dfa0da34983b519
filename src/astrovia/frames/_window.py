"""Nodes of the time-and-Earth-orientation windows that native searches evaluate.

A native search (rises and sets, eclipses, closest approaches, numerical
integration) needs the frame chain at instants it chooses itself. It asks for
the nodes of its window once, here, from the package's own ``Time`` and
``EOP``, and interpolates between them natively (``frames/epoch_window.hpp``).
Every UTC midnight inside the window is a node, so that the daily
Earth-orientation series and UTC itself are exact under linear interpolation.
"""

from __future__ import annotations

import numpy as np

from astrovia.time.time import Time

NS_PER_S = 1_000_000_000
NS_PER_DAY = 86_400 * NS_PER_S
JD_J2000 = 2451545.0

# Columns of the node table, in the order EpochNodeInputs declares them.
COLUMNS = ("t", "ut1_1", "ut1_2", "utc_1", "utc_2", "pm_x", "pm_y", "dX", "dY", "lod")


def window_nodes(start_ns: int, stop_ns: int, spacing: float = 1800.0, margin: float = 0.0
                 ) -> tuple[float, float, np.ndarray]:
    """(origin_tt1, origin_tt2, nodes) for the TT stamps ``[start_ns, stop_ns]`` widened by ``margin`` [s].

    ``nodes`` is a C-contiguous (K, 10) float64 array with the columns of
    ``COLUMNS``; ``t`` is TT seconds from the origin, which is ``start_ns``.
    """
    from astrovia.iers import EOP  # the module global, so a user's load() is seen

    if stop_ns < start_ns:
        raise ValueError("the window's stop is before its start")
    step = max(int(round(spacing * NS_PER_S)), 1)
    lo = int(start_ns) - int(round(margin * NS_PER_S))
    hi = int(stop_ns) + int(round(margin * NS_PER_S))
    uniform = np.arange(lo, hi, step, dtype=np.int64)
    uniform = np.append(uniform, np.int64(hi))
    ends = Time(np.array([lo, hi], dtype=np.int64))
    mjd = ends.utc.mjd
    days = np.arange(np.floor(mjd[0]) + 1.0, np.floor(mjd[1]) + 1.0)
    if days.size:
        midnights = Time(days, format="mjd", scale="utc").int64
        midnights = np.atleast_1d(np.asarray(midnights, dtype=np.int64))
        midnights = midnights[(midnights > lo) & (midnights < hi)]
        # Uniform nodes close to a midnight would only make the cubic fits ill-conditioned.
        near = np.zeros(uniform.size, dtype=bool)
        if midnights.size:
            pos = np.searchsorted(midnights, uniform)
            gap = np.full(uniform.size, np.iinfo(np.int64).max, dtype=np.int64)
            right = pos < midnights.size
            gap[right] = midnights[pos[right]] - uniform[right]
            left = pos > 0
            gap[left] = np.minimum(gap[left], uniform[left] - midnights[pos[left] - 1])
            near = gap < step // 4
            near[0] = near[-1] = False
        stamps = np.union1d(uniform[~near], midnights)
    else:
        stamps = np.unique(uniform)
    t = Time(stamps)
    ut1 = t.ut1.jd12.reshape(-1, 2)
    utc = t.utc.jd12.reshape(-1, 2)
    eop = EOP(t.utc.mjd)
    nodes = np.empty((stamps.size, len(COLUMNS)))
    nodes[:, 0] = (stamps - np.int64(start_ns)).astype(np.float64) / NS_PER_S
    nodes[:, 1:3] = ut1
    nodes[:, 3:5] = utc
    nodes[:, 5] = eop.pm_x
    nodes[:, 6] = eop.pm_y
    nodes[:, 7] = eop.dX
    nodes[:, 8] = eop.dY
    nodes[:, 9] = eop.lod
    days0, rem = divmod(int(start_ns), NS_PER_DAY)
    return JD_J2000 + days0, rem / NS_PER_DAY, np.ascontiguousarray(nodes)

"""SGP4/SDP4: one TLE over a day in TEME and ITRF, one ephemeris over a month of TLE history
(examples/data/iss_month.tle, synthetic ISS-like records made by tools/make_iss_history.py), and a
catalogue-scale run on all cores.
"""

import ctypes
import ctypes.util
import os
import time as clock
from pathlib import Path

import numpy as np

from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE
from astrovia.time.time import Time
from astrovia.units.units import hour, km

DATA = Path(__file__).parent / "data"


def read_tles(path):
    lines = path.read_text().splitlines()
    return [TLE(lines[i + 1], lines[i + 2]) for i in range(0, len(lines) - 2, 3)]


def openmp_threads():
    path = ctypes.util.find_library("gomp")
    if path:
        return ctypes.CDLL(path).omp_get_max_threads()
    return os.cpu_count()


def catalogue(m, seed=7):
    """M made-up element sets: mostly low orbits, some medium, geostationary and Molniya orbits."""
    rng = np.random.default_rng(seed)

    def checksum(line68):
        return line68 + str(sum(int(c) if c.isdigit() else c == "-" for c in line68) % 10)

    tles = []
    for i in range(m):
        u = rng.uniform()
        n, e, inc = ((rng.uniform(13.5, 15.8), rng.uniform(0, 0.02), rng.uniform(45, 100)) if u < 0.85 else
                     (rng.uniform(0.99, 1.01), rng.uniform(0, 0.001), rng.uniform(0, 5)) if u < 0.95 else
                     (rng.uniform(2.0, 2.01), rng.uniform(0.65, 0.74), rng.uniform(62, 65)))
        l1 = checksum(f"1 {i:05d}U 24001A   24001.50000000  .00001000  00000-0  {rng.integers(1000, 50000):05d}-4 0  999")
        l2 = checksum(f"2 {i:05d} {inc:8.4f} {rng.uniform(0, 360):8.4f} {round(e * 1e7):07d} "
                      f"{rng.uniform(0, 360):8.4f} {rng.uniform(0, 360):8.4f} {n:11.8f}12345")
        tles.append(TLE(l1, l2))
    return tles


def main():
    sgp4 = SGP4()
    print(sgp4)

    # 1. One TLE over a day: TEME (the model's own frame) and ITRF.
    iss = read_tles(DATA / "sample.tle")[0]
    t = iss.epoch + np.linspace(0.0, 24 * hour, 5)
    teme = sgp4.propagate_state(t, iss)
    r_itrf, v_itrf, err = sgp4.propagate_many(t, [iss], frame="ITRF")
    print(f"\nISS (catalogue number {iss.satno}) over a day from its epoch {iss.epoch.utc!r}:")
    print("  hours   TEME r [km]                           ITRF r [km]                           |v| [km/s]")
    for k, dt in enumerate(t - iss.epoch):
        rt, ri = teme.r[k] / km, r_itrf[0, k] / km
        print(f"  {dt / hour:5.1f}  {rt[0]:10.3f} {rt[1]:10.3f} {rt[2]:10.3f}   "
              f"{ri[0]:10.3f} {ri[1]:10.3f} {ri[2]:10.3f}   {np.linalg.norm(teme.v[k]) / km:8.4f}")

    # 2. A month of history: each epoch from the latest TLE at or before it.
    history = ELSET(*read_tles(DATA / "iss_month.tle"), satname="ISS (ZARYA)")
    first = history.epoch[0]
    t = first + np.arange(0.0, 31 * 24 * hour, 0.25 * hour)
    eph = sgp4.propagate(t, history)
    print(f"\nPiecewise over {history.size} TLEs of {history.satname}: {eph.size} epochs every 15 min, "
          f"frame {eph.frame.name}")
    stamps = history.epoch.int64
    # The position jump where one TLE hands over to the next: the two TLEs at the same instant.
    jumps = []
    for k in range(1, history.size):
        at = history[k].epoch
        before = sgp4.propagate_state(at, history[k - 1]).r[0]
        after = sgp4.propagate_state(at, history[k]).r[0]
        jumps.append(np.linalg.norm(after - before) / km)
    print(f"  hand-over jumps between consecutive TLEs: median {np.median(jumps):.2f} km, largest {max(jumps):.2f} km")
    radius = np.linalg.norm(eph.r, axis=1) / km
    print(f"  geocentric distance over the month: {radius.min():.1f} .. {radius.max():.1f} km; "
          f"first stretch {int(np.sum(eph.time.int64 < stamps[1]))} epochs")

    # 3. Catalogue scale: M TLEs x N epochs on all cores.
    m, n = 5000, 1440
    tles = catalogue(m)
    t = Time("2024-01-01T12:00:00") + np.arange(n) * 60.0
    for frame in ("TEME", "ITRF"):
        t0 = clock.perf_counter()
        r, v, err = sgp4.propagate_many(t, tles, frame=frame)
        dt = clock.perf_counter() - t0
        print(f"\npropagate_many, {frame}: {m} TLEs x {n} epochs = {m * n:,} states in {dt:.2f} s "
              f"({dt / (m * n) * 1e9:.0f} ns per state) on {openmp_threads()} OpenMP threads; "
              f"r {r.shape}, error codes {dict((int(c), int(k)) for c, k in zip(*np.unique(err, return_counts=True)))}")


if __name__ == "__main__":
    main()

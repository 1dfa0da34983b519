"""Where and when: astrovia's native geometry against its baselines, in one process.

- geodetic_from_ITRF of 1e6 Earth-fixed points against erfa.gc2gde on the same array (the bar: no slower).
- passes of 200 LEO TLEs over one station for 7 days, one thread, against skyfield's find_events looped over
  the same satellites (the bar: 20x, the aim 50x).
- passes of a 2000-TLE catalogue over 10 stations for a day, two OpenMP threads against one (the bar: 1.8x);
  the thread count is switched at run time through the OpenMP runtime (omp_set_num_threads).

The TLEs are generated reproducibly (fixed seed): near-circular to slightly eccentric LEO orbits of all
inclinations, mean motions 14 to 15.8 revolutions a day, no drag.

One OpenMP thread unless --threads N is given (set before anything is imported). Every figure is the median of
REPEATS runs, the contenders taking turns; the results are checked against each other once per figure.

usage: python benchmarks/events.py [--threads N] [--quick] [--only geodetic|passes|threads]
"""

import os
import sys

from _common import checksum, set_threads, timings  # drops benchmarks/ from the path (sgp4.py hides sgp4)

THREADS = int(sys.argv[sys.argv.index("--threads") + 1]) if "--threads" in sys.argv else 1
os.environ["OMP_NUM_THREADS"] = str(THREADS)

import erfa  # noqa: E402
import numpy as np  # noqa: E402

from astrovia.frames.geodetic import geodetic_from_ITRF  # noqa: E402
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84  # noqa: E402

REPEATS = 7
QUICK = "--quick" in sys.argv


def medians(*fs, cpu=None):
    """Median wall times of the contenders (taking turns) and their results; with a list `cpu`, their
    median process CPU times are appended to it (the fairer figure on one thread of a loaded machine)."""
    t = timings(*fs, repeats=REPEATS)
    if cpu is not None:
        cpu.extend(t.cpu)
    return t.wall, t.results


def geodetic_figure():
    n = 200_000 if QUICK else 1_000_000
    rng = np.random.default_rng(7)
    u = rng.normal(size=(n, 3))
    r = u / np.linalg.norm(u, axis=1, keepdims=True) * rng.uniform(6.35e6, 4.3e7, size=(n, 1))
    cpu = []
    (t_ours, t_erfa), (ours, ref) = medians(lambda: geodetic_from_ITRF(r, WGS84),
                                            lambda: erfa.gc2gde(WGS84.a, WGS84.f, r), cpu=cpu)
    assert np.max(np.abs(ours["lat"] - ref[1])) < 1e-9 and np.max(np.abs(ours["alt"] - ref[2])) < 1e-2
    line = (f"geodetic_from_ITRF, N={n}: wall astrovia {t_ours * 1e3:.1f} ms, erfa.gc2gde {t_erfa * 1e3:.1f} ms, "
            f"ratio erfa/astrovia {t_erfa / t_ours:.2f}")
    if THREADS == 1:
        line += f"; CPU {cpu[0] * 1e3:.1f} ms vs {cpu[1] * 1e3:.1f} ms, ratio {cpu[1] / cpu[0]:.2f}"
    print(line + " (bar: >= 1)")


def leo_tles(n, seed=11):
    """n TLE line pairs of LEO orbits, checksummed, epoch 2024-01-01 12:00 UTC."""
    rng = np.random.default_rng(seed)
    out = []
    for k in range(n):
        inc, raan, argp, ma = rng.uniform(20, 110), rng.uniform(0, 360), rng.uniform(0, 360), rng.uniform(0, 360)
        ecc, mm = rng.uniform(1e-4, 2e-2), rng.uniform(14.0, 15.8)
        l1 = f"1 {70000 + k:05d}U 24001A   24001.50000000  .00000000  00000-0  00000-0 0  999"
        l2 = f"2 {70000 + k:05d} {inc:8.4f} {raan:8.4f} {round(ecc * 1e7):07d} {argp:8.4f} {ma:8.4f} {mm:11.8f}    1"
        out.append((checksum(l1), checksum(l2)))
    return out


def passes_figure():
    import math

    from skyfield.api import EarthSatellite, load, wgs84

    from astrovia.events import passes
    from astrovia.groundstation import GroundStation
    from astrovia.propagators.analytical.sgp4.tle import TLE

    set_threads(1)
    n = 50 if QUICK else 200
    lines = leo_tles(n)
    tles = [TLE(*pair) for pair in lines]
    station = GroundStation(math.radians(47.0671), math.radians(15.4933), 491.0, name="Graz")
    start, stop = "2024-01-01T12:00", "2024-01-08T12:00"
    ts = load.timescale(builtin=True)
    site = wgs84.latlon(47.0671, 15.4933, elevation_m=491.0)
    sats = [EarthSatellite(*pair, ts=ts) for pair in lines]
    t0, t1 = ts.utc(2024, 1, 1, 12), ts.utc(2024, 1, 8, 12)

    def ours():
        return passes(tles, station, start, stop)

    def skyfield():
        return [s.find_events(site, t0, t1, altitude_degrees=0.0) for s in sats]

    cpu = []
    (t_ours, t_sky), (table, events) = medians(ours, skyfield, cpu=cpu)
    complete = sum(int(((ev[:-2] == 0) & (ev[1:-1] == 1) & (ev[2:] == 2)).sum()) for _, ev in events)
    assert complete == int((~table["partial"]).sum()), (complete, int((~table["partial"]).sum()))
    print(f"passes, {n} LEO TLEs x 1 station x 7 days ({len(table)} passes), 1 thread: wall astrovia "
          f"{t_ours * 1e3:.0f} ms, skyfield find_events {t_sky * 1e3:.0f} ms, ratio {t_sky / t_ours:.1f}; "
          f"CPU {cpu[0] * 1e3:.0f} ms vs {cpu[1] * 1e3:.0f} ms, ratio {cpu[1] / cpu[0]:.1f} (bar: >= 20, aim 50)")


def threads_figure():
    import math

    from astrovia.events import passes
    from astrovia.groundstation import GroundStation
    from astrovia.propagators.analytical.sgp4.tle import TLE

    n = 500 if QUICK else 2000
    tles = [TLE(*pair) for pair in leo_tles(n, seed=5)]
    rng = np.random.default_rng(3)
    stations = [GroundStation(math.radians(lat), math.radians(lon), name=f"S{k}")
                for k, (lat, lon) in enumerate(zip(rng.uniform(-70, 70, 10), rng.uniform(-180, 180, 10)))]

    def run(threads):
        def call():
            set_threads(threads)
            return passes(tles, stations, "2024-01-01T12:00", "2024-01-02T12:00")
        return call

    (t1, t2), (one, two) = medians(run(1), run(2))
    assert one.equals(two), "two threads give another table"
    load = os.getloadavg()[0]
    note = " (the machine was busy: the process may not have had both cores)" if load > 1.5 else ""
    print(f"passes, {n} TLEs x 10 stations x 1 day ({len(one)} passes): 1 thread {t1:.2f} s, 2 threads "
          f"{t2:.2f} s, speed-up {t1 / t2:.2f} (bar: >= 1.8); load {load:.2f}{note}")


FIGURES = [geodetic_figure, passes_figure, threads_figure]


def main():
    load = os.getloadavg()
    print(f"events benchmarks: {THREADS} OpenMP thread(s), {os.cpu_count()} cores, load average "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}, numpy {np.__version__}, pyerfa {erfa.__version__}, "
          f"median of {REPEATS}")
    only = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else None
    for figure in FIGURES:
        if only is None or figure.__name__.startswith(only):
            figure()


if __name__ == "__main__":
    main()

"""Where and when: astrovia's native geometry against its baselines, in one process.

- geodetic_from_ITRF of 1e6 Earth-fixed points against erfa.gc2gde on the same array (the bar: no slower).

One OpenMP thread unless --threads N is given (set before anything is imported). Every figure is the median of
REPEATS runs, the contenders taking turns; the results are checked against each other once per figure.

usage: python benchmarks/events.py [--threads N] [--quick]
"""

import os
import sys

THREADS = int(sys.argv[sys.argv.index("--threads") + 1]) if "--threads" in sys.argv else 1
os.environ["OMP_NUM_THREADS"] = str(THREADS)

import statistics  # noqa: E402
import time as clock  # noqa: E402

import erfa  # noqa: E402
import numpy as np  # noqa: E402

from astrovia.frames.geodetic import geodetic_from_ITRF  # noqa: E402
from astrovia.mathtools.ellipsoid.ellipsoid import WGS84  # noqa: E402

REPEATS = 7
QUICK = "--quick" in sys.argv


def medians(*fs, cpu=None):
    """Median wall times of the contenders (taking turns) and their results; with a list `cpu`, their
    median process CPU times are appended to it (the fairer figure on one thread of a loaded machine)."""
    times = [[] for _ in fs]
    cpus = [[] for _ in fs]
    results = [None] * len(fs)
    for _ in range(REPEATS):
        for i, f in enumerate(fs):
            c0, t0 = clock.process_time(), clock.perf_counter()
            results[i] = f()
            times[i].append(clock.perf_counter() - t0)
            cpus[i].append(clock.process_time() - c0)
    if cpu is not None:
        cpu.extend(statistics.median(c) for c in cpus)
    return [statistics.median(ts) for ts in times], results


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


FIGURES = [geodetic_figure]


def main():
    load = os.getloadavg()
    print(f"events benchmarks: {THREADS} OpenMP thread(s), {os.cpu_count()} cores, load average "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}, numpy {np.__version__}, pyerfa {erfa.__version__}, "
          f"median of {REPEATS}")
    for figure in FIGURES:
        figure()


if __name__ == "__main__":
    main()

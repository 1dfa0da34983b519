"""Speed-up of astrovia.dask over one serial call, on Dask's threaded scheduler and on a dask.distributed
LocalCluster of two single-threaded worker processes.

The baseline is one call of the underlying function on one thread (OMP_NUM_THREADS=1 is set before anything
is imported, for this process and the workers). Every figure is the median of REPEATS runs; the three
variants take turns. Results are checked bitwise against the baseline once per figure. Graph building and
the transfer of inputs and results are counted, as a user pays them.

usage: python benchmarks/dask_scaling.py [--quick]
"""

import os

os.environ["OMP_NUM_THREADS"] = "1"

import sys  # noqa: E402
import warnings  # noqa: E402

import dask  # noqa: E402
import distributed  # noqa: E402
import numpy as np  # noqa: E402
from _common import timings  # noqa: E402

import astrovia.dask as adask  # noqa: E402
from astrovia.frames import geocentric, rotations  # noqa: E402
from astrovia.time.time import Time  # noqa: E402

REPEATS = 5
QUICK = "--quick" in sys.argv
N_TEME = 200_000 if QUICK else 1_000_000
N_GCRF = 20_000 if QUICK else 100_000
WORKERS = 2


def figure(label, n, serial, lazy, client):
    def threaded():
        return dask.compute(*lazy(), scheduler="threads", num_workers=WORKERS)

    def cluster():
        return client.compute(list(lazy()), sync=True)

    (t_serial, t_threads, t_cluster), _, (want, got_t, got_c) = timings(serial, threaded, cluster, repeats=REPEATS)
    for got in (got_t, got_c):
        assert all(np.array_equal(a, b) for a, b in zip(want, got)), f"{label}: chunked result differs"
    print(f"{label}: N={n}  serial {t_serial * 1e3:.0f} ms  threads {t_threads * 1e3:.0f} ms "
          f"(speed-up {t_serial / t_threads:.2f})  LocalCluster({WORKERS} processes) {t_cluster * 1e3:.0f} ms "
          f"(speed-up {t_serial / t_cluster:.2f})")


def main():
    warnings.filterwarnings("ignore", message="Sending large graph")
    print(f"astrovia.dask scaling, {os.cpu_count()} cores, dask {dask.__version__}, "
          f"distributed {distributed.__version__}, numpy {np.__version__}, median of {REPEATS}")
    start = Time("2024-03-20T00:00").int64
    rng = np.random.default_rng(1)
    with distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        t = Time(start + np.arange(N_TEME, dtype=np.int64) * 1_000_000_000)
        r, v = rng.normal(size=(N_TEME, 3)) * 7e6, rng.normal(size=(N_TEME, 3)) * 7e3
        figure("ITRF_from_TEME (lock held)", N_TEME, lambda: geocentric.ITRF_from_TEME(t, r, v),
               lambda: adask.ITRF_from_TEME(t, r, v, chunks=N_TEME // WORKERS), client)

        t = Time(start + np.arange(N_GCRF, dtype=np.int64) * 1_000_000_000)
        figure("rot_ITRF_from_GCRF (lock released)", N_GCRF, lambda: (rotations.rot_ITRF_from_GCRF(t),),
               lambda: (adask.rot_ITRF_from_GCRF(t, chunks=N_GCRF // WORKERS),), client)

        try:
            from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
            from astrovia.propagators.analytical.sgp4.tle import TLE
        except ImportError:
            print("SGP4 propagate_many: not in this build")
            return
        lines = ("1 25544U 98067A   24001.51258435  .00016717  00000-0  30270-3 0  9986",
                 "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.50103472433265")
        t = Time(start + np.arange(N_TEME, dtype=np.int64) * 1_000_000_000)
        tle = TLE(*lines)
        figure("SGP4 propagate_many, 1 TLE (lock released)", N_TEME,
               lambda: SGP4().propagate_many(t, [tle]),
               lambda: adask.propagate_many(t, [lines], epoch_chunks=N_TEME // WORKERS), client)


if __name__ == "__main__":
    main()

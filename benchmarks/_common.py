"""What the benchmark scripts share: the import path, the timer, the OpenMP thread count, TLE text, the load.

Import it before the packages under test: benchmarks/sgp4.py would hide the sgp4 package (the baselines and
skyfield import it) while this directory is on sys.path, so importing this module takes the directory off the
path. It imports nothing outside the standard library, so a script may set its OpenMP environment before or
after it.
"""

import importlib.util
import os
import pathlib
import statistics
import sys
import time as clock
from typing import Any, Callable, NamedTuple

_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _HERE]

ROOT = pathlib.Path(__file__).resolve().parents[1]


class Timing(NamedTuple):
    """Per contender: the median wall seconds and process CPU seconds of one call, and its last result."""

    wall: list[float]
    cpu: list[float]
    results: list[Any]


def timings(*fns: Callable[[], Any], repeats: int, number: int = 1) -> Timing:
    """Times the callables, `number` calls each, over `repeats` rounds in which they take turns (a change of
    load on the shared machine then hits all of them alike).

    The CPU time is the whole process's (every thread), so on a loaded machine it leaves out the stretches
    when other processes held the cores."""
    walls: list[list[float]] = [[] for _ in fns]
    cpus: list[list[float]] = [[] for _ in fns]
    results: list[Any] = [None] * len(fns)
    for _ in range(repeats):
        for i, f in enumerate(fns):
            c0, t0 = clock.process_time(), clock.perf_counter()
            for _ in range(number):
                results[i] = f()
            walls[i].append((clock.perf_counter() - t0) / number)
            cpus[i].append((clock.process_time() - c0) / number)
    return Timing([statistics.median(w) for w in walls], [statistics.median(c) for c in cpus], results)


def load() -> str:
    """The load averages (1, 5, 15 minutes) and the cores this process may run on, for every printed figure."""
    return "load %.2f %.2f %.2f on %d cores" % (*os.getloadavg(), len(os.sched_getaffinity(0)))


def _openmp() -> Any:
    import ctypes
    import ctypes.util

    for name in ("gomp", "omp", "iomp5"):
        path = ctypes.util.find_library(name)
        if path:
            lib = ctypes.CDLL(path)
            if hasattr(lib, "omp_set_num_threads"):
                return lib
    raise RuntimeError("no OpenMP runtime found")


_OMP = None


def set_threads(n: int) -> None:
    """The OpenMP thread count of the native loops, switched at run time (omp_set_num_threads)."""
    global _OMP
    if _OMP is None:
        _OMP = _openmp()
    _OMP.omp_set_num_threads(n)


def on_threads(n: int, fn: Callable[[], Any]) -> Callable[[], Any]:
    """`fn` run with n OpenMP threads, for `timings`."""
    def run() -> Any:
        set_threads(n)
        return fn()
    return run


def on_one_core(fn: Callable[[], Any]) -> Callable[[], Any]:
    """`fn` run with the calling thread (and every thread it starts) allowed one core, for `timings`: a
    baseline that starts its own threads, with no setting for their count, then runs on one core."""
    def run() -> Any:
        cores = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {min(cores)})
        try:
            return fn()
        finally:
            os.sched_setaffinity(0, cores)
    return run


_TOOL = None


def catalogue_tool() -> Any:
    """tools/make_catalogue.py, the synthetic catalogue, loaded on first use (it imports NumPy, which should
    not be loaded before a script has set its OpenMP environment)."""
    global _TOOL
    if _TOOL is None:
        spec = importlib.util.spec_from_file_location("make_catalogue", ROOT / "tools" / "make_catalogue.py")
        _TOOL = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(_TOOL)
    return _TOOL


def checksum(line68: str) -> str:
    """The 68 columns of a TLE line with its checksum digit appended."""
    return catalogue_tool().checksum(line68)


def exp_field(x: float) -> str:
    """The implied-decimal field " 12345-4" of B* (and of the second derivative of the mean motion)."""
    return catalogue_tool().exp_field(x)

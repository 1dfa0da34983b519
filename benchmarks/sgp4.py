"""Benchmarks of astrovia.propagators.analytical.sgp4.sgp4 against the sgp4 package.

One process; every figure is the median of REPEATS runs, project and baseline taking turns (the
machine is shared, so ratios are the figures to read). Baselines: sgp4.api.SatrecArray.sgp4 (the
vectorised C++ loop of the sgp4 package) and Satrec.sgp4_array, handed ready-made Julian dates.
The OpenMP thread count is switched at run time through the OpenMP runtime (omp_set_num_threads).

The instruction-set paths (--paths, run first): ns per state for each path of astrovia
(propagate_many, path=...), sgp4.api.SatrecArray, heyoka's sgp4_propagator (heyoka.set_nthreads
to the same thread count) and astroz's SatrecArray (on one core: its thread count has no setting), each with its worst distance from the reference
(SatrecArray) over the states both give; heyoka and astroz are baselines only (the `bench` extra).
The near-Earth catalogue is generated (seeded): no real catalogue ships with the repository.

usage: python benchmarks/sgp4.py [--quick] [--no-memory] [--paths-only]
"""

import os
import subprocess
import sys
import tempfile

from _common import checksum, exp_field, load, on_one_core, on_threads, set_threads, timings  # drops benchmarks/ from the path

import numpy as np
from sgp4.api import Satrec, SatrecArray, WGS72

from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
from astrovia.propagators.analytical.sgp4.tle import TLE
from astrovia.time.time import Time

REPEATS = 5
QUICK = "--quick" in sys.argv


def catalogue_lines(m, seed=1):
    """A catalogue-like mix: mostly low orbits, some medium, geostationary and Molniya orbits."""
    rng = np.random.default_rng(seed)
    out = []
    for i in range(m):
        u = rng.uniform()
        if u < 0.80:
            n, e, inc = rng.uniform(13.5, 15.8), rng.uniform(0, 0.02), rng.uniform(45, 100)
        elif u < 0.88:
            n, e, inc = rng.uniform(2.0, 6.0), rng.uniform(0, 0.1), rng.uniform(50, 65)
        elif u < 0.96:
            n, e, inc = rng.uniform(0.99, 1.01), rng.uniform(0, 0.001), rng.uniform(0, 5)
        else:
            n, e, inc = rng.uniform(2.0, 2.01), rng.uniform(0.65, 0.74), rng.uniform(62, 65)
        bstar = rng.uniform(1e-5, 5e-4)
        l1 = f"1 {i % 100000:05d}U 20001A   24{rng.uniform(1, 2):012.8f}  .00001000  00000-0 {exp_field(bstar)} 0  999"
        l2 = (f"2 {i % 100000:05d} {inc:8.4f} {rng.uniform(0, 360):8.4f} {round(e * 1e7):07d} "
              f"{rng.uniform(0, 360):8.4f} {rng.uniform(0, 360):8.4f} {n:11.8f}12345")
        out.append((checksum(l1), checksum(l2)))
    return out


def jd_pairs(time):
    jd = time.utc.jd12
    return np.ascontiguousarray(jd[:, 0]), np.ascontiguousarray(jd[:, 1])


def versions():
    from importlib.metadata import version

    return f"astrovia {version('astrovia')}, sgp4 {version('sgp4')}, numpy {np.__version__}"


def bench_catalogue(m, n):
    lines = catalogue_lines(m)
    tles = [TLE(a, b) for a, b in lines]
    sats = SatrecArray([Satrec.twoline2rv(a, b, WGS72) for a, b in lines])
    time = Time("2024-01-02T00:00:00") + np.linspace(0.0, 86400.0, n)
    jd, fr = jd_pairs(time)
    prop = SGP4()

    set_threads(1)
    (ours, base), (c_ours, c_base), _ = timings(lambda: prop.propagate_many(time, tles), lambda: sats.sgp4(jd, fr),
                                                repeats=REPEATS)
    states = m * n
    print(f"propagate_many TEME, 1 thread, {m} TLEs x {n} epochs: {ours / states * 1e9:.1f} ns/state; "
          f"SatrecArray.sgp4 {base / states * 1e9:.1f} ns/state; ratio {ours / base:.3f} (bar <= 1.0), "
          f"in CPU seconds {c_ours / c_base:.3f}")

    # Wall and CPU seconds: on a machine whose cores are taken by other work the scheduler may give
    # the process one share whatever its thread count, and the CPU seconds show what was done.
    run = lambda: prop.propagate_many(time, tles)  # noqa: E731
    (w1, w2), (c1, c2), _ = timings(on_threads(1, run), on_threads(2, run), repeats=REPEATS)
    print(f"propagate_many TEME, 2 threads against 1, {states:.0e} states: speed-up {w1 / w2:.2f} (bar >= 1.8); "
          f"CPU seconds 1 thread {c1:.3f}, 2 threads {c2:.3f}; CPU/wall with 2 threads {c2 / w2:.2f}; {load()}")
    if c2 / w2 < 1.5:
        print("  (the process had less than 1.5 cores on average while running 2 threads: the speed-up here "
              "measures the machine's other load, not the loop)")

    set_threads(2)
    (teme, itrf, gcrf), (c_teme, c_itrf, c_gcrf), _ = timings(
        lambda: prop.propagate_many(time, tles), lambda: prop.propagate_many(time, tles, frame="ITRF"),
        lambda: prop.propagate_many(time, tles, frame="GCRF"), repeats=REPEATS)
    print(f"propagate_many ITRF against TEME, 2 threads, {m} x {n}: ratio {itrf / teme:.3f} (bar <= 1.15), "
          f"in CPU seconds {c_itrf / c_teme:.3f}; GCRF against TEME {gcrf / teme:.3f}, in CPU seconds "
          f"{c_gcrf / c_teme:.3f}")


def near_earth_lines(m, seed=2):
    """A near-Earth catalogue like today's: mostly 400-1200 km (the shells of the large
    constellations), a few eccentric and decaying orbits; every period under 225 minutes."""
    rng = np.random.default_rng(seed)
    out = []
    for i in range(m):
        u = rng.uniform()
        if u < 0.85:
            alt, e, inc = rng.uniform(350.0, 1200.0), rng.uniform(0.0, 0.005), rng.choice([53.0, 70.0, 97.6, 87.9])
            inc += rng.normal(0.0, 0.5)
        elif u < 0.97:
            alt, e, inc = rng.uniform(500.0, 1500.0), rng.uniform(0.005, 0.1), rng.uniform(20.0, 110.0)
        else:
            alt, e, inc = rng.uniform(200.0, 350.0), rng.uniform(0.0, 0.003), rng.uniform(30.0, 100.0)
        a = 6378.135 + alt + e * (6378.135 + alt)
        n = np.sqrt(398600.8 / a**3) * 86400.0 / (2.0 * np.pi)
        bstar = rng.uniform(1e-5, 8e-4)
        l1 = f"1 {i % 100000:05d}U 20001A   24{rng.uniform(1, 2):012.8f}  .00001000  00000-0 {exp_field(bstar)} 0  999"
        l2 = (f"2 {i % 100000:05d} {abs(inc):8.4f} {rng.uniform(0, 360):8.4f} {round(e * 1e7):07d} "
              f"{rng.uniform(0, 360):8.4f} {rng.uniform(0, 360):8.4f} {n:11.8f}12345")
        out.append((checksum(l1), checksum(l2)))
    return out


def worst_distance(r_km, e, r_ref_km, e_ref):
    """Worst |r - r_ref| [m] over the states without error in both (r as (M, N, 3))."""
    ok = (np.asarray(e) == 0) & (np.asarray(e_ref) == 0)
    d = np.linalg.norm(np.asarray(r_km) - np.asarray(r_ref_km), axis=-1)[ok]
    return float(d.max() * 1e3) if d.size else float("nan")


def bench_paths(m, n):
    from astrovia.propagators.analytical.sgp4.sgp4 import _paths

    try:
        import heyoka
    except ImportError:
        heyoka = None
    try:
        from astroz.api import Satrec as ZSatrec, SatrecArray as ZSatrecArray, WGS72 as ZWGS72
    except ImportError:
        ZSatrecArray = None
    time = Time("2024-01-02T00:00:00") + np.linspace(0.0, 86400.0, n)
    jd, fr = jd_pairs(time)
    prop = SGP4()
    paths = _paths()
    for title, lines in (("near-Earth", near_earth_lines(m)), ("catalogue with deep space", catalogue_lines(m))):
        deep = sum(2 * np.pi / (float(b[52:63]) * 2 * np.pi / 1440.0) >= 225.0 for _, b in lines)
        tles = [TLE(a, b) for a, b in lines]
        sats = [Satrec.twoline2rv(a, b, WGS72) for a, b in lines]
        array = SatrecArray(sats)
        e_ref, r_ref, _ = array.sgp4(jd, fr)
        runs = {f"astrovia {p}": (lambda p=p: prop.propagate_many(time, tles, path=p)) for p in paths}
        runs["sgp4 SatrecArray"] = lambda: array.sgp4(jd, fr)
        worst = {}
        for p in paths:
            r, _, e = prop.propagate_many(time, tles, path=p)
            worst[f"astrovia {p}"] = worst_distance(r / 1e3, e, r_ref, e_ref)
        worst["sgp4 SatrecArray"] = 0.0
        if heyoka is not None:
            heyoka.set_nthreads(1)
            hp = heyoka.model.sgp4_propagator(sats)
            dates = np.zeros((n, m), dtype=hp.jdtype)
            dates["jd"], dates["frac"] = jd[:, None], fr[:, None]
            runs["heyoka sgp4_propagator"] = lambda: hp(dates)
            out = hp(dates)  # (N, 7, M): x y z vx vy vz error
            worst["heyoka sgp4_propagator"] = worst_distance(np.moveaxis(out[:, :3, :], (0, 2), (1, 0)),
                                                             out[:, 6, :].T, r_ref, e_ref)
        if ZSatrecArray is not None:
            zarray = ZSatrecArray([ZSatrec.twoline2rv(a, b, ZWGS72) for a, b in lines])
            # astroz starts its own threads and has no setting for their count: one core for it here.
            runs["astroz SatrecArray"] = on_one_core(lambda: zarray.sgp4(jd, fr))
            ze, zr, _ = zarray.sgp4(jd, fr)
            worst["astroz SatrecArray"] = worst_distance(zr, ze, r_ref, e_ref)
        set_threads(1)
        machine = load()
        walls, cpus, _ = timings(*runs.values(), repeats=REPEATS)
        states = m * n
        base = dict(zip(runs, walls))["sgp4 SatrecArray"]
        base_cpu = dict(zip(runs, cpus))["sgp4 SatrecArray"]
        print(f"{title}: {m} TLEs ({deep} deep space) x {n} epochs, TEME, 1 thread, {machine}; ns per state "
              f"wall (CPU), SatrecArray's time over each (wall, CPU), worst distance from SatrecArray")
        for (name, w), c in zip(zip(runs, walls), cpus):
            print(f"  {name:24s} {w / states * 1e9:7.1f} ({c / states * 1e9:6.1f}) ns  x{base / w:5.2f} "
                  f"(x{base_cpu / c:5.2f})  worst {worst[name]:.3g} m")
        best = min(c for k, c in zip(runs, cpus) if k.startswith("astrovia"))
        for peer in ("heyoka sgp4_propagator", "astroz SatrecArray"):
            if peer in runs:
                print(f"  {peer.split()[0]}'s CPU time over astrovia's best path: x{dict(zip(runs, cpus))[peer] / best:.2f}")
    # Two threads against one, and the Earth frames against TEME, on the widest path.
    lines = near_earth_lines(m)
    tles = [TLE(a, b) for a, b in lines]
    run = lambda: prop.propagate_many(time, tles)  # noqa: E731
    (w1, w2), (_, c2), _ = timings(on_threads(1, run), on_threads(2, run), repeats=REPEATS)
    print(f"near-Earth, path 'auto' ({paths[1] if len(paths) > 1 else 'plain'}), 2 threads against 1: speed-up "
          f"{w1 / w2:.2f} (bar >= 1.8); CPU/wall with 2 threads {c2 / w2:.2f}; {load()}")
    if c2 / w2 < 1.5:
        print("  (the process had less than 1.5 cores on average while running 2 threads: the speed-up here "
              "measures the machine's other load, not the loop)")
    set_threads(1)
    for p in paths:
        (teme, itrf, gcrf), (c_teme, c_itrf, c_gcrf), _ = timings(
            lambda: prop.propagate_many(time, tles, path=p), lambda: prop.propagate_many(time, tles, "ITRF", path=p),
            lambda: prop.propagate_many(time, tles, "GCRF", path=p), repeats=REPEATS)
        print(f"near-Earth, path {p!r}, 1 thread: ITRF over TEME {itrf / teme:.3f} (CPU {c_itrf / c_teme:.3f}), "
              f"GCRF over TEME {gcrf / teme:.3f} (CPU {c_gcrf / c_teme:.3f}) (bar <= 1.3)")


def bench_one_tle(n):
    line1 = "1 25544U 98067A   24001.51258435  .00016717  00000-0  30270-3 0  9986"
    line2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.50103472433265"
    tle = TLE(line1, line2)
    sat = Satrec.twoline2rv(line1, line2, WGS72)
    time = Time("2024-01-01T12:00:00") + np.linspace(0.0, 30 * 86400.0, n)
    jd, fr = jd_pairs(time)
    prop = SGP4()
    for threads in (1, 2):
        set_threads(threads)
        (ours, base), _, _ = timings(lambda: prop.propagate_state(time, tle), lambda: sat.sgp4_array(jd, fr),
                                     repeats=REPEATS)
        print(f"propagate_state, one TLE, {n:.0e} epochs, end to end (UTC clock from the Time, ephemeris built), "
              f"{threads} thread{'s' if threads > 1 else ''}: {ours * 1e3:.1f} ms; Satrec.sgp4_array {base * 1e3:.1f} ms; "
              f"ratio {ours / base:.3f} (bar <= 1.0)")


MEMORY_SCRIPT = """
import resource, sys, tracemalloc
import numpy as np
from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
from astrovia.propagators.analytical.sgp4.tle import TLE
from astrovia.time.time import Time
lines = open(sys.argv[1]).read().splitlines()
n = int(sys.argv[2])
tles = [TLE(lines[i], lines[i + 1]) for i in range(0, len(lines), 2)]
time = Time("2024-01-02T00:00:00") + np.arange(n) * 60.0
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
tracemalloc.start()
import time as clock
t0 = clock.perf_counter()
r, v, err = SGP4().propagate_many(time, tles)
dt = clock.perf_counter() - t0
peak = tracemalloc.get_traced_memory()[1]
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(f"{peak / 2**20:.0f} {before / 1024:.0f} {after / 1024:.0f} {dt:.2f} {r.nbytes + v.nbytes + err.nbytes}")
"""


def bench_memory(m, n):
    with tempfile.NamedTemporaryFile("w", suffix=".tle", delete=False) as f:
        f.write("".join(f"{a}\n{b}\n" for a, b in catalogue_lines(m)))
    try:
        out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, f.name, str(n)], capture_output=True, text=True,
                             check=True).stdout.split()
    finally:
        os.unlink(f.name)
    traced, before, after, seconds, outputs = out
    print(f"propagate_many TEME, {m} TLEs x {n} epochs ({int(m) * int(n):.2e} states, all threads): "
          f"peak traced allocations {traced} MiB (outputs {int(outputs) / 2**20:.0f} MiB), "
          f"max RSS {after} MiB (before the call {before} MiB), {seconds} s")


def main():
    print(f"versions: {versions()}; OpenMP threads available: {os.cpu_count()}")
    bench_paths(200 if QUICK else 800, 360 if QUICK else 1440)
    if "--paths-only" in sys.argv:
        return
    if QUICK:
        bench_catalogue(300, 300)
        bench_one_tle(100_000)
    else:
        bench_catalogue(1000, 1000)
        bench_one_tle(1_000_000)
    if "--no-memory" not in sys.argv:
        bench_memory(3000 if QUICK else 30000, 1440)


if __name__ == "__main__":
    main()

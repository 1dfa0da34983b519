"""Benchmarks of astrovia.conjunctions.screen on the synthetic catalogue of tools/make_catalogue.py.

Figures (one process; medians of the repeats; wall and processor seconds, the load average with each,
since the machine is shared):

1. all-versus-all, the ~30 000-object catalogue, 24 h, 5 km, two threads: wall, CPU, the time of each
   stage (propagation, sieve, refinement), the counts, and the peak resident memory;
2. one-versus-all, one primary against the catalogue, 7 days, 5 km;
3. a ratio against a brute force on the same subset (sgp4.api.SatrecArray on a 10 s grid plus
   scipy.spatial.cKDTree pairs within the threshold plus half a step of the largest relative
   motion): the first stage of the tests' oracle, without its refinement.

usage: python benchmarks/conjunctions.py [--quick] [--repeats N] [--catalogue FILE]
"""

import argparse
import os
import pathlib
import resource
import statistics
import sys
import tempfile
import time as clock

from _common import catalogue_tool, load  # drops benchmarks/ from the path (sgp4.py hides sgp4)

import numpy as np

from astrovia.conjunctions import _Plan, _run
from astrovia.propagators.analytical.sgp4.tle import read_tles
from astrovia.time.time import Time

START = Time("2024-01-01T00:00")


def run_screen(tles, hours, primaries=None, threads=2):
    stats = {}
    t0, c0 = clock.perf_counter(), clock.process_time()
    plan = _Plan(tles, START, START + hours * 3600.0, 5000.0, primaries, None)
    table = _run(plan, threads, False, stats=stats)
    return clock.perf_counter() - t0, clock.process_time() - c0, table, stats, plan


def report(name, runs):
    wall = statistics.median(r[0] for r in runs)
    cpu = statistics.median(r[1] for r in runs)
    _, _, table, stats, plan = runs[-1]
    print(f"{name}: {wall:.1f} s wall, {cpu:.1f} s CPU (median of {len(runs)}; {load()}); "
          f"{len(plan.tles)} objects screened, step {plan.step:g} s x {plan.sub_intervals} sieve pieces")
    print(f"  stages (last run, wall / CPU s): propagation {stats['propagation']:.1f} / "
          f"{stats['propagation_cpu']:.1f}, sieve {stats['sieve']:.1f} / {stats['sieve_cpu']:.1f}, "
          f"refinement {stats['refinement']:.1f} / {stats['refinement_cpu']:.1f}")
    print(f"  counts: {len(table)} conjunctions, {stats['candidates']} candidate intervals, "
          f"{stats['pairs_tested']} pair tests, {stats['propagations']} SGP4 calls")
    return wall


def brute_force(lines, hours, threshold=5000.0, step=10.0):
    from scipy.spatial import cKDTree
    from sgp4.api import WGS72, Satrec, SatrecArray

    sats = SatrecArray([Satrec.twoline2rv(a, b, WGS72) for a, b in lines])
    t = np.arange(0.0, hours * 3600.0 + step / 2, step)
    jd = np.full(t.shape, 2460310.5)
    pairs = 0
    for k in range(0, len(t), 60):  # in slices of 60 epochs, as a streaming screen would
        e, r, v = sats.sgp4(jd[k:k + 60], t[k:k + 60] / 86400.0)
        radius = threshold / 1000.0 + np.nanmax(np.linalg.norm(v, axis=2)) * step
        for q in range(r.shape[1]):
            ok = e[:, q] == 0
            pairs += len(cKDTree(r[ok, q, :]).query_pairs(radius))
    return pairs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one run of each figure")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--catalogue", type=pathlib.Path, default=None, help="an existing catalogue file")
    args = parser.parse_args()
    repeats = 1 if args.quick else args.repeats
    with tempfile.TemporaryDirectory() as tmp:
        path = args.catalogue
        if path is None:
            path = pathlib.Path(tmp) / "catalogue.tle"
            records = catalogue_tool().catalogue()
            path.write_text("".join(f"{n}\n{a}\n{b}\n" for n, a, b in records))
        tles = read_tles(str(path))
    print(f"catalogue: {len(tles)} element sets; {os.cpu_count()} processors; {load()}")

    runs = [run_screen(tles, 24.0) for _ in range(repeats)]
    report("all-versus-all, 24 h, 5 km, 2 threads", runs)
    print(f"  peak resident memory: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")

    primary = tles[99].satno  # a constellation satellite at 550 km, where the catalogue is densest
    runs = [run_screen(tles, 7 * 24.0, primaries=[primary]) for _ in range(max(repeats, 3))]
    report(f"one-versus-all (primary {primary}), 7 days, 5 km, 2 threads", runs)

    subset = tles[::10]
    lines = [(t.line1, t.line2) for t in subset]
    ours, base = [], []
    for _ in range(max(repeats, 3)):
        w0, c0 = clock.perf_counter(), clock.process_time()
        pairs = brute_force(lines, 2.0)
        base.append((clock.perf_counter() - w0, clock.process_time() - c0))
        w, c, table, _, _ = run_screen(subset, 2.0)
        ours.append((w, c))
    bw, bc = statistics.median(b[0] for b in base), statistics.median(b[1] for b in base)
    ow, oc = statistics.median(o[0] for o in ours), statistics.median(o[1] for o in ours)
    print(f"{len(subset)} objects, 2 h, 5 km: screen {ow:.2f} s wall / {oc:.2f} s CPU ({len(table)} conjunctions, "
          f"refined); brute-force candidate search {bw:.2f} s / {bc:.2f} s ({pairs} grid pairs, not refined): "
          f"ratio {bw / ow:.1f}x wall, {bc / oc:.1f}x CPU ({load()})")


if __name__ == "__main__":
    sys.exit(main())

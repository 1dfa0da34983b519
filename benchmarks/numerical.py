"""Benchmarks of astrovia.propagators.numerical against heyoka's Taylor integrator.

One process; every figure is the median of REPEATS runs. Baseline: heyoka.taylor_adaptive (tol 1e-15,
compact mode, heyoka.set_nthreads(1)) on the same EGM2008 field, in the same frames: heyoka integrates
a_GCRF = Q(t)^T g(Q(t) r), where Q(t) = W(t) R3(ERA(t)) C(t) is the IAU 2000A GCRF->ITRF chain over the
day, with ERA linear in time (exact: UT1 is linear in TT within a UTC day), the polar-motion matrix W
linear (the Earth-orientation series is linear within the day) and the precession-nutation matrix C
fitted by degree-8 polynomials (residual printed). The span is one UTC day, 00:00 to 24:00.

Figures: one LEO day, positions every minute, one thread, at 20x20 and 70x70 (time per run, ratio,
and the largest distance between the two trajectories); propagate_many of 200 LEO states over a day
with 20x20, the Sun, the Moon and drag on two threads. The load (uptime) and the CPU time of each
figure are printed: the machine is shared.

usage: python benchmarks/numerical.py [--quick]
"""

from __future__ import annotations

import os
import sys
import time as clock

from _common import load, timings

import erfa
import heyoka as hy
import numpy as np

from astrovia.frames.rotations import rot_ITRF_from_GCRF
from astrovia.propagators.numerical import Drag, HarrisPriester, Numerical
from astrovia.state.state import COE
from astrovia.time.time import Time

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 5
T0 = Time("2024-03-01T00:00:00")
DAY = 86400.0


def timed(fn):
    """Median wall and CPU seconds of REPEATS runs of fn, and its result."""
    t = timings(fn, repeats=REPEATS)
    return t.wall[0], t.cpu[0], t.results[0]


def leo(u=0.0, inc=51.6, alt=500e3, raan=0.3):
    return COE(T0, 6378137.0 + alt, 1e-3, np.radians(inc), raan, 0.0, u).to_sv()


def chain_model(span):
    """Q(t) = W(t) R3(era0 + rate t) C(t) as heyoka expressions of hy.time, fitted to the package's own chain."""
    grid = np.linspace(0.0, span, 289)
    times = T0 + grid
    q = rot_ITRF_from_GCRF(times)
    tt = times.tt.jd12.reshape(-1, 2)
    ut1 = times.ut1.jd12.reshape(-1, 2)
    era = np.unwrap([erfa.era00(a, b) for a, b in ut1])
    rate, era0 = np.polyfit(grid, era, 1)
    # C = R3(-era) W^T Q; W from the chain's own polar motion: split Q at each node.
    c_nodes, w_nodes = [], []
    from astrovia.iers import EOP
    eop = EOP(times.utc.mjd)
    for k in range(grid.size):
        w = erfa.pom00(eop.pm_x[k], eop.pm_y[k], erfa.sp00(tt[k, 0], tt[k, 1]))
        c = erfa.rz(-era[k], w.T @ q[k])
        c_nodes.append(c)
        w_nodes.append(w)
    c_nodes, w_nodes = np.array(c_nodes), np.array(w_nodes)
    s = grid / span * 2 - 1
    deg = 8
    c_fit = np.polynomial.chebyshev.chebfit(s, c_nodes.reshape(-1, 9), deg)
    w_fit = np.polynomial.chebyshev.chebfit(s, w_nodes.reshape(-1, 9), 1)
    resid = np.abs(np.polynomial.chebyshev.chebval(s, c_fit).T - c_nodes.reshape(-1, 9)).max()
    era_resid = np.abs(era0 + rate * grid - era).max()
    ht = hy.time
    hs = ht * (2.0 / span) - 1.0
    # Chebyshev polynomials of hs as expressions.
    tcheb = [hy.expression(1.0), hs]
    for _ in range(2, deg + 1):
        tcheb.append(2.0 * hs * tcheb[-1] - tcheb[-2])

    def poly(coeffs):
        return hy.sum([float(coeffs[j]) * tcheb[j] for j in range(len(coeffs))])

    cm = [[poly(c_fit[:, 3 * i + j]) for j in range(3)] for i in range(3)]
    wm = [[poly(w_fit[:, 3 * i + j]) for j in range(3)] for i in range(3)]
    th = era0 + rate * ht
    ct, st = hy.cos(th), hy.sin(th)
    rz = [[ct, st, 0.0], [-st, ct, 0.0], [0.0, 0.0, 1.0]]

    def matmul(a, b):
        return [[hy.sum([a[i][k] * b[k][j] for k in range(3) if not (isinstance(a[i][k], float) and a[i][k] == 0.0)
                         and not (isinstance(b[k][j], float) and b[k][j] == 0.0)]) for j in range(3)]
                for i in range(3)]

    return matmul(wm, matmul(rz, cm)), max(resid, era_resid)


def heyoka_integrator(degree, span, s0):
    x, y, z, vx, vy, vz = hy.make_vars("x", "y", "z", "vx", "vy", "vz")
    q, resid = chain_model(span)
    xi = [q[i][0] * x + q[i][1] * y + q[i][2] * z for i in range(3)]
    gi = hy.model.egm2008_acc(xi, degree, degree)
    g = [q[0][i] * gi[0] + q[1][i] * gi[1] + q[2][i] * gi[2] for i in range(3)]
    sys_ = [(x, vx), (y, vy), (z, vz), (vx, g[0]), (vy, g[1]), (vz, g[2])]
    w = clock.perf_counter()
    ta = hy.taylor_adaptive(sys_, np.concatenate([s0.r, s0.v]), tol=1e-15, compact_mode=True)
    return ta, clock.perf_counter() - w, resid


def leo_day(degree):
    s0 = leo()
    grid = np.arange(0.0, DAY + 1.0, 60.0)
    ta, compile_s, resid = heyoka_integrator(degree, DAY, s0)
    x0 = np.concatenate([s0.r, s0.v])

    def run_heyoka():
        ta.time = 0.0
        ta.state[:] = x0
        return ta.propagate_grid(grid)[5][:, :3]

    p = Numerical(degree=degree, order=degree, third_bodies=())
    times = T0 + grid

    def run_ours():
        return p.propagate_state(times, s0).r

    h_wall, h_cpu, r_h = timed(run_heyoka)
    o_wall, o_cpu, r_o = timed(run_ours)
    diff = np.linalg.norm(r_h - r_o, axis=1).max()
    print(f"LEO day {degree}x{degree}, 1441 positions, one thread: astrovia {o_wall * 1e3:.1f} ms "
          f"(CPU {o_cpu * 1e3:.1f} ms), heyoka {h_wall * 1e3:.1f} ms (CPU {h_cpu * 1e3:.1f} ms; compile "
          f"{compile_s:.1f} s not counted): heyoka/astrovia = {h_wall / o_wall:.2f}x (CPU {h_cpu / o_cpu:.2f}x); "
          f"max distance {diff * 100:.3f} cm; chain fit residual {resid:.1e} rad; {load()}")


def many():
    import ctypes
    import ctypes.util

    states = [leo(u=2 * np.pi * k / 200, inc=30 + 0.3 * k, alt=400e3 + 2e3 * k, raan=0.1 * k) for k in range(200)]
    p = Numerical(degree=20, order=20, third_bodies=("sun", "moon"), drag=Drag(0.01, atmosphere=HarrisPriester()))
    times = T0 + np.arange(0.0, DAY + 1.0, 60.0)
    lib = ctypes.util.find_library("gomp")
    omp = ctypes.CDLL(lib) if lib else None
    results = {}
    for threads in (1, 2):
        if omp is not None:
            omp.omp_set_num_threads(threads)
        w, c, (r, _, status) = timed(lambda: p.propagate_many(times, states)) if threads == 2 or not QUICK else \
            (float("nan"), float("nan"), (None, None, None))
        results[threads] = (w, c, r)
        print(f"propagate_many, 200 LEO states x 1441 epochs, 20x20 + Sun + Moon + drag, {threads} thread(s): "
              f"{w:.2f} s (CPU {c:.2f} s; bar: 10 s on two threads); {load()}")
    if results[1][2] is not None and results[2][2] is not None:
        a, b = results[1][2], results[2][2]
        same = np.array_equal(a, b, equal_nan=True)
        differing = int(np.count_nonzero(np.nanmax(np.abs(a - b), axis=(1, 2)) > 0)) if not same else 0
        print(f"  results on 1 and 2 threads bitwise equal: {same} ({differing} states differ, largest "
              f"{np.nanmax(np.abs(a - b)):.3g} m); speed-up {results[1][0] / results[2][0]:.2f}x")


def main():
    hy.set_nthreads(1)
    print(f"heyoka {hy.__version__}; cores available to this process: {len(os.sched_getaffinity(0))}; {load()}")
    leo_day(20)
    leo_day(70)
    many()


if __name__ == "__main__":
    main()

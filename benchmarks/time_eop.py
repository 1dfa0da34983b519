"""Cost of the Time and EOP services that the TLE parser and the frame conversions call.

1. One-epoch `Time` construction per input kind (ISO text, datetime, Julian date, int64 stamp) and
   era (1960, 1990, 2024): microseconds per call (bar: the worst at most 5 us); pyerfa's scalar
   dtf2d + utctai and sgp4's whole TLE parse for scale.
2. The gathering step of a frame conversion at 1e6 epochs: tt.jd12, ut1.jd12, utc.mjd and EOP with
   its fields, ns per epoch per step, and in total as the conversions make it, in one native pass
   (bar: at most 40), and as the separate calls; pyerfa tttai + taiutc for scale.
3. geocentric.ITRF_from_TEME at 1e6 epochs (gathering included) against skyfield's TEME_to_ITRF
   handed UT1 ready-made, one thread (bar: ratio at most 1.0).

One process; the machine is shared, so the contenders of each figure take turns within every
repeat and each figure is the median of the repeats (at least five).

usage: python benchmarks/time_eop.py [--quick]
"""

import datetime
import os
import statistics
import sys
import time as clock
import timeit

from _common import timings  # drops benchmarks/ from the path (sgp4.py hides sgp4)

import erfa
import numpy as np
from sgp4.api import Satrec

from astrovia.iers import EOP
from astrovia.time.time import Time, _frame_inputs

REPEATS = 7
QUICK = "--quick" in sys.argv
N = 200_000 if QUICK else 1_000_000

L1 = "1 25544U 98067A   24061.52408565  .00017367  00000+0  31230-3 0  9991"
L2 = "2 25544  51.6416 166.6542 0005683  37.0744  61.9540 15.49511109441803"


def per_call_us(fns, number=5000, repeats=REPEATS, cpu=False):
    """Median microseconds per call of each callable (wall clock, or this process's CPU time); they
    take turns within every repeat."""
    timer = clock.process_time if cpu else clock.perf_counter
    times = [[] for _ in fns]
    for _ in range(repeats):
        for f, ts in zip(fns, times):
            ts.append(timeit.Timer(f, timer=timer).timeit(number=number) / number * 1e6)
    return [statistics.median(ts) for ts in times]


def scalar_construction():
    cases = {}
    for year in (1960, 1990, 2024):
        text = f"{year}-03-01T12:34:56.123456789"
        dt = datetime.datetime(year, 3, 1, 12, 34, 56, 123456)
        ref = Time(text)
        jd = ref.jd
        stamp = ref.int64
        cases[f"ISO text {year}"] = lambda text=text: Time(text)
        cases[f"year text {year}"] = lambda y=str(year): Time(y)
        cases[f"datetime {year}"] = lambda dt=dt: Time(dt)
        cases[f"jd {year}"] = lambda jd=jd: Time(jd, format="jd")
        cases[f"int64 stamp {year}"] = lambda s=stamp: Time(s)
    cases["TLE epoch 1960 (.jd of a year text)"] = lambda: Time("1960").jd
    erfa_call = lambda: erfa.utctai(*erfa.dtf2d("UTC", 2024, 3, 1, 12, 34, 56.123))  # noqa: E731
    sgp4_call = lambda: Satrec.twoline2rv(L1, L2)  # noqa: E731
    names = list(cases)
    fns = [cases[k] for k in names] + [erfa_call, sgp4_call]
    us, cpu = per_call_us(fns), per_call_us(fns, cpu=True)
    for name, t, c in zip(names, us, cpu):
        print(f"Time({name:34s}) {t:6.2f} us wall clock, {c:6.2f} us CPU time")
    for kind, res in (("wall clock", us), ("CPU time", cpu)):
        worst = max(res[: len(names) - 1])
        print(f"scalar Time construction ({kind}): worst {worst:.2f} us (bar <= 5); pyerfa dtf2d+utctai "
              f"{res[-2]:.2f} us, sgp4 TLE parse {res[-1]:.2f} us")

    from astrovia.propagators.analytical.sgp4.tle import TLE

    old = L1.replace("24061.52408565", "60061.52408565")  # the same element set dated 1960
    t1960, t2024 = per_call_us([lambda: TLE(old, L2), lambda: TLE(L1, L2)], number=2000)
    print(f"TLE construction: epoch 1960 {t1960:.2f} us, epoch 2024 {t2024:.2f} us: ratio {t1960 / t2024:.2f}")


def gathering():
    t = Time(Time("2024-01-01").int64 + np.arange(N, dtype=np.int64) * 60_000_000_000)
    mjd = t.utc.mjd

    def eop_fields():
        e = EOP(mjd)
        return e.pm_x, e.pm_y, e.dX, e.dY, e.lod

    def separate():  # the gathering of a GCRF conversion through the public calls, in its order
        t.tt.jd12.reshape(-1, 2)
        t.ut1.jd12.reshape(-1, 2)
        e = EOP(t.utc.mjd)
        return e.pm_x, e.pm_y, e.dX, e.dY, e.lod

    def whole():  # the gathering a GCRF conversion makes: the same values in one native pass
        return _frame_inputs(t, True)

    tt = t.tt.jd12
    steps = {"tt.jd12": lambda: t.tt.jd12.reshape(-1, 2), "ut1.jd12": lambda: t.ut1.jd12.reshape(-1, 2),
             "utc.mjd": lambda: t.utc.mjd, "EOP(mjd) and fields": eop_fields}
    erfa_call = lambda: erfa.taiutc(*erfa.tttai(tt[:, 0], tt[:, 1]))  # noqa: E731
    timing = timings(*steps.values(), separate, whole, erfa_call, repeats=REPEATS)
    for kind, res in (("wall clock", timing.wall), ("CPU time", timing.cpu)):
        for name, s in zip(steps, res):
            print(f"gathering step {name:22s} N={N}: {s / N * 1e9:6.1f} ns/epoch ({kind})")
        apart, total = res[len(steps)], res[len(steps) + 1]
        print(f"gathering total N={N}: {total / N * 1e9:.1f} ns/epoch ({kind}; bar <= 40; one native pass, as the "
              f"frame conversions gather); the steps as separate calls {apart / N * 1e9:.1f}, their sum "
              f"{sum(res[: len(steps)]) / N * 1e9:.1f}; pyerfa tttai+taiutc alone {res[-1] / N * 1e9:.1f} ns/epoch")


def teme_against_skyfield():
    from skyfield.sgp4lib import TEME_to_ITRF

    from astrovia.frames import geocentric

    t = Time(np.linspace(51544.0, 61000.0, N) + 0.123456789, format="mjd")
    rng = np.random.default_rng(0)
    r = rng.normal(size=(N, 3))
    r *= 7.0e6 / np.linalg.norm(r, axis=1, keepdims=True)
    v = rng.normal(size=(N, 3))
    v *= 7.5e3 / np.linalg.norm(v, axis=1, keepdims=True)
    ut1 = t.ut1.jd12
    e = EOP(t.utc.mjd)
    xp, yp = float(e.pm_x[0]), float(e.pm_y[0])  # skyfield takes one polar-motion value
    rk, vk = np.ascontiguousarray(r.T) / 1e3, np.ascontiguousarray(v.T) * 86.4  # km, km/day
    ut1a, ut1b = ut1[:, 0].copy(), ut1[:, 1].copy()
    (ours, sky), _, _ = timings(lambda: geocentric.ITRF_from_TEME(t, r, v),
                                lambda: TEME_to_ITRF(ut1a, rk, vk, xp, yp, ut1b), repeats=REPEATS)
    print(f"geocentric.ITRF_from_TEME N={N} (gathering included): {ours / N * 1e9:.0f} ns/epoch; skyfield "
          f"TEME_to_ITRF (UT1 ready-made) {sky / N * 1e9:.0f} ns/epoch: ratio {ours / sky:.2f} (bar <= 1.0)")


def main():
    from importlib.metadata import version

    print(f"astrovia {version('astrovia')}, python {sys.version.split()[0]}, numpy {np.__version__}, "
          f"pyerfa {erfa.__version__}, skyfield {version('skyfield')}, {os.cpu_count()} cores, "
          f"OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}, median of {REPEATS}")
    scalar_construction()
    gathering()
    teme_against_skyfield()


if __name__ == "__main__":
    main()

"""Benchmarks of astrovia.frames.geocentric and astrovia.frames.rotations.

One process; every figure is the median of REPEATS runs. Baselines: pyerfa's vectorised pnm00a
(the IAU 2000A series that dominates the GCRF chain), skyfield's vectorised TEME_to_ITRF (handed
UT1 and polar motion ready-made), astropy's GCRS->ITRS transform, and plain C loops of the chains
over ERFA (compiled here from frames_plain_chain.c when a C compiler is at hand).

usage: python benchmarks/frames.py [--quick]
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import warnings

from _common import timings

import erfa
import numpy as np

from astrovia.frames import geocentric, rotations
from astrovia.iers import EOP
from astrovia.time.time import Time

REPEATS = 5
QUICK = "--quick" in sys.argv
N_GCRF = 20_000 if QUICK else 100_000
N_ROT = 40_000 if QUICK else 200_000
N_TEME = 1_000_000


def epochs(n):
    return Time(np.linspace(51544.0, 61000.0, n) + 0.123456789, format="mjd")


def states(n):
    rng = np.random.default_rng(0)
    r = rng.normal(size=(n, 3))
    r *= 7.0e6 / np.linalg.norm(r, axis=1, keepdims=True)
    v = rng.normal(size=(n, 3))
    v *= 7.5e3 / np.linalg.norm(v, axis=1, keepdims=True)
    return r, v


def ns(seconds, n):
    return seconds / n * 1e9


def plain_chain():
    """ns per epoch of the plain C loops, or None without a compiler."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        return None
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "frames_plain_chain.c")
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "plain")
        subprocess.run([cc, "-O2", src, "-o", exe, "-lerfa", "-lm"], check=True)
        runs = [dict(line.split() for line in subprocess.run([exe, "20000", str(N_TEME)], check=True,
                                                             capture_output=True, text=True).stdout.splitlines())
                for _ in range(REPEATS)]
    return {k: statistics.median(float(r[k]) for r in runs) for k in runs[0]}


def gathering(t, with_tt):
    """The Time and EOP reads of one conversion, as the modules make them."""
    if with_tt:
        t.tt.jd12.reshape(-1, 2)
    t.ut1.jd12.reshape(-1, 2)
    EOP(t.utc.mjd)


def loop_with_ready_inputs(t, r, v):
    """geocentric.ITRF_from_TEME with the Time scales and EOP values computed beforehand."""
    from types import SimpleNamespace

    ut1, utc = SimpleNamespace(jd12=t.ut1.jd12), SimpleNamespace(mjd=t.utc.mjd)
    e = EOP(utc.mjd)

    class Ready(Time):
        ut1 = property(lambda self: ut1)
        utc = property(lambda self: utc)

    ready = Ready(t)
    real = geocentric.EOP
    geocentric.EOP = lambda mjd: e
    try:
        return timings(lambda: geocentric.ITRF_from_TEME(ready, r, v), repeats=REPEATS).wall[0]
    finally:
        geocentric.EOP = real


def main():
    from importlib.metadata import version

    print(f"astrovia {version('astrovia')} numpy {np.__version__} "
          f"pyerfa {erfa.__version__}, {os.cpu_count()} cores, median of {REPEATS}")
    plain = plain_chain()
    if plain:
        print(f"plain C over ERFA: pnm00a {plain['pnm00a']:.0f} ns, GCRF chain {plain['gcrf']:.0f} ns "
              f"({plain['gcrf'] / plain['pnm00a']:.3f} x pnm00a), TEME chain {plain['teme']:.1f} ns per epoch")

    # GCRF -> ITRF, one thread, against the IAU 2000A series alone
    t = epochs(N_GCRF)
    r, v = states(N_GCRF)
    tt = t.tt.jd12.reshape(-1, 2)
    (t_geo, t_pnm, t_gather), _, _ = timings(lambda: geocentric.ITRF_from_GCRF(t, r, v),
                                             lambda: erfa.pnm00a(tt[:, 0], tt[:, 1]), lambda: gathering(t, True),
                                             repeats=REPEATS)
    print(f"geocentric.ITRF_from_GCRF N={N_GCRF}: {ns(t_geo, N_GCRF):.0f} ns/epoch "
          f"(gathering {ns(t_gather, N_GCRF):.0f}), pyerfa pnm00a {ns(t_pnm, N_GCRF):.0f} ns/epoch: "
          f"ratio {t_geo / t_pnm:.3f} (bar <= 1.10)")

    # rotations on all threads against geocentric on one
    t = epochs(N_ROT)
    r, v = states(N_ROT)
    (t_rot, t_geo, t_mat), _, _ = timings(lambda: rotations.ITRF_from_GCRF(t, r, v),
                                          lambda: geocentric.ITRF_from_GCRF(t, r, v),
                                          lambda: rotations.rot_ITRF_from_GCRF(t), repeats=REPEATS)
    print(f"rotations.ITRF_from_GCRF N={N_ROT}: {ns(t_rot, N_ROT):.0f} ns/epoch, geocentric {ns(t_geo, N_ROT):.0f}: "
          f"speed-up {t_geo / t_rot:.2f} (bar >= 1.8); rot_ITRF_from_GCRF {ns(t_mat, N_ROT):.0f} ns/epoch")

    # TEME -> ITRF at 1e6: gathering and loop, against skyfield
    from skyfield.sgp4lib import TEME_to_ITRF

    t = epochs(N_TEME)
    r, v = states(N_TEME)
    mjd = t.utc.mjd
    ut1 = t.ut1.jd12.reshape(-1, 2)
    e = EOP(mjd)
    xp, yp = float(e.pm_x[0]), float(e.pm_y[0])  # skyfield takes one polar-motion value
    rk, vk = np.ascontiguousarray(r.T) / 1e3, np.ascontiguousarray(v.T) * 86.4  # km, km/day
    ut1a, ut1b = ut1[:, 0].copy(), ut1[:, 1].copy()
    (t_teme, t_sky, t_ut1, t_mjd, t_eop), _, _ = timings(
        lambda: geocentric.ITRF_from_TEME(t, r, v), lambda: TEME_to_ITRF(ut1a, rk, vk, xp, yp, ut1b),
        lambda: t.ut1.jd12.reshape(-1, 2), lambda: t.utc.mjd, lambda: EOP(mjd), repeats=REPEATS)
    t_gather = t_ut1 + t_mjd + t_eop
    t_ready = loop_with_ready_inputs(t, r, v)
    loop = t_teme - t_gather
    line = (f"geocentric.ITRF_from_TEME N={N_TEME}: {ns(t_teme, N_TEME):.0f} ns/epoch = gathering "
            f"{ns(t_gather, N_TEME):.0f} (ut1.jd12 {ns(t_ut1, N_TEME):.0f}, utc.mjd {ns(t_mjd, N_TEME):.0f}, "
            f"EOP {ns(t_eop, N_TEME):.0f}) + loop {ns(loop, N_TEME):.0f}; skyfield {ns(t_sky, N_TEME):.0f} ns/epoch: "
            f"ratio {t_teme / t_sky:.2f} (bar <= 1.0)")
    if plain:
        line += f"; loop / plain C chain {ns(loop, N_TEME) / plain['teme']:.2f} (bar <= 1.3)"
    print(line)
    print(f"  TEME loop measured alone (scales and EOP values ready, outputs allocated): "
          f"{ns(t_ready, N_TEME):.0f} ns/epoch")

    # astropy GCRS -> ITRS of the same states as the first figure
    from astropy import units as u
    from astropy.coordinates import GCRS, ITRS, CartesianDifferential, CartesianRepresentation
    from astropy.time import Time as ATime
    from astropy.utils import iers

    iers.conf.auto_download = False
    t = epochs(N_GCRF)
    r, v = states(N_GCRF)
    at = ATime(t.utc.mjd, format="mjd", scale="utc")
    rep = CartesianRepresentation(r.T * u.m, differentials=CartesianDifferential(v.T * u.m / u.s))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        (t_ast, t_geo), _, _ = timings(lambda: GCRS(rep, obstime=at).transform_to(ITRS(obstime=at)),
                                       lambda: geocentric.ITRF_from_GCRF(t, r, v), repeats=REPEATS)
    print(f"astropy GCRS->ITRS N={N_GCRF}: {ns(t_ast, N_GCRF):.0f} ns/epoch; geocentric.ITRF_from_GCRF "
          f"{ns(t_geo, N_GCRF):.0f}: astropy / astrovia {t_ast / t_geo:.2f}")


if __name__ == "__main__":
    main()

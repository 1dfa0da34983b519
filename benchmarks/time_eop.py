"""Cost of the Time and EOP services that the TLE parser and the frame
conversions call: one-epoch constructions (microseconds, against pyerfa's own
scalar dtf2d + utctai route and sgp4's whole TLE parse) and the gathering of
TT, UT1 and Earth-orientation values for 1e6 epochs (milliseconds)."""

import statistics
import sys
import time
import timeit

import erfa
import numpy as np
from sgp4.api import Satrec

from astrovia.iers import EOP
from astrovia.time.time import Time


def per_call_us(fn, number=20000, repeat=7):
    return statistics.median(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e6


def once_ms(fn, repeat=7):
    ts = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        ts.append(time.perf_counter() - t0)
    return statistics.median(ts) * 1e3


L1 = "1 25544U 98067A   24061.52408565  .00017367  00000+0  31230-3 0  9991"
L2 = "2 25544  51.6416 166.6542 0005683  37.0744  61.9540 15.49511109441803"

iso = per_call_us(lambda: Time("2024-03-01T12:34:56.123"))
year = per_call_us(lambda: Time("2024"))
jd = per_call_us(lambda: Time(2460371.024260688, format="jd"))
erfa_iso = per_call_us(lambda: erfa.utctai(*erfa.dtf2d("UTC", 2024, 3, 1, 12, 34, 56.123)))
sgp4 = per_call_us(lambda: Satrec.twoline2rv(L1, L2))
print(f"Time(ISO text)          {iso:6.2f} us  ratio to pyerfa dtf2d+utctai {iso / erfa_iso:5.2f}  ratio to sgp4 parse {iso / sgp4:5.2f}")
print(f"Time(year text)         {year:6.2f} us")
print(f"Time(jd, format='jd')   {jd:6.2f} us  ratio to sgp4 parse {jd / sgp4:5.2f}")

n = 1_000_000
t = Time(Time("2024-01-01").int64 + np.arange(n, dtype=np.int64) * 60_000_000_000)
mjd = t.utc.mjd
costs = {
    "utc.mjd": once_ms(lambda: t.utc.mjd),
    "tt.jd12": once_ms(lambda: t.tt.jd12),
    "ut1.jd12": once_ms(lambda: t.ut1.jd12),
    "EOP": once_ms(lambda: EOP(mjd)),
}
tt = t.tt.jd12
erfa_ms = once_ms(lambda: erfa.taiutc(*erfa.tttai(tt[:, 0], tt[:, 1])), repeat=5)
for name, ms in costs.items():
    print(f"{name:10s} N=1e6      {ms:7.1f} ms")
total = sum(costs.values())
print(f"gathering total N=1e6  {total:7.1f} ms  ({total / n * 1e6:.0f} ns/epoch); "
      f"ratio to pyerfa tttai+taiutc alone {total / erfa_ms:.2f}")
print(f"versions: python {sys.version.split()[0]}, numpy {np.__version__}, pyerfa {erfa.__version__}")

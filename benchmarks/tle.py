"""TLE parsing against sgp4's Satrec.twoline2rv, and ELSET building and time-range slicing.

Prints one line per figure: the project's time, the baseline's, their ratio, sizes and versions.
The TLE figure includes the two Time constructions per record (year start, then epoch);
their cost alone is printed too.
"""

import statistics
import sys
import time
from importlib.metadata import version

import numpy as np
import sgp4
from sgp4.api import Satrec

from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE
from astrovia.time.time import Time

REPEATS = 7


def checksum(line):
    return str(sum(int(c) if c.isdigit() else c == "-" for c in line[:68]) % 10)


def lines_at(day):
    l1 = f"1 25544U 98067A   {24 + int(day // 365):02d}{1 + day % 365:012.8f}  .00016717  00000-0  10270-3 0  999"
    l2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.5010347243326"
    return l1 + checksum(l1), l2 + checksum(l2)


def per_call(fn, number):
    """Median over REPEATS of the time of one call [s]."""
    runs = []
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        runs.append((time.perf_counter() - t0) / number)
    return statistics.median(runs)


def main():
    l1, l2 = lines_at(0.51258435)
    ours = per_call(lambda: TLE(l1, l2), 5000)
    theirs = per_call(lambda: Satrec.twoline2rv(l1, l2), 5000)
    times = per_call(lambda: Time(Time("2024").jd - 1.0 + 1.51258435, format="jd"), 5000)
    versions = f"astrovia {version('astrovia')}, sgp4 {sgp4.__version__}, Python {sys.version.split()[0]}"
    print(f"TLE(line1, line2): {ours * 1e6:.2f} us, Satrec.twoline2rv: {theirs * 1e6:.2f} us, "
          f"ratio {ours / theirs:.2f} ({versions})")
    print(f"  of which Time('2024').jd and Time(jd, format='jd'): {times * 1e6:.2f} us "
          f"({times / ours:.0%} of TLE); without them {(ours - times) * 1e6:.2f} us, "
          f"ratio {(ours - times) / theirs:.2f}")

    n = 10000
    tles = [TLE(*lines_at(i * 0.05)) for i in range(n)]
    rng = np.random.default_rng(1)
    shuffled = [tles[i] for i in rng.permutation(n)]
    build_sorted = per_call(lambda: ELSET(*tles), 5)
    build_shuffled = per_call(lambda: ELSET(*shuffled), 5)
    elset = ELSET(*tles, satname="ISS")
    t0, t1 = tles[n // 4].epoch, tles[3 * n // 4].epoch
    part = elset[t0:t1]
    assert part.size == n // 2
    slicing = per_call(lambda: elset[t0:t1], 5)
    positions = per_call(lambda: elset[n // 4:3 * n // 4], 5)
    baseline = per_call(lambda: [Satrec.twoline2rv(*lines_at(i * 0.05)) for i in range(n)], 1)
    print(f"ELSET of {n} TLEs: {build_sorted * 1e3:.1f} ms (in epoch order), {build_shuffled * 1e3:.1f} ms "
          f"(shuffled); for scale, {n} Satrec.twoline2rv: {baseline * 1e3:.1f} ms")
    print(f"ELSET[t0:t1] of {n} TLEs selecting {part.size}: {slicing * 1e3:.1f} ms; "
          f"position slice of the same members: {positions * 1e3:.1f} ms")


if __name__ == "__main__":
    main()

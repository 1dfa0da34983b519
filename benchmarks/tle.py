"""TLE parsing and catalogue reading against sgp4's Satrec.twoline2rv, and ELSET time-range slicing.

Prints one line per figure: the project's time, the baseline's, their ratio, sizes and versions.
- read_elsets of a generated 100 000-record three-line catalogue (many satellites, realistic
  elements, epochs 1957-2056), per record, against Satrec.twoline2rv over the same lines;
- one TLE(line1, line2) against one Satrec.twoline2rv, for epochs of 1960, 1990 and 2024;
- a time-range slice selecting 50 000 members of an ELSET of 100 000.
"""

import sys
from importlib.metadata import version

from _common import checksum, load, timings  # drops benchmarks/ from the path (sgp4.py hides sgp4)

import numpy as np
import sgp4
from sgp4.api import Satrec

from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE, read_elsets, read_tles

REPEATS = 7
ALPHA5 = "ABCDEFGHJKLMNPQRSTUVWXYZ"


def catalogue_field(satno):
    return f"{satno:05d}" if satno < 100000 else ALPHA5[satno // 10000 - 10] + f"{satno % 10000:04d}"


def record(satno, year, day, rng):
    cat = catalogue_field(satno)
    l1 = (f"1 {cat}U {year % 100:02d}{int(rng.integers(1, 999)):03d}A   {year % 100:02d}{day:012.8f} "
          f"{'-' if rng.random() < 0.3 else ' '}.{int(rng.integers(0, 10**6)):08d}  00000-0  "
          f"{int(rng.integers(10000, 99999))}-{int(rng.integers(3, 5))} 0 {int(rng.integers(1, 999)):4d}")
    l2 = (f"2 {cat} {rng.uniform(0, 180):8.4f} {rng.uniform(0, 360):8.4f} {int(rng.integers(0, 2_000_000)):07d} "
          f"{rng.uniform(0, 360):8.4f} {rng.uniform(0, 360):8.4f} {rng.uniform(1.0, 16.4):11.8f}"
          f"{int(rng.integers(0, 99999)):5d}")
    return checksum(l1), checksum(l2)


def catalogue(n, satellites, seed=1):
    """n three-line records of `satellites` objects, epochs 1957-2056, in random order."""
    rng = np.random.default_rng(seed)
    numbers = rng.choice(np.arange(1, 339999), size=satellites, replace=False)
    out = []
    for _ in range(n):
        satno = int(numbers[rng.integers(0, satellites)])
        year = int(rng.integers(1957, 2057))
        days = 366 if year % 4 == 0 else 365
        day = 1.0 + int(rng.integers(0, days)) + int(rng.integers(0, 10**8)) / 1e8
        l1, l2 = record(satno, year, day, rng)
        out += [f"SAT {satno}", l1, l2]
    return out


def main():
    versions = f"astrovia {version('astrovia')}, sgp4 {sgp4.__version__}, Python {sys.version.split()[0]}"

    n = 100_000
    lines = catalogue(n, 3000)
    text = "\n".join(lines) + "\n"
    pairs = list(zip(lines[1::3], lines[2::3]))
    (ours, theirs), cpu, _ = timings(lambda: read_elsets(text), lambda: [Satrec.twoline2rv(a, b) for a, b in pairs],
                                     repeats=5)
    print(f"read_elsets of {n} three-line records of 3000 objects: {ours / n * 1e6:.2f} us/record, "
          f"Satrec.twoline2rv: {theirs / n * 1e6:.2f} us/record, ratio {ours / theirs:.3f} (bar <= 0.333); "
          f"CPU time {cpu[0] / n * 1e6:.2f} and {cpu[1] / n * 1e6:.2f} us/record, ratio {cpu[0] / cpu[1]:.3f}; "
          f"{load()} ({versions})")
    (plain, theirs), _, _ = timings(lambda: read_tles(text), lambda: [Satrec.twoline2rv(a, b) for a, b in pairs],
                                    repeats=5)
    print(f"  read_tles of the same text: {plain / n * 1e6:.2f} us/record, ratio {plain / theirs:.3f}")

    rng = np.random.default_rng(2)
    for year in (1960, 1990, 2024):
        l1, l2 = record(25544, year, 123.51258435, rng)
        (ours, theirs), _, _ = timings(lambda: TLE(l1, l2), lambda: Satrec.twoline2rv(l1, l2), repeats=REPEATS,
                                       number=5000)
        print(f"TLE(line1, line2) of {year}: {ours * 1e6:.2f} us, Satrec.twoline2rv: {theirs * 1e6:.2f} us, "
              f"ratio {ours / theirs:.2f} (bar <= 1.5)")

    n = 100_000
    tles = [TLE(*record(25544, 2000 + i // 5000, 1.0 + (i % 5000) * 0.07, rng)) for i in range(n)]
    elset = ELSET(*tles, satname="ISS")
    t0, t1 = tles[n // 4].epoch, tles[3 * n // 4].epoch
    assert elset[t0:t1].size == n // 2
    slicing = timings(lambda: elset[t0:t1], repeats=REPEATS, number=5).wall[0]
    mask = np.zeros(n, dtype=bool)
    mask[n // 4:3 * n // 4] = True
    masked = timings(lambda: elset[mask], repeats=REPEATS, number=5).wall[0]
    build = timings(lambda: ELSET(*tles), repeats=REPEATS, number=3).wall[0]
    print(f"ELSET[t0:t1] of {n} TLEs selecting {n // 2}: {slicing * 1e3:.2f} ms (bar <= 10 ms); "
          f"by boolean mask: {masked * 1e3:.2f} ms; ELSET(*tles) of {n}: {build * 1e3:.1f} ms")


if __name__ == "__main__":
    main()

"""Writes examples/data/iss_month.tle: a synthetic month of ISS-like element sets.

The records are made up, not downloaded: they start from the first ISS element set of
examples/data/sample.tle and advance its mean elements with the J2 secular rates of the node and
the argument of perigee and the mean anomaly that the sgp4 package reports for each record
(Satrec.nodedot, argpdot, mdot), and a mean motion that grows with its decay rate,
at irregular spacings of 0.6 to 1.4 days, as a real history looks. Element and revolution
numbers count up; checksums are computed.

usage: python tools/make_iss_history.py [output]
"""

import math
import sys
from pathlib import Path

import numpy as np
from sgp4.api import WGS72, Satrec


def checksum(line68):
    return line68 + str(sum(int(c) if c.isdigit() else c == "-" for c in line68) % 10)


def exp_field(x):
    e = math.floor(math.log10(abs(x))) + 1
    return f"{'-' if x < 0 else ' '}{round(abs(x) / 10.0**e * 1e5):05d}{'-' if e < 0 else '+'}{abs(e)}"


def main(out):
    rng = np.random.default_rng(25544)
    day, inc, raa, ecc, arp, mea, n = 1.51258435, 51.6416, 247.4627, 0.0006703, 130.5360, 325.0288, 15.50103472
    ndot, bstar, rev, elnum = 0.00016717, 0.00030270, 43326, 998
    lines = []
    while day < 32.0:
        l1 = checksum(f"1 25544U 98067A   24{day:012.8f} {ndot:.8f}".replace(" 0.", "  .") +
                      f"  00000-0 {exp_field(bstar)} 0 {elnum % 10000:4d}")
        l2 = checksum(f"2 25544 {inc:8.4f} {raa % 360:8.4f} {round(ecc * 1e7):07d} {arp % 360:8.4f} "
                      f"{mea % 360:8.4f} {n:11.8f}{rev % 100000:5d}")
        lines += ["ISS (ZARYA)", l1, l2]
        step = rng.uniform(0.6, 1.4)
        sat = Satrec.twoline2rv(l1, l2, WGS72)
        minutes = step * 1440.0
        raa += math.degrees(sat.nodedot * minutes)
        arp += math.degrees(sat.argpdot * minutes)
        mea += math.degrees(sat.mdot * minutes) + 360.0 * ndot * step**2  # ndot is half the rate of n [rev/day^2]
        n += 2 * ndot * step
        rev += int(n * step)
        day += step
        elnum += 1
        ndot *= rng.uniform(0.95, 1.08)
        bstar = ndot * 1.8 * rng.uniform(0.97, 1.03)
        ecc = min(max(ecc + rng.normal(0, 2e-6), 1e-4), 9e-4)
        inc += rng.normal(0, 2e-4)
    Path(out).write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parents[1] / "examples" / "data" / "iss_month.tle")

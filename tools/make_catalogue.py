"""Writes a reproducible synthetic catalogue of two-line element sets shaped like today's.

The records are made up, not downloaded. About 30 000 objects (with the default --scale 1):

- a large constellation: shells of planes at 530-570 km (43 to 97.6 deg), a polar one at 1200 km;
- sun-synchronous orbits at 450-850 km;
- four debris clouds at 600-1000 km (a parent orbit spread in semi-major axis, eccentricity,
  inclination, and in node and phase as old clouds are);
- scattered LEO at 300-2000 km; GEO; GTO; navigation constellations (GPS, GLONASS, Galileo
  planes); Molniya orbits.

Epochs lie on 2023-12-30 and 31, so a window from 2024-01-01 is after every epoch. The same
--seed gives the same file, byte for byte.

usage: python tools/make_catalogue.py OUTPUT [--scale S] [--seed N]
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np

MU = 398600.8  # km^3/s^2 (WGS 72)
RE = 6378.135  # km (WGS 72)
J2 = 0.001082616


def checksum(line68: str) -> str:
    return line68 + str(sum(int(c) if c.isdigit() else c == "-" for c in line68) % 10)


def exp_field(x: float) -> str:
    if x == 0.0:
        return " 00000-0"
    e = math.floor(math.log10(abs(x))) + 1
    mant = round(abs(x) / 10.0**e * 1e5)
    if mant >= 100000:
        mant, e = 10000, e + 1
    return f"{'-' if x < 0 else ' '}{mant:05d}{'-' if e < 0 else '+'}{abs(e)}"


def mean_motion(sma_km: float) -> float:
    """Revolutions per day of a circular orbit of semi-major axis ``sma_km``."""
    return 86400.0 / (2.0 * math.pi) * math.sqrt(MU / sma_km**3)


def tle_lines(satno: int, epoch_day: float, inc: float, raan: float, ecc: float, argp: float, mean_anomaly: float,
              sma_km: float, bstar: float = 0.0, year: int = 23, designator: str = "") -> tuple[str, str]:
    """The two lines of an element set; angles in degrees, ``epoch_day`` the day of ``year`` (1.0 = 1 Jan 0h)."""
    intl = designator or f"{year:02d}{satno % 1000:03d}A"
    l1 = checksum(f"1 {satno:05d}U {intl:<8s} {year:02d}{epoch_day:012.8f}  .00000000  00000-0 {exp_field(bstar)} 0  999")
    n = mean_motion(sma_km)
    l2 = checksum(f"2 {satno:05d} {inc:8.4f} {raan % 360.0:8.4f} {min(round(ecc * 1e7), 9999999):07d} "
                  f"{argp % 360.0:8.4f} {mean_anomaly % 360.0:8.4f} {n:11.8f}{satno % 100000:5d}")
    return l1, l2


def sso_inclination(sma_km: float) -> float:
    """Inclination [deg] whose J2 nodal drift follows the mean Sun (0.9856 deg/day)."""
    n = math.sqrt(MU / sma_km**3)
    rate = 2.0 * math.pi / (365.2422 * 86400.0)
    c = -rate / (1.5 * n * J2 * (RE / sma_km) ** 2)
    return math.degrees(math.acos(max(-1.0, min(1.0, c))))


def bstar_for(alt_km: float, rng: np.random.Generator) -> float:
    if alt_km > 2000.0:
        return 0.0
    return float(1e-4 * math.exp(-(alt_km - 400.0) / 150.0) * rng.uniform(0.5, 2.0))


def catalogue(scale: float = 1.0, seed: int = 2024) -> list[tuple[str, str, str]]:
    """(name, line1, line2) of every object."""
    rng = np.random.default_rng(seed)
    out: list[tuple[str, str, str]] = []

    def add(name: str, inc: float, raan: float, ecc: float, argp: float, ma: float, sma: float, bstar: float,
            day: float | None = None) -> None:
        satno = len(out) + 1
        day = 364.0 + rng.uniform(0.0, 1.999) if day is None else day
        l1, l2 = tle_lines(satno, day, inc, raan, ecc, argp, ma, sma, bstar)
        out.append((name, l1, l2))

    def count(n: float) -> int:
        return max(1, round(n * scale))

    # Constellation shells: (altitude, inclination, planes, per plane); Walker phasing between planes.
    for alt, inc, planes, per in ((550, 53.0, 72, 22), (540, 53.2, 72, 22), (570, 70.0, 36, 20),
                                  (560, 97.6, 10, 43), (530, 43.0, 28, 40), (1200, 87.9, 18, 36)):
        planes_s, per_s = count(planes), per
        for p in range(planes_s):
            for s in range(per_s):
                add(f"CONSTELLATION-{alt}-{p}-{s}", inc, 360.0 * p / planes_s, 1e-4, 90.0,
                    360.0 * s / per_s + 360.0 * p / (planes_s * per_s), RE + alt, 3e-5, day=365.0)
    # Sun-synchronous orbits.
    for _ in range(count(3000)):
        alt = rng.uniform(450.0, 850.0)
        sma = RE + alt
        add("SSO", sso_inclination(sma), rng.uniform(0, 360), rng.uniform(1e-4, 2e-3), rng.uniform(0, 360),
            rng.uniform(0, 360), sma, bstar_for(alt, rng))
    # Debris clouds: parent (altitude, inclination).
    for c, (alt, inc) in enumerate(((780.0, 86.4), (850.0, 98.8), (950.0, 82.9), (650.0, 74.0))):
        parent_raan = rng.uniform(0, 360)
        for _ in range(count(3000)):
            sma = RE + alt + rng.normal(0.0, 40.0)
            ecc = abs(rng.normal(0.0, 0.01))
            sma = max(sma, (RE + 200.0) / (1.0 - ecc))
            young = rng.uniform() < 0.3  # a part of the cloud still near its parent plane
            raan = parent_raan + rng.normal(0.0, 2.0) if young else rng.uniform(0, 360)
            add(f"DEBRIS-{c}", inc + rng.normal(0.0, 0.5), raan, ecc, rng.uniform(0, 360), rng.uniform(0, 360), sma,
                bstar_for(sma * (1 - ecc) - RE, rng))
    # Scattered LEO.
    for _ in range(count(7000)):
        alt = rng.uniform(300.0, 2000.0)
        ecc = rng.uniform(0.0, 0.05)
        sma = max(RE + alt, (RE + 250.0) / (1.0 - ecc))
        add("LEO", rng.uniform(0.0, 100.0), rng.uniform(0, 360), ecc, rng.uniform(0, 360), rng.uniform(0, 360), sma,
            bstar_for(sma * (1 - ecc) - RE, rng))
    # GEO belt.
    for _ in range(count(900)):
        add("GEO", rng.uniform(0.0, 15.0), rng.uniform(0, 360), rng.uniform(0.0, 1e-3), rng.uniform(0, 360),
            rng.uniform(0, 360), 42164.0 + rng.normal(0.0, 30.0), 0.0)
    # GTO.
    for _ in range(count(800)):
        rp, ra = RE + rng.uniform(200.0, 600.0), 42164.0 + rng.normal(0.0, 300.0)
        add("GTO", rng.uniform(0.0, 28.5), rng.uniform(0, 360), (ra - rp) / (ra + rp), rng.uniform(0, 360),
            rng.uniform(0, 360), 0.5 * (ra + rp), 1e-5)
    # Navigation constellations: (semi-major axis, inclination, planes, per plane).
    for sma, inc, planes, per in ((26560.0, 55.0, 6, 6), (25510.0, 64.8, 3, 8), (29600.0, 56.0, 3, 10)):
        for p in range(planes):
            for s in range(per):
                add("NAV", inc, 360.0 * p / planes, rng.uniform(0.0, 0.01), rng.uniform(0, 360),
                    360.0 * s / per + rng.normal(0.0, 1.0), sma, 0.0)
    # Molniya orbits.
    for _ in range(count(50)):
        add("MOLNIYA", 63.4, rng.uniform(0, 360), 0.72 + rng.normal(0.0, 0.01), 270.0 + rng.normal(0.0, 2.0),
            rng.uniform(0, 360), 26600.0, 0.0)
    return out


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", type=Path, help="TLE file to write (three-line format)")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the object counts (default 1: ~30 000)")
    parser.add_argument("--seed", type=int, default=2024, help="random seed (default 2024)")
    args = parser.parse_args(argv)
    records = catalogue(args.scale, args.seed)
    args.output.write_text("".join(f"{n}\n{a}\n{b}\n" for n, a, b in records))
    print(f"{len(records)} element sets written to {args.output}")


if __name__ == "__main__":
    main()

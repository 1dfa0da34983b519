"""Element sets made for the screening tests, and the brute-force oracle they are checked against.

The oracle is independent of astrovia: the sgp4 package's SatrecArray on a fine grid, scipy's
cKDTree for the pairs within the threshold plus the largest relative motion over half a step,
and scipy's brentq on Satrec states for the roots of the relative range rate.
"""

import importlib.util
import math
import pathlib

import numpy as np
import pytest
from scipy.optimize import brentq
from scipy.spatial import cKDTree
from sgp4.api import WGS72, Satrec, SatrecArray

from astrovia.propagators.analytical.sgp4.tle import TLE

_tool = pathlib.Path(__file__).parents[2] / "tools" / "make_catalogue.py"
_spec = importlib.util.spec_from_file_location("make_catalogue", _tool)
make_catalogue = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_catalogue)

START_JD = 2460310.5  # 2024-01-01T00:00 UTC
START = "2024-01-01T00:00"
RE = make_catalogue.RE


def lines(satno, inc, raan, ecc, argp, ma, sma, bstar=0.0, day=1.0, year=24):
    """An element set; the default epoch is the tests' window start, 2024-01-01T00:00 UTC."""
    return make_catalogue.tle_lines(satno, day, inc, raan, ecc, argp, ma, sma, bstar, year=year)


def shell(count, seed, alt=550.0, width=4.0):
    """``count`` element sets packed in a shell of ``width`` km around ``alt`` km."""
    rng = np.random.default_rng(seed)
    out = []
    for k in range(count):
        out.append(lines(1000 + k, rng.uniform(30.0, 110.0), rng.uniform(0, 360), rng.uniform(0, 8e-4),
                         rng.uniform(0, 360), rng.uniform(0, 360), RE + alt + rng.uniform(-width / 2, width / 2),
                         bstar=rng.uniform(0, 5e-5), day=364.0 + rng.uniform(0, 1.9), year=23))
    return out


def tles_of(pairs):
    return [TLE(a, b) for a, b in pairs]


def satno_of(line1):
    return int(line1[2:7])


class Oracle:
    """Conjunctions of element sets by brute force on the sgp4 package."""

    def __init__(self, line_pairs, hours, threshold, step=10.0, start_offset=0.0, start_jd=START_JD, leap=None):
        """``leap``: the second [s from the window's start] at which a leap second is inserted, when one is;
        the sgp4 package takes UTC Julian dates, whose clock holds during it."""
        self.start_jd, self.leap = start_jd, leap
        self.sats = [Satrec.twoline2rv(a, b, WGS72) for a, b in line_pairs]
        self.satnos = [satno_of(a) for a, _ in line_pairs]
        self.threshold = threshold / 1000.0  # km
        self.offset = start_offset  # seconds from START_JD of the window's start
        self.span = hours * 3600.0
        n = int(math.ceil(self.span / step))
        self.t = np.linspace(0.0, self.span, n + 1)
        fr = (self.offset + self.clock(self.t)) / 86400.0
        e, r, v = SatrecArray(self.sats).sgp4(np.full(fr.shape, start_jd), fr)
        assert not np.any(e), "the oracle's fixtures must propagate everywhere"
        self.r, self.v = r, v
        vmax = float(np.max(np.linalg.norm(v, axis=2)))
        radius = self.threshold + 2.0 * vmax * (self.t[1] - self.t[0]) / 2.0
        pairs = set()
        for k in range(len(self.t)):
            pairs |= cKDTree(r[:, k, :]).query_pairs(radius)
        self.rows = []
        for i, j in sorted(pairs):
            dr = r[j] - r[i]
            dv = v[j] - v[i]
            f = np.einsum("kc,kc->k", dr, dv)
            for k in np.flatnonzero((f[:-1] < 0) & (f[1:] >= 0)):
                tca = brentq(lambda t: self.range_rate(i, j, t), self.t[k], self.t[k + 1], xtol=1e-8, rtol=1e-15)
                row = self.row(i, j, tca)
                if row["miss_distance"] < threshold:
                    self.rows.append(row)

    def clock(self, t):
        """UTC seconds on the clock after the window's start, at ``t`` elapsed seconds."""
        return t if self.leap is None else t - np.clip(t - self.leap, 0.0, 1.0)

    def state(self, i, t):
        e, r, v = self.sats[i].sgp4(self.start_jd, (self.offset + self.clock(t)) / 86400.0)
        assert e == 0
        return np.array(r), np.array(v)

    def range_rate(self, i, j, t):
        ri, vi = self.state(i, t)
        rj, vj = self.state(j, t)
        return float(np.dot(rj - ri, vj - vi))

    def row(self, i, j, tca):
        ri, vi = self.state(i, tca)
        rj, vj = self.state(j, tca)
        dr, dv = (rj - ri) * 1000.0, (vj - vi) * 1000.0
        radial = ri / np.linalg.norm(ri)
        cross = np.cross(ri, vi)
        cross /= np.linalg.norm(cross)
        in_track = np.cross(cross, radial)
        return {"satno_1": self.satnos[i], "satno_2": self.satnos[j], "t": tca,
                "miss_distance": float(np.linalg.norm(dr)), "relative_speed": float(np.linalg.norm(dv)),
                "radial": float(dr @ radial), "in_track": float(dr @ in_track), "cross_track": float(dr @ cross)}

    def flipped(self, row):
        """The row seen from object 2: satnos swapped, the frame that of object 2."""
        i, j = self.satnos.index(row["satno_2"]), self.satnos.index(row["satno_1"])
        return self.row(i, j, row["t"])


@pytest.fixture(scope="session")
def packed_shell():
    """600 objects in a 3 km shell at 550 km over 3 hours at 5 km: hundreds of conjunctions."""
    pairs = shell(600, seed=17, width=3.0)
    return pairs, Oracle(pairs, hours=3.0, threshold=5000.0)

"""One LEO for a day with the full force model, and how far SGP4 drifts from it.

The ISS's latest TLE of the sample file gives the start: its SGP4 state at the
TLE's epoch, in TEME, is integrated with the numerical propagator (EGM2008
20x20, the Sun and the Moon, Harris-Priester drag, radiation pressure in the
Earth's shadow); SGP4 from the same TLE is compared with it every 3 hours.
"""

from __future__ import annotations

import pathlib

import numpy as np

from astrovia.frames.frames import TEME
from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
from astrovia.propagators.analytical.sgp4.tle import read_tles
from astrovia.propagators.numerical import SRP, Drag, HarrisPriester, Numerical
from astrovia.state.state import StateVector

SAMPLE = pathlib.Path(__file__).resolve().parent / "data" / "sample.tle"


def main() -> None:
    with open(SAMPLE, encoding="utf-8") as f:
        iss = max((t for t in read_tles(f) if t.satno == 25544), key=lambda t: t.epoch)
    hours = iss.epoch + np.arange(0.0, 86401.0, 3 * 3600.0)
    sgp4 = SGP4().propagate_state(hours, iss)
    start = StateVector(hours[0], sgp4.r[0], sgp4.v[0], frame=TEME)
    full = Numerical(degree=20, order=20, third_bodies=("sun", "moon"),
                     drag=Drag(0.005, cd=2.2, atmosphere=HarrisPriester(4)), srp=SRP(0.005))
    precise = full.propagate_state(hours, start, frame=TEME)
    print(f"ISS from its TLE of {iss.epoch.utc}, one day with {full!r}:")
    for h, a, b in zip(range(0, 25, 3), sgp4.r, precise.r):
        print(f"  +{h:2d} h  SGP4 - numerical: {np.linalg.norm(a - b) / 1e3:7.3f} km")


if __name__ == "__main__":
    main()

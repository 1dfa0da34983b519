"""Writes the README's pictures into docs/images/ from the sample TLEs (no downloads):

    .venv/bin/python tools/make_readme_images.py

ground_track.png: three orbits of the ISS from its latest sample TLE.
sky_plot.png: a day's passes of the sample TLEs over Graz above 10 degrees.
"""

from __future__ import annotations

import pathlib

import numpy as np

from astrovia.plot import ground_track
from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
from astrovia.propagators.analytical.sgp4.tle import read_tles
from astrovia.time.time import Time

ROOT = pathlib.Path(__file__).resolve().parents[1]
IMAGES = ROOT / "docs" / "images"


def make_ground_track() -> pathlib.Path:
    tles = read_tles(ROOT / "examples" / "data" / "sample.tle")
    iss = [t for t in tles if t.satno == 25544][-1]
    time = Time("2024-01-05T00:00") + np.arange(0.0, 3 * 5580.0, 30.0)
    r, _, _ = SGP4().propagate_many(time, [iss], frame="ITRF")
    fig = ground_track(time, r[0], title="ISS, 2024-01-05, three orbits (sample TLE)")
    path = IMAGES / "ground_track.png"
    fig.savefig(path, dpi=80)
    return path


def make_sky_plot() -> pathlib.Path:
    import math

    from astrovia.events import passes
    from astrovia.groundstation import GroundStation
    from astrovia.plot import sky_plot
    from astrovia.propagators.analytical.sgp4.tle import read_elsets

    catalogue = read_elsets(ROOT / "examples" / "data" / "sample.tle")
    graz = GroundStation(math.radians(47.0671), math.radians(15.4933), 491.0, name="Graz",
                         min_elevation=math.radians(10.0))
    table = passes(catalogue, graz, "2024-01-05", "2024-01-06")
    fig = sky_plot(table, satellites=catalogue, stations=graz, title="Passes over Graz above 10°, 2024-01-05")
    path = IMAGES / "sky_plot.png"
    fig.savefig(path, dpi=60, bbox_inches="tight")
    return path


def main() -> None:
    IMAGES.mkdir(parents=True, exist_ok=True)
    for make in (make_ground_track, make_sky_plot):
        path = make()
        print(f"{path.relative_to(ROOT)}: {path.stat().st_size // 1024} kB")


if __name__ == "__main__":
    main()

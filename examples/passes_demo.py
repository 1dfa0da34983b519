"""A day's passes of the sample TLEs over one station, near their epochs, and the eclipses of one of them.

    .venv/bin/python examples/passes_demo.py
"""

import math
import pathlib

import numpy as np

from astrovia.events import eclipses, passes
from astrovia.groundstation import GroundStation
from astrovia.propagators.analytical.sgp4.tle import read_elsets

SAMPLE = pathlib.Path(__file__).resolve().parent / "data" / "sample.tle"

catalogue = read_elsets(SAMPLE)  # each satellite's history; each moment from the TLE in force then
graz = GroundStation(math.radians(47.0671), math.radians(15.4933), 491.0, name="Graz",
                     min_elevation=math.radians(10.0))
table = passes(catalogue, graz, "2024-01-03", "2024-01-04")

shown = table.assign(
    rise=table["rise"].dt.strftime("%H:%M:%S"),
    culmination=table["culmination"].dt.strftime("%H:%M:%S"),
    set=table["set"].dt.strftime("%H:%M:%S"),
    max_elevation=np.degrees(table["max_elevation"]).round(1),
    rise_azimuth=np.degrees(table["rise_azimuth"]).round(0),
    set_azimuth=np.degrees(table["set_azimuth"]).round(0),
    duration=table["duration"].round(0),
)
print(f"Passes over {graz.name} above 10 degrees on 2024-01-03 (UTC), {len(table)} of them:")
print(shown[["satno", "rise", "culmination", "set", "rise_azimuth", "set_azimuth", "max_elevation", "duration",
             "sunlit", "visible"]].to_string(index=False))

shadow = eclipses(catalogue[25544], "2024-01-03", "2024-01-04")
print(f"\nISS (25544) in the Earth's shadow on 2024-01-03: {len(shadow)} intervals, "
      f"{shadow.loc[shadow['kind'] == 'umbra', 'duration'].sum() / 60:.0f} minutes of umbra")
print(shadow.head(6).assign(start=shadow["start"].dt.strftime("%H:%M:%S.%f").str[:-3],
                            end=shadow["end"].dt.strftime("%H:%M:%S.%f").str[:-3],
                            duration=shadow["duration"].round(1)).to_string(index=False))

"""``astrovia propagate --frame geodetic``: the ITRF run's positions through pyerfa's gc2gde."""

import pathlib
import subprocess
import sys

import erfa
import numpy as np
import pandas as pd

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "data" / "sample.tle"


def test_geodetic_columns_match_erfa(tmp_path):
    tables = {}
    for frame in ("ITRF", "geodetic"):
        out = tmp_path / f"{frame}.csv"
        result = subprocess.run([sys.executable, "-m", "astrovia", "propagate", str(SAMPLE), "--start",
                                 "2024-01-05T00:00", "--stop", "2024-01-05T02:00", "--step", "600", "--frame", frame,
                                 "--output", str(out)], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        tables[frame] = pd.read_csv(out)
    itrf, geo = tables["ITRF"], tables["geodetic"]
    assert list(geo.columns) == ["satno", "epoch", "lat", "lon", "alt", "error"]
    assert list(geo["satno"]) == list(itrf["satno"]) and list(geo["epoch"]) == list(itrf["epoch"])
    lon, lat, h = erfa.gc2gde(6378137.0, 1 / 298.257223563, itrf[["x", "y", "z"]].to_numpy())
    np.testing.assert_allclose(geo["lat"], np.degrees(lat), rtol=0, atol=1e-9)
    np.testing.assert_allclose(np.angle(np.exp(1j * np.radians(geo["lon"] - np.degrees(lon)))), 0, atol=1e-11)
    np.testing.assert_allclose(geo["alt"], h, rtol=0, atol=1e-4)
    assert 3e5 < geo["alt"].min() and geo["lon"].between(-180, 180).all()

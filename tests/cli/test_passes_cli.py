"""``astrovia passes``: the table in degrees equals the module's passes, the options do what they say."""

import math
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from astrovia.events import passes
from astrovia.groundstation import GroundStation
from astrovia.propagators.analytical.sgp4.tle import read_elsets

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "data" / "sample.tle"


def run(*args):
    return subprocess.run([sys.executable, "-m", "astrovia", "passes", str(SAMPLE), *args], capture_output=True,
                          text=True)


def test_table_in_degrees_matches_the_module(tmp_path):
    out = tmp_path / "passes.csv"
    done = run("--station", "48.85,2.35,35", "--station=-33.9,18.4", "--start", "2024-01-02",
               "--stop", "2024-01-03", "--min-elevation", "10", "--output", str(out))
    assert done.returncode == 0, done.stderr
    table = pd.read_csv(out)
    stations = [GroundStation(math.radians(48.85), math.radians(2.35), 35.0, name="48.85,2.35,35"),
                GroundStation(math.radians(-33.9), math.radians(18.4), 0.0, name="-33.9,18.4")]
    want = passes(read_elsets(str(SAMPLE)), stations, "2024-01-02", "2024-01-03", min_elevation=math.radians(10))
    assert len(table) == len(want) > 10
    assert table["station"].tolist() == want["station"].tolist()
    np.testing.assert_allclose(table["max_elevation"], np.degrees(want["max_elevation"]), atol=1e-9)
    assert (table["max_elevation"] >= 10.0).all()
    rise = pd.to_datetime(table["rise"]).to_numpy().astype("datetime64[ns]")
    assert np.all(np.abs((rise - want["rise"].to_numpy()).astype(np.int64)) < 1000)  # microseconds in the CSV


def test_visible_only_and_parquet(tmp_path):
    pytest.importorskip("pyarrow")
    out = tmp_path / "passes.parquet"
    done = run("--station", "48.85,2.35", "--start", "2024-01-02", "--stop", "2024-01-04", "--visible-only",
               "--output", str(out))
    assert done.returncode == 0, done.stderr
    table = pd.read_parquet(out)
    assert len(table) > 0 and table["visible"].all()


def test_sky_plot_written(tmp_path):
    pytest.importorskip("matplotlib")
    png = tmp_path / "sky.png"
    done = run("--station", "48.85,2.35", "--start", "2024-01-02", "--stop", "2024-01-02T12:00", "--plot", str(png),
               "--output", str(tmp_path / "p.csv"))
    assert done.returncode == 0, done.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("args,message", [
    (["--station", "95,2.35"], "latitude"),
    (["--station", "48.85"], "LAT,LON"),
    (["--station", "a,b"], "numbers"),
    (["--station", "48.85,2.35", "--min-elevation", "91"], "--min-elevation"),
    (["--station", "48.85,2.35", "--start", "2024-01-03", "--stop", "2024-01-02"], "before"),
])
def test_usage_errors(args, message):
    base = {"--start": "2024-01-02", "--stop": "2024-01-03"}
    for k, v in base.items():
        if k not in args:
            args = [*args, k, v]
    done = run(*args)
    assert done.returncode == 2 and message in done.stderr

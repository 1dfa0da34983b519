"""``astrovia screen`` run as a user runs it (a subprocess): its table is screen()'s, its errors one line."""

import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from astrovia.conjunctions import screen

from .conftest import START, shell, tles_of

STOP = "2024-01-01T01:00"


def astrovia(*args):
    return subprocess.run([sys.executable, "-m", "astrovia", *args], capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def catalogue(tmp_path_factory):
    pairs = shell(200, seed=3, width=2.0)
    path = tmp_path_factory.mktemp("screen") / "shell.tle"
    path.write_text("".join(f"{a}\n{b}\n" for a, b in pairs))
    return path, pairs


@pytest.mark.parametrize("one_versus_all", [False, True])
def test_table_is_the_library_s(catalogue, tmp_path, one_versus_all):
    path, pairs = catalogue
    out = tmp_path / "out.csv"
    primary = None
    if one_versus_all:  # the two objects of the first conjunction of all pairs
        first = screen(tles_of(pairs), START, STOP, 8000.0).iloc[0]
        primary = [str(first["satno_2"]), str(first["satno_1"])]
    extra = ["--primary", *primary] if primary else []
    done = astrovia("screen", str(path), "--start", START, "--stop", STOP, "--threshold", "8000", *extra,
                    "--output", str(out))
    assert done.returncode == 0, done.stderr
    got = pd.read_csv(out)
    ref = screen(tles_of(pairs), START, STOP, 8000.0, primaries=[int(p) for p in primary] if primary else None)
    assert len(ref) > 0 and len(got) == len(ref)
    assert (got["satno_1"].to_numpy() == ref["satno_1"].to_numpy()).all()
    tca = pd.to_datetime(got["tca"]).to_numpy().astype("datetime64[ns]")
    assert np.abs((tca - ref["tca"].to_numpy()).astype(np.int64)).max() < 1000  # CSV keeps microseconds
    np.testing.assert_allclose(got["miss_distance"], ref["miss_distance"], rtol=1e-12)


@pytest.mark.parametrize("args, text", [
    (["--threshold", "-1"], "threshold"),
    (["--primary", "424242"], "primaries"),
    (["--stop", "2023-12-31"], "stop"),
])
def test_bad_arguments_are_one_line_and_status_2(catalogue, args, text):
    path, _ = catalogue
    base = {"--start": START, "--stop": STOP}
    for flag in ("--stop",):
        if flag in args:
            base.pop(flag)
    flat = [x for kv in base.items() for x in kv]
    done = astrovia("screen", str(path), *flat, *args)
    assert done.returncode == 2
    assert text in done.stderr and done.stderr.count("\n") == 1

"""astrovia.dask.passes: chunks of satellites give the table of one call, row for row."""

import math

import pytest

pytest.importorskip("dask")

import dask  # noqa: E402

import astrovia.dask as adask  # noqa: E402
from astrovia.events import passes  # noqa: E402
from astrovia.groundstation import GroundStation  # noqa: E402
from astrovia.propagators.analytical.sgp4.tle import read_elsets  # noqa: E402


@pytest.mark.parametrize("chunks", [1, 2])
def test_chunked_passes_equal_one_call(chunks):
    sats = read_elsets("examples/data/sample.tle")
    stations = [GroundStation(math.radians(48.85), math.radians(2.35), name="P"),
                GroundStation(math.radians(-33.9), math.radians(18.4), name="C")]
    want = passes(sats, stations, "2024-01-02", "2024-01-04")
    (got,) = dask.compute(adask.passes(sats, stations, "2024-01-02", "2024-01-04", satellite_chunks=chunks),
                          scheduler="threads", num_workers=2)
    assert got.equals(want)

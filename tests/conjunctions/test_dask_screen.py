"""astrovia.dask.screen: time windows of the grid give the table of one call, row for row."""

import pandas as pd
import pytest

from astrovia.conjunctions import screen

from .conftest import START, shell, tles_of

distributed = pytest.importorskip("distributed")
adask = pytest.importorskip("astrovia.dask")

STOP = "2024-01-01T02:00"


@pytest.fixture(scope="module")
def sats():
    return tles_of(shell(300, seed=5, width=2.0))


@pytest.mark.parametrize("chunk", [None, 900.0, 1234.0])
def test_threaded_chunks_equal_one_call(sats, chunk):
    one = screen(sats, START, STOP, 5000.0)
    assert len(one) > 10
    lazy = adask.screen(sats, START, STOP, 5000.0, chunk=chunk)
    pd.testing.assert_frame_equal(lazy.compute(scheduler="threads"), one, check_exact=True)


def test_distributed_cluster_equals_one_call(sats):
    one = screen(sats, START, STOP, 5000.0, primaries=[1000, 1001, 1002], exclude=[(1000, 1101)])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        lazy = adask.screen(sats, START, STOP, 5000.0, primaries=[1000, 1001, 1002], exclude=[(1000, 1101)],
                            chunk=1800.0)
        got = client.compute(lazy).result()
    pd.testing.assert_frame_equal(got, one, check_exact=True)


def test_bad_chunk():
    with pytest.raises(ValueError, match="chunk"):
        adask.screen([], START, STOP, chunk=-1.0)

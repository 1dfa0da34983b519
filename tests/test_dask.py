"""astrovia.dask: chunked runs equal one call of the underlying function, bitwise, on every scheduler."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import dask  # noqa: E402

import astrovia.dask as adask  # noqa: E402
from astrovia.frames import geocentric, rotations  # noqa: E402
from astrovia.time.time import Time  # noqa: E402

BIG = 1_000_000
SMALL = 16_000  # the IAU 2000A chain costs ~30 us an epoch: enough for several chunks


@pytest.fixture(scope="module")
def cluster_client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        yield client


def _epochs(n):
    start = Time("2024-03-20T00:00").int64
    return Time(start + np.arange(n, dtype=np.int64) * 997_000_000)  # 0.997 s apart, across several hours


def _states(n):
    rng = np.random.default_rng(n)
    return rng.normal(size=(n, 3)) * 7.0e6, rng.normal(size=(n, 3)) * 7.5e3


def _compute(scheduler, client, *arrays):
    if scheduler == "distributed":
        return client.compute(list(arrays), sync=True)
    return dask.compute(*arrays, scheduler=scheduler)


@pytest.mark.parametrize("scheduler", ["threads", "distributed"])
@pytest.mark.parametrize(("name", "n", "chunks"), [
    ("ITRF_from_TEME", BIG, 125_000),
    ("TEME_from_ITRF", BIG, 250_000),
    ("GCRF_from_ITRF", SMALL, 4_000),
])
def test_conversion_chunks_equal_one_call(scheduler, name, n, chunks, cluster_client, request):
    time = _epochs(n)
    r, v = _states(n)
    r_copy, v_copy = r.copy(), v.copy()
    lazy_r, lazy_v = getattr(adask, name)(time, r, v, chunks=chunks)
    assert lazy_r.shape == (n, 3) and lazy_r.numblocks[0] == -(-n // chunks)
    got_r, got_v = _compute(scheduler, cluster_client if scheduler == "distributed" else None, lazy_r, lazy_v)
    want_r, want_v = getattr(geocentric, name)(time, r, v)
    assert np.array_equal(got_r, want_r) and np.array_equal(got_v, want_v)
    assert np.array_equal(r, r_copy) and np.array_equal(v, v_copy)


@pytest.mark.parametrize("scheduler", ["threads", "distributed"])
def test_rotations_chunks_equal_one_call(scheduler, cluster_client):
    time = _epochs(SMALL)
    r, v = _states(SMALL)
    rot = adask.rot_ITRF_from_GCRF(time, chunks=5_000)
    back = adask.rot_GCRF_from_ITRF(time, chunks=5_000)
    lazy_r, lazy_v = adask.ITRF_from_GCRF(time, r, v, chunks=5_000)
    got = _compute(scheduler, cluster_client if scheduler == "distributed" else None, rot, back, lazy_r, lazy_v)
    assert np.array_equal(got[0], rotations.rot_ITRF_from_GCRF(time))
    assert np.array_equal(got[1], rotations.rot_GCRF_from_ITRF(time))
    want_r, want_v = rotations.ITRF_from_GCRF(time, r, v)
    assert np.array_equal(got[2], want_r) and np.array_equal(got[3], want_v)


def test_lazy_stamps_and_dask_inputs():
    """Epochs as a dask array of stamps and states as dask arrays with other chunks give the same result."""
    n = 50_000
    time = _epochs(n)
    r, v = _states(n)
    stamps = da.from_array(np.asarray(time.int64), chunks=12_345)
    lazy_r, lazy_v = adask.ITRF_from_TEME(stamps, da.from_array(r, chunks=(7_000, 3)), da.from_array(v, chunks=1000))
    want_r, want_v = geocentric.ITRF_from_TEME(time, r, v)
    got_r, got_v = dask.compute(lazy_r, lazy_v, scheduler="sync")
    assert np.array_equal(got_r, want_r) and np.array_equal(got_v, want_v)


@pytest.mark.parametrize(("time", "r", "exc", "match"), [
    ("2024-01-01", np.zeros((1, 3)), TypeError, "time must be a Time"),
    (np.arange(3, dtype=np.int64), np.zeros((2, 3)), ValueError, "r must have one row per epoch"),
    (np.arange(3, dtype=np.int64), np.zeros((3, 2)), ValueError, r"r must have shape \(N, 3\)"),
    (np.arange(3, dtype=np.int64), np.zeros((3, 3), dtype=np.float32), ValueError, "r must be float64"),
    (da.arange(3, chunks=2, dtype=np.float64), np.zeros((3, 3)), ValueError, "int64 array of stamps"),
])
def test_bad_inputs(time, r, exc, match):
    with pytest.raises(exc, match=match):
        adask.ITRF_from_TEME(time, r, np.zeros((3, 3)))

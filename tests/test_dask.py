"""astrovia.dask: chunked runs equal one call of the underlying function, bitwise, on every scheduler."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import dask  # noqa: E402

import astrovia.dask as adask  # noqa: E402
from astrovia.frames import geocentric, rotations  # noqa: E402
from astrovia.time.time import Time  # noqa: E402

# a million epochs and states travel inside the graph to the cluster's workers
pytestmark = pytest.mark.filterwarnings("ignore:Sending large graph")

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


def _sgp4():
    try:
        from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
        from astrovia.propagators.analytical.sgp4.tle import TLE
    except ImportError:
        pytest.skip("SGP4 is not in this build")
    return SGP4, TLE


SAMPLE_LINES = [
    ("1 25544U 98067A   24001.51258435  .00016717  00000-0  30270-3 0  9986",
     "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.50103472433265"),
    ("1 25544U 98067A   24002.54437710  .00017102  00000-0  30956-3 0  9996",
     "2 25544  51.6418 242.3432 0006712 131.8321 228.3018 15.50123851433423"),
    ("1 25544U 98067A   24003.57614539  .00016511  00000-0  29916-3 0    17",
     "2 25544  51.6413 237.2228 0006725 133.3315 355.1170 15.50140302433583"),
]


@pytest.mark.parametrize("scheduler", ["threads", "distributed"])
def test_sgp4_chunks_equal_one_call(scheduler, cluster_client):
    SGP4, TLE = _sgp4()
    time = _epochs(BIG // len(SAMPLE_LINES))
    tles = [TLE(*pair) for pair in SAMPLE_LINES]
    r, v, err = adask.propagate_many(time, SAMPLE_LINES, frame="TEME", epoch_chunks=100_000, satellite_chunks=2)
    assert r.shape == (3, time.size, 3) and err.dtype == np.int8
    got = _compute(scheduler, cluster_client if scheduler == "distributed" else None, r, v, err)
    want = SGP4().propagate_many(time, tles, frame="TEME")
    for a, b in zip(got, want):
        assert np.array_equal(a, b, equal_nan=True)


def test_sgp4_accepts_tles_and_omm_records():
    SGP4, TLE = _sgp4()
    time = _epochs(1000)
    tles = [TLE(*pair) for pair in SAMPLE_LINES]
    want = SGP4().propagate_many(time, tles, frame="ITRF")
    got = dask.compute(*adask.propagate_many(time, tles, frame="ITRF", epoch_chunks=300), scheduler="sync")
    for a, b in zip(got, want):
        assert np.array_equal(a, b, equal_nan=True)
    if hasattr(tles[0], "to_omm"):
        records = [t.to_omm() for t in tles]
        assert np.array_equal(adask.tle_lines(records), adask.tle_lines(tles))


@pytest.mark.parametrize(("satellites", "exc", "match"), [
    ([], ValueError, "satellites is empty"),
    ([("only one line",)], TypeError, r"satellites\[0\] must be a TLE"),
    ([42], TypeError, r"satellites\[0\] must be a TLE"),
    (np.zeros((2, 3), dtype=str), ValueError, r"must be \(M, 2\) str"),
])
def test_sgp4_bad_satellites(satellites, exc, match):
    with pytest.raises(exc, match=match):
        adask.tle_lines(satellites)


def test_sgp4_bad_frame():
    with pytest.raises(ValueError, match="frame must be 'TEME', 'ITRF' or 'GCRF'"):
        adask.propagate_many(_epochs(3), SAMPLE_LINES, frame="J2000")


def test_numerical_chunks_of_states_equal_one_call():
    from astrovia.propagators.numerical import Drag, Numerical
    from astrovia.state.state import COE

    t0 = _epochs(1)[0]
    states = [COE(t0, 6.9e6 + 1e5 * k, 1e-3, 0.5 + 0.2 * k, 0.1 * k, 0.0, 0.5 * k).to_sv() for k in range(5)]
    p = Numerical(degree=6, order=6, drag=Drag(0.01))
    time = t0 + np.arange(0.0, 3601.0, 300.0)
    got = dask.compute(*adask.propagate_many(time, states, propagator=p, satellite_chunks=2), scheduler="threads")
    want = p.propagate_many(time, states)
    for a, b in zip(got, want):
        assert np.array_equal(a, b, equal_nan=True)
    with pytest.raises(TypeError, match=r"satellites\[1\]"):
        adask.propagate_many(time, [states[0], "ISS"], propagator=p)

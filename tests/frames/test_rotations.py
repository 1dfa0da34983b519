import os
import subprocess
import sys
import threading
import time as clock

import erfa
import numpy as np
import pytest

from astrovia.frames import geocentric, rotations
from astrovia.time.time import Time

from frames_oracle import epochs, gcrf_chain, inputs, matrices_of, states


def test_matrices_equal_the_erfa_chain_and_the_geocentric_conversion(eop_override):
    t = epochs(50)
    p = inputs(t)
    rot = rotations.rot_ITRF_from_GCRF(t)
    assert rot.shape == (50, 3, 3) and rot.dtype == np.float64 and rot.flags.c_contiguous
    np.testing.assert_allclose(rot, gcrf_chain(p)[2], rtol=0, atol=1e-15)
    assert np.array_equal(rot, matrices_of(geocentric.ITRF_from_GCRF, t, 50))
    np.testing.assert_allclose(rot @ rot.swapaxes(1, 2), np.broadcast_to(np.eye(3), rot.shape), rtol=0, atol=1e-15)
    np.testing.assert_allclose(np.linalg.det(rot), 1.0, rtol=0, atol=1e-15)
    eop_override(rotations, dX=0.0, dY=0.0)
    np.testing.assert_allclose(rotations.rot_ITRF_from_GCRF(t), erfa.c2t00a(p.tt1, p.tt2, p.ut1a, p.ut1b, p.xp, p.yp),
                               rtol=0, atol=1e-15)


def test_gcrf_from_itrf_is_a_transposed_view():
    t = epochs(7)
    back = rotations.rot_GCRF_from_ITRF(t)
    assert back.shape == (7, 3, 3) and not back.flags.c_contiguous
    assert np.array_equal(back, rotations.rot_ITRF_from_GCRF(t).swapaxes(1, 2))


def test_state_conversion_equals_geocentric():
    t = epochs(30)
    r, v = states(30, seed=11)
    expected = geocentric.ITRF_from_GCRF(t, r, v)
    r.flags.writeable = False
    v.flags.writeable = False  # accepted here, unlike geocentric
    out = rotations.ITRF_from_GCRF(t, r, v)
    for a, b in zip(out, expected):
        assert np.array_equal(a, b)
    f_out = rotations.ITRF_from_GCRF(time=t, r_GCRF=np.asfortranarray(r), v_GCRF=np.asfortranarray(v))
    for a, b in zip(f_out, expected):
        assert a.flags.f_contiguous and np.array_equal(a, b)
    big_r, big_v = np.ones((33, 4)), np.ones((33, 4))
    big_r[:30, :3], big_v[:30, :3] = r, v
    for a, b in zip(rotations.ITRF_from_GCRF(t, big_r, big_v), expected):
        assert np.array_equal(a[:30, :3], b) and not a[30:].any() and not a[:, 3:].any()


def test_threaded_batches_equal_serial_ones():
    # 10000 epochs stay on the calling thread, 10001 are split across threads.
    t = epochs(10001)
    r, v = states(10001, seed=12)
    small = t[np.arange(10000)]
    assert np.array_equal(rotations.rot_ITRF_from_GCRF(t)[:10000], rotations.rot_ITRF_from_GCRF(small))
    big_out = rotations.ITRF_from_GCRF(t, r, v)
    small_out = rotations.ITRF_from_GCRF(small, r, v)
    for a, b in zip(big_out, small_out):
        assert np.array_equal(a[:10000], b[:10000]) and not b[10000:].any()


def test_thread_count_does_not_change_results(tmp_path):
    script = (
        "import sys, numpy as np\n"
        "from astrovia.time.time import Time\n"
        "from astrovia.frames import rotations\n"
        "t = Time(np.linspace(51544.0, 61000.0, 20001), format='mjd')\n"
        "r = np.linspace(-7e6, 7e6, 60003).reshape(-1, 3); v = r[::-1] * 1e-3\n"
        "np.save(sys.argv[1], np.concatenate([rotations.rot_ITRF_from_GCRF(t).ravel(),"
        " *[a.ravel() for a in rotations.ITRF_from_GCRF(t, r, v)]]))\n"
    )
    results = []
    for threads in ("1", "2"):
        path = tmp_path / f"out{threads}.npy"
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        subprocess.run([sys.executable, "-c", script, str(path)], env=env, check=True)
        results.append(np.load(path))
    assert np.array_equal(results[0], results[1])


def test_other_python_threads_run_during_the_loop():
    t = epochs(200000)
    samples = []
    done = threading.Event()

    def count():
        k = 0
        while not done.is_set():
            k += 1
            if k % 1000 == 0:
                samples.append(clock.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        start = clock.perf_counter()
        rotations.rot_ITRF_from_GCRF(t)
        stop = clock.perf_counter()
    finally:
        done.set()
        counter.join()
    during = np.array([s for s in samples if start <= s <= stop])
    # Holding the lock through the loop would freeze the counter for nearly the whole call.
    gaps = np.diff(np.concatenate([[start], during, [stop]]))
    assert during.size > 100 and gaps.max() < (stop - start) / 3


def test_no_epochs_still_asks_eop_once(eop_override):
    eop = eop_override(rotations)
    t = Time(np.array([], dtype=np.int64))
    rot = rotations.rot_ITRF_from_GCRF(t)
    assert rot.shape == (0, 3, 3) and eop.calls == 1
    assert rotations.rot_GCRF_from_ITRF(t).shape == (0, 3, 3) and eop.calls == 2
    r_out, _ = rotations.ITRF_from_GCRF(t, np.ones((2, 3)), np.ones((2, 3)))
    assert eop.calls == 3 and r_out.shape == (2, 3) and not r_out.any()


def test_time_checks():
    r, v = states(2)
    for f in (rotations.rot_ITRF_from_GCRF, rotations.rot_GCRF_from_ITRF):
        with pytest.raises(TypeError, match="time"):
            f(None)
        with pytest.raises(TypeError, match="time"):
            f(np.zeros(3))
    with pytest.raises(AttributeError):
        rotations.ITRF_from_GCRF(None, r, v)
    with pytest.raises(TypeError, match="time"):
        rotations.ITRF_from_GCRF("2020", r, v)


def test_bad_arrays_are_rejected():
    t = epochs(3)
    r, v = states(3)
    cases = [
        (r.astype(np.float32), v, ValueError, "r_GCRF.*float64"),
        (r, v.astype(np.int32), ValueError, "v_GCRF.*float64"),
        (r.tolist(), v, TypeError, "r_GCRF"),
        (r[0], v, ValueError, "r_GCRF must have 2 dimensions"),
        (r[:2], v, ValueError, "r_GCRF has 2 rows"),
        (r, v[:, :2], ValueError, "v_GCRF has 2 columns"),
    ]
    for rr, vv, exc, msg in cases:
        with pytest.raises(exc, match=msg):
            rotations.ITRF_from_GCRF(t, rr, vv)


def test_size_must_match_the_date_arrays_and_eop(eop_override):
    class Lying(Time):
        @property
        def size(self):
            return super().size + 1

    t = epochs(4)
    r, v = states(5)
    with pytest.raises(ValueError, match="time.tt.jd12 has 4 rows, but time.size is 5"):
        rotations.rot_ITRF_from_GCRF(Lying(t))
    with pytest.raises(ValueError, match="time.tt.jd12 has 4 rows"):
        rotations.ITRF_from_GCRF(Lying(t), r, v)
    eop_override(rotations, lod=lambda a: a[:2])
    with pytest.raises(ValueError, match="lod has 2 values"):
        rotations.rot_ITRF_from_GCRF(t)

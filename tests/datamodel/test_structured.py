import numpy as np
import pytest

import astrovia.datamodel.structured as s

LAYOUTS = {
    "SurfCoord_dtype": (16, [("lat", "f8", (), 0), ("lon", "f8", (), 8)]),
    "LLA_dtype": (24, [("lat", "f8", (), 0), ("lon", "f8", (), 8), ("alt", "f8", (), 16)]),
    "ENU_dtype": (72, [("u_east", "f8", (3,), 0), ("u_north", "f8", (3,), 24), ("u_up", "f8", (3,), 48)]),
    "AER_dtype": (24, [("azimuth", "f8", (), 0), ("elevation", "f8", (), 8), ("range", "f8", (), 16)]),
    "DTF_dtype": (14, [("year", "u2", (), 0), ("month", "u1", (), 2), ("day", "u1", (), 3), ("hour", "u1", (), 4),
                       ("minute", "u1", (), 5), ("second", "f8", (), 6)]),
    "GeoState_dt": (48, [(n, "f8", (), 8 * i) for i, n in
                         enumerate(["lat", "lon", "alt", "lat_dot", "lon_dot", "alt_dot"])]),
    "COE_dt": (56, [(n, "f8", (), 8 * i) for i, n in enumerate(["ecc", "sma", "inc", "raa", "arp", "tra", "slr"])]),
}


@pytest.mark.parametrize("name", list(LAYOUTS))
def test_layout(name):
    size, fields = LAYOUTS[name]
    dt = getattr(s, name)
    assert isinstance(dt, np.dtype)
    assert dt.itemsize == size
    assert list(dt.names) == [f[0] for f in fields]
    for fname, ftype, shape, offset in fields:
        sub, off = dt.fields[fname][:2]
        assert off == offset
        assert sub.base == np.dtype(ftype) and sub.shape == shape


def test_module_exports_only_the_types_and_dtype():
    public = {k for k in vars(s) if not k.startswith("_")}
    assert public == set(LAYOUTS) | {"dtype"}
    assert s.dtype is np.dtype


def test_raw_views():
    rec = np.zeros(2, dtype=s.COE_dt)
    rec["sma"] = [7e6, 8e6]
    rec["slr"] = [1.0, 2.0]
    flat = rec.view(np.float64).reshape(2, 7)
    np.testing.assert_array_equal(flat[:, 1], [7e6, 8e6])
    np.testing.assert_array_equal(flat[:, 6], [1.0, 2.0])
    d = np.zeros(1, dtype=s.DTF_dtype)
    d["second"] = 59.5
    assert np.frombuffer(d.tobytes()[6:14], dtype=np.float64)[0] == 59.5
    e = np.zeros(1, dtype=s.ENU_dtype)
    assert e[0]["u_east"].shape == (3,)

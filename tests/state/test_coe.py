import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from astrovia.state.coe import c_eca_from_mea, eca_from_mea


@settings(max_examples=3000, deadline=None)
@given(st.floats(-1e4, 1e4, allow_nan=False), st.floats(0.0, 1.0 - 1e-9))
def test_kepler_equation_holds(mea, ecc):
    e_an = c_eca_from_mea(mea, ecc)
    assert abs(e_an - ecc * math.sin(e_an) - mea) <= 1e-12 * max(1.0, abs(mea))


@pytest.mark.parametrize("ecc", [-1e-12, -1.0, 1.0, 1.5, math.inf])
def test_eccentricity_outside_the_ellipse_raises(ecc):
    with pytest.raises(ValueError, match="ecc"):
        c_eca_from_mea(1.0, ecc)
    with pytest.raises(ValueError, match="ecc"):
        eca_from_mea(np.array([1.0, 2.0]), ecc)


def test_nan_in_gives_nan_out():
    assert math.isnan(c_eca_from_mea(math.nan, 0.5))
    assert math.isnan(c_eca_from_mea(1.0, math.nan))


def test_arrays_broadcast_and_match_scalars():
    m = np.linspace(-20.0, 20.0, 41).reshape(41)
    e = np.array([0.0, 0.3, 0.99])[:, None]
    out = eca_from_mea(m, e)
    assert out.shape == (3, 41)
    np.testing.assert_allclose(out - e * np.sin(out), np.broadcast_to(m, (3, 41)), atol=1e-12 * 20)
    assert eca_from_mea(m[::-3], 0.5)[0] == c_eca_from_mea(float(m[-1]), 0.5)  # strided input


def test_capsule_is_exported():
    from astrovia.state import coe

    assert "astrovia.state.coe._C_API" in repr(coe._C_API)

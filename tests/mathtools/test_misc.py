import math

import numpy as np
import pytest

from astrovia.mathtools.misc import atan2_asymmetric


@pytest.mark.parametrize(
    "y,x,expected",
    [(0.0, 1.0, 0.0), (1.0, 0.0, math.pi / 2), (0.0, -1.0, math.pi), (-1.0, 0.0, 1.5 * math.pi),
     (-1e-300, 1.0, 0.0), (-0.0, 1.0, 0.0), (-1.0, -1.0, 1.25 * math.pi)],
)
def test_angle_in_zero_two_pi(y, x, expected):
    a = atan2_asymmetric(y, x)
    assert 0.0 <= a < 2 * math.pi
    assert a == pytest.approx(expected, abs=1e-15)


def test_arrays():
    ang = np.linspace(0, 2 * np.pi, 1000, endpoint=False)
    got = atan2_asymmetric(np.sin(ang), np.cos(ang))
    np.testing.assert_allclose(np.cos(got), np.cos(ang), atol=1e-14)
    assert np.all((got >= 0) & (got < 2 * np.pi))

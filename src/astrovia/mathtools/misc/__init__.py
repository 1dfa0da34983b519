"""Small mathematical helpers; ``atan2_asymmetric`` is native and exported
through the capsule ``_C_API`` (see ``misc.hpp``)."""

from typing import overload

import numpy as np
import numpy.typing as npt

from ._misc import _C_API, _atan2_asymmetric_1d  # type: ignore[attr-defined]  # noqa: F401
from ._misc import atan2_asymmetric as _atan2_scalar

__all__ = ["atan2_asymmetric"]


@overload
def atan2_asymmetric(y: float, x: float) -> float: ...
@overload
def atan2_asymmetric(y: npt.ArrayLike, x: npt.ArrayLike) -> float | npt.NDArray[np.float64]: ...
def atan2_asymmetric(y: npt.ArrayLike, x: npt.ArrayLike) -> float | npt.NDArray[np.float64]:
    """The angle [rad] of the point (x, y), in [0, 2 pi).

    Floats give a float; arrays (broadcast together) give a float64 array.
    """
    if np.ndim(y) == 0 and np.ndim(x) == 0:
        return _atan2_scalar(float(y), float(x))  # type: ignore[arg-type]
    yy, xx = np.broadcast_arrays(np.asarray(y, dtype=np.float64), np.asarray(x, dtype=np.float64))
    out = np.empty(yy.shape, dtype=np.float64)
    _atan2_asymmetric_1d(np.ascontiguousarray(yy).reshape(-1), np.ascontiguousarray(xx).reshape(-1), out.reshape(-1))
    return out

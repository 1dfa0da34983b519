"""Classical orbital elements: the Kepler solver.

``c_eca_from_mea`` is native and exported to other extension modules through
the capsule ``_C_API`` (see ``coe.hpp``); ``eca_from_mea`` applies it to floats
and arrays.
"""

from typing import overload

import numpy as np
import numpy.typing as npt

from ._coe import _C_API, _eca_from_mea_1d, c_eca_from_mea  # type: ignore[attr-defined]  # noqa: F401

__all__ = ["c_eca_from_mea", "eca_from_mea"]


@overload
def eca_from_mea(mea: float, ecc: float) -> float: ...
@overload
def eca_from_mea(mea: npt.ArrayLike, ecc: npt.ArrayLike) -> float | npt.NDArray[np.float64]: ...
def eca_from_mea(mea: npt.ArrayLike, ecc: npt.ArrayLike) -> float | npt.NDArray[np.float64]:
    """Eccentric anomaly E [rad] with E - ecc sin E = mea, for 0 <= ecc < 1.

    ``mea`` and ``ecc`` are floats or arrays (broadcast together); any finite
    mean anomaly is accepted and its whole revolutions are kept. Returns a float
    for float inputs, else a float64 array. Raises ValueError for ecc outside [0, 1).
    """
    if np.ndim(mea) == 0 and np.ndim(ecc) == 0:
        return c_eca_from_mea(float(mea), float(ecc))  # type: ignore[arg-type]
    m, e = np.broadcast_arrays(np.asarray(mea, dtype=np.float64), np.asarray(ecc, dtype=np.float64))
    bad = (e < 0.0) | (e >= 1.0)
    if np.any(bad):
        raise ValueError(f"ecc must be in [0, 1) for an elliptic orbit, not {e[bad].flat[0]!r}")
    out = np.empty(m.shape, dtype=np.float64)
    _eca_from_mea_1d(np.ascontiguousarray(m).reshape(-1), np.ascontiguousarray(e).reshape(-1), out.reshape(-1))
    return out

"""Type aliases used in the package's annotations."""

import datetime
from collections.abc import Sequence
from typing import Union

import numpy as np
import numpy.typing as npt

from astrovia.time.time import Time

DatetimeLike = Union[
    Time,
    str,
    datetime.datetime,
    datetime.date,
    np.datetime64,
    npt.NDArray[np.datetime64],
    npt.NDArray[np.int64],
    Sequence[Union[Time, str, datetime.datetime, datetime.date, np.datetime64]],
]
"""Anything ``Time(value)`` accepts without a format."""

__all__ = ["DatetimeLike"]

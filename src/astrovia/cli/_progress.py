"""Progress bars of the long commands: tqdm on stderr, with rate and time left.

Every command that runs for more than a moment draws its bar with ``progress``::

    with progress(len(items), unit="sat", desc="propagate", long=work >= THRESHOLD) as bar:
        for chunk in chunks:
            ...
            bar.update(len(chunk))

Nothing is drawn when the stream is not a terminal (a pipe, a file, a CI log)
or when the caller says the work is short, so output that is redirected or
parsed never carries bar text.
"""

from __future__ import annotations

import sys
from typing import IO

from tqdm import tqdm

__all__ = ["progress", "on_terminal"]


def on_terminal(stream: IO[str]) -> bool:
    """True when ``stream`` is an interactive terminal."""
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty and isatty())
    except ValueError:  # a closed stream
        return False


def progress(total: int, unit: str, desc: str | None = None, *, long: bool = True,
             stream: IO[str] | None = None) -> tqdm:
    """A tqdm bar of ``total`` steps counted in ``unit`` (e.g. "sat") on ``stream`` (default stderr).

    Shown only when the stream is a terminal and ``long`` is true; otherwise the
    returned bar is disabled and its ``update`` and ``close`` do nothing.
    """
    stream = sys.stderr if stream is None else stream
    return tqdm(total=total, unit=unit, desc=desc, file=stream, disable=not (long and on_terminal(stream)),
                leave=False, dynamic_ncols=True, mininterval=0.25, smoothing=0.1)

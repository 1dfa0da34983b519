"""``astrovia propagate``: SGP4 states of every satellite of a file over a time grid, as a table."""

from __future__ import annotations

import argparse
import math
import sys
from typing import IO, TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._tle import CommandError, group_by_satellite, latest, read_records, report_bad

if TYPE_CHECKING:
    import pandas as pd

    from astrovia.propagators.analytical.sgp4.tle import TLE
    from astrovia.time.time import Time

COLUMNS = ("satno", "epoch", "x", "y", "z", "vx", "vy", "vz", "error")
"""The table's columns: catalogue number, ISO 8601 UTC epoch, position [m], velocity [m/s], SGP4 error code."""

# States per batch of satellites: bounds the memory of a large catalogue run
# (about 100 MB of table per batch) and paces the progress bar.
_BATCH_STATES = 1_000_000
# Work below this many states finishes too quickly for a progress bar.
_PROGRESS_STATES = 2_000_000


def time_grid(start: str, stop: str, step: float) -> Time:
    """Epochs start, start + step, ... up to stop (included when on the grid, to 1 microsecond), in SI seconds."""
    from astrovia.time.time import Time

    try:
        t0, t1 = Time(start), Time(stop)
    except (TypeError, ValueError) as exc:
        raise CommandError(f"--start/--stop: {exc}") from None
    if not t0.isscalar or not t1.isscalar:
        raise CommandError("--start and --stop must be single epochs")
    if not (math.isfinite(step) and step > 0.0):
        raise CommandError(f"--step must be a positive number of seconds, not {step!r}")
    span = float(t1 - t0)
    if span < 0.0:
        raise CommandError("--stop is before --start")
    n = int(math.floor(span / step + 1e-6 / step)) + 1
    offsets_ns = np.rint(np.arange(n, dtype=np.float64) * (step * 1e9)).astype(np.int64)
    return Time(np.int64(t0.int64) + offsets_ns)


def _table(satnos: list[Any], iso: npt.NDArray[np.str_], r: npt.NDArray[np.float64], v: npt.NDArray[np.float64],
           err: npt.NDArray[np.int8]) -> pd.DataFrame:
    import pandas as pd

    m, n = err.shape
    if all(isinstance(s, (int, np.integer)) for s in satnos):
        satno: Any = np.repeat(np.asarray(satnos, dtype=np.int64), n)
    else:
        satno = np.repeat(np.asarray([str(s) for s in satnos], dtype=object), n)
    flat_r, flat_v = r.reshape(m * n, 3), v.reshape(m * n, 3)
    return pd.DataFrame({
        "satno": satno,
        "epoch": np.tile(iso, m),
        "x": flat_r[:, 0], "y": flat_r[:, 1], "z": flat_r[:, 2],
        "vx": flat_v[:, 0], "vy": flat_v[:, 1], "vz": flat_v[:, 2],
        "error": err.reshape(m * n),
    })


class _Progress:
    """A one-line progress bar on stderr, shown only on a terminal and for long work."""

    def __init__(self, total: int, states: int, stream: IO[str]) -> None:
        isatty = getattr(stream, "isatty", None)
        self.on = bool(isatty and isatty()) and states >= _PROGRESS_STATES
        self.total, self.done, self.stream = total, 0, stream

    def advance(self, k: int) -> None:
        self.done += k
        if self.on:
            width = 30
            filled = int(width * self.done / self.total)
            self.stream.write(f"\r[{'#' * filled}{' ' * (width - filled)}] {self.done}/{self.total} satellites")
            self.stream.flush()

    def close(self) -> None:
        if self.on:
            self.stream.write("\n")
            self.stream.flush()


class _Writer:
    """Writes the table batch by batch, as CSV (text) or Parquet (pyarrow)."""

    def __init__(self, fmt: str, output: str | None) -> None:
        self.fmt, self.output = fmt, output
        self.first = True
        self.parquet: Any = None
        self.csv: IO[str] | None = None
        if fmt == "parquet":
            if output is None:
                raise CommandError("parquet output needs --output PATH")
            try:
                import pyarrow  # noqa: F401
                import pyarrow.parquet  # noqa: F401
            except ImportError:
                raise CommandError("parquet output needs pyarrow (pip install pyarrow); CSV needs nothing extra") \
                    from None
        elif output is not None:
            try:
                self.csv = open(output, "w", encoding="utf-8", newline="")
            except OSError as exc:
                raise CommandError(f"cannot write {output}: {exc.strerror or exc}") from None

    def write(self, table: pd.DataFrame) -> None:
        if self.fmt == "parquet":
            import pyarrow as pa
            import pyarrow.parquet as pq

            batch = pa.Table.from_pandas(table, preserve_index=False)
            if self.parquet is None:
                self.parquet = pq.ParquetWriter(self.output, batch.schema)
            self.parquet.write_table(batch)
        else:
            stream = self.csv if self.csv is not None else sys.stdout
            table.to_csv(stream, header=self.first, index=False, lineterminator="\n")
        self.first = False

    def close(self) -> None:
        if self.parquet is not None:
            self.parquet.close()
        if self.csv is not None:
            self.csv.close()
        else:
            sys.stdout.flush()


def run(args: argparse.Namespace) -> int:
    if getattr(args, "model", "sgp4") == "numerical":
        from . import _numerical

        return _numerical.run(args)
    from astrovia.propagators.analytical.sgp4.sgp4 import SGP4

    fmt = args.format or ("parquet" if args.output and args.output.lower().endswith(".parquet") else "csv")
    time = time_grid(args.start, args.stop, args.step)
    records, errors, _, name = read_records(args.file, strict=False)
    report_bad(name, errors)
    tles: list[TLE] = [latest(e) for e in group_by_satellite(records)]
    if not tles:
        raise CommandError(f"no TLE records in {name}")

    writer = _Writer(fmt, args.output)
    n = time.size
    iso = np.atleast_1d(np.asarray(time.iso, dtype=str))
    batch = max(1, _BATCH_STATES // n)
    progress = _Progress(len(tles), len(tles) * n, sys.stderr)
    sgp4 = SGP4()
    try:
        for i in range(0, len(tles), batch):
            part = tles[i:i + batch]
            r, v, err = sgp4.propagate_many(time, part, frame=args.frame)
            writer.write(_table([t.satno for t in part], iso, r, v, err))
            progress.advance(len(part))
    finally:
        progress.close()
        writer.close()
    return 1 if errors else 0

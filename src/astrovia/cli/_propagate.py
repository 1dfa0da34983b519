"""``astrovia propagate``: SGP4 states of every satellite of a file over a time grid, as a table."""

from __future__ import annotations

import argparse
import math
import sys
from typing import IO, TYPE_CHECKING, Any, NamedTuple, Union

import numpy as np
import numpy.typing as npt

from ._progress import progress
from ._tle import CommandError, group_by_satellite, latest, read_records, report_bad

if TYPE_CHECKING:
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


class Labels(NamedTuple):
    """A text column held as its distinct texts and one integer code per row that picks one."""

    texts: list[str]
    codes: npt.NDArray[np.intp]


Column = Union[npt.NDArray[Any], Labels]


def _table(satnos: list[Any], iso: npt.NDArray[np.str_], r: npt.NDArray[np.float64], v: npt.NDArray[np.float64],
           err: npt.NDArray[np.int8]) -> dict[str, Column]:
    """The rows of m satellites at n epochs, satellite by satellite, as columns by name (in the table's order)."""
    m, n = err.shape
    if all(isinstance(s, (int, np.integer)) for s in satnos):
        satno: Column = np.repeat(np.asarray(satnos, dtype=np.int64), n)
    else:
        satno = Labels([str(s) for s in satnos], np.repeat(np.arange(m, dtype=np.intp), n))
    flat_r, flat_v = r.reshape(m * n, 3), v.reshape(m * n, 3)
    return {
        "satno": satno,
        "epoch": Labels([str(s) for s in iso], np.tile(np.arange(n, dtype=np.intp), m)),
        "x": flat_r[:, 0], "y": flat_r[:, 1], "z": flat_r[:, 2],
        "vx": flat_v[:, 0], "vy": flat_v[:, 1], "vz": flat_v[:, 2],
        "error": err.reshape(m * n),
    }


def _csv_field(text: str) -> str:
    """A CSV cell as the csv module and pandas quote it (only when it holds a comma, quote or line break)."""
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


GEODETIC_COLUMNS = ("satno", "epoch", "lat", "lon", "alt", "error")
"""With ``--frame geodetic``: geodetic latitude and longitude [deg] and height above WGS84 [m] instead of the state."""


def _geodetic_table(satnos: list[Any], iso: npt.NDArray[np.str_], r_itrf: npt.NDArray[np.float64],
                    err: npt.NDArray[np.int8]) -> dict[str, Column]:
    from astrovia.frames.geodetic import geodetic_from_ITRF

    table = _table(satnos, iso, r_itrf, r_itrf, err)
    lla = geodetic_from_ITRF(r_itrf.reshape(-1, 3))
    return {"satno": table["satno"], "epoch": table["epoch"], "lat": np.degrees(lla["lat"]),
            "lon": np.degrees(lla["lon"]), "alt": np.ascontiguousarray(lla["alt"]), "error": table["error"]}


def csv_pieces(table: dict[str, Column]) -> list[bytes]:
    """The rows of ``table`` as CSV text (no header), cell for cell the text of pandas' ``to_csv``, in
    consecutive pieces to be written in order."""
    from ._csv import format_rows

    return format_rows([(list(map(_csv_field, c.texts)), c.codes) if isinstance(c, Labels) else c
                        for c in table.values()])


def csv_rows(table: dict[str, Column]) -> bytes:
    """The rows of ``table`` as one CSV text (no header); see ``csv_pieces``."""
    return b"".join(csv_pieces(table))


def arrow_table(table: dict[str, Column]) -> Any:
    """``table`` as a pyarrow Table (text columns as strings, taken from their labels natively)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    arrays = [pc.take(pa.array(c.texts, type=pa.string()), pa.array(c.codes)) if isinstance(c, Labels)
              else pa.array(np.ascontiguousarray(c)) for c in table.values()]
    return pa.Table.from_arrays(arrays, names=list(table))


class _Writer:
    """Writes the table batch by batch, as CSV (text) or Parquet (pyarrow)."""

    def __init__(self, fmt: str, output: str | None) -> None:
        self.fmt, self.output = fmt, output
        self.first = True
        self.parquet: Any = None
        self.csv: IO[bytes] | None = None
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
                self.csv = open(output, "wb")
            except OSError as exc:
                raise CommandError(f"cannot write {output}: {exc.strerror or exc}") from None

    def _put(self, data: bytes) -> None:
        if self.csv is not None:
            self.csv.write(data)
            return
        buffer = getattr(sys.stdout, "buffer", None)
        if buffer is None:  # a text stream of the caller's (no bytes underneath)
            sys.stdout.write(data.decode())
        else:
            sys.stdout.flush()
            buffer.write(data)

    def write(self, table: dict[str, Column]) -> None:
        if self.fmt == "parquet":
            import pyarrow.parquet as pq

            batch = arrow_table(table)
            if self.parquet is None:
                self.parquet = pq.ParquetWriter(self.output, batch.schema)
            self.parquet.write_table(batch)
        else:
            if self.first:
                self._put((",".join(map(_csv_field, table)) + "\n").encode())
            for piece in csv_pieces(table):
                self._put(piece)
        self.first = False

    def close(self) -> None:
        if self.parquet is not None:
            self.parquet.close()
        if self.csv is not None:
            self.csv.close()
        else:
            getattr(sys.stdout, "buffer", sys.stdout).flush()


def run(args: argparse.Namespace) -> int:
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
    sgp4 = SGP4()
    try:
        with progress(len(tles), unit="sat", desc="propagate", long=len(tles) * n >= _PROGRESS_STATES) as bar:
            for i in range(0, len(tles), batch):
                part = tles[i:i + batch]
                if args.frame == "geodetic":
                    r, _, err = sgp4.propagate_many(time, part, frame="ITRF")
                    writer.write(_geodetic_table([t.satno for t in part], iso, r, err))
                else:
                    r, v, err = sgp4.propagate_many(time, part, frame=args.frame)
                    writer.write(_table([t.satno for t in part], iso, r, v, err))
                bar.update(len(part))
    finally:
        writer.close()
    return 1 if errors else 0

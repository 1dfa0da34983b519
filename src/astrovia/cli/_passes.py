"""``astrovia passes``: every pass of the satellites of a file over ground stations, as a table."""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any

import numpy as np

from ._tle import (CommandError, add_file_argument, add_window_arguments, group_by_satellite, read_records,
                   report_bad)

COLUMNS = ("satno", "station", "rise", "culmination", "set", "rise_azimuth", "culmination_azimuth", "set_azimuth",
           "max_elevation", "duration", "partial", "sunlit", "visible")
"""The table's columns; azimuths and the maximum elevation in degrees, times in UTC, the duration in seconds."""

# Satellites per call of the search: paces the progress bar (the result does not depend on it).
_BATCH = 100
# Satellite-days below this finish too quickly for a progress bar.
_PROGRESS_SATELLITE_DAYS = 2000.0


def add_parser(commands: Any) -> None:
    """The ``passes`` subcommand of the ``astrovia`` command."""
    p = commands.add_parser(
        "passes",
        help="passes of the satellites of a file over ground stations, as a table",
        description="Finds every pass of every satellite in FILE (its element-set history, each moment from "
                    "the TLE piecewise propagation uses; SGP4, WGS 72) over each station between START and "
                    "STOP, and writes one row per pass, sorted by rise: satno, station, rise, culmination, "
                    "set (UTC), the azimuths at rise, culmination and set and the maximum elevation [deg], "
                    "the duration [s], partial (cut by START or STOP), sunlit and visible (sunlit while the "
                    "Sun is at least 6 degrees below the station's horizon). Elevations are geometric (no "
                    "refraction).",
    )
    add_file_argument(p)
    p.add_argument("--station", action="append", required=True, metavar="LAT,LON[,ALT]",
                   help="a station: geodetic latitude and longitude [deg], height above WGS84 [m] (default 0); "
                        "repeat for more stations; a negative latitude as --station=-33.9,18.4")
    add_window_arguments(p)
    p.add_argument("--min-elevation", type=float, default=0.0, metavar="DEG",
                   help="the elevation mask of every station [deg] (default 0)")
    p.add_argument("--visible-only", action="store_true", help="keep only the passes that are visible")
    p.add_argument("--format", choices=("csv", "parquet"), default=None,
                   help="table format (default: parquet when PATH ends in .parquet, else csv); parquet needs "
                        "pyarrow")
    p.add_argument("--output", "-o", metavar="PATH", default=None, help="output file (default: stdout, CSV only)")
    p.add_argument("--plot", metavar="PNG", default=None,
                   help="also draw the passes on a sky plot (one per station) into this image; needs matplotlib")
    p.set_defaults(run=run)


def parse_station(text: str, mask_deg: float) -> Any:
    """A GroundStation from 'LAT,LON[,ALT]' (degrees, metres), named by the text itself."""
    from astrovia.groundstation import GroundStation

    parts = [p.strip() for p in text.split(",")]
    if len(parts) not in (2, 3):
        raise CommandError(f"--station must be LAT,LON or LAT,LON,ALT (degrees, metres), not {text!r}")
    try:
        values = [float(p) for p in parts]
    except ValueError:
        raise CommandError(f"--station must hold numbers (LAT,LON[,ALT]), not {text!r}") from None
    lat, lon = values[0], values[1]
    alt = values[2] if len(values) == 3 else 0.0
    if not all(math.isfinite(x) for x in values):
        raise CommandError(f"--station must hold finite numbers, not {text!r}")
    if not -90.0 <= lat <= 90.0:
        raise CommandError(f"--station latitude must lie in [-90, 90] degrees, not {lat!r}")
    try:
        return GroundStation(math.radians(lat), math.radians(lon), alt, name=text.strip(),
                             min_elevation=math.radians(mask_deg))
    except (TypeError, ValueError) as exc:
        raise CommandError(f"--station {text!r}: {exc}") from None


def _in_degrees(table: Any) -> Any:
    out = table.copy()
    for column in ("rise_azimuth", "culmination_azimuth", "set_azimuth", "max_elevation"):
        out[column] = np.degrees(out[column].to_numpy())
    return out


def run(args: argparse.Namespace) -> int:
    import pandas as pd
    from tqdm import tqdm

    from astrovia.events.searches import passes
    from astrovia.time.time import Time

    if not (math.isfinite(args.min_elevation) and -90.0 <= args.min_elevation <= 90.0):
        raise CommandError(f"--min-elevation must lie in [-90, 90] degrees, not {args.min_elevation!r}")
    stations = [parse_station(s, args.min_elevation) for s in args.station]
    names = [s.name for s in stations]
    if len(set(names)) != len(names):
        raise CommandError("each --station must be given once")
    try:
        start, stop = Time(args.start), Time(args.stop)
    except (TypeError, ValueError) as exc:
        raise CommandError(f"--start/--stop: {exc}") from None
    if not start.isscalar or not stop.isscalar:
        raise CommandError("--start and --stop must be single epochs")
    if stop < start:
        raise CommandError("--stop is before --start")
    fmt = args.format or ("parquet" if args.output and args.output.lower().endswith(".parquet") else "csv")
    if fmt == "parquet" and args.output is None:
        raise CommandError("parquet output needs --output PATH")
    if args.plot is not None:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise CommandError("--plot needs matplotlib: pip install 'astrovia[plot]'") from None

    records, errors, _, name = read_records(args.file, strict=False)
    report_bad(name, errors)
    satellites = group_by_satellite(records)
    if not satellites:
        raise CommandError(f"no TLE records in {name}")

    days = float(stop - start) / 86400.0
    show = sys.stderr.isatty() and len(satellites) * len(stations) * days >= _PROGRESS_SATELLITE_DAYS
    pieces = []
    with tqdm(total=len(satellites), unit="satellite", disable=not show, file=sys.stderr) as bar:
        for i in range(0, len(satellites), _BATCH):
            part = satellites[i:i + _BATCH]
            pieces.append(passes(part, stations, start, stop))
            bar.update(len(part))
    table = pd.concat(pieces, ignore_index=True) if len(pieces) > 1 else pieces[0]
    # One order for any batching: by rise, then satellite and station.
    table = table.sort_values(["rise", "satno", "station"], kind="stable", ignore_index=True)
    if args.visible_only:
        table = table[table["visible"]].reset_index(drop=True)
    out = _in_degrees(table)
    if fmt == "parquet":
        try:
            out.to_parquet(args.output, index=False)
        except ImportError:
            raise CommandError("parquet output needs pyarrow (pip install pyarrow); CSV needs nothing extra") \
                from None
        except OSError as exc:
            raise CommandError(f"cannot write {args.output}: {exc.strerror or exc}") from None
    else:
        text = out.to_csv(index=False, lineterminator="\n", date_format="%Y-%m-%dT%H:%M:%S.%f")
        if args.output is None:
            sys.stdout.write(text)
            sys.stdout.flush()
        else:
            try:
                with open(args.output, "w", encoding="utf-8", newline="") as f:
                    f.write(text)
            except OSError as exc:
                raise CommandError(f"cannot write {args.output}: {exc.strerror or exc}") from None
    if args.plot is not None:
        _plot(table, satellites, stations, args.plot)
    return 1 if errors else 0


def _plot(table: Any, satellites: Any, stations: Any, path: str) -> None:
    from matplotlib.figure import Figure

    from astrovia.plot import sky_plot

    fig = Figure(figsize=(5.5 * len(stations), 5.5))
    for k, st in enumerate(stations):
        ax = fig.add_subplot(1, len(stations), k + 1, projection="polar")
        mine = table[table["station"] == st.name]
        sky_plot(mine, satellites=satellites, stations=[st], ax=ax, title=st.name, legend=len(mine) <= 12)
    try:
        fig.savefig(path, dpi=80, bbox_inches="tight")
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None

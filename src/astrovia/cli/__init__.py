"""The ``astrovia`` command line (also ``python -m astrovia``).

Subcommands:

- ``astrovia tle FILE [--strict]``: every satellite's element-set history and
  its latest TLE, as framed text. Bad records go to stderr with their line
  numbers; the rest is still printed. Exit status 1 when any record was bad.
- ``astrovia propagate FILE --start T --stop T --step SECONDS``: SGP4 states of
  every satellite over a time grid, as a CSV or Parquet table; with
  ``--model numerical``, the numerical propagator's (force options, or a CSV
  of initial states).
- ``astrovia screen FILE --start T --stop T [--threshold M] [--primary SATNO ...]``:
  the conjunctions of the satellites of FILE, as a CSV or Parquet table.
- ``astrovia passes FILE --station LAT,LON[,ALT] --start T --stop T``: every
  pass of every satellite over the stations, as a CSV or Parquet table.

The work is done by the package's modules; this module parses arguments and
writes output. Exit status 2 is a usage error or an unreadable file.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from astrovia import __version__

from . import _numerical, _passes, _propagate, _screen, _tle

__all__ = ["main", "build_parser"]


def _run_propagate(args: argparse.Namespace) -> int:
    """``astrovia propagate``: SGP4 by default, the numerical propagator with ``--model numerical``."""
    if getattr(args, "model", "sgp4") == "numerical":
        return _numerical.run(args)
    return _propagate.run(args)


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``astrovia`` command, with its subcommands."""
    parser = argparse.ArgumentParser(
        prog="astrovia",
        description="Two-line element sets and SGP4 propagation from the command line.",
        epilog="Run 'astrovia COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"astrovia {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    tle = commands.add_parser(
        "tle",
        help="print the element sets of a TLE or OMM file",
        description="Reads a TLE file (two- or three-line) or an OMM file (JSON or CSV) and prints, for each "
                    "satellite, its element-set history (ELSET) and its latest TLE as framed text. A bad "
                    "record is reported on stderr with its line number; the others are still printed. "
                    "Exit status: 0 when every record was read, 1 when any was bad, 2 when the file "
                    "cannot be read.",
    )
    _tle.add_file_argument(tle)
    tle.add_argument("--strict", action="store_true",
                     help="check each line's format and checksum (TLE text only); failing records are bad")
    tle.set_defaults(run=_tle.run)

    prop = commands.add_parser(
        "propagate",
        help="SGP4 positions and velocities over a time grid, as a table",
        description="Propagates the latest TLE of every satellite in FILE with SGP4 (WGS 72, improved mode) "
                    "to the epochs START, START + STEP, ... up to STOP (included when on the grid), and "
                    "writes one row per satellite and epoch: satno, epoch (ISO 8601, UTC), x, y, z [m], "
                    "vx, vy, vz [m/s] and the model's error code (0: none; the state is NaN otherwise).",
    )
    _tle.add_file_argument(prop)
    prop.add_argument("--start", required=True, metavar="T", help="first epoch, ISO 8601 UTC (e.g. 2024-01-01T00:00)")
    prop.add_argument("--stop", required=True, metavar="T", help="last epoch, ISO 8601 UTC")
    prop.add_argument("--step", required=True, type=float, metavar="SECONDS", help="grid spacing in seconds (> 0)")
    prop.add_argument("--frame", default="TEME", choices=("TEME", "ITRF", "GCRF", "geodetic"),
                      help="output frame (default: TEME, the frame of the model); geodetic: lat, lon [deg] "
                           "and alt [m] on WGS84 instead of x .. vz")
    prop.add_argument("--format", choices=("csv", "parquet"), default=None,
                      help="table format (default: parquet when PATH ends in .parquet, else csv); "
                           "parquet needs pyarrow")
    prop.add_argument("--output", "-o", metavar="PATH", default=None,
                      help="output file (default: stdout, CSV only)")
    _numerical.add_arguments(prop)
    prop.set_defaults(run=_run_propagate)

    scr = commands.add_parser(
        "screen",
        help="close approaches between the satellites of a file, as a table",
        description="Screens the latest TLE before START of every satellite in FILE (SGP4, WGS 72, improved "
                    "mode) for conjunctions between START and STOP: every local minimum of the distance of two "
                    "objects under the threshold. One row per conjunction, sorted by the time of closest "
                    "approach: satno_1, satno_2, tca (ISO 8601 UTC), miss_distance [m], relative_speed [m/s], "
                    "radial, in_track, cross_track [m] (object 2 in object 1's frame, TEME). Progress on stderr "
                    "when it is a terminal.",
    )
    _tle.add_file_argument(scr)
    _tle.add_window_arguments(scr)
    scr.add_argument("--threshold", type=float, default=5000.0, metavar="M",
                     help="miss distance under which an approach is reported [m] (default 5000)")
    scr.add_argument("--primary", nargs="+", metavar="SATNO", default=None,
                     help="screen only these catalogue numbers against all (default: all pairs)")
    scr.add_argument("--output", "-o", metavar="F.csv|F.parquet", default=None,
                     help="output file (default: CSV on stdout); .parquet needs pyarrow")
    scr.set_defaults(run=_screen.run)
    _passes.add_parser(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line with ``argv`` (default ``sys.argv[1:]``); returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except _tle.CommandError as exc:
        print(f"astrovia {args.command}: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:  # the reader went away (piped into head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    return status

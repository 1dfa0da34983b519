"""``astrovia propagate --model numerical``: the numerical propagator's states over a time grid, as a table.

The initial states are each satellite's SGP4 state at the window's start,
converted to the GCRF (from a TLE or OMM file), or the rows of a CSV of states
with the columns ``epoch, x, y, z, vx, vy, vz`` (ISO 8601 UTC, m, m/s; optional
``frame``: GCRF, ITRF or TEME, default GCRF; optional ``satno`` or ``name``).
"""

from __future__ import annotations

import argparse
import csv
import io
import math
import sys
from typing import Any

import numpy as np

from ._tle import CommandError, _source_text, group_by_satellite, latest, read_records, report_bad

STATE_COLUMNS = ("epoch", "x", "y", "z", "vx", "vy", "vz")
# Satellites per call of propagate_many: paces the progress bar.
_BATCH = 16


def add_arguments(prop: argparse.ArgumentParser) -> None:
    """The model and force options of ``astrovia propagate``."""
    group = prop.add_argument_group("numerical model (with --model numerical)")
    prop.add_argument("--model", choices=("sgp4", "numerical"), default="sgp4",
                      help="sgp4 (default), or numerical: the force model below, integrated from each satellite's "
                           "SGP4 state at START (TLE or OMM input) or from the states of a CSV "
                           "(columns epoch, x, y, z, vx, vy, vz [m, m/s], optional frame and satno)")
    group.add_argument("--gravity", default="EGM2008", metavar="MODEL",
                       help="'point', 'EGM2008' (shipped, to 70x70; default) or an ICGEM .gfc file")
    group.add_argument("--degree", type=int, default=20, help="degree of the field (default 20)")
    group.add_argument("--order", type=int, default=None, help="order of the field (default: the degree)")
    group.add_argument("--third-bodies", default="sun,moon", metavar="LIST",
                       help="comma-separated: sun, moon, or 'none' (default sun,moon)")
    group.add_argument("--drag", type=float, default=None, metavar="A/M",
                       help="atmospheric drag with this area-to-mass ratio [m^2/kg] (default: none)")
    group.add_argument("--cd", type=float, default=2.2, help="drag coefficient (default 2.2)")
    group.add_argument("--atmosphere", choices=("harris-priester",), default="harris-priester",
                       help="atmosphere of the drag (default harris-priester)")
    group.add_argument("--srp", type=float, default=None, metavar="A/M",
                       help="solar radiation pressure with this area-to-mass ratio [m^2/kg] (default: none)")
    group.add_argument("--cr", type=float, default=1.3, help="radiation pressure coefficient (default 1.3)")
    group.add_argument("--rtol", type=float, default=1e-12, help="integrator tolerance per step (default 1e-12)")


def make_propagator(args: argparse.Namespace) -> Any:
    from astrovia.propagators.numerical import SRP, Drag, HarrisPriester, Numerical

    bodies = () if args.third_bodies.strip().lower() in ("", "none") else \
        tuple(b.strip() for b in args.third_bodies.split(","))
    try:
        drag = None if args.drag is None else Drag(args.drag, cd=args.cd, atmosphere=HarrisPriester())
        srp = None if args.srp is None else SRP(args.srp, cr=args.cr)
        return Numerical(gravity=args.gravity, degree=args.degree,
                         order=args.degree if args.order is None else args.order, third_bodies=bodies, drag=drag,
                         srp=srp, rtol=args.rtol)
    except (TypeError, ValueError) as exc:
        raise CommandError(str(exc)) from None


def _is_state_csv(text: str) -> bool:
    first = text.lstrip().splitlines()[0] if text.strip() else ""
    names = {c.strip().lower() for c in first.split(",")}
    return set(STATE_COLUMNS) <= names


def _read_states(text: str, name: str) -> tuple[list[Any], list[Any]]:
    from astrovia.frames import frames
    from astrovia.state.state import StateVector

    reader = csv.DictReader(io.StringIO(text))
    states, labels = [], []
    for line, row in enumerate(reader, start=2):
        row = {k.strip().lower(): (v or "").strip() for k, v in row.items() if k is not None}
        try:
            values = [float(row[c]) for c in STATE_COLUMNS[1:]]
            if not all(math.isfinite(x) for x in values):
                raise ValueError("a value is not finite")
            frame_name = (row.get("frame") or "GCRF").upper()
            if frame_name not in ("GCRF", "ITRF", "TEME"):
                raise ValueError(f"frame must be GCRF, ITRF or TEME, not {frame_name!r}")
            states.append(StateVector(row["epoch"], values[:3], values[3:], frame=getattr(frames, frame_name)))
        except (KeyError, TypeError, ValueError) as exc:
            raise CommandError(f"{name}, line {line}: {exc}") from None
        label = row.get("satno") or row.get("name") or str(len(labels) + 1)
        labels.append(int(label) if label.isdigit() else label)
    if not states:
        raise CommandError(f"no states in {name}")
    return states, labels


def _initial_states(args: argparse.Namespace, start: Any) -> tuple[list[Any], list[Any], bool]:
    from astrovia.frames.frames import GCRF
    from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
    from astrovia.state.state import StateVector

    text, name = _source_text(args.file)
    if _is_state_csv(text):
        states, labels = _read_states(text, name)
        return states, labels, False
    if args.file == "-":
        sys.stdin = io.StringIO(text)  # already read: the TLE reader reads it again
    records, errors, _, name = read_records(args.file, strict=False)
    report_bad(name, errors)
    tles = [latest(e) for e in group_by_satellite(records)]
    if not tles:
        raise CommandError(f"no TLE records in {name}")
    r, v, err = SGP4().propagate_many(start, tles, frame="GCRF")
    states, labels = [], []
    for k, t in enumerate(tles):
        if err[k, 0] != 0:
            print(f"astrovia propagate: satellite {t.satno}: SGP4 error {int(err[k, 0])} at --start; skipped",
                  file=sys.stderr)
            continue
        states.append(StateVector(start, r[k, 0], v[k, 0], frame=GCRF))
        labels.append(t.satno)
    if not states:
        raise CommandError("no satellite has an SGP4 state at --start")
    return states, labels, bool(errors)


def run(args: argparse.Namespace) -> int:
    from tqdm import tqdm

    from astrovia.frames import frames

    from ._propagate import _table, _Writer, time_grid

    fmt = args.format or ("parquet" if args.output and args.output.lower().endswith(".parquet") else "csv")
    time = time_grid(args.start, args.stop, args.step)
    propagator = make_propagator(args)
    states, labels, bad = _initial_states(args, time[0])
    writer = _Writer(fmt, args.output)
    iso = np.atleast_1d(np.asarray(time.iso, dtype=str))
    frame = getattr(frames, args.frame)
    # A bar on a terminal only: the table may be going to stdout.
    bar = tqdm(total=len(states), unit="satellite", disable=not sys.stderr.isatty() or len(states) < 2,
               file=sys.stderr)
    try:
        for i in range(0, len(states), _BATCH):
            part = states[i:i + _BATCH]
            r, v, status = propagator.propagate_many(time, part, frame=frame)
            writer.write(_table(labels[i:i + _BATCH], iso, r, v, status))
            bar.update(len(part))
    finally:
        bar.close()
        writer.close()
    return 1 if bad else 0

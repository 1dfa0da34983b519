"""``astrovia screen``: the conjunctions of every pair of satellites of a file (or of primaries with all)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ._tle import CommandError, group_by_satellite, read_records, report_bad


def _int_or_text(value: str) -> Any:
    try:
        return int(value)
    except ValueError:
        return value


def run(args: argparse.Namespace) -> int:
    from astrovia.conjunctions import screen
    from astrovia.time.time import Time

    fmt = "parquet" if args.output and args.output.lower().endswith(".parquet") else "csv"
    try:
        start, stop = Time(args.start), Time(args.stop)
    except (TypeError, ValueError) as exc:
        raise CommandError(f"--start/--stop: {exc}") from None
    records, errors, _, name = read_records(args.file, strict=False)
    report_bad(name, errors)
    elsets = group_by_satellite(records)
    if not elsets:
        raise CommandError(f"no TLE records in {name}")
    if fmt == "parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise CommandError("parquet output needs pyarrow (pip install pyarrow); CSV needs nothing extra") from None
    primaries = [_int_or_text(p) for p in args.primary] if args.primary else None
    isatty = getattr(sys.stderr, "isatty", None)
    try:
        table = screen(elsets, start, stop, args.threshold, primaries=primaries,
                       progress=bool(isatty and isatty()))
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    table = table.assign(tca=table["tca"].dt.strftime("%Y-%m-%dT%H:%M:%S.%f"))
    if fmt == "parquet":
        table.to_parquet(args.output, index=False)
    elif args.output:
        try:
            table.to_csv(args.output, index=False, lineterminator="\n")
        except OSError as exc:
            raise CommandError(f"cannot write {args.output}: {exc.strerror or exc}") from None
    else:
        table.to_csv(sys.stdout, index=False, lineterminator="\n")
    return 1 if errors else 0

"""``astrovia tle``: reading TLE/OMM files for the command line, and printing them framed."""

from __future__ import annotations

import argparse
import io
import os
import pathlib
import re
import sys
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE

# ECMA-48 select-graphic-rendition sequences, as the framed text uses them
_SGR = re.compile(r"\x1b\[[0-9;]*m")


class CommandError(Exception):
    """A failure the command reports in one line with exit status 2 (bad usage, unreadable file)."""


def strip_colour(text: str) -> str:
    """``text`` without its ECMA-48 colour and bold sequences."""
    return _SGR.sub("", text)


def wants_colour(stream: IO[str]) -> bool:
    """Colour only on a terminal, and not when the NO_COLOR convention asks for none."""
    if os.environ.get("NO_COLOR"):
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def _source_text(path: str) -> tuple[str, str]:
    """(text, name) of FILE, '-' being stdin."""
    if path == "-":
        return sys.stdin.read(), "<stdin>"
    try:
        with open(path, encoding="utf-8", errors="replace", newline="") as f:
            return f.read(), path
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None


def is_omm(text: str, name: str) -> bool:
    """Whether the text is OMM (JSON, or CSV with the OMM keys as its header) rather than TLE lines."""
    lower = name.lower()
    if lower.endswith((".json", ".csv")):
        return True
    head = text.lstrip("\ufeff \t\r\n")[:1]
    if head in ("[", "{"):
        return True
    first = text.lstrip("\ufeff").split("\n", 1)[0]
    return "NORAD_CAT_ID" in first and "," in first


def add_file_argument(parser: argparse.ArgumentParser) -> None:
    """The FILE argument of every command that reads element sets (``read_records`` reads it)."""
    parser.add_argument("file", metavar="FILE", help="TLE text, OMM JSON or OMM CSV ('-' for stdin)")


def add_window_arguments(parser: argparse.ArgumentParser) -> None:
    """``--start`` and ``--stop``, the window of a search."""
    parser.add_argument("--start", required=True, metavar="T", help="start of the window, ISO 8601 UTC")
    parser.add_argument("--stop", required=True, metavar="T", help="end of the window, ISO 8601 UTC")


def read_records(path: str, strict: bool) -> tuple[list[TLE], list[tuple[int, str]], bool, str]:
    """The good records of FILE in file order, the bad ones as (line number, reason), whether it was OMM, its name.

    Nothing that can be read is dropped because another record is bad.
    """
    from astrovia.propagators.analytical.sgp4 import tle as tle_module

    text, name = _source_text(path)
    omm = is_omm(text, name)
    try:
        if omm:
            # the reader tells JSON from CSV by the file name where there is one
            source: Any = pathlib.Path(path) if path != "-" else io.StringIO(text)
            records = tle_module.read_omm(source, errors="raise")
        else:
            records = tle_module.read_tles(io.StringIO(text), strict=strict, errors="raise")
        return list(records), [], omm, name
    except tle_module.TLEReadError as exc:
        return list(exc.records), [(int(n), str(r)) for n, r in exc.errors], omm, name
    except (ValueError, UnicodeError) as exc:
        # the file as a whole cannot be read (e.g. malformed JSON)
        raise CommandError(f"cannot read {name}: {exc}") from None


def group_by_satellite(records: list[TLE]) -> list[ELSET]:
    """One ``ELSET`` per catalogue number, in order of first appearance, named by the latest name given."""
    from astrovia.propagators.analytical.sgp4.tle import ELSET

    groups: dict[Any, list[TLE]] = {}
    for t in records:
        groups.setdefault(t.satno, []).append(t)
    elsets = []
    for members in groups.values():
        names = [n for n in (getattr(t, "name", None) for t in members) if n]
        elsets.append(ELSET(*members, satname=names[-1] if names else None))
    return elsets


def latest(elset: ELSET) -> TLE:
    """The member with the latest epoch (an ELSET is sorted by epoch)."""
    member: TLE = elset[elset.size - 1]
    return member


def report_bad(name: str, errors: list[tuple[int, str]]) -> None:
    for line, reason in errors:
        print(f"{name}:{line}: {reason}", file=sys.stderr)


def run(args: argparse.Namespace) -> int:
    records, errors, _, name = read_records(args.file, args.strict)
    colour = wants_colour(sys.stdout)
    out = []
    for elset in group_by_satellite(records):
        for item in (elset, latest(elset)):
            text = str(item)
            out.append(text if colour else strip_colour(text))
    if out:
        sys.stdout.write("\n\n".join(out) + "\n")
    sys.stdout.flush()
    report_bad(name, errors)
    if errors:
        print(f"{name}: {len(errors)} bad record{'s' if len(errors) != 1 else ''}, {len(records)} read",
              file=sys.stderr)
    return 1 if errors else 0

"""Time of str() of a TLE-shaped Representable: two lines, a form and two six-row tables.

Baseline: the same pieces made with pandas directly (two DataFrame.to_string calls
and a hand-formatted form), without settings lookups or styling, i.e. the floor
that pandas sets. Prints milliseconds per str() and the ratio. Nothing is cached
by design, so every str() re-reads settings.json for each option it consults.
"""

import sys

from _common import timings

import pandas as pd

from astrovia.utils.representable import Representable

ROWS_ORBITAL = ["ecc", "sma", "inc", "raa", "arp", "tra"]
ROWS_DERIVED = ["orp", "mnm", "mea", "eca", "pge", "apg"]
LINE1 = "1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9005"
LINE2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391428903"


def table(rows):
    si = {k: f"{i * 1234.5678:.3f} m" for i, k in enumerate(rows)}
    op = {k: f"{i * 1.2345678:.3f} km" for i, k in enumerate(rows)}
    return {"SI units": si, "Op. units": op}


ORBITAL, DERIVED = table(ROWS_ORBITAL), table(ROWS_DERIVED)
FORM = {"epoch": "2024-01-01 12:00:00.000 UTC", "frame": "TEME"}


class TLEShaped(Representable):
    def _get_header(self):
        return "Two-line Elements (TLE)"

    def _get_body(self):
        R = Representable
        return (
            f"{LINE1}\n{LINE2}\n{{fence}}\n{R._create_formatted_form(FORM)}\n{{fence}}\n"
            f"{R._format_as_property('Orbital Elements:')}\n{R._create_formatted_frame(ORBITAL)}\n{{fence}}\n"
            f"{R._format_as_property('Derived Elements:')}\n{R._create_formatted_frame(DERIVED)}"
        )


def baseline():
    form = "\n".join(f"{k}:{' ' * (9 - len(k))}{v}" for k, v in FORM.items())
    orbital = pd.DataFrame(ORBITAL).astype(str).to_string()
    derived = pd.DataFrame(DERIVED).astype(str).to_string()
    rule = "=" * 69
    return "\n".join([rule, "Two-line Elements (TLE)", rule, LINE1, LINE2, form, orbital, derived, rule, ""])


def median_ms(fn, repeats=7, inner=50):
    fn()
    return timings(fn, repeats=repeats, number=inner).wall[0] * 1e3


def main():
    obj = TLEShaped()
    project = median_ms(lambda: str(obj))
    floor = median_ms(baseline)
    print(
        f"representable str() of a form + two 6-row tables: {project:.3f} ms; pandas-only baseline {floor:.3f} ms; "
        f"ratio {project / floor:.2f} (python {sys.version.split()[0]}, pandas {pd.__version__})"
    )


if __name__ == "__main__":
    main()

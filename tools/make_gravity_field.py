"""Write the gravity field shipped with astrovia.propagators.numerical, once, as an ICGEM file.

The package ships EGM2008 to degree and order 70
(src/astrovia/propagators/numerical/data/EGM2008_70.gfc). Its coefficients
come from the EGM2008 table that heyoka distributes
(``heyoka.model.get_egm2008_CS()``, fully normalised, tide-free, degrees 2 to
150, with ``get_egm2008_mu()`` and ``get_egm2008_a()``): no network is needed.

    python tools/make_gravity_field.py [--degree 70] [--output PATH]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import heyoka as hy

DEFAULT = Path(__file__).resolve().parents[1] / "src/astrovia/propagators/numerical/data/EGM2008_70.gfc"


def write_icgem(path: Path, degree: int) -> None:
    cs = hy.model.get_egm2008_CS()
    mu, a = hy.model.get_egm2008_mu(), hy.model.get_egm2008_a()
    lines = [
        "EGM2008 to degree and order %d, from heyoka.model.get_egm2008_CS() (heyoka %s)" % (degree, hy.__version__),
        "begin_of_head",
        "product_type            gravity_field",
        "modelname               EGM2008",
        f"earth_gravity_constant  {mu!r}",
        f"radius                  {a!r}",
        f"max_degree              {degree}",
        "errors                  no",
        "norm                    fully_normalized",
        "tide_system             tide_free",
        "",
        "key    L    M         C                        S",
        "end_of_head",
        f"gfc    0    0  {1.0:.15e}  {0.0:.15e}",
    ]
    row = 0
    for n in range(2, degree + 1):
        for m in range(n + 1):
            c, s = cs[row]
            row += 1
            lines.append(f"gfc {n:4d} {m:4d} {c: .15e} {s: .15e}")
    path.write_text("\n".join(lines) + "\n", encoding="ascii")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--degree", type=int, default=70)
    parser.add_argument("--output", type=Path, default=DEFAULT)
    args = parser.parse_args()
    write_icgem(args.output, args.degree)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()

"""Conjunction screening: a small synthetic catalogue (tools/make_catalogue.py at 1/20 scale, about
1500 objects shaped like today's catalogue) screened all-versus-all for six hours at 5 km, then one of
its satellites against all of it for a day; prints the closest approaches.
"""

import importlib.util
import time as clock
from pathlib import Path

from astrovia.conjunctions import screen
from astrovia.propagators.analytical.sgp4.tle import TLE

TOOL = Path(__file__).resolve().parents[1] / "tools" / "make_catalogue.py"


def small_catalogue(scale: float = 0.05) -> list[TLE]:
    spec = importlib.util.spec_from_file_location("make_catalogue", TOOL)
    assert spec is not None and spec.loader is not None
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    return [TLE(a, b) for _, a, b in tool.catalogue(scale)]


def main() -> None:
    tles = small_catalogue()
    t0 = clock.perf_counter()
    table = screen(tles, "2024-01-01T00:00", "2024-01-01T06:00", threshold=5000.0)
    print(f"{len(tles)} objects, 6 h, all pairs: {len(table)} conjunctions under 5 km "
          f"({clock.perf_counter() - t0:.1f} s)")
    print(table.nsmallest(5, "miss_distance").round(1).to_string(index=False))
    primary = tles[0].satno
    t0 = clock.perf_counter()
    one = screen(tles, "2024-01-01", "2024-01-02", threshold=5000.0, primaries=[primary])
    print(f"satellite {primary} against all, 24 h: {len(one)} conjunctions ({clock.perf_counter() - t0:.1f} s)")


if __name__ == "__main__":
    main()

"""Two-line elements: one TLE and the element-set history of one satellite, as framed text.

Reads examples/data/sample.tle (name line, line 1, line 2 per satellite) and prints
the first ISS element set, then an ELSET of all ISS element sets and a time-range
selection of it.
"""

from pathlib import Path

from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE

SAMPLE = Path(__file__).parent / "data" / "sample.tle"


def read_tles(path: Path) -> dict[str, list[TLE]]:
    """{name: [TLE, ...]} from a file of three-line records."""
    lines = [line.rstrip("\n") for line in path.read_text().splitlines() if line.strip()]
    records: dict[str, list[TLE]] = {}
    for name, line1, line2 in zip(lines[0::3], lines[1::3], lines[2::3]):
        records.setdefault(name.strip(), []).append(TLE(line1, line2, strict_validation=True))
    return records


def main() -> None:
    records = read_tles(SAMPLE)
    iss = records["ISS (ZARYA)"]
    print(iss[0])

    history = ELSET(*iss, satname="ISS (ZARYA)")
    print(history)
    print("epochs:", history.epoch)
    print("semi-major axes [km]:", (history.sma / 1000.0).round(3))
    window = history["2024-01-02":"2024-01-04"]
    print(f"{window.size} element sets from 2024-01-02 (included) to 2024-01-04 (excluded):")
    for earlier, later in window.pairwise():
        print(f"  {earlier.epoch.utc!r} -> {later.epoch.utc!r}: {later.epoch - earlier.epoch:.0f} s")


if __name__ == "__main__":
    main()

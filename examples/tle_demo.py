"""Two-line elements: a catalogue read into element-set histories, printed as framed text.

Reads examples/data/sample.tle (name line, line 1, line 2 per record) with read_elsets,
prints the first ISS element set, the ISS history and a time-range selection of it, then
reads the same records as OMM JSON (examples/data/sample_omm.json) and writes them back
as three-line text.
"""

from pathlib import Path

from astrovia.propagators.analytical.sgp4.tle import read_elsets, read_omm, write_tles

DATA = Path(__file__).parent / "data"


def main():
    elsets = read_elsets(DATA / "sample.tle", strict=True)
    print("catalogue numbers:", list(elsets), "duplicates dropped:", len(elsets.duplicates))
    history = elsets[25544]
    print(history[0])
    print(history)
    print("epochs:", history.epoch)
    print("semi-major axes [km]:", (history.sma / 1000.0).round(3))
    window = history["2024-01-02":"2024-01-04"]
    print(f"{window.size} element sets from 2024-01-02 (included) to 2024-01-04 (excluded):")
    for earlier, later in window.pairwise():
        print(f"  {earlier.epoch.utc!r} -> {later.epoch.utc!r}: {later.epoch - earlier.epoch:.0f} s")

    from_omm = read_omm(DATA / "sample_omm.json")
    print(f"{len(from_omm)} records from OMM JSON; the HST ones as three-line text:")
    print(write_tles([t for t in from_omm if t.satno == 20580]), end="")


if __name__ == "__main__":
    main()

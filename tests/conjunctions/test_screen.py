"""astrovia.conjunctions.screen against a brute-force search on the sgp4 package (conftest.Oracle)."""

import math

import numpy as np
import pandas as pd
import pytest

from astrovia.conjunctions import COLUMNS, screen
from astrovia.propagators.analytical.sgp4.tle import ELSET, TLE, read_elsets
from astrovia.time.time import Time

from .conftest import RE, START, Oracle, lines, tles_of

STOP_3H = "2024-01-01T03:00"


def seconds_from_start(table, offset=0.0):
    ns = table["tca"].to_numpy().astype("datetime64[ns]").astype(np.int64)
    start = np.datetime64("2024-01-01T00:00", "ns").astype(np.int64)
    return (ns - start) / 1e9 - offset


def assert_matches(table, oracle, offset=0.0):
    """Every oracle conjunction once, and nothing else, with its values."""
    assert list(table.columns) == list(COLUMNS)
    t = seconds_from_start(table, offset)
    got = {}
    for k, row in enumerate(table.itertuples(index=False)):
        got.setdefault((row.satno_1, row.satno_2), []).append((t[k], row))
    expected = {}
    for row in oracle.rows:
        key = (min(row["satno_1"], row["satno_2"]), max(row["satno_1"], row["satno_2"]))
        if key != (row["satno_1"], row["satno_2"]):
            row = oracle.flipped(row)
        expected.setdefault(key, []).append(row)
    assert sorted(got) == sorted(expected)
    for key, rows in expected.items():
        mine = sorted(got[key], key=lambda x: x[0])
        rows = sorted(rows, key=lambda r: r["t"])
        assert len(mine) == len(rows), key
        for (tca, row), ref in zip(mine, rows):
            assert abs(tca - ref["t"]) < 1e-3, key
            assert row.miss_distance == pytest.approx(ref["miss_distance"], abs=1.0)
            assert row.relative_speed == pytest.approx(ref["relative_speed"], abs=1e-3)
            for axis in ("radial", "in_track", "cross_track"):
                assert getattr(row, axis) == pytest.approx(ref[axis], abs=1.0), (key, axis)
    # Nothing the oracle's own states put over the threshold.
    assert (table["miss_distance"] < oracle.threshold * 1000.0).all()


def test_packed_shell_matches_the_brute_force(packed_shell):
    pairs, oracle = packed_shell
    assert len(oracle.rows) > 100
    table = screen(tles_of(pairs), START, STOP_3H, 5000.0)
    assert_matches(table, oracle)
    assert table["tca"].is_monotonic_increasing
    assert str(table["tca"].dtype) == "datetime64[ns]"
    assert (table["satno_1"] < table["satno_2"]).all()


def test_thread_counts_and_input_order_give_equal_tables(packed_shell):
    pairs, _ = packed_shell
    one = screen(tles_of(pairs), START, STOP_3H, 5000.0, threads=1)
    two = screen(tles_of(pairs[::-1]), START, STOP_3H, 5000.0, threads=2)
    pd.testing.assert_frame_equal(one, two, check_exact=True)


def test_primaries_are_screened_against_everything(packed_shell):
    pairs, oracle = packed_shell
    counts = {}
    for row in oracle.rows:
        for s in (row["satno_1"], row["satno_2"]):
            counts[s] = counts.get(s, 0) + 1
    primaries = sorted(counts, key=counts.get)[-3:]
    table = screen(tles_of(pairs), START, STOP_3H, 5000.0, primaries=primaries)
    expected = [r for r in oracle.rows if r["satno_1"] in primaries or r["satno_2"] in primaries]
    assert len(table) == len(expected) > 0
    assert table["satno_1"].isin(primaries).all()
    # Every row seen from its primary (a pair of two primaries: from the lower number).
    t = seconds_from_start(table)
    for k, row in enumerate(table.itertuples(index=False)):
        ref = min((r for r in expected if {r["satno_1"], r["satno_2"]} == {row.satno_1, row.satno_2}),
                  key=lambda r: abs(r["t"] - t[k]))
        if ref["satno_1"] != row.satno_1:
            ref = oracle.flipped(ref)
        assert abs(ref["t"] - t[k]) < 1e-3
        assert row.miss_distance == pytest.approx(ref["miss_distance"], abs=1.0)
        assert row.radial == pytest.approx(ref["radial"], abs=1.0)
        assert row.cross_track == pytest.approx(ref["cross_track"], abs=1.0)


def test_exclude_pairs_or_predicate(packed_shell):
    pairs, _ = packed_shell
    tles = tles_of(pairs)
    full = screen(tles, START, STOP_3H, 5000.0)
    a, b = int(full["satno_1"].iloc[0]), int(full["satno_2"].iloc[0])
    by_pairs = screen(tles, START, STOP_3H, 5000.0, exclude=[(b, a)])
    keep = ~((full["satno_1"] == a) & (full["satno_2"] == b))
    pd.testing.assert_frame_equal(by_pairs, full[keep].reset_index(drop=True))
    even = screen(tles, START, STOP_3H, 5000.0, exclude=lambda s1, s2: (s1 + s2) % 2 == 0)
    assert len(even) > 0 and ((even["satno_1"] + even["satno_2"]) % 2 == 1).all()
    assert len(even) == int(((full["satno_1"] + full["satno_2"]) % 2 == 1).sum())


# Pairs made to meet: (name, element sets, hours, threshold [m]).
HEAD_ON = [lines(1, 60.0, 40.0, 1e-4, 0.0, 0.0, RE + 700.0), lines(2, 120.0, 220.0, 1e-4, 0.0, 180.3, RE + 700.0)]
DRIFT = [lines(3, 51.6, 10.0, 2e-4, 0.0, 0.0, RE + 420.0), lines(4, 51.6, 10.0, 2e-4, 0.0, 0.08, RE + 421.0)]
GEO = [lines(5, 0.05, 80.0, 1e-5, 0.0, 10.0, 42164.0), lines(6, 0.0, 80.0, 1e-5, 0.0, 10.0, 42164.0)]
# Crossing orbits meeting near 00:00:20 (their approach starts before 00:00).
CROSS = [lines(7, 97.0, 0.0, 1e-4, 0.0, 358.81, RE + 800.0), lines(8, 60.0, 0.0, 1e-4, 0.0, 358.81, RE + 801.0)]


@pytest.mark.parametrize("name, pair, hours, threshold", [
    ("head-on", HEAD_ON, 3.0, 50000.0),
    ("co-orbital drift", DRIFT, 6.0, 5000.0),
    ("GEO", GEO, 24.0, 5000.0),
    ("crossing", CROSS, 1.0, 5000.0),
])
def test_made_encounters_match_the_brute_force(name, pair, hours, threshold):
    oracle = Oracle(pair, hours=hours, threshold=threshold, step=5.0)
    assert oracle.rows, f"the {name} fixture must make an encounter"
    table = screen(tles_of(pair), START, Time(START) + hours * 3600.0, threshold)
    assert_matches(table, oracle)
    if name == "head-on":
        assert table["relative_speed"].min() > 14000.0
    if name == "co-orbital drift":
        assert table["relative_speed"].max() < 50.0


@pytest.mark.parametrize("offset", [-300.0, -20.0, 30.0, 600.0])
def test_window_edges(offset):
    # The crossing pair meets near 00:00:20; windows that start before and after it.
    oracle = Oracle(CROSS, hours=1.0, threshold=5000.0, step=5.0, start_offset=offset)
    start = Time(START) + offset
    table = screen(tles_of(CROSS), start, start + 3600.0, 5000.0)
    assert_matches(table, oracle, offset=offset)


def test_a_leap_second_inside_the_window():
    # 2016-12-31T23:59:60: the crossing pair, with epochs at 2017-01-01T00:00, meets 20 s after midnight,
    # 3621 s after a window start at 23:00.
    pair = [lines(7, 97.0, 0.0, 1e-4, 0.0, 358.81, RE + 800.0, year=17),
            lines(8, 60.0, 0.0, 1e-4, 0.0, 358.81, RE + 801.0, year=17)]
    oracle = Oracle(pair, hours=2.0, threshold=5000.0, step=5.0, start_offset=23 * 3600.0,
                    start_jd=2457753.5, leap=3600.0)
    assert oracle.rows
    start = Time("2016-12-31T23:00")
    table = screen(tles_of(pair), start, "2017-01-01T01:00", 5000.0)
    assert len(table) == len(oracle.rows)
    for row, ref in zip(table.itertuples(index=False), sorted(oracle.rows, key=lambda r: r["t"])):
        utc = np.datetime64("2016-12-31T23:00", "ns") + np.timedelta64(round(float(oracle.clock(ref["t"])) * 1e9), "ns")
        assert abs(int((row.tca - utc).value)) < 1_000_000
        assert row.miss_distance == pytest.approx(ref["miss_distance"], abs=1.0)
        assert row.relative_speed == pytest.approx(ref["relative_speed"], abs=1e-3)


def test_satellite_inputs_elsets_and_catalogue_mapping(tmp_path):
    # A history: the element set in force at the start is the latest before it.
    later = lines(2, 120.0, 220.0, 1e-4, 0.0, 10.0, RE + 700.0, day=1.5)  # 2024-01-01T12:00, after the start
    early = HEAD_ON[1]
    text = "".join(f"{a}\n{b}\n" for a, b in (HEAD_ON[0], early, later))
    path = tmp_path / "history.tle"
    path.write_text(text)
    from_text = screen(read_elsets(str(path)), START, "2024-01-01T03:00", 50000.0)
    from_list = screen([TLE(*HEAD_ON[0]), ELSET(TLE(*early), TLE(*later))], START, "2024-01-01T03:00", 50000.0)
    from_tles = screen(tles_of(HEAD_ON), START, "2024-01-01T03:00", 50000.0)
    assert len(from_tles) > 0
    pd.testing.assert_frame_equal(from_text, from_tles)
    pd.testing.assert_frame_equal(from_list, from_tles)


def test_states_where_sgp4_fails_are_not_screened():
    # Perigee inside the Earth: SGP4 reports the object decayed over part of each orbit.
    from sgp4.api import WGS72, Satrec
    sunk = lines(9, 60.0, 40.0, 0.2, 0.0, 0.0, RE + 300.0)
    sat = Satrec.twoline2rv(*sunk, WGS72)
    errors = [sat.sgp4(2460310.5, t / 86400.0)[0] for t in range(0, 10800, 60)]
    assert any(errors) and not all(errors)
    table = screen(tles_of([HEAD_ON[0], sunk]), START, STOP_3H, 3e6)
    assert len(table) > 0
    for t in seconds_from_start(table):
        assert sat.sgp4(2460310.5, t / 86400.0)[0] == 0


def test_empty_and_single_catalogues_give_empty_tables():
    for sats in ([], tles_of(HEAD_ON[:1])):
        table = screen(sats, START, "2024-01-01T01:00")
        assert list(table.columns) == list(COLUMNS) and len(table) == 0
        assert str(table["tca"].dtype) == "datetime64[ns]"


@pytest.mark.parametrize("kwargs, error, text", [
    ({"threshold": 0.0}, ValueError, "threshold"),
    ({"threshold": -5.0}, ValueError, "threshold"),
    ({"threshold": math.nan}, ValueError, "threshold"),
    ({"threshold": "5 km"}, TypeError, "threshold"),
    ({"stop": "2023-12-31T23:00"}, ValueError, "stop"),
    ({"stop": START}, ValueError, "stop"),
    ({"start": "not a date"}, ValueError, "start"),
    ({"primaries": [99999]}, ValueError, "primaries"),
    ({"primaries": []}, ValueError, "primaries"),
    ({"primaries": 3.5}, TypeError, "primaries"),
    ({"satellites": "1 00001U ..."}, TypeError, "satellites"),
    ({"satellites": [object()]}, TypeError, "satellites"),
    ({"satellites": 42}, TypeError, "satellites"),
    ({"exclude": 7}, TypeError, "exclude"),
    ({"exclude": [(1,)]}, TypeError, "exclude"),
    ({"threads": 0}, ValueError, "threads"),
])
def test_bad_input_names_the_argument(kwargs, error, text):
    args = {"satellites": tles_of(HEAD_ON), "start": START, "stop": "2024-01-01T01:00"}
    args.update(kwargs)
    with pytest.raises(error, match=text):
        screen(args.pop("satellites"), args.pop("start"), args.pop("stop"), **args)


def test_inputs_are_not_written():
    tles = tles_of(HEAD_ON)
    seq = list(tles)
    primaries = [1]
    screen(seq, START, "2024-01-01T03:00", 50000.0, primaries=primaries)
    assert seq == tles and primaries == [1]

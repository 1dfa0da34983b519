"""Bad input to the passes and eclipses searches: the right exception, naming the argument; no crash.

The native module itself (astrovia.events._passes) is in the sweep of test_sweep.py, which finds every
extension module; these cases go through the tables' surface, whose checks come first.
"""

import math

import numpy as np
import pytest

from astrovia.events import eclipses, passes
from astrovia.groundstation import GroundStation
from astrovia.propagators.analytical.sgp4.tle import TLE

LINES = ("1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9005",
         "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537")
START, STOP = "2024-01-01T12:00", "2024-01-01T18:00"


@pytest.fixture(scope="module")
def tle():
    return TLE(*LINES)


@pytest.fixture(scope="module")
def station():
    return GroundStation(math.radians(48.85), math.radians(2.35), name="P")


@pytest.mark.parametrize("lat", [math.pi / 2 + 1e-9, -2.0, math.nan, math.inf])
def test_station_latitude_outside(lat):
    with pytest.raises(ValueError, match="lat"):
        GroundStation(lat, 0.0)


@pytest.mark.parametrize("kwargs,error,word", [
    ({"min_elevation": math.pi / 2 + 1e-9}, ValueError, "min_elevation"),
    ({"min_elevation": -2.0}, ValueError, "min_elevation"),
    ({"min_elevation": math.nan}, ValueError, "min_elevation"),
    ({"min_elevation": "10"}, TypeError, "min_elevation"),
    ({"min_elevation": True}, TypeError, "min_elevation"),
    ({"sun_elevation": 4.0}, ValueError, "sun_elevation"),
    ({"sun_elevation": None}, TypeError, "sun_elevation"),
])
def test_bad_angles(tle, station, kwargs, error, word):
    with pytest.raises(error, match=word):
        passes(tle, station, START, STOP, **kwargs)


@pytest.mark.parametrize("stations,error", [
    ("P", TypeError), (b"P", TypeError), (None, TypeError), (3, TypeError), (["P"], TypeError),
    ([(0.8, 0.04)], TypeError), ([None], TypeError),
])
def test_bad_stations(tle, stations, error):
    with pytest.raises(error, match="station"):
        passes(tle, stations, START, STOP)


@pytest.mark.parametrize("satellites", ["25544", None, 5, [LINES], [None], {"a": 1}, np.zeros(3)])
def test_bad_satellites(station, satellites):
    with pytest.raises(TypeError, match="satellites"):
        passes(satellites, station, START, STOP)
    with pytest.raises(TypeError, match="satellites"):
        eclipses(satellites, START, STOP)


@pytest.mark.parametrize("start,stop,error,word", [
    (STOP, START, ValueError, "stop"),
    ("not a time", STOP, ValueError, "start"),
    (START, object(), TypeError, "stop"),
    ([START, STOP], STOP, ValueError, "start"),
    ("2024-01-01", "2070-01-01", ValueError, "20 years"),
])
def test_bad_windows(tle, station, start, stop, error, word):
    with pytest.raises(error, match=word):
        passes(tle, station, start, stop)
    with pytest.raises(error, match=word):
        eclipses(tle, start, stop)


def test_empty_inputs_give_empty_tables(tle, station):
    assert len(passes([], station, START, STOP)) == 0
    assert len(passes(tle, [], START, STOP)) == 0
    assert len(passes(tle, station, START, START)) == 0
    assert len(eclipses([], START, STOP)) == 0
    assert list(passes([], station, START, STOP).columns)[:5] == ["satno", "station", "rise", "culmination", "set"]


def test_decayed_satellite_gives_no_crash(station):
    # An element set SGP4 cannot propagate far (a very low perigee with strong drag): the states where it
    # fails are skipped and the tables are still made.
    low = ("1 99999U 24001A   24001.50000000  .10000000  00000-0  50000-1 0  9990",
           "2 99999  51.6000 100.0000 0010000 100.0000 100.0000 16.40000000    15")
    tle = TLE(*low)
    table = passes(tle, station, "2024-01-01T12:00", "2024-01-08")
    shadow = eclipses(tle, "2024-01-01T12:00", "2024-01-08")
    assert table["duration"].ge(0).all() and shadow["duration"].ge(0).all()


def test_inputs_are_not_written(tle, station):
    sats = [tle]
    stations = [station]
    passes(sats, stations, START, STOP)
    assert sats == [tle] and stations == [station]

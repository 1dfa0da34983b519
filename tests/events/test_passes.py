"""Passes over ground stations against skyfield's own altitude of the same SGP4 satellites.

skyfield's find_events times are only good to a fraction of a second, so every
rise and set it reports is refined here by brentq on skyfield's altitude; every
pass astrovia reports is confirmed on that same altitude (above the mask at its
culmination, below it just outside its rise and set). skyfield is given the
polar motion astrovia uses (its own UT1 stays: the two agree to well under a
millisecond over these dates).
"""

import math

import numpy as np
import pytest
from scipy.optimize import brentq, minimize_scalar

from astrovia.events.searches import eclipses, passes
from astrovia.groundstation import GroundStation
from astrovia.propagators.analytical.sgp4.tle import TLE, read_elsets
from astrovia.time.time import Time

skyfield_api = pytest.importorskip("skyfield.api")
from skyfield.data import iers as sf_iers  # noqa: E402

SAMPLE = "examples/data/sample.tle"
START, STOP = "2024-01-02T00:00:00", "2024-01-05T00:00:00"


def tle_text(satno, epoch, inc, raan, ecc, argp, ma, mm):
    """Two checksummed lines of a TLE without drag."""
    def checksum(line):
        return str(sum(int(c) if c.isdigit() else c == "-" for c in line) % 10)
    l1 = f"1 {satno:05d}U 24001A   {epoch:14.8f}  .00000000  00000-0  00000-0 0  999"
    l2 = f"2 {satno:05d} {inc:8.4f} {raan:8.4f} {round(ecc * 1e7):07d} {argp:8.4f} {ma:8.4f} {mm:11.8f}    1"
    return l1 + checksum(l1), l2 + checksum(l2)


HIGHER = {
    "molniya": tle_text(90001, 24001.75, 63.4, 120.0, 0.72, 270.0, 10.0, 2.00613),
    "gps": tle_text(90002, 24001.75, 55.0, 30.0, 0.005, 40.0, 200.0, 2.00563),
}

STATIONS = [
    GroundStation(math.radians(48.85), math.radians(2.35), 35.0, name="Paris"),
    GroundStation(math.radians(78.23), math.radians(15.39), 500.0, name="Svalbard"),
    GroundStation(math.radians(-33.9), math.radians(18.4), 0.0, name="Cape Town"),
]


@pytest.fixture(scope="module")
def ts():
    from astrovia.iers import EOP

    timescale = skyfield_api.load.timescale(builtin=True)
    mjd = np.arange(60300.0, 60320.0)
    eop = EOP(mjd)
    table = np.zeros(mjd.size, dtype=[("utc_mjd", "f8"), ("x_arcseconds", "f8"), ("y_arcseconds", "f8"),
                                      ("dut1", "f8")])
    table["utc_mjd"] = mjd
    table["x_arcseconds"] = np.degrees(eop.pm_x) * 3600.0
    table["y_arcseconds"] = np.degrees(eop.pm_y) * 3600.0
    table["dut1"] = eop.dut1
    sf_iers.install_polar_motion_table(timescale, table)
    return timescale


class Oracle:
    """skyfield's altitude of one satellite from one station, on TT seconds from START."""

    def __init__(self, ts, lines, station, mask_deg):
        self.ts = ts
        self.sat = skyfield_api.EarthSatellite(*lines, ts=ts)
        self.site = skyfield_api.wgs84.latlon(math.degrees(station.lat), math.degrees(station.lon),
                                              elevation_m=station.alt)
        self.mask = mask_deg
        self.jd1, self.jd2 = Time(START).tt.jd12

    def time(self, s):
        return self.ts.tt_jd(self.jd1, self.jd2 + np.asarray(s) / 86400.0)

    def seconds(self, t):
        return ((t.whole - self.jd1) + (t.tt_fraction - self.jd2)) * 86400.0

    def altitude(self, s):
        return (self.sat - self.site).at(self.time(s)).altaz()[0].degrees

    def refined(self, s):
        return brentq(lambda x: self.altitude(x) - self.mask, s - 3.0, s + 3.0, xtol=1e-5)

    def complete_passes(self, span):
        t, events = self.sat.find_events(self.site, self.time(0.0), self.time(span), altitude_degrees=self.mask)
        s = self.seconds(t)
        out = []
        for k in range(len(events) - 2):
            if tuple(events[k:k + 3]) == (0, 1, 2):
                out.append((self.refined(s[k]), self.refined(s[k + 2])))
        return out


def seconds_from_start(values):
    return (Time(np.asarray(values, dtype="datetime64[ns]")).int64 - Time(START).int64) * 1e-9


def satellites():
    elsets = read_elsets(SAMPLE)
    cases = [(f"sample-{k}", [m for m in v]) for k, v in elsets.items()]
    cases += [(k, [TLE(*lines)]) for k, lines in HIGHER.items()]
    return cases


# Parametrised by name, the TLEs made in the test: pytest keeps its parameters for
# the whole session, and a native object in them outlives it.
SATELLITE_NAMES = [name for name, _ in satellites()]


@pytest.mark.parametrize("station", STATIONS, ids=lambda s: s.name)
@pytest.mark.parametrize("name", SATELLITE_NAMES)
def test_passes_agree_with_skyfield(ts, station, name):
    # The last member of each history stands for it in skyfield: use one TLE throughout.
    tle = dict(satellites())[name][-1]
    span = Time(STOP) - Time(START)
    table = passes(tle, station, START, STOP)
    oracle = Oracle(ts, (tle.line1, tle.line2), station, 0.0)
    rise, culm, set_ = (seconds_from_start(table[c]) for c in ("rise", "culmination", "set"))
    partial = table["partial"].to_numpy()
    assert np.all(np.diff(rise) > 0)

    # Every complete pass skyfield finds is found once, its rise and set within 10 ms.
    expected = oracle.complete_passes(span)
    for r_sky, s_sky in expected:
        hits = np.flatnonzero((np.abs(rise - r_sky) < 0.01) & (np.abs(set_ - s_sky) < 0.01))
        assert hits.size == 1, (r_sky, s_sky)
    assert (~partial).sum() == len(expected)

    # Every pass reported is one on skyfield's altitude, the maximum elevation within 1e-3 degrees.
    for k in range(len(table)):
        if not partial[k]:
            assert oracle.altitude(rise[k] - 0.01) < 0.0 < oracle.altitude(rise[k] + 0.01)
            assert oracle.altitude(set_[k] - 0.01) > 0.0 > oracle.altitude(set_[k] + 0.01)
            best = minimize_scalar(lambda x: -oracle.altitude(x), bounds=(culm[k] - 20.0, culm[k] + 20.0),
                                   method="bounded", options={"xatol": 1e-3})
            assert abs(-best.fun - math.degrees(table["max_elevation"].iloc[k])) < 1e-3
        assert oracle.altitude(culm[k]) > 0.0
    # Partial passes stand at the window's edges and are above the horizon there.
    for k in np.flatnonzero(partial):
        assert rise[k] == 0.0 or abs(set_[k] - span) < 1e-6
        edge = 0.0 if rise[k] == 0.0 else span
        assert oracle.altitude(edge) > 0.0
    assert table["duration"].to_numpy() == pytest.approx(set_ - rise, abs=1e-6)


def test_window_edges_cut_passes_and_keep_their_other_end(ts):
    # A window that starts and stops inside two passes of the ISS over Paris.
    iss = list(read_elsets(SAMPLE)[25544])[-1]
    station = STATIONS[0]
    full = passes(iss, station, START, STOP)
    first, last = full.iloc[2], full.iloc[6]
    start = first["rise"] + (first["set"] - first["rise"]) / 3
    stop = last["rise"] + (last["set"] - last["rise"]) / 2
    cut = passes(iss, station, start, stop)
    assert len(cut) == 5
    assert cut["partial"].tolist() == [True, False, False, False, True]
    assert cut["rise"].iloc[0] == start and cut["set"].iloc[-1] == stop
    assert abs((cut["set"].iloc[0] - first["set"]).total_seconds()) < 1e-5
    assert abs((cut["rise"].iloc[-1] - last["rise"]).total_seconds()) < 1e-5
    # The culmination of a pass cut before its peak is its highest point in the window: the stop.
    assert cut["culmination"].iloc[-1] == stop or cut["culmination"].iloc[-1] < stop


def test_a_pass_that_only_grazes_the_mask(ts):
    # The mask set just under a pass's peak: the pass lasts seconds and is still found.
    iss = list(read_elsets(SAMPLE)[25544])[-1]
    base = STATIONS[0]
    full = passes(iss, base, START, STOP)
    peak = full.iloc[3]
    mask = peak["max_elevation"] - math.radians(0.02)
    station = GroundStation(base.lat, base.lon, base.alt, name="grazing", min_elevation=mask)
    table = passes(iss, station, START, STOP)
    grazing = table[table["culmination"].sub(peak["culmination"]).abs() < np.timedelta64(1, "s")]
    assert len(grazing) == 1
    assert 0.0 < grazing["duration"].iloc[0] < 60.0
    oracle = Oracle(ts, (iss.line1, iss.line2), station, math.degrees(mask))
    c = seconds_from_start(grazing["culmination"])[0]
    for column, side in (("rise", -1.0), ("set", 1.0)):
        s_ours = seconds_from_start(grazing[column])[0]
        s_sky = brentq(lambda x: oracle.altitude(x) - oracle.mask, c, c + side * 60.0, xtol=1e-6)
        assert abs(s_ours - s_sky) < 0.01
    # min_elevation given to passes overrides the station's own mask.
    again = passes(iss, base, START, STOP, min_elevation=mask)
    assert again["rise"].tolist() == table["rise"].tolist()


def test_an_elset_switches_members_at_their_epochs(ts):
    # Each moment from the member the piecewise propagation uses: the passes of the history equal,
    # on each stretch between member epochs, those of that member alone.
    history = read_elsets(SAMPLE)[25544]
    members = list(history)
    station = STATIONS[0]
    whole = passes(history, station, "2024-01-01T12:00", "2024-01-06")
    epochs = [Time(m.epoch.int64) for m in members]
    compared = 0
    for k, member in enumerate(members):
        lo = epochs[k] if k else Time("2024-01-01T12:00")
        hi = epochs[k + 1] if k + 1 < len(members) else Time("2024-01-06")
        alone = passes(member, station, "2024-01-01T12:00", "2024-01-06")
        inside = lambda t: (t >= lo.to_datetime64()) & (t <= hi.to_datetime64())  # noqa: E731
        mine = whole[inside(whole["rise"]) & inside(whole["set"])]
        theirs = alone[inside(alone["rise"]) & inside(alone["set"])]
        assert len(mine) == len(theirs)
        assert np.all(np.abs(seconds_from_start(mine["rise"]) - seconds_from_start(theirs["rise"])) < 1e-5)
        compared += len(mine)
    assert compared >= 20


def _de421():
    import pathlib

    import skyfield_data

    return str(pathlib.Path(skyfield_data.__file__).parent / "data" / "de421.bsp")


@pytest.fixture(scope="module")
def de421():
    return skyfield_api.load_file(_de421())


@pytest.mark.parametrize("satno", [33591, 25544])
def test_sunlit_and_visible_against_skyfield(ts, de421, satno):
    tle = list(read_elsets(SAMPLE)[satno])[-1]
    station = STATIONS[0]
    table = passes(tle, station, START, STOP)
    oracle = Oracle(ts, (tle.line1, tle.line2), station, 0.0)
    topos = de421["earth"] + oracle.site
    checked = 0
    for k in range(len(table)):
        r = seconds_from_start(table["rise"].iloc[[k]])[0]
        s = seconds_from_start(table["set"].iloc[[k]])[0]
        grid = np.arange(r - 2.0, s + 2.0, 1.0)
        t = oracle.time(grid)
        lit = oracle.sat.at(t).is_sunlit(de421)
        sun_alt = topos.at(t).observe(de421["sun"]).apparent().altaz()[0].degrees
        inner = (grid > r + 2.0) & (grid < s - 2.0)
        # Cases decided within two seconds or 0.05 degrees of a boundary are left out.
        if lit.any() != (lit & inner).any():
            continue
        assert table["sunlit"].iloc[k] == lit.any()
        strict, loose = (lit & inner & (sun_alt < -6.05)).any(), (lit & (sun_alt < -5.95)).any()
        if strict == loose:
            assert table["visible"].iloc[k] == strict
            checked += 1
    assert checked >= 10


def shadow_contacts(oracle, earth, sun, s):
    """(penumbra, umbra) contact functions at TT seconds s from START: negative inside.

    The satellite from skyfield (GCRS), the Sun from DE421, both geocentric; the Earth a sphere of
    6378137 m and the Sun one of 695 700 km, both seen as discs from the satellite.
    """
    t = oracle.time(s)
    r = oracle.sat.at(t).position.m
    w = earth.at(t).observe(sun).position.m - r
    a = math.asin(6.957e8 / np.linalg.norm(w))
    b = math.asin(6378137.0 / np.linalg.norm(r))
    c = math.acos(np.clip(np.dot(-r, w) / (np.linalg.norm(r) * np.linalg.norm(w)), -1.0, 1.0))
    return c - (a + b), c - (b - a)


@pytest.mark.parametrize("satno", [25544, 20580])
def test_eclipse_boundaries_against_discs(ts, de421, satno):
    tle = list(read_elsets(SAMPLE)[satno])[-1]
    table = eclipses(tle, START, "2024-01-03T00:00:00")
    oracle = Oracle(ts, (tle.line1, tle.line2), STATIONS[0], 0.0)
    starts, ends = seconds_from_start(table["start"]), seconds_from_start(table["end"])
    umbra = (table["kind"] == "umbra").to_numpy()
    assert set(table["kind"]) == {"penumbra", "umbra"} and umbra.sum() >= 10
    assert np.all(ends > starts)
    assert table["duration"].to_numpy() == pytest.approx(ends - starts, abs=1e-6)
    # An umbra interval lies between two penumbra intervals that touch it.
    for k in np.flatnonzero(umbra):
        if 0 < k < len(table) - 1:
            assert ends[k - 1] == starts[k] and ends[k] == starts[k + 1]
            assert not umbra[k - 1] and not umbra[k + 1]
    umbra_edges = set(starts[umbra]) | set(ends[umbra])
    for edge in sorted(set(starts) | set(ends)):
        if edge == 0.0 or abs(edge - 86400.0) < 1e-6:
            continue
        which = 1 if edge in umbra_edges else 0
        root = brentq(lambda x: shadow_contacts(oracle, de421["earth"], de421["sun"], x)[which],
                      edge - 1.0, edge + 1.0, xtol=1e-6)
        assert abs(root - edge) < 0.02


def test_thread_count_does_not_change_the_tables(tmp_path):
    import os
    import subprocess
    import sys

    script = (
        "import math, sys\n"
        "from astrovia.events.searches import passes, eclipses\n"
        "from astrovia.groundstation import GroundStation\n"
        "from astrovia.propagators.analytical.sgp4.tle import read_elsets\n"
        f"d = read_elsets({SAMPLE!r})\n"
        "st = [GroundStation(math.radians(48.85), math.radians(2.35), 35.0, name='P'),\n"
        "      GroundStation(math.radians(-33.9), math.radians(18.4), name='C')]\n"
        "p = passes(d, st, '2024-01-02', '2024-01-04')\n"
        "e = eclipses(d, '2024-01-02', '2024-01-04')\n"
        "sys.stdout.write(p.to_csv() + e.to_csv())\n"
    )
    outputs = []
    for threads in ("1", "2"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True,
                              cwd=os.getcwd())
        outputs.append(done.stdout)
    assert outputs[0] == outputs[1] and len(outputs[0]) > 1000


# Low orbits of every kind of plane: near-equatorial, inclined, polar, sun-synchronous, retrograde and
# slightly eccentric; seen from the equator, a high latitude and the south. Their planes pass near and far
# from each station over the days, so whole revolutions are skipped and every kind of approach is met.
LOW_ORBITS = [
    tle_text(91000 + k, 24001.75, inc, raan, ecc, argp, ma, mm)
    for k, (inc, raan, ecc, argp, ma, mm) in enumerate([
        (2.5, 10.0, 0.0004, 0.0, 15.0, 15.6), (28.5, 200.0, 0.001, 90.0, 100.0, 15.5),
        (51.6, 300.0, 0.0005, 45.0, 270.0, 15.5), (65.0, 80.0, 0.02, 200.0, 30.0, 14.2),
        (90.0, 140.0, 0.002, 10.0, 190.0, 14.9), (97.6, 30.0, 0.001, 120.0, 300.0, 14.6),
        (110.0, 250.0, 0.01, 300.0, 60.0, 15.2), (82.0, 0.0, 0.05, 270.0, 0.0, 13.8),
    ])
]

WIDE_STATIONS = [
    GroundStation(0.0, math.radians(-78.5), 2800.0, name="equator"),
    GroundStation(math.radians(69.7), math.radians(18.9), 100.0, name="north", min_elevation=math.radians(5.0)),
    GroundStation(math.radians(-45.0), math.radians(170.0), name="south", min_elevation=math.radians(10.0)),
]


@pytest.mark.parametrize("station", WIDE_STATIONS, ids=lambda s: s.name)
def test_no_pass_of_low_orbits_is_lost(ts, station):
    stop = "2024-01-04T00:00:00"
    span = Time(stop) - Time(START)
    tles = [TLE(*lines) for lines in LOW_ORBITS]
    table = passes(tles, station, START, stop)
    complete = table[~table["partial"]]
    found = 0
    for lines, tle in zip(LOW_ORBITS, tles):
        mine = complete[complete["satno"] == tle.satno]
        rise, set_ = seconds_from_start(mine["rise"]), seconds_from_start(mine["set"])
        expected = Oracle(ts, lines, station, math.degrees(station.min_elevation)).complete_passes(span)
        assert len(mine) == len(expected), tle.satno
        for r_sky, s_sky in expected:
            assert np.sum((np.abs(rise - r_sky) < 0.01) & (np.abs(set_ - s_sky) < 0.01)) == 1, (tle.satno, r_sky)
        found += len(expected)
    assert found >= 25


def test_rises_and_sets_are_roots_of_the_model_itself():
    # The python sgp4 package propagates the same TLEs; the look module (another route from TEME to
    # the horizon) turns them into elevations. At each reported rise and set the elevation, divided by
    # its rate, puts the root within 50 microseconds. The culmination is where the elevation rate
    # from SGP4's own velocity vanishes: within 10 ms of the maximum of the elevation of its
    # positions (found here by central differences over 0.1 s), and the maximum itself within 1e-8 rad.
    from sgp4.api import WGS72, Satrec

    from astrovia.frames.frames import TEME

    station = WIDE_STATIONS[1]
    tles = [TLE(*lines) for lines in LOW_ORBITS[:5]]
    table = passes(tles, station, START, "2024-01-03T00:00:00")
    complete = table[~table["partial"]]
    assert len(complete) >= 10
    for lines, tle in zip(LOW_ORBITS, tles):
        mine = complete[complete["satno"] == tle.satno]
        if mine.empty:
            continue
        sat = Satrec.twoline2rv(*lines, WGS72)

        def look(values, shift=0.0):
            t = Time(np.asarray(values, dtype="datetime64[ns]")) + shift
            jd = t.utc.jd12.reshape(-1, 2)
            err, r, v = sat.sgp4_array(np.ascontiguousarray(jd[:, 0]), np.ascontiguousarray(jd[:, 1]))
            assert not err.any()
            return station.look(t, r * 1e3, v * 1e3, frame=TEME)

        for column in ("rise", "set"):
            seen = look(mine[column])
            now, later = seen["elevation"], look(mine[column], 0.01)["elevation"]
            rate = (later - now) / 0.01
            assert np.all(np.abs((now - station.min_elevation) / rate) < 5e-5), (tle.satno, column)
        before, at, after = (look(mine["culmination"], s)["elevation"] for s in (-0.05, 0.0, 0.05))
        curvature = (after - 2.0 * at + before) / 0.0025
        slope = (after - before) / 0.1
        assert np.all(np.abs(slope / curvature) < 0.01), tle.satno
        peak = at - 0.5 * slope**2 / curvature
        assert np.all(np.abs(peak - mine["max_elevation"].to_numpy()) < 1e-8), tle.satno

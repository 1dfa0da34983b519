import datetime
import math
import subprocess
import sys
import textwrap
import warnings

import erfa
import numpy as np
import pytest
from astropy_iers_data import IERS_A_FILE, IERS_B_FILE, IERS_LEAP_SECOND_FILE

import astrovia.iers as iers
from astrovia.iers import EOP

ARCSEC = math.pi / 648000
FIELDS = ("pm_x", "pm_y", "dX", "dY", "lod", "dut1")


def read_c04():
    """The C04 file, read here by whitespace-separated fields: {mjd: {field: value}}."""
    rows = {}
    with open(IERS_B_FILE) as f:
        for line in f:
            p = line.split()
            if not p or line.startswith("#") or not p[0].isdigit():
                continue
            rows[float(p[4])] = dict(pm_x=float(p[5]) * ARCSEC, pm_y=float(p[6]) * ARCSEC, dut1=float(p[7]),
                                     dX=float(p[8]) * ARCSEC, dY=float(p[9]) * ARCSEC, lod=float(p[12]))
    return rows


def read_finals():
    """The finals2000A file by its fixed columns: {mjd: {field: value}} for rows with polar motion and UT1."""
    rows, observed = {}, None
    with open(IERS_A_FILE) as f:
        for line in f:
            if len(line) < 68 or not line[7:15].strip() or not line[18:27].strip() or not line[58:68].strip():
                continue
            mjd = float(line[7:15])
            num = lambda a, b, scale: float(line[a:b]) * scale if line[a:b].strip() else math.nan  # noqa: E731
            rows[mjd] = dict(pm_x=num(18, 27, ARCSEC), pm_y=num(37, 46, ARCSEC), dut1=num(58, 68, 1.0),
                             lod=num(79, 86, 1e-3), dX=num(97, 106, ARCSEC / 1000), dY=num(116, 125, ARCSEC / 1000))
            if line[57] == "I":
                observed = mjd
    return rows, observed


C04 = read_c04()
FINALS, FINALS_OBSERVED = read_finals()
C04_LAST = max(C04)


def tai_minus_utc(mjd, fd=0.0):
    y, m, d, _ = erfa.jd2cal(2400000.5, mjd)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", erfa.ErfaWarning)
        return erfa.dat(y, m, d, fd)


@pytest.fixture
def restore_series():
    try:
        yield
    finally:
        iers.load()


@pytest.mark.parametrize("mjd", [37665.0, 38000.0, 40000.0, 41316.0, 41317.0, 45000.0, 51544.0, 60000.0, C04_LAST])
def test_values_at_c04_dates_are_the_c04_table(mjd):
    e = EOP(mjd)
    for name in FIELDS:
        assert getattr(e, name)[0] == pytest.approx(C04[mjd][name], rel=1e-12, abs=1e-15), name


def test_values_after_c04_are_bulletin_a():
    mjds = [m for m in sorted(FINALS) if m > C04_LAST][::40]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", iers.EOPStaleWarning)
        e = EOP(np.array(mjds))
    for name in ("pm_x", "pm_y", "dut1"):
        np.testing.assert_allclose(getattr(e, name), [FINALS[m][name] for m in mjds], rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("mjd", [38123.0, 44000.0, 58000.0])
@pytest.mark.parametrize("frac", [0.25, 0.5])
def test_linear_between_rows(mjd, frac):
    e = EOP(mjd + frac)
    a, b = C04[mjd], C04[mjd + 1]
    for name in ("pm_x", "pm_y", "dX", "dY", "lod"):
        assert getattr(e, name)[0] == pytest.approx(a[name] + frac * (b[name] - a[name]), rel=1e-12, abs=1e-15)
    # UT1-UTC: UT1-TAI is linear through the UTC day, TAI-UTC is ERFA's of the instant
    ut1_tai = (a["dut1"] - tai_minus_utc(mjd)) * (1 - frac) + (b["dut1"] - tai_minus_utc(mjd + 1)) * frac
    assert e.dut1[0] == pytest.approx(ut1_tai + tai_minus_utc(mjd, frac), abs=1e-12)


def test_ut1_utc_1962_to_1973_follows_c04():
    mjds = np.array([m for m in C04 if 37665 <= m < 41683])
    got = EOP(np.concatenate([mjds, mjds + 0.5])).dut1
    ref = np.array([C04[m]["dut1"] for m in mjds])
    assert np.max(np.abs(got[: mjds.size] - ref)) < 1e-9
    # halfway through each day: UT1-TAI halfway between the rows, plus ERFA's TAI-UTC at noon
    # (before 1972 it drifts through the day, and steps at some midnights, as UT1-UTC does)
    nxt = np.array([C04[m + 1]["dut1"] for m in mjds])
    mid = ((ref - tai_minus_utc(mjds)) + (nxt - tai_minus_utc(mjds + 1))) / 2 + tai_minus_utc(mjds, 0.5)
    assert np.max(np.abs(got[mjds.size:] - mid)) < 1e-9
    assert np.all(np.abs(got) < 0.9)


def leap_days():
    with open(IERS_LEAP_SECOND_FILE) as f:
        return [int(float(line.split()[0])) for line in f if line.strip() and not line.startswith("#")][1:]


@pytest.mark.parametrize("mjd", leap_days())
def test_leap_second_steps_ut1_utc_at_midnight_and_keeps_ut1_tai_continuous(mjd):
    eps = 1e-9
    before, after = EOP([mjd - eps, mjd]).dut1
    assert after - before == pytest.approx(1.0, abs=1e-6)
    u_before = before - tai_minus_utc(mjd - 1, 1.0)
    u_after = after - tai_minus_utc(mjd)
    assert u_after == pytest.approx(u_before, abs=1e-6)


def test_before_1962_ut1_utc_and_the_pole_hold_their_first_values():
    first = C04[37665.0]
    e = EOP([36204.0, 37000.0, 37664.5, -np.inf])  # 1957-10-04 (Sputnik), 1960, the eve of the series
    for name in FIELDS:
        np.testing.assert_allclose(getattr(e, name), first[name], rtol=1e-12, atol=1e-15)


def test_nan_dates_give_nan_and_far_dates_hold_the_end():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", iers.EOPStaleWarning)
        e = EOP([np.nan, 1e6, np.inf, 1e300, 58000.0])
        last = EOP(max(FINALS))
    for name in FIELDS:
        v = getattr(e, name)
        assert np.isnan(v[0]) and np.isfinite(v[4]), name
        np.testing.assert_allclose(v[1:4], getattr(last, name)[0], rtol=0, atol=1e-12)


def test_against_astropy_iers():
    from astropy.utils import iers as aiers

    aiers.conf.auto_download = False
    b = aiers.IERS_B.open(IERS_B_FILE)
    a = aiers.IERS_A.open(IERS_A_FILE)
    rng = np.random.default_rng(5)
    mjd_b = rng.uniform(37666, C04_LAST - 1, 2000)
    mjd_a = rng.uniform(C04_LAST + 1, max(FINALS) - 1, 300)
    for table, mjd in ((b, mjd_b), (a, mjd_a)):
        jd1, jd2 = np.full(mjd.size, 2400000.5), mjd
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", iers.EOPStaleWarning)
            e = EOP(mjd)
        x, y = table.pm_xy(jd1, jd2)
        assert np.max(np.abs(e.pm_x - x.to_value("rad"))) < 1e-13
        assert np.max(np.abs(e.pm_y - y.to_value("rad"))) < 1e-13
        du = e.dut1 - table.ut1_utc(jd1, jd2).to_value("s")
        # astropy interpolates UT1-UTC linearly through the day; before 1972 TAI-UTC stepped by
        # fractions of a second at some midnights, and there its value leads by the step times
        # the fraction of the day (as it does not for the leap seconds from 1972 on)
        day = np.floor(mjd)
        frac = mjd - day
        step = tai_minus_utc(day + 1) - tai_minus_utc(day, 1.0)
        step[day + 1 >= 41317] = 0.0
        np.testing.assert_allclose(du, -frac * step, rtol=0, atol=1e-9)


def test_junction_of_c04_and_bulletin_a():
    # C04's last row is used, Bulletin A's next one, with a linear stretch between
    e = EOP([C04_LAST, C04_LAST + 0.5, C04_LAST + 1])
    assert e.pm_x[0] == pytest.approx(C04[C04_LAST]["pm_x"], rel=1e-12)
    assert e.pm_x[2] == pytest.approx(FINALS[C04_LAST + 1]["pm_x"], rel=1e-12)
    assert e.pm_x[1] == pytest.approx((e.pm_x[0] + e.pm_x[2]) / 2, rel=1e-12)


def test_outputs_are_fresh_writable_arrays_one_per_date():
    x = np.array([58000.0, 58001.5])
    e = EOP(x)
    for name in FIELDS:
        a = getattr(e, name)
        assert a.shape == (2,) and a.dtype == np.float64 and a.flags.writeable
    assert EOP(58000.0).pm_x.shape == (1,)
    assert EOP(np.zeros(0)).pm_x.shape == (0,)
    np.testing.assert_array_equal(x, [58000.0, 58001.5])
    assert "2 dates" in repr(e) and "2017-09-04" in repr(e)


@pytest.mark.parametrize("value,exc", [(np.zeros((2, 2)), ValueError), ("58000", TypeError),
                                       (object(), TypeError)])
def test_bad_dates_raise(value, exc):
    with pytest.raises(exc, match="mjd_utc"):
        EOP(value)


def test_coverage_matches_the_files():
    c = iers.coverage()
    mjd_date = lambda m: datetime.date(1858, 11, 17) + datetime.timedelta(days=int(m))  # noqa: E731
    assert c.c04_first == datetime.date(1962, 1, 1)
    assert c.c04_last == mjd_date(C04_LAST)
    assert c.bulletin_a_observed_last == mjd_date(FINALS_OBSERVED)
    assert c.predicted_last == mjd_date(max(FINALS))
    with open(IERS_LEAP_SECOND_FILE) as f:
        expiry = next(line for line in f if "File expires on" in line).split("on")[-1].strip()
    assert c.leap_seconds_valid_until == datetime.datetime.strptime(expiry, "%d %B %Y").date()


def test_load_users_files(tmp_path, restore_series):
    lines = open(IERS_A_FILE).readlines()[1000:1010]
    path = tmp_path / "finals2000A.mine"
    path.write_text("".join(lines))
    iers.load(path)
    mjd0 = float(lines[0][7:15])
    assert EOP(mjd0 - 100).pm_x[0] == pytest.approx(float(lines[0][18:27]) * ARCSEC, rel=1e-12)
    assert iers.coverage().c04_first is None
    c04_lines = [line for line in open(IERS_B_FILE) if line.startswith("#")][:6]
    c04_lines += [line for line in open(IERS_B_FILE) if line.startswith("1990   1")]
    c04 = tmp_path / "eopc04.mine"
    c04.write_text("".join(c04_lines))
    iers.load(c04, path)  # 1990 from C04, 1973 from Bulletin A: C04 rows come first
    assert EOP(47892.0).dut1[0] == pytest.approx(C04[47892.0]["dut1"], abs=1e-12)
    iers.load()
    assert EOP(47892.0).pm_x[0] == pytest.approx(C04[47892.0]["pm_x"], rel=1e-12)


@pytest.mark.parametrize("text,match", [("no data here\n", "fewer than two"),
                                        ("# C04\n1990 1 1 0 47892.00 0.1 0.2 0.3 x 0 0 0 0.001\n", "not an IERS C04")])
def test_load_rejects_files_without_rows(tmp_path, restore_series, text, match):
    p = tmp_path / "eop.txt"
    p.write_text(text)
    with pytest.raises(ValueError, match=match):
        iers.load(p)


STALE_SCRIPT = textwrap.dedent("""
    import sys, warnings
    import numpy as np
    from astrovia.iers import EOP, EOPStaleWarning
    from astrovia.time.time import Time
    warnings.simplefilter("always")
    with warnings.catch_warnings(record=True) as seen:
        {calls}
    stale = [w for w in seen if issubclass(w.category, EOPStaleWarning)]
    print(len(stale))
    for w in stale:
        print(w.message)
""")


@pytest.mark.parametrize("calls,count,words", [
    ("EOP([50000.0, 60000.0]); Time('2020-01-01').ut1.jd12; Time(['1960-01-01', '2025-01-01']).ut1.jd", 0, ()),
    ("EOP(70000.0); EOP(70000.0); Time('2090-01-01').ut1.jd", 1, ("predictions", "pip install -U")),
    ("Time('{leap_only}').ut1.jd12; EOP(70000.0)", 1, ("leap-second table", "load(path)")),
])
def test_stale_warning_once_per_process(calls, count, words):
    c = iers.coverage()
    leap_only = c.leap_seconds_valid_until + datetime.timedelta(days=1)
    assert leap_only < c.predicted_last  # the shipped data: predictions outlast the leap-second table
    script = STALE_SCRIPT.format(calls=calls.format(leap_only=leap_only.isoformat()))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert int(lines[0]) == count
    for w in words:
        assert w in out
    assert issubclass(iers.EOPStaleWarning, UserWarning)


def test_tai_minus_utc_eras_are_erfas():
    from astrovia.iers import leapseconds

    rng = np.random.default_rng(2)
    days = np.concatenate([np.arange(36900, 41400), rng.integers(41317, 61000, 500)])
    fds = rng.uniform(0, 1, days.size)
    got = np.array([leapseconds.dat_seconds(int(d), f) for d, f in zip(days, fds)])
    np.testing.assert_array_equal(got, tai_minus_utc(days.astype(float), fds))
    # a day ends 86400 s after it began plus the step at its end, as ERFA's utctai counts it
    lengths = np.array([leapseconds.day_length_ns(int(d)) for d in days[:4500]]) / 1e9
    steps = tai_minus_utc(days[:4500] + 1.0) - tai_minus_utc(days[:4500].astype(float), 1.0)
    np.testing.assert_allclose(lengths, 86400.0 + steps, rtol=0, atol=1e-9)

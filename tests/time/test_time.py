import datetime
import warnings

import erfa
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from astrovia.time.time import Time

NS = 1_000_000_000


def erfa_tai_minus_utc(y, m, d, fd=0.0):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", erfa.ErfaWarning)
        return erfa.dat(y, m, d, fd)


LEAP_DATES = [(y, mo) for y, mo in [(1972, 1), (1972, 7), (1973, 1), (1976, 1), (1981, 7), (1983, 7), (1985, 7),
                                   (1988, 1), (1990, 1), (1992, 7), (1994, 7), (1996, 1), (1997, 7), (1999, 1),
                                   (2006, 1), (2009, 1), (2012, 7), (2015, 7), (2017, 1)]]


@pytest.mark.parametrize("year,month", LEAP_DATES)
def test_tai_minus_utc_across_each_leap_second(year, month):
    # the day before the step and the first day after it
    before = datetime.date(year, month, 1) - datetime.timedelta(days=1)
    for day, clock in ((before, "12:00:00"), (datetime.date(year, month, 1), "00:00:00.5")):
        t = Time(f"{day.isoformat()}T{clock}")
        h, m, s = (float(x) for x in clock.split(":"))
        expected = erfa_tai_minus_utc(day.year, day.month, day.day, (h * 3600 + m * 60 + s) / 86400)
        # TAI label minus UTC label, from the ISO texts of the two views
        tai = Time(t.tai.iso, scale="tai")
        utc_as_tai = Time(t.utc.iso, scale="tai")
        assert (tai - utc_as_tai) == pytest.approx(expected, abs=1e-9)


@pytest.mark.parametrize("text", ["1965-06-01T06:00:00", "1985-03-04T01:02:03.25", "2023-10-10T10:10:10"])
def test_scales_against_erfa(text):
    t = Time(text)
    parts = text.replace("T", "-").replace(":", "-").split("-")
    y, mo, d, h, mi = (int(p) for p in parts[:5])
    s = float(parts[5])
    u1, u2 = erfa.dtf2d("UTC", y, mo, d, h, mi, s)
    a1, a2 = erfa.utctai(u1, u2)
    t1, t2 = erfa.taitt(a1, a2)
    for view, (e1, e2) in ((t.utc, (u1, u2)), (t.tai, (a1, a2)), (t.tt, (t1, t2))):
        j1, j2 = view.jd12
        assert ((j1 - e1) + (j2 - e2)) * 86400 == pytest.approx(0.0, abs=2e-9)


def test_tt_minus_tai_is_32_184_s():
    t = Time(["1990-01-01", "2030-06-30T12:00:00"])
    tt = Time(t.tt.iso, scale="tai")  # TT labels read as TAI labels
    tai = Time(t.tai.iso, scale="tai")
    np.testing.assert_array_equal(tt - tai, [32.184, 32.184])


def test_ut1_against_erfa():
    from astrovia.iers import EOP

    t = Time(["2001-02-03T04:05:06", "2016-12-31T23:59:59", "2024-07-01T00:00:00"])
    dut1 = EOP(t.utc.mjd).dut1
    u = t.utc.jd12
    e1, e2 = erfa.utcut1(u[:, 0], u[:, 1], dut1)
    got = t.ut1.jd12
    np.testing.assert_allclose(((got[:, 0] - e1) + (got[:, 1] - e2)) * 86400, 0.0, atol=1e-8)


iso_texts = st.builds(
    lambda y, doy, ns: (datetime.datetime(y, 1, 1) + datetime.timedelta(days=doy)).strftime("%Y-%m-%dT%H:%M:%S")
    + f".{ns:09d}",
    st.integers(1900, 2199), st.floats(0, 364.99, allow_nan=False), st.integers(0, NS - 1),
)


@settings(max_examples=300, deadline=None)
@given(iso_texts)
def test_iso_round_trip_exact(text):
    assert Time(text).iso == text
    assert Time(text, scale="tt").tt.iso == text


@pytest.mark.parametrize("text", [f"{d}T{c}" for d in ("1961-01-01", "1961-08-01", "1965-01-01", "1968-02-01",
                                                          "1972-01-01") for c in ("00:00:00.000000000",
                                                                                  "00:00:00.000000001")]
                         + ["1964-12-31T23:59:59.999999999", "1971-12-31T23:59:59.999999999"])
def test_iso_round_trip_at_the_steps_of_early_utc(text):
    # before 1972 TAI-UTC drifts through each day and steps at some midnights
    assert Time(text).iso == text
    assert Time([text]).iso[0] == text


@pytest.mark.parametrize("day,next_day", [("2016-12-31", "2017-01-01"), ("1998-12-31", "1999-01-01"),
                                           ("2012-06-30", "2012-07-01")])
@pytest.mark.parametrize("fraction", ["000000000", "500000000", "999999999"])
def test_leap_second_text_round_trip(day, next_day, fraction):
    text = f"{day}T23:59:60.{fraction}"
    t = Time(text)
    assert t.iso == text
    assert Time(f"{day}T23:59:59.999999999") < t < Time(next_day)
    assert Time(next_day) - t == pytest.approx(1.0 - int(fraction) * 1e-9, abs=1e-12)


def test_leap_second_counts_as_a_second():
    assert Time("2017-01-01T00:00:00") - Time("2016-12-31T23:59:59") == 2.0
    assert Time("2017-01-02T00:00:00") - Time("2017-01-01T00:00:00") == 86400.0


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(-(3 * 10**18), 3 * 10**18), min_size=1, max_size=20))
def test_int64_stamps_round_trip(stamps):
    a = np.asarray(stamps, dtype=np.int64)
    np.testing.assert_array_equal(Time(a).int64, a)
    np.testing.assert_array_equal(Time(Time(a).iso.tolist()).int64, a)  # through UTC text as well
    assert Time(a[0]).int64 == a[0]


@settings(max_examples=200, deadline=None)
@given(iso_texts)
def test_jd_round_trip_within_a_float(text):
    t = Time(text)
    assert abs(Time(t.jd, format="jd") - t) < 50e-6
    assert abs(Time(t.mjd, format="mjd") - t) < 2e-6


def test_year_alone_and_z_and_datetime_inputs():
    assert Time("2024") == Time("2024-01-01T00:00:00")
    assert Time("2024-05-06T07:08:09Z") == Time("2024-05-06T07:08:09")
    assert Time(datetime.datetime(2024, 5, 6, 7, 8, 9, 250000)) == Time("2024-05-06T07:08:09.25")
    aware = datetime.datetime(2024, 5, 6, 9, 8, 9, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
    assert Time(aware) == Time("2024-05-06T07:08:09")
    assert Time(datetime.date(2024, 5, 6)) == Time("2024-05-06")
    assert Time(np.datetime64("2024-05-06T07:08:09.123456789")) == Time("2024-05-06T07:08:09.123456789")
    arr = Time(np.array(["2024-05-06", "2025-01-01"], dtype="datetime64[ns]"))
    assert arr.size == 2 and arr[1] == Time("2025")
    assert Time(("2024", datetime.date(2025, 1, 1))).size == 2


def test_array_protocols():
    t = Time(["2024-01-01", "2024-01-02", "2024-01-03"])
    assert len(t) == 3 and t.shape == (3,)
    assert t[-1] == Time("2024-01-03")
    assert t[1:].size == 2
    assert t[np.array([True, False, True])].size == 2
    assert t[np.array([2, 0])][0] == Time("2024-01-03")
    assert [x.iso for x in t][1] == "2024-01-02T00:00:00.000000000"
    np.testing.assert_array_equal(t >= "2024-01-02", [False, True, True])
    assert np.any((t >= "2024-01-02") & (t < "2024-01-03"))
    np.testing.assert_array_equal(t - Time("2024-01-01"), [0.0, 86400.0, 172800.0])
    assert (t + 0.5)[0] - t[0] == 0.5
    assert t[1] - 86400.0 == t[0] and (t - np.full(3, 60.0))[0] - t[0] == -60.0
    assert (t[0] + 1e-9).int64 - t[0].int64 == 1
    jd12 = t.tt.jd12
    assert jd12.shape == (3, 2) and jd12.flags.writeable
    jd12[:] = 0  # a fresh array: the Time is untouched
    assert t.tt.jd12[0, 0] != 0
    with pytest.raises(TypeError):
        len(t[0])
    with pytest.raises(ValueError):
        t.int64[0] = 1


@pytest.mark.parametrize(
    "value,kwargs,exc",
    [
        ("2024-13-01", {}, ValueError),
        ("2024-02-30", {}, ValueError),
        ("2024-01-01T23:59:60", {}, ValueError),  # no leap second that day
        ("yesterday", {}, ValueError),
        (2024, {}, TypeError),
        (1.5, {}, TypeError),
        (2460000.5, {"format": "julian"}, ValueError),
        ("2024", {"scale": "gps"}, ValueError),
        (float("nan"), {"format": "jd"}, ValueError),
        (np.array(["2024-01-01", "NaT"], dtype="datetime64[ns]"), {}, ValueError),
        (object(), {}, TypeError),
    ],
)
def test_bad_values_raise(value, kwargs, exc):
    with pytest.raises(exc):
        Time(value, **kwargs)


def test_utc_jd12_of_a_leap_day_follows_erfa():
    t = Time("2016-12-31T12:00:00")
    u1, u2 = erfa.dtf2d("UTC", 2016, 12, 31, 12, 0, 0.0)
    assert t.utc.jd12.sum() == pytest.approx(u1 + u2, abs=1e-12)

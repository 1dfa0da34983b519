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


# ------------------------------------------------------------ the whole span ---

SPAN = 2**63 - 1 - 2 * 86400 * NS


@pytest.mark.parametrize("make", [
    lambda: Time(np.array([240000.0]), format="mjd"),
    lambda: Time([2640000.5], format="jd"),
    lambda: Time(2640000.5, format="jd"),
    lambda: Time(np.array([-60000.0, 51544.0]), format="mjd"),
    lambda: Time(np.array([np.nan]), format="mjd"),
    lambda: Time(np.array([np.inf]), format="jd"),
    lambda: Time(np.array([2**63 - 3600 * NS], dtype=np.int64)),
    lambda: Time(np.array([0, -(2**63)], dtype=np.int64)),
    lambda: Time(np.int64(2**63 - 1)),
    lambda: Time("2300-01-01"),
    lambda: Time("1700-01-01", scale="tt"),
    lambda: Time(datetime.datetime(1700, 1, 1)),
    lambda: Time(np.array(["1700-01-01"], dtype="datetime64[s]")),
    lambda: Time("2024") + float("nan"),
    lambda: Time("2024") + float("inf"),
    lambda: Time("2024") + 1e10,
    lambda: Time(["2024", "2025"]) + np.array([0.0, np.nan]),
    lambda: Time(["2024", "2025"]) + 1e10,
    lambda: Time(["2024", "2025"]) - 1e10,
    lambda: Time("2290-01-01") + datetime.timedelta(days=3650),
    lambda: Time(["2290-01-01"]) + datetime.timedelta(days=3650),
    lambda: Time(["2290-01-01"]) - datetime.timedelta(days=999999999),
    lambda: Time("2024") + 10**10,
])
def test_inputs_outside_the_span_raise(make):
    with pytest.raises(ValueError, match="outside the span of Time"):
        make()


def test_whole_seconds_and_timedeltas_are_exact():
    t = Time(["2024-01-01T00:00:00.000000001", "1960-01-01"])
    np.testing.assert_array_equal((t + datetime.timedelta(days=1, microseconds=3)).int64 - t.int64, 86400000003000)
    assert (t[0] + 10**9).int64 - t[0].int64 == 10**18
    assert (t[0] - 7).int64 - t[0].int64 == -7 * NS


def test_the_span_ends_are_usable():
    t = Time(np.array([-SPAN, SPAN], dtype=np.int64))
    assert t.iso[0].startswith("1707-09-24") and t.iso[1].startswith("2292-04-09")
    assert (t[1] - t[0]) == pytest.approx(2 * SPAN / NS, rel=1e-15)


@settings(max_examples=300, deadline=None)
@given(st.integers(-SPAN, SPAN), st.integers(-SPAN, SPAN))
def test_elapsed_seconds_for_any_pair(a, b):
    exact = (a - b) / NS  # Python: exact integers, one rounding
    ta, tb = Time(np.int64(a)), Time(np.int64(b))
    assert abs((ta - tb) - exact) <= 1e-6
    arr = Time(np.array([a, b], dtype=np.int64)) - tb
    assert abs(arr[0] - exact) <= 1e-6 and arr[1] == 0.0


def test_elapsed_over_four_and_a_half_centuries():
    days = (datetime.date(2200, 1, 1) - datetime.date(1750, 1, 1)).days
    # TAI-UTC: 0 before 1960, the last table value (37 s) held in 2200
    assert Time("1750-01-01") - Time("2200-01-01") == pytest.approx(-(days * 86400.0 + 37.0), abs=1e-6)


# ---------------------------------------------------------------- before 1972 ---

STEP_DAYS = [(1961, 7, 31), (1963, 10, 31), (1964, 3, 31), (1965, 12, 31), (1968, 1, 31), (1971, 12, 31),
             (1959, 12, 31), (1966, 6, 15)]


@pytest.mark.parametrize("ymd", STEP_DAYS)
@pytest.mark.parametrize("sec", [0.0, 43200.25, 86399.85])
def test_utc_julian_dates_before_1972_follow_erfa(ymd, sec):
    h, rest = divmod(sec, 3600)
    m, s = divmod(rest, 60)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", erfa.ErfaWarning)
        u1, u2 = erfa.dtf2d("UTC", *ymd, int(h), int(m), s)
        a1, a2 = erfa.utctai(u1, u2)
    text = f"{ymd[0]:04d}-{ymd[1]:02d}-{ymd[2]:02d}T{int(h):02d}:{int(m):02d}:{s:012.9f}"
    t = Time(text)
    # the Julian date of ERFA's UTC (fraction of the day's own length) maps back to the same instant
    assert abs(Time((u1 - 2400000.5) + u2, format="mjd") - t) < 2e-6
    assert abs(Time(np.array([(u1 - 2400000.5) + u2]), format="mjd")[0] - t) < 2e-6
    j = t.utc.jd12
    assert ((j[0] - u1) + (j[1] - u2)) * 86400 == pytest.approx(0.0, abs=1e-9)
    k = t.tai.jd12
    assert ((k[0] - a1) + (k[1] - a2)) * 86400 == pytest.approx(0.0, abs=2e-9)


@settings(max_examples=200, deadline=None)
@given(st.integers(-1_400_000_000, -900_000_000))  # seconds from J2000: 1955 to 1971
def test_one_epoch_and_array_paths_agree_before_1972(seconds):
    stamp = seconds * NS + 123_456_789
    one = Time(np.int64(stamp))
    many = Time(np.array([stamp], dtype=np.int64))
    assert one.iso == many.iso[0]
    assert one.mjd == many.mjd[0] and one.jd == many.jd[0]
    assert Time(one.iso) == one


# --------------------------------------------------------------- other inputs ---

def astropy_time():
    from astropy.time import Time as ATime
    from astropy.utils import iers as aiers

    aiers.conf.auto_download = False
    return ATime


@pytest.mark.parametrize("scale", ["tt", "tai", "utc", "ut1"])
def test_astropy_time_round_trip(scale):
    ATime = astropy_time()
    t = Time(["1962-03-04T05:06:07.123456789", "1985-07-01T00:00:00.5", "2016-12-31T23:59:60.25",
              "2024-02-29T12:00:00.000000001"])
    ours = getattr(t, scale).jd12
    at = ATime(ours[:, 0], ours[:, 1], format="jd", scale=scale)
    back = Time(at)
    tol = 10 if scale == "ut1" else 1
    assert np.max(np.abs(back.int64 - t.int64)) <= tol
    # and out again, to astropy's two-part date
    again = getattr(back, scale).jd12
    assert np.max(np.abs(((again[:, 0] - at.jd1) + (again[:, 1] - at.jd2)) * 86400e9)) <= tol
    assert Time(at[1]) == back[1]


def test_astropy_time_of_other_scales_goes_through_its_tt():
    ATime = astropy_time()
    at = ATime("2020-01-01T00:00:00", scale="tdb")
    tt = at.tt
    tt.precision = 9
    assert abs(Time(at) - Time(tt.isot, scale="tt")) < 1e-9


def test_pandas_inputs_to_the_nanosecond():
    import pandas as pd

    text = "2024-05-06T07:08:09.123456789"
    assert Time(pd.Timestamp(text)) == Time(text)
    assert Time(pd.Timestamp(text, tz="UTC")) == Time(text)
    paris_summer = datetime.timezone(datetime.timedelta(hours=2))
    assert Time(pd.Timestamp(text).tz_localize(paris_summer)) == Time("2024-05-06T05:08:09.123456789")
    idx = pd.DatetimeIndex([text, "1999-12-31T23:59:59.999999999"])
    np.testing.assert_array_equal(Time(idx).int64, Time([text, "1999-12-31T23:59:59.999999999"]).int64)
    aware = idx.tz_localize(datetime.timezone(datetime.timedelta(hours=-5)))
    np.testing.assert_array_equal(Time(aware).int64, (Time(idx) + 5 * 3600.0).int64)
    np.testing.assert_array_equal(Time(pd.Series(idx)).int64, Time(idx).int64)
    np.testing.assert_array_equal(Time(pd.Series(aware)).int64, Time(aware).int64)
    for nat in (pd.DatetimeIndex([text, None]), pd.NaT, [pd.Timestamp(text), pd.NaT]):
        with pytest.raises(ValueError, match="NaT"):
            Time(nat)


@pytest.mark.parametrize("text,utc", [
    ("2024-05-06T07:08:09+00:00", "2024-05-06T07:08:09"),
    ("2024-05-06T07:08:09.5+05:30", "2024-05-06T01:38:09.5"),
    ("2024-05-06T01:00:00-08:00", "2024-05-06T09:00:00"),
    ("2024-01-01T02:00:00+03:00", "2023-12-31T23:00:00"),
    ("2017-01-01T00:59:60.5+01:00", "2016-12-31T23:59:60.5"),
])
def test_iso_offsets(text, utc):
    assert Time(text) == Time(utc)


def test_aware_datetimes_in_other_zones():
    zone = datetime.timezone(datetime.timedelta(hours=-3, minutes=-30))
    d = datetime.datetime(2024, 1, 1, 20, 45, 0, 250, tzinfo=zone)
    assert Time(d) == Time("2024-01-02T00:15:00.00025")
    assert Time([d, "2024"]).size == 2


def test_back_to_datetime64_and_datetime():
    t = Time(["1969-07-20T20:17:40.123456789", "2016-12-31T23:59:60.5", "2024-02-29T23:59:59.9999996"])
    d64 = t.to_datetime64()
    assert d64.dtype == np.dtype("datetime64[ns]")
    np.testing.assert_array_equal(d64, np.array(["1969-07-20T20:17:40.123456789", "2016-12-31T23:59:59.999999999",
                                                 "2024-02-29T23:59:59.999999600"], dtype="datetime64[ns]"))
    dts = t.to_datetime()
    utc = datetime.timezone.utc
    assert list(dts) == [datetime.datetime(1969, 7, 20, 20, 17, 40, 123457, tzinfo=utc),
                         datetime.datetime(2016, 12, 31, 23, 59, 59, 999999, tzinfo=utc),
                         datetime.datetime(2024, 3, 1, tzinfo=utc)]
    assert Time(t[0].to_datetime64()) == t[0]
    assert t[0].to_datetime().tzinfo is utc
    with pytest.raises(ValueError, match="datetime64"):
        Time("2270-01-01").to_datetime64()


def test_a_scale_view_means_its_epochs():
    t = Time(["2024-01-01", "1965-01-01"])
    for view in (t.utc, t.tai, t.tt, t.ut1):
        np.testing.assert_array_equal(Time(view).int64, t.int64)


@pytest.mark.parametrize("value,words", [(object(), ["object", "ISO 8601", "astropy"]),
                                         ({"a": 1}, ["dict", "pandas"]),
                                         (2024, ["int", "format='jd'"])])
def test_rejected_inputs_say_what_they_were_and_what_is_accepted(value, words):
    with pytest.raises(TypeError) as info:
        Time(value)
    for w in words:
        assert w in str(info.value)

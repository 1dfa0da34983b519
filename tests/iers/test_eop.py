import math

import numpy as np
import pytest
from astropy_iers_data import IERS_A_FILE

import astrovia.iers as iers
from astrovia.iers import EOP

ARCSEC = math.pi / 648000


def table_rows(mjds):
    """The Bulletin A values of the shipped finals2000A file, read independently by column."""
    rows = {}
    with open(IERS_A_FILE) as f:
        for line in f:
            if line[7:15].strip() and float(line[7:15]) in mjds:
                rows[float(line[7:15])] = dict(
                    pm_x=float(line[18:27]) * ARCSEC, pm_y=float(line[37:46]) * ARCSEC, dut1=float(line[58:68]),
                    lod=float(line[79:86]) * 1e-3, dX=float(line[97:106]) * ARCSEC / 1000,
                    dY=float(line[116:125]) * ARCSEC / 1000)
    return rows


MJDS = [45000.0, 51544.0, 57000.0, 59000.0]


def test_values_at_table_dates_are_the_table():
    rows = table_rows(MJDS)
    e = EOP(np.array(MJDS))
    for i, mjd in enumerate(MJDS):
        for name, value in rows[mjd].items():
            assert getattr(e, name)[i] == pytest.approx(value, rel=1e-12, abs=1e-18), (mjd, name)


@pytest.mark.parametrize("name", ["pm_x", "pm_y", "dX", "dY", "lod", "dut1"])
def test_linear_between_table_dates(name):
    rows = table_rows([59000.0, 59001.0])
    a, b = rows[59000.0][name], rows[59001.0][name]
    got = getattr(EOP(np.array([59000.25, 59000.5, 59000.9])), name)
    np.testing.assert_allclose(got, [a + 0.25 * (b - a), a + 0.5 * (b - a), a + 0.9 * (b - a)], rtol=1e-12, atol=1e-18)


def test_dut1_steps_by_a_leap_second_at_the_leap_day_only():
    # 2017-01-01 (MJD 57754): UT1-UTC jumps by +1 s; the day before stays smooth
    e = EOP(np.array([57753.0, 57753.5, 57753.999, 57754.0]))
    assert abs(e.dut1[1] - e.dut1[0]) < 1e-3
    assert e.dut1[3] - e.dut1[2] == pytest.approx(1.0, abs=1e-3)


def test_outside_the_series_holds_the_end_values():
    e = EOP(np.array([10000.0, 1e6]))
    first, last = EOP(np.array([41684.0])), EOP(np.array([iers._current().mjd[-1]]))
    assert e.pm_x[0] == first.pm_x[0] and e.pm_x[1] == last.pm_x[0]


def test_outputs_are_fresh_writable_arrays_one_per_date():
    x = np.array([58000.0, 58001.5])
    e = EOP(x)
    for name in ("pm_x", "pm_y", "dX", "dY", "lod", "dut1"):
        a = getattr(e, name)
        assert a.shape == (2,) and a.dtype == np.float64 and a.flags.writeable
    assert EOP(58000.0).pm_x.shape == (1,)
    assert EOP(np.zeros(0)).pm_x.shape == (0,)
    np.testing.assert_array_equal(x, [58000.0, 58001.5])


def test_bad_dates_raise():
    with pytest.raises(ValueError, match="mjd_utc"):
        EOP(np.array([np.nan]))
    with pytest.raises(ValueError, match="mjd_utc"):
        EOP(np.zeros((2, 2)))


def test_load_a_users_file(tmp_path):
    lines = open(IERS_A_FILE).readlines()[1000:1010]
    path = tmp_path / "finals2000A.mine"
    path.write_text("".join(lines))
    try:
        iers.load(path)
        mjd0 = float(lines[0][7:15])
        assert EOP(mjd0 - 100).pm_x[0] == pytest.approx(float(lines[0][18:27]) * ARCSEC, rel=1e-12)
    finally:
        iers._series = None  # back to the shipped series
    empty = tmp_path / "finals2000A.empty"
    empty.write_text("no data here\n")
    with pytest.raises(ValueError, match="no finals2000A"):
        iers.load(empty)

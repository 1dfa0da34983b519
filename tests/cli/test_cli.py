"""The ``astrovia`` command line, run as a user runs it (a subprocess), checked against the library's own one-call
results and hand-built inputs."""

import io
import os
import pathlib
import pty
import subprocess
import sys

import numpy as np
import pytest

from astrovia.cli import _propagate, _tle
from astrovia.time.time import Time

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "data" / "sample.tle"
ESC = "\x1b["

tle_module = pytest.importorskip("astrovia.propagators.analytical.sgp4.tle")
HAVE_READERS = all(hasattr(tle_module, n) for n in ("read_tles", "read_omm", "TLEReadError"))
try:
    from astrovia.propagators.analytical.sgp4.sgp4 import SGP4
except ImportError:
    SGP4 = None
needs_readers = pytest.mark.skipif(not HAVE_READERS, reason="the TLE file readers are not in this build")
needs_sgp4 = pytest.mark.skipif(not HAVE_READERS or SGP4 is None, reason="SGP4 is not in this build")


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "astrovia", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd)


@pytest.mark.parametrize("args", [(), ("tle",), ("propagate",), ("screen",), ("passes",)])
def test_help_of_each_command(args):
    result = run(*args, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: astrovia {' '.join(args)}".rstrip())


@pytest.mark.parametrize(("args", "message"), [
    (("frobnicate",), "invalid choice"),
    (("tle",), "the following arguments are required: FILE"),
    (("propagate", "x.tle", "--start", "2024-01-01"), "required: --stop, --step"),
    (("propagate", "x.tle", "--start", "2024-01-01", "--stop", "2024-01-02", "--step", "60", "--frame", "J2000"),
     "invalid choice: 'J2000'"),
    (("tle", "/nonexistent/catalogue.tle"), "cannot read /nonexistent/catalogue.tle"),
    # every command that reads element sets takes FILE first; the searches need both ends of their window
    (("screen",), "the following arguments are required: FILE, --start, --stop"),
    (("screen", "x.tle", "--start", "2024-01-01"), "required: --stop"),
    (("passes", "x.tle", "--station", "47,15", "--stop", "2024-01-02"), "required: --start"),
])
def test_usage_errors_exit_2(args, message):
    result = run(*args)
    assert result.returncode == 2
    assert message in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize(("start", "stop", "step", "offsets"), [
    ("2024-01-01T00:00", "2024-01-01T00:01", 20.0, [0, 20, 40, 60]),        # stop on the grid: included
    ("2024-01-01T00:00", "2024-01-01T00:01", 25.0, [0, 25, 50]),            # stop off the grid
    ("2024-01-01T00:00", "2024-01-01T00:00", 10.0, [0]),                    # one epoch
    ("2016-12-31T23:59:50", "2017-01-01T00:00:10", 10.0, [0, 10, 20]),      # across a leap second: SI seconds
    ("2024-01-01T00:00", "2024-01-01T00:00:00.3", 0.1, [0, 0.1, 0.2, 0.3]),  # decimal steps do not lose the end
])
def test_time_grid(start, stop, step, offsets):
    grid = _propagate.time_grid(start, stop, step)
    assert np.array_equal(grid.int64 - Time(start).int64, np.rint(np.array(offsets) * 1e9).astype(np.int64))


@pytest.mark.parametrize(("start", "stop", "step", "message"), [
    ("2024-01-02", "2024-01-01", 60.0, "--stop is before --start"),
    ("2024-01-01", "2024-01-02", 0.0, "--step must be a positive"),
    ("2024-01-01", "2024-01-02", float("nan"), "--step must be a positive"),
    ("yesterday", "2024-01-02", 60.0, "--start/--stop"),
])
def test_time_grid_refuses(start, stop, step, message):
    with pytest.raises(_tle.CommandError, match=message):
        _propagate.time_grid(start, stop, step)


@pytest.mark.parametrize(("text", "name", "omm"), [
    ('[{"OBJECT_NAME": "ISS"}]', "-", True),
    ("OBJECT_NAME,NORAD_CAT_ID,EPOCH\nISS,25544,2024-01-01T00:00:00\n", "-", True),
    ("ISS (ZARYA)\n1 25544U 98067A ...\n", "iss.json", True),
    (SAMPLE.read_text(), "-", False),
    ("\n\n1 25544U 98067A ...\n", "catalogue.txt", False),
])
def test_omm_is_told_from_tle_text(text, name, omm):
    assert _tle.is_omm(text, name) is omm


def test_colour_codes_are_stripped():
    from astrovia.utils.representable import Representable

    coloured = Representable._Representable__get_color_formatted_text("TLE", "cyan")
    assert ESC in coloured and _tle.strip_colour(coloured) == "TLE"
    assert _tle.wants_colour(io.StringIO()) is False


@needs_readers
def test_tle_prints_every_satellite_without_colour_when_piped():
    result = run("tle", SAMPLE)
    assert result.returncode == 0, result.stderr
    assert ESC not in result.stdout and result.stderr == ""
    elsets = tle_module.read_elsets(str(SAMPLE))
    for number, elset in elsets.items():
        assert str(number) in result.stdout
        assert _tle.strip_colour(str(elset)) in result.stdout


@needs_readers
def test_tle_is_coloured_on_a_terminal():
    leader, follower = pty.openpty()
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    proc = subprocess.Popen([sys.executable, "-m", "astrovia", "tle", str(SAMPLE)], stdout=follower,
                            stderr=subprocess.PIPE, env=env)
    os.close(follower)
    chunks = []
    while True:
        try:
            data = os.read(leader, 65536)
        except OSError:
            break
        if not data:
            break
        chunks.append(data)
    proc.wait()
    os.close(leader)
    assert proc.returncode == 0
    assert ESC in b"".join(chunks).decode()


@needs_readers
def test_bad_record_is_reported_and_the_rest_printed(tmp_path):
    lines = SAMPLE.read_text().splitlines()
    broken = lines[:3] + ["1 25544U this is not a TLE line"] + lines[4:]
    path = tmp_path / "broken.tle"
    path.write_text("\n".join(broken) + "\n")
    result = run("tle", path)
    assert result.returncode == 1
    assert f"{path}:4:" in result.stderr
    good = tle_module.read_tles(io.StringIO("\n".join(lines[:3] + lines[6:]) + "\n"))
    for tle in good:
        assert tle.line1 in result.stdout or str(tle.satno) in result.stdout


def _read_csv(path):
    """The CSV table with every number parsed by float() (exact for the shortest round-trip text)."""
    import pandas as pd

    table = pd.read_csv(path, dtype=str, keep_default_na=False)
    for column in ("x", "y", "z", "vx", "vy", "vz"):
        table[column] = np.array([float(x) for x in table[column]])
    table["error"] = table["error"].astype(np.int8)
    table["satno"] = table["satno"].astype(np.int64)
    return table


def _latest_per_satellite():
    elsets = tle_module.read_elsets(str(SAMPLE))
    return [e[e.size - 1] for e in elsets.values()]


@needs_sgp4
@pytest.mark.parametrize("frame", ["TEME", "ITRF"])
def test_propagate_csv_rows_equal_propagate_many(tmp_path, frame):
    out = tmp_path / "states.csv"
    args = ("propagate", SAMPLE, "--start", "2024-01-05T00:00", "--stop", "2024-01-05T02:00", "--step", "900",
            "--frame", frame, "--output", out)
    result = run(*args)
    assert result.returncode == 0, result.stderr
    table = _read_csv(out)
    assert list(table.columns) == list(_propagate.COLUMNS)
    tles = _latest_per_satellite()
    time = Time("2024-01-05T00:00") + np.arange(9) * 900.0
    r, v, err = SGP4().propagate_many(time, tles, frame=frame)
    m, n = err.shape
    assert len(table) == m * n
    assert np.array_equal(table[["x", "y", "z"]].to_numpy(), r.reshape(-1, 3), equal_nan=True)
    assert np.array_equal(table[["vx", "vy", "vz"]].to_numpy(), v.reshape(-1, 3), equal_nan=True)
    assert np.array_equal(table["error"].to_numpy(), err.reshape(-1))
    assert list(table["satno"][::n]) == [t.satno for t in tles]
    assert list(table["epoch"][:n]) == list(time.iso)


@needs_sgp4
def test_propagate_parquet_equals_csv(tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    common = ("--start", "2024-01-05T00:00", "--stop", "2024-01-05T01:00", "--step", "600")
    assert run("propagate", SAMPLE, *common, "--output", tmp_path / "a.parquet").returncode == 0
    assert run("propagate", SAMPLE, *common, "--output", tmp_path / "a.csv").returncode == 0
    a = pd.read_parquet(tmp_path / "a.parquet")
    b = _read_csv(tmp_path / "a.csv")
    assert np.array_equal(a[["x", "y", "z", "vx", "vy", "vz"]].to_numpy(), b[["x", "y", "z", "vx", "vy", "vz"]]
                          .to_numpy(), equal_nan=True)
    assert list(a["epoch"]) == list(b["epoch"])


@needs_readers
def test_output_cut_short_by_the_reader_is_quiet(tmp_path):
    # 300 satellites: far more text than a pipe holds, so the writer meets the closed pipe
    line1, line2 = SAMPLE.read_text().splitlines()[1:3]
    records = [f"{line1[:2]}{n:05d}{line1[7:]}\n{line2[:2]}{n:05d}{line2[7:]}" for n in range(1, 301)]
    path = tmp_path / "many.tle"
    path.write_text("\n".join(records) + "\n")
    result = subprocess.run(f"'{sys.executable}' -m astrovia tle '{path}' | head -n 1", shell=True,
                            capture_output=True, text=True)
    assert result.stdout.count("\n") == 1 and result.stderr == ""


EDGE_VALUES = [np.nan, np.inf, -np.inf, -0.0, 0.0, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 0.1, 5e-324,
               1.7976931348623157e308, -123456789.0, 2.0**60, 1 / 3]


@pytest.mark.parametrize("satnos", [[25544, 7, 99999], ["ISS (ZARYA)", 'A,"B"', "line\nbreak"]],
                         ids=["numbers", "texts"])
def test_csv_rows_are_the_text_of_pandas(satnos):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(5)
    m, n = len(satnos), 40
    r = rng.normal(size=(m, n, 3)) * 10.0 ** rng.integers(-30, 30, size=(m, n, 3))
    r.reshape(-1)[:len(EDGE_VALUES)] = EDGE_VALUES
    v = rng.normal(size=(m, n, 3)) * 7e3
    err = rng.integers(0, 7, size=(m, n)).astype(np.int8)
    iso = np.asarray((Time("2024-01-05T00:00") + np.arange(n) * 0.125).iso)
    ours = _propagate.csv_rows(_propagate._table(satnos, iso, r, v, err)).decode()
    flat_r, flat_v = r.reshape(-1, 3), v.reshape(-1, 3)
    frame = pd.DataFrame({
        "satno": np.repeat(np.asarray(satnos, dtype=object), n), "epoch": np.tile(iso, m),
        "x": flat_r[:, 0], "y": flat_r[:, 1], "z": flat_r[:, 2],
        "vx": flat_v[:, 0], "vy": flat_v[:, 1], "vz": flat_v[:, 2], "error": err.reshape(-1),
    })
    assert ours == frame.to_csv(index=False, header=False, lineterminator="\n")


def test_csv_rows_of_many_chunks_do_not_depend_on_threads():
    from astrovia.cli._csv import format_rows

    x = np.random.default_rng(2).normal(size=200_000) * 7e6
    pieces = format_rows([x, (["a", "b"], np.arange(x.size) % 2)])
    assert len(pieces) == 7  # 32768 rows each, the last one shorter
    text = b"".join(pieces)
    assert text.decode().splitlines()[::50_000] == [f"{repr(float(x[i]))},{'ab'[i % 2]}" for i in range(0, x.size, 50_000)]
    script = ("import sys, numpy as np; from astrovia.cli._csv import format_rows; "
              "x = np.random.default_rng(2).normal(size=200_000) * 7e6; "
              "sys.stdout.buffer.write(b''.join(format_rows([x, (['a', 'b'], np.arange(x.size) % 2)])))")
    one = subprocess.run([sys.executable, "-c", script], capture_output=True, env={**os.environ, "OMP_NUM_THREADS": "1"})
    assert one.returncode == 0 and one.stdout == text


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"])
def test_csv_rows_of_every_integer_width(dtype):
    # the extremes of each width, strided too, and label codes of each signed width: the text Python gives
    from astrovia.cli._csv import format_rows

    info = np.iinfo(dtype)
    values = np.array([info.min, info.max, 0, 1, info.max // 3, info.min // 5], dtype=dtype)
    strided = np.repeat(values, 2)[::2]
    codes = np.array([0, 5, 2, 1, 3, 4], dtype=dtype if info.min < 0 else "int64")  # codes are signed
    labels = [f"L{k}" for k in range(6)]
    text = b"".join(format_rows([values, strided, (labels, codes)])).decode()
    assert text.splitlines() == [f"{int(x)},{int(x)},L{int(c)}" for x, c in zip(values, codes)]


@pytest.mark.parametrize(("columns", "error", "message"), [
    ([np.zeros(3), np.zeros(4)], ValueError, "column 1 has 4 rows, column 0 has 3"),
    ([(["a"], np.array([0, 1]))], ValueError, "code 1 at row 1 picks none of its 1 labels"),
    ([np.zeros(3, dtype=np.float32)], ValueError, "float64 or integer"),
    ([np.zeros((3, 2))], ValueError, "1 dimension"),
    ([[1.0, 2.0]], TypeError, "column 0 must be a one-dimensional numeric array"),
    ([(["a", 3], np.array([0]))], TypeError, "labels must be str or bytes"),
    ([], ValueError, "at least one column"),
])
def test_csv_rows_refuse_bad_columns(columns, error, message):
    from astrovia.cli._csv import format_rows

    with pytest.raises(error, match=message):
        format_rows(columns)


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize(("stream", "long", "shown"), [(_Terminal, True, True), (_Terminal, False, False),
                                                       (io.StringIO, True, False)])
def test_progress_only_on_a_terminal_and_for_long_work(stream, long, shown):
    from astrovia.cli._progress import progress

    out = stream()
    with progress(10, unit="sat", desc="propagate", long=long, stream=out) as bar:
        for _ in range(10):
            bar.update(1)
        bar.refresh()
        text = out.getvalue()
    assert (("sat/s" in text or "s/sat" in text) and "10/10" in text) is shown
    assert (text != "") is shown


@needs_sgp4
def test_propagate_to_stdout_equals_the_file(tmp_path):
    common = ("--start", "2024-01-05T00:00", "--stop", "2024-01-05T01:00", "--step", "600")
    assert run("propagate", SAMPLE, *common, "--output", tmp_path / "a.csv").returncode == 0
    piped = run("propagate", SAMPLE, *common)
    assert piped.returncode == 0 and piped.stderr == ""
    assert piped.stdout == (tmp_path / "a.csv").read_text()
    assert piped.stdout.splitlines()[0] == ",".join(_propagate.COLUMNS)


@needs_sgp4
def test_propagate_numerical_from_tles_and_from_a_csv_of_states(tmp_path):
    from astrovia.frames.frames import GCRF
    from astrovia.propagators.numerical import Drag, HarrisPriester, Numerical

    out = tmp_path / "numerical.csv"
    common = ("--start", "2024-01-05T00:00", "--stop", "2024-01-05T01:00", "--step", "1800", "--frame", "GCRF",
              "--model", "numerical", "--degree", "8", "--third-bodies", "moon", "--drag", "0.01")
    result = run("propagate", SAMPLE, *common, "--output", out)
    assert result.returncode == 0, result.stderr
    table = _read_csv(out)
    tles = _latest_per_satellite()
    start = Time("2024-01-05T00:00")
    r0, v0, _ = SGP4().propagate_many(start, tles, frame="GCRF")
    # Each satellite starts from its SGP4 state at --start.
    np.testing.assert_allclose(table[["x", "y", "z"]].to_numpy()[::3], r0[:, 0], rtol=0, atol=1e-6)
    # The same states as a CSV give the same table.
    states = tmp_path / "states.csv"
    rows = ["satno,epoch,x,y,z,vx,vy,vz,frame"] + [
        f"{t.satno},2024-01-05T00:00:00," + ",".join(repr(float(x)) for x in (*r, *v)) + ",GCRF"
        for t, r, v in zip(tles, r0[:, 0], v0[:, 0])]
    states.write_text("\n".join(rows) + "\n")
    again = tmp_path / "again.csv"
    result = run("propagate", states, *common, "--output", again)
    assert result.returncode == 0, result.stderr
    table2 = _read_csv(again)
    assert np.array_equal(table2[["x", "y", "z"]].to_numpy(), table[["x", "y", "z"]].to_numpy())
    p = Numerical(degree=8, order=8, third_bodies=("moon",), drag=Drag(0.01, atmosphere=HarrisPriester()))
    from astrovia.state.state import StateVector

    r, _, status = p.propagate_many(start + np.array([0.0, 1800.0, 3600.0]),
                                    [StateVector(start, a, b, frame=GCRF) for a, b in zip(r0[:, 0], v0[:, 0])])
    assert np.array_equal(table[["x", "y", "z"]].to_numpy(), r.reshape(-1, 3))
    bad = run("propagate", SAMPLE, *common, "--degree", "99")
    assert bad.returncode == 2 and "degree" in bad.stderr

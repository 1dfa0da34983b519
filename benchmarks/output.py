"""Writing the table of ``astrovia propagate``: rows per second of the command's writers against pandas.

A table of 1000 satellites at 1000 epochs (1 000 000 rows: satno, ISO epoch, x, y, z, vx, vy, vz,
error; SGP4-like magnitudes with full float64 digits), written to a file in a temporary directory:
- CSV: the command's native formatter (astrovia.cli._csv, the cell text of pandas) against the pandas
  writer the command used before (DataFrame construction and DataFrame.to_csv); bar >= 1 000 000 rows/s;
- Parquet: the pyarrow table built from the columns against pyarrow's Table.from_pandas of the DataFrame.

One process; the contenders take turns within every repeat; medians of REPEATS runs, wall clock and
this process's CPU time (the machine may be shared: the load is printed).

usage: python benchmarks/output.py [--quick]
"""

import os
import sys
import tempfile
from importlib.metadata import version

from _common import timings

import numpy as np
import pandas as pd

from astrovia.cli._propagate import _table, arrow_table, csv_pieces

REPEATS = 5
QUICK = "--quick" in sys.argv
M, N = (200, 1000) if QUICK else (1000, 1000)


def columns():
    rng = np.random.default_rng(7)
    r = rng.normal(size=(M, N, 3)) * 7.0e6
    v = rng.normal(size=(M, N, 3)) * 7.5e3
    err = np.zeros((M, N), dtype=np.int8)
    err[::97, -10:] = 6
    r[::97, -10:] = np.nan
    start = np.datetime64("2024-01-01T00:00:00", "ns")
    iso = np.asarray([str(start + np.timedelta64(30 * i, "s")) for i in range(N)])
    return list(range(1, M + 1)), iso, r, v, err


def pandas_frame(satnos, iso, r, v, err):
    """The DataFrame the command built before, column for column."""
    m, n = err.shape
    flat_r, flat_v = r.reshape(m * n, 3), v.reshape(m * n, 3)
    return pd.DataFrame({
        "satno": np.repeat(np.asarray(satnos, dtype=np.int64), n), "epoch": np.tile(iso, m),
        "x": flat_r[:, 0], "y": flat_r[:, 1], "z": flat_r[:, 2],
        "vx": flat_v[:, 0], "vy": flat_v[:, 1], "vz": flat_v[:, 2], "error": err.reshape(m * n),
    })


def main():
    import pyarrow as pa
    import pyarrow.parquet as pq

    print(f"astrovia {version('astrovia')}, numpy {np.__version__}, pandas {pd.__version__}, pyarrow {pa.__version__}, "
          f"{os.cpu_count()} cores, OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}, "
          f"load {os.getloadavg()[0]:.2f}, median of {REPEATS}")
    data = columns()
    rows = M * N
    with tempfile.TemporaryDirectory() as tmp:
        a_csv, b_csv = os.path.join(tmp, "a.csv"), os.path.join(tmp, "b.csv")
        a_pq, b_pq = os.path.join(tmp, "a.parquet"), os.path.join(tmp, "b.parquet")

        def ours_csv():
            table = _table(*data)
            with open(a_csv, "wb") as f:
                f.write(b"satno,epoch,x,y,z,vx,vy,vz,error\n")
                f.writelines(csv_pieces(table))

        def pandas_csv():
            with open(b_csv, "w", encoding="utf-8", newline="") as f:
                pandas_frame(*data).to_csv(f, index=False, lineterminator="\n")

        def ours_parquet():
            pq.write_table(arrow_table(_table(*data)), a_pq)

        def pandas_parquet():
            pq.write_table(pa.Table.from_pandas(pandas_frame(*data), preserve_index=False), b_pq)

        ours_csv()
        pandas_csv()
        with open(a_csv, "rb") as fa, open(b_csv, "rb") as fb:
            same = fa.read() == fb.read()
        print(f"CSV files byte for byte equal: {same}")
        (oc, pc, op, pp), (occ, pcc, opc, ppc), _ = timings(ours_csv, pandas_csv, ours_parquet, pandas_parquet,
                                                            repeats=REPEATS)
        print(f"load after: {os.getloadavg()[0]:.2f}")
        for name, ours, base, ours_cpu, base_cpu, bar in (
            ("CSV", oc, pc, occ, pcc, " (bar >= 1 000 000 rows/s)"),
            ("Parquet", op, pp, opc, ppc, ""),
        ):
            print(f"{name:8s} rows={rows}: astrovia {rows / ours:12,.0f} rows/s wall, {rows / ours_cpu:12,.0f} rows/s "
                  f"of CPU time{bar}; pandas {rows / base:12,.0f} rows/s wall, {rows / base_cpu:12,.0f} of CPU: "
                  f"ratio {base / ours:.1f}x wall, {base_cpu / ours_cpu:.1f}x CPU")


if __name__ == "__main__":
    main()

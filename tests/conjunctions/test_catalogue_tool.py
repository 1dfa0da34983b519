"""tools/make_catalogue.py: reproducible, about 30 000 valid element sets of the advertised kinds."""

import subprocess
import sys

import numpy as np
from sgp4.api import WGS72, Satrec

from .conftest import make_catalogue

ROOT_TOOL = make_catalogue.__file__


def test_same_seed_same_bytes_other_seed_other_catalogue(tmp_path):
    paths = [tmp_path / f"{k}.tle" for k in range(3)]
    for path, seed in zip(paths, (7, 7, 8)):
        subprocess.run([sys.executable, ROOT_TOOL, str(path), "--scale", "0.02", "--seed", str(seed)], check=True,
                       capture_output=True)
    assert paths[0].read_bytes() == paths[1].read_bytes() != paths[2].read_bytes()


def test_full_catalogue_is_valid_and_shaped_like_today():
    records = make_catalogue.catalogue()
    assert 29_000 <= len(records) <= 31_000
    kinds = {name.split("-")[0] for name, _, _ in records}
    assert kinds == {"CONSTELLATION", "SSO", "DEBRIS", "LEO", "GEO", "GTO", "NAV", "MOLNIYA"}
    checksum = lambda line: sum(int(c) if c.isdigit() else c == "-" for c in line[:68]) % 10  # noqa: E731
    perigees = []
    for _, l1, l2 in records[::50]:
        assert len(l1) == len(l2) == 69 and int(l1[68]) == checksum(l1) and int(l2[68]) == checksum(l2)
        sat = Satrec.twoline2rv(l1, l2, WGS72)
        e, r, _ = sat.sgp4(2460310.5, 0.5)  # 2024-01-01T12:00
        assert e == 0
        perigees.append(sat.altp * sat.radiusearthkm)
    assert min(perigees) > 150.0
    shell = [r for name, _, r in records if name.startswith("CONSTELLATION-550")]
    assert len(shell) == 72 * 22
    assert np.isclose(float(shell[0][52:63]), 86400 / (2 * np.pi) * np.sqrt(398600.8 / (6378.135 + 550) ** 3), atol=1e-7)

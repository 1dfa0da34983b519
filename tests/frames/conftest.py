import pathlib
import sys

import pytest

# The tests import their pyerfa oracle as a plain module (pytest runs with --import-mode=importlib).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from frames_oracle import EOPOverride  # noqa: E402


@pytest.fixture
def eop_override(monkeypatch):
    """eop_override(module, **fields) installs an EOPOverride as `module.EOP` and returns it."""

    def install(module, **fields):
        fake = EOPOverride(**fields)
        monkeypatch.setattr(module, "EOP", fake)
        return fake

    return install

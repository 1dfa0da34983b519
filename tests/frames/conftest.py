import pytest

from frames_oracle import EOPOverride


@pytest.fixture
def eop_override(monkeypatch):
    """eop_override(module, **fields) installs an EOPOverride as `module.EOP` and returns it."""

    def install(module, **fields):
        fake = EOPOverride(**fields)
        monkeypatch.setattr(module, "EOP", fake)
        return fake

    return install

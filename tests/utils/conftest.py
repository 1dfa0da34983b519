import json
from pathlib import Path

import pytest

from astrovia.utils import representable

# The installed file, beside the imported module: the one every lookup reads.
SETTINGS = Path(representable.__file__).parent / "settings.json"

# No styling at all, so that expected texts can be written out by hand.
PLAIN = {
    "header_color": False,
    "header_bold": False,
    "header_alignment": "left",
    "wall_char": "=",
    "wall_color": False,
    "wall_bold": False,
    "fence_char": "-",
    "fence_color": False,
    "fence_bold": False,
    "properties_color": False,
    "properties_bold": False,
}


class Settings:
    """Writes settings.json; the fixture puts the original bytes back."""

    path = SETTINGS

    def set(self, **options):
        self.write({**PLAIN, **options})

    def write(self, content):
        self.path.write_text(json.dumps(content) if not isinstance(content, str) else content)

    def remove(self, *keys):
        self.write({k: v for k, v in PLAIN.items() if k not in keys})


@pytest.fixture
def settings():
    original = SETTINGS.read_bytes()
    try:
        s = Settings()
        s.set()
        yield s
    finally:
        SETTINGS.write_bytes(original)

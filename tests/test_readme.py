"""Every Python block of the README runs as printed, top to bottom, in one namespace (as a reader pastes them)."""

import os
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def _blocks():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 2, m.group(1)) for m in BLOCK.finditer(text)]


def test_readme_has_the_quick_start_and_blocks():
    blocks = _blocks()
    assert len(blocks) >= 8
    assert "Time" in blocks[0][1] or "read_tles" in blocks[0][1]


def test_readme_blocks_run_in_order(capsys):
    namespace = {"__name__": "__readme__"}
    cwd = os.getcwd()
    os.chdir(ROOT)  # the blocks name the shipped sample files relative to the repository
    try:
        for line, code in _blocks():
            try:
                exec(compile(code, f"README.md:{line}", "exec"), namespace)
            except Exception as exc:
                pytest.fail(f"README block at line {line} fails: {type(exc).__name__}: {exc}")
    finally:
        os.chdir(cwd)
    out = capsys.readouterr().out
    assert "ISS (ZARYA)" in out

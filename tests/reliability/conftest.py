"""Helpers of the reliability tests: running code in a fresh interpreter.

Code that used to crash the interpreter (a segmentation fault, a sanitizer
abort) runs in a child process, so that a regression fails one test instead of
ending the whole run. The child's stderr is checked for nanobind's leak report.
"""

import importlib.util
import pathlib
import subprocess
import sys
import textwrap

import pytest

_spec = importlib.util.spec_from_file_location(
    "reliability_children", pathlib.Path(__file__).with_name("children.py"))
children = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(children)
child_environment = children.child_environment

PRELUDE = textwrap.dedent(
    """
    import numpy
    from astrovia.time.time import Time
    from astrovia.state.state import COE, StateVector
    from astrovia.state.ephemeris import StateVectorEphemeris
    TLE_LINES = (
        "1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9005",
        "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
    )
    T0 = Time("2024-01-01T12:00:00")
    """
)


class Child:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr

    def check(self):
        """Asserts a clean exit without leaks and returns the child's stdout lines."""
        assert self.returncode == 0, f"child exited with {self.returncode}\n{self.stderr[-3000:]}"
        assert "nanobind: leaked" not in self.stderr, self.stderr[-3000:]
        return self.stdout.split()


def run_child(code, timeout=300):
    env = child_environment()
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
    return Child(proc)


@pytest.fixture
def child():
    return run_child

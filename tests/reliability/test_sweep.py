"""Bad-input sweep over the whole native surface of the package.

Every extension module of astrovia is found by walking the package, so new
modules are covered without edits here. For each one a child interpreter
(sweep_child.py) calls every function, constructor, method and property with
wrong types, odd arrays, uninitialised receivers and monkeypatched siblings.
A call may return or raise; it must not crash the interpreter, hang, leak
nanobind objects or change its arguments.
"""

import importlib
import importlib.machinery
import importlib.util
import os
import pathlib
import pkgutil
import subprocess
import sys
import time

import pytest

import astrovia

_spec = importlib.util.spec_from_file_location("reliability_children", pathlib.Path(__file__).with_name("children.py"))
_children = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_children)
child_environment = _children.child_environment

CHILD = pathlib.Path(__file__).with_name("sweep_child.py")
STALL_SECONDS = 120

# Crashes in code that another branch owns are reported, not fixed here: the
# sweep marks them as expected failures with what it found.
OWNED_ELSEWHERE = {
    "astrovia.propagators.analytical.sgp4.tle": "tle.cpp (catalogue branch)",
    "astrovia.time._timecore": "the time core (time branch)",
}


def extension_modules():
    names = []
    for info in pkgutil.walk_packages(astrovia.__path__, "astrovia."):
        spec = importlib.util.find_spec(info.name)
        if spec is not None and isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
            names.append(info.name)
    return sorted(names)


MODULES = extension_modules()

# Python surfaces over native loops, swept like the extensions themselves.
SURFACES = ["astrovia.frames.geodetic", "astrovia.groundstation", "astrovia.bodies.bodies", "astrovia.events",
            "astrovia.plot._ground_track"]


def test_the_walk_finds_the_native_modules():
    # The sweep is only as good as its discovery: the known modules must be among the found ones.
    for name in ("astrovia.frames.geocentric", "astrovia.frames.rotations",
                 "astrovia.propagators.analytical.keplerian.keplerian", "astrovia.utils.representable",
                 "astrovia.propagators.analytical.sgp4.tle", "astrovia.satellite.satellite"):
        assert name in MODULES


def run_sweep(module, progress):
    """Runs the child until it reports DONE, restarting after each crash or hang."""
    start, crashes = 0, []
    stderr_path = progress.with_suffix(".stderr")
    while True:
        with open(stderr_path, "w") as err:
            proc = subprocess.Popen([sys.executable, str(CHILD), module, str(start), str(progress)],
                                    stdout=subprocess.DEVNULL, stderr=err, env=child_environment())
            last_size, last_change = -1, time.monotonic()
            while proc.poll() is None:
                size = progress.stat().st_size if progress.exists() else 0
                if size != last_size:
                    last_size, last_change = size, time.monotonic()
                elif time.monotonic() - last_change > STALL_SECONDS:
                    proc.kill()
                    proc.wait()
                    break
                time.sleep(0.05)
        lines = progress.read_text(encoding="utf-8").splitlines()
        stderr = stderr_path.read_text(errors="replace")
        if lines and lines[-1] == "DONE" and proc.returncode == 0:
            return lines, crashes, stderr
        begun = [line for line in lines if line.startswith("BEGIN ")]
        ended = {int(line.split()[1]) for line in lines if line.startswith("END ")}
        if not begun:
            pytest.fail(f"the sweep of {module} did not start (exit {proc.returncode}):\n{stderr[-3000:]}")
        last = begun[-1]
        index = int(last.split()[1])
        if index in ended:
            if lines[-1] == "DONE":
                # Every case ran; the failure came at exit.
                crashes.append(f"interpreter exit (status {proc.returncode}): {stderr[-1500:]}")
                return lines, crashes, stderr
            pytest.fail(f"the sweep of {module} stopped between cases (exit {proc.returncode}):\n{stderr[-3000:]}")
        symptom = "hang" if proc.returncode in (-9,) else f"exit status {proc.returncode}"
        crashes.append(f"case {index} {last.split(' ', 2)[2]}: {symptom}")
        start = index + 1


@pytest.mark.parametrize("module", MODULES + SURFACES)
def test_no_call_crashes_or_writes_its_inputs(module, tmp_path, record_property):
    lines, crashes, stderr = run_sweep(module, tmp_path / "progress")
    total = int(next(line for line in lines if line.startswith("TOTAL ")).split()[1])
    record_property("sweep_cases", total)
    print(f"{module}: {total} cases")
    mutated = [line for line in lines if line.startswith("MUTATED ")]
    leaked = [line for line in stderr.splitlines() if "nanobind: leaked" in line]
    if crashes and module in OWNED_ELSEWHERE:
        pytest.xfail(f"known crashes in {OWNED_ELSEWHERE[module]}: " + "; ".join(crashes[:20]))
    assert not crashes, "\n".join(crashes)
    assert not mutated, "\n".join(mutated)
    assert not leaked, stderr[-3000:]

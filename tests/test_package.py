"""The top-level package: a cheap import, its lazy names, its version."""

import importlib.metadata
import json
import subprocess
import sys

import pytest

import astrovia


def _run(code):
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def test_import_loads_neither_pandas_nor_extensions():
    loaded = _run("import sys, json, astrovia; astrovia.__version__; "
                  "print(json.dumps(sorted(m for m in sys.modules if m.startswith(('astrovia', 'pandas', 'numpy')))))")
    assert loaded == ["astrovia"]


@pytest.mark.parametrize(("name", "module"), [
    ("Time", "astrovia.time.time"),
    ("ITRF_from_GCRF", "astrovia.frames.geocentric"),
    ("rot_ITRF_from_GCRF", "astrovia.frames.rotations"),
    ("Keplerian", "astrovia.propagators.analytical.keplerian.keplerian"),
    ("TLE", "astrovia.propagators.analytical.sgp4.tle"),
    ("StateVector", "astrovia.state.state"),
])
def test_first_use_imports_only_its_module(name, module):
    code = (f"import sys, json, astrovia; obj = astrovia.{name}; "
            f"print(json.dumps([obj.__module__, 'pandas' in sys.modules, '{module}' in sys.modules]))")
    owner, pandas_loaded, module_loaded = _run(code)
    assert module_loaded and not pandas_loaded
    assert owner == module


@pytest.mark.parametrize("name", sorted(astrovia._LAZY))
def test_lazy_names_are_the_module_objects(name):
    try:
        module = importlib.import_module(astrovia._LAZY[name])
    except ModuleNotFoundError:
        module = None
    if not hasattr(module, name):
        pytest.skip(f"{name} is not in {astrovia._LAZY[name]} in this build")
    assert getattr(astrovia, name) is getattr(module, name)
    assert name in dir(astrovia)


def test_unknown_name_is_an_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'Tiem'"):
        astrovia.Tiem  # noqa: B018


def test_version_is_the_distribution_version():
    assert astrovia.__version__ == importlib.metadata.version("astrovia")

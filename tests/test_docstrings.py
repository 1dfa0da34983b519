"""Every public module, class, function, property and attribute of the package says what it is (help() shows it)."""

import importlib
import inspect
import pkgutil

import pytest

import astrovia

# Documented by their own owners' suites; the command line's private helpers are not public.
ELSEWHERE = ("astrovia.time", "astrovia.iers", "astrovia.propagators.analytical.sgp4", "astrovia.__main__")


def _public_modules():
    names = []
    for info in pkgutil.walk_packages(astrovia.__path__, "astrovia."):
        if info.name.startswith(ELSEWHERE) or any(part.startswith("_") for part in info.name.split(".")[1:]):
            continue
        if info.name == "astrovia.dask" and importlib.util.find_spec("dask") is None:
            continue
        names.append(info.name)
    return names


def _undocumented(module_name):
    module = importlib.import_module(module_name)
    missing = [] if (module.__doc__ or "").strip() else [module_name]
    for name, obj in vars(module).items():
        if name.startswith("_") or getattr(obj, "__module__", None) != module_name:
            continue
        if not (inspect.isclass(obj) or callable(obj)):
            continue
        if not (obj.__doc__ or "").strip():
            missing.append(f"{module_name}.{name}")
        if inspect.isclass(obj):
            for member, value in vars(obj).items():
                if member.startswith("_"):
                    continue
                documented = isinstance(value, (property, staticmethod, classmethod)) or callable(value) \
                    or inspect.ismemberdescriptor(value) or inspect.isgetsetdescriptor(value)
                if documented and not (inspect.getdoc(value) or "").strip():
                    missing.append(f"{module_name}.{name}.{member}")
    return missing


@pytest.mark.parametrize("module_name", _public_modules())
def test_public_names_have_docstrings(module_name):
    assert _undocumented(module_name) == []


@pytest.mark.parametrize(("owner", "attribute", "words"), [
    ("astrovia.state.state.StateVector", "r", ["[m]", "(3,)"]),
    ("astrovia.state.state.StateVector", "v", ["[m/s]", "(3,)"]),
    ("astrovia.state.state.COE", "sma", ["[m]"]),
    ("astrovia.state.state.COE", "inc", ["[rad]"]),
    ("astrovia.state.ephemeris.StateVectorEphemeris", "r", ["[m]", "(N, 3)"]),
    ("astrovia.state.ephemeris.COEEphemeris", "tra", ["[rad]", "(N,)"]),
])
def test_attribute_docstrings_give_units_and_shapes(owner, attribute, words):
    module, cls = owner.rsplit(".", 1)
    doc = inspect.getdoc(getattr(getattr(importlib.import_module(module), cls), attribute))
    assert all(w in doc for w in words), doc

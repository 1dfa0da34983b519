"""The package's types as a user's type checker sees them: ``mypy --strict`` on the examples and on a snippet
that uses every public class, and the same snippet with a deliberate error."""

import pathlib
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

from astrovia.time.time import Time  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent

_NEEDS_TYPED_TIME = pytest.mark.skipif(
    not Time.__init__.__annotations__, reason="Time is not annotated in this build: mypy --strict cannot pass")


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    """One mypy cache for the module's runs: numpy and the package are analysed once."""
    return tmp_path_factory.mktemp("mypy-cache")


def _mypy(cwd, cache, *paths):
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache),
           *map(str, paths)]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=cwd)


@_NEEDS_TYPED_TIME
def test_examples_and_snippet_pass(tmp_path, cache_dir):
    result = _mypy(tmp_path, cache_dir, ROOT / "examples", HERE / "snippet.py")
    assert result.returncode == 0, result.stdout + result.stderr


@_NEEDS_TYPED_TIME
@pytest.mark.parametrize(("mistake", "message"), [
    ("wrong: StateVector = Keplerian()", 'Incompatible types in assignment (expression has type "Keplerian"'),
    ("TLE(LINE1)", 'Missing positional argument "line2" in call to "TLE"'),
    ("geocentric.ITRF_from_TEME(epochs(), 1.0, np.zeros((1, 3)))", 'Argument 2 to "ITRF_from_TEME" has incompatible type "float"'),
    ("n: str = epochs().size", 'Incompatible types in assignment (expression has type "int"'),
])
def test_deliberate_error_is_caught(tmp_path, cache_dir, mistake, message):
    snippet = tmp_path / "snippet_with_error.py"
    shutil.copy(HERE / "snippet.py", snippet)
    with snippet.open("a") as f:
        f.write(f"\n\n{mistake}\n")
    lines = snippet.read_text().count("\n")
    result = _mypy(tmp_path, cache_dir, snippet)
    assert result.returncode == 1
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, result.stdout
    assert f"snippet_with_error.py:{lines}: error: {message}" in errors[0]


def test_every_extension_module_has_its_stub():
    import importlib.machinery

    import astrovia

    package = pathlib.Path(astrovia.__file__).parent
    assert (package / "py.typed").is_file()
    modules = [p for suffix in importlib.machinery.EXTENSION_SUFFIXES for p in package.rglob(f"*{suffix}")]
    assert len(modules) >= 8
    for module in modules:
        stub = module.parent / (module.name.split(".")[0] + ".pyi")
        assert stub.is_file(), f"no stub beside {module}"
        compile(stub.read_text(), str(stub), "exec")


def test_stub_signatures_name_the_arguments():
    import ast

    from astrovia.frames import geocentric

    tree = ast.parse(pathlib.Path(geocentric.__file__).with_name("geocentric.pyi").read_text())
    functions = {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}
    assert set(functions) == {"ITRF_from_GCRF", "GCRF_from_ITRF", "ITRF_from_TEME", "TEME_from_ITRF"}
    args = functions["ITRF_from_GCRF"].args.args
    assert [a.arg for a in args] == ["time", "r_GCRF", "v_GCRF"]
    assert [ast.unparse(a.annotation) for a in args] == ["Time", "NDArray[numpy.float64]", "NDArray[numpy.float64]"]

"""The shape of the source tree: imports run one way, and no source file grows past one sitting.

Read from the source tree, not from the installed package: the C++ sources are not installed.
"""

import ast
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
SRC = ROOT / "src"
PACKAGE = SRC / "astrovia"
MAX_LINES = 1200

pytestmark = pytest.mark.skipif(not PACKAGE.is_dir(), reason="needs the source tree")


def python_modules():
    """{dotted name: (path, is_package)} of every Python module of the package."""
    mods = {}
    for path in PACKAGE.rglob("*.py"):
        parts = list(path.relative_to(SRC).with_suffix("").parts)
        is_package = parts[-1] == "__init__"
        mods[".".join(parts[:-1] if is_package else parts)] = (path, is_package)
    return mods


def owning_module(name, known):
    """The longest prefix of a dotted name that is one of the package's modules, or None."""
    while name and name not in known:
        name = name.rpartition(".")[0]
    return name or None


def python_imports(name, path, is_package, known):
    """The package modules one module imports anywhere in its body (functions and TYPE_CHECKING blocks too)."""
    package = name if is_package else name.rpartition(".")[0]
    out = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            out.update(owning_module(a.name, known) for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                source = ".".join(base + ([node.module] if node.module else []))
            else:
                source = node.module
            for alias in node.names:
                full = f"{source}.{alias.name}"
                out.add(full if full in known else owning_module(source, known))
    out.discard(None)
    out.discard(name)
    return out


def native_modules():
    """{dotted name: [source paths]} of the extension modules CMakeLists.txt builds."""
    cmake = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    mods = {}
    for call in re.findall(r"astrovia_extension\(([^)]*)\)", cmake):
        words = call.split()
        if len(words) < 3 or "$" in call:
            continue
        name, subdir, sources = words[0], words[1], words[2:]
        mods[f"astrovia.{subdir.replace('/', '.')}.{name}"] = [PACKAGE / s for s in sources]
    return mods


def native_imports(name, sources, known):
    """The package modules named in the sources of an extension and in the headers they include.

    The extension's own interface header (misc.hpp beside misc.cpp) is left out: it names the
    module for its consumers, who import it."""
    own = {(s.parent, s.stem) for s in sources} | {(sources[0].parent, name.rpartition(".")[2].lstrip("_"))}
    seen, todo, out = set(), list(sources), set()
    while todo:
        path = todo.pop()
        if path in seen or not path.is_file():
            continue
        seen.add(path)
        if path.suffix == ".hpp" and (path.parent, path.stem) in own:
            continue
        text = path.read_text(encoding="utf-8")
        todo += [PACKAGE / inc for inc in re.findall(r'#include "([^"]+)"', text)]
        out.update(owning_module(m, known) for m in re.findall(r'"(astrovia(?:\.\w+)+)"', text))
    out.discard(None)
    return out


def import_graph():
    py = python_modules()
    native = native_modules()
    known = set(py) | set(native)
    graph = {name: python_imports(name, path, pkg, known) for name, (path, pkg) in py.items()}
    for name, sources in native.items():
        graph[name] = native_imports(name, sources, known) - {name}
    return graph


def cycles(graph):
    """The strongly connected components of more than one module (Tarjan), each sorted."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


@pytest.mark.parametrize(("graph", "expected"), [
    ({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}, [["a", "b", "c"]]),
    ({"a": {"b"}, "b": set(), "c": {"a", "b"}}, []),
    ({"a": {"b"}, "b": {"a"}, "c": {"d"}, "d": {"c"}}, [["a", "b"], ["c", "d"]]),
])
def test_cycle_finder_on_hand_made_graphs(graph, expected):
    assert sorted(cycles(graph)) == expected


def test_the_graph_sees_the_imports_that_exist():
    graph = import_graph()
    # A plain import, a relative one, and a native module's import of a Python sibling.
    assert "astrovia.frames.frames" in graph["astrovia.state.state"]
    assert "astrovia.state.conversions" in graph["astrovia.state.ephemeris"]
    assert "astrovia.time.time" in graph["astrovia.propagators.analytical.sgp4.tle"]


def test_no_import_circle():
    assert cycles(import_graph()) == []


def test_frames_module_imports_nothing_of_the_package():
    assert import_graph()["astrovia.frames.frames"] == set()


def test_no_source_file_longer_than_one_sitting():
    long = {}
    for path in PACKAGE.rglob("*"):
        if path.suffix in {".py", ".cpp", ".hpp", ".h"}:
            n = len(path.read_text(encoding="utf-8").splitlines())
            if n > MAX_LINES:
                long[str(path.relative_to(ROOT))] = n
    assert long == {}

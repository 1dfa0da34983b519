#!/usr/bin/env bash
# Prepares a fresh machine for astrovia: ERFA (the C library), a virtual
# environment with Python 3.13 and the package's build and test dependencies.
# Idempotent; `make` calls it only when pyproject.toml is newer than the venv.
set -euo pipefail
venv=${1:-.venv}
# Optional extra requirement that narrows the package's own ones, e.g. "pandas<2.3"
# for the second test environment.
extra=${2:-}
# Which optional-dependency group of pyproject.toml to install ("test": everything
# the suite uses; "test-core": what the pandas-2.2 run imports). A venv that only
# receives a ready wheel (the second one) passes "test-core" and gets no build tools.
group=${3:-test}

apt_install() {
    if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
    elif command -v apt-get >/dev/null && command -v sudo >/dev/null; then
        sudo apt-get update -qq
        sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
    else
        return 1
    fi
}

if [ "$group" = test ] && ! command -v c++ >/dev/null && ! command -v g++ >/dev/null && ! command -v clang++ >/dev/null; then
    echo "setup: no C++ compiler; installing g++ with apt-get"
    apt_install g++ || { echo "setup: install a C++20 compiler (g++ >= 10 or clang >= 13) and retry" >&2; exit 1; }
fi

have_erfa() {
    [ -f /usr/include/erfa.h ] || [ -f /usr/local/include/erfa.h ] || [ -n "${CONDA_PREFIX:-}" -a -f "${CONDA_PREFIX:-}/include/erfa.h" ]
}
if [ "$group" = test ] && ! have_erfa; then
    echo "setup: installing liberfa-dev with apt-get"
    apt_install liberfa-dev pkg-config || { echo "setup: ERFA not found; install it (conda-forge or vcpkg 'erfa') and retry" >&2; exit 1; }
fi

# Google Highway (the SGP4 vector kernel's types and run-time dispatch).
have_hwy() {
    [ -f /usr/include/hwy/highway.h ] || [ -f /usr/local/include/hwy/highway.h ] || [ -n "${CONDA_PREFIX:-}" -a -f "${CONDA_PREFIX:-}/include/hwy/highway.h" ]
}
if [ "$group" = test ] && ! have_hwy; then
    echo "setup: installing libhwy-dev with apt-get"
    apt_install libhwy-dev || { echo "setup: Google Highway not found; install it (conda-forge or vcpkg 'highway') and retry" >&2; exit 1; }
fi

pick_python() {
    if command -v pyenv >/dev/null && PYENV_VERSION=3.13.0 python3.13 -c 'import sys' 2>/dev/null; then
        echo "env PYENV_VERSION=3.13.0 python3.13"; return
    fi
    if command -v python3.13 >/dev/null; then echo python3.13; return; fi
    for minor in 14 12 11; do
        if command -v python3.$minor >/dev/null; then
            echo "setup: Python 3.13 not found, falling back to python3.$minor" >&2
            echo python3.$minor; return
        fi
    done
    if python3 -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
        echo "setup: Python 3.13 not found, falling back to $(python3 --version)" >&2
        echo python3; return
    fi
    echo "setup: no Python >= 3.11 found" >&2
    exit 1
}

if [ ! -x "$venv/bin/python" ]; then
    py=$(pick_python)
    echo "setup: creating $venv with $($py --version)"
    $py -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
if [ "$group" = test ]; then
    # Build requirements are installed into the venv so that rebuilds need no isolation (and no network);
    # cmake comes from PyPI only where the machine has none recent enough (3.19).
    build_tools=("scikit-build-core>=0.10" "nanobind>=2.4" ninja)
    if ! cmake_version=$(cmake --version 2>/dev/null | head -1 | grep -o '[0-9][0-9.]*') ||
       [ "$(printf '%s\n3.19\n' "$cmake_version" | sort -V | head -1)" != 3.19 ]; then
        echo "setup: cmake >= 3.19 not found; installing it from PyPI into $venv"
        build_tools+=("cmake>=3.19")
    fi
    "$venv/bin/python" -m pip install -q "${build_tools[@]}"
fi
GROUP=$group "$venv/bin/python" - <<'PY' > "$venv/.requirements.txt"
import os
import tomllib
p = tomllib.load(open("pyproject.toml", "rb"))["project"]
def group(name):  # an extra may name another of the package's own ("astrovia[test-core]")
    for req in p["optional-dependencies"][name]:
        yield from group(req[len("astrovia["):-1]) if req.startswith("astrovia[") else [req]
print("\n".join(p["dependencies"] + list(group(os.environ["GROUP"]))))
PY
if [ -n "$extra" ]; then echo "$extra" >> "$venv/.requirements.txt"; fi
"$venv/bin/python" -m pip install -q -r "$venv/.requirements.txt"

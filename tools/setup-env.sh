#!/usr/bin/env bash
# Prepares a fresh machine for astrovia: ERFA (the C library), a virtual
# environment with Python 3.13 and the package's build and test dependencies.
# Idempotent; `make` calls it only when pyproject.toml is newer than the venv.
set -euo pipefail
venv=${1:-.venv}
# Optional extra requirement that narrows the package's own ones, e.g. "pandas<2.3"
# for the second test environment.
extra=${2:-}

have_erfa() {
    [ -f /usr/include/erfa.h ] || [ -f /usr/local/include/erfa.h ] || [ -n "${CONDA_PREFIX:-}" -a -f "${CONDA_PREFIX:-}/include/erfa.h" ]
}
if ! have_erfa; then
    if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
        echo "setup: installing liberfa-dev with apt-get"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq liberfa-dev >/dev/null
    elif command -v apt-get >/dev/null && command -v sudo >/dev/null; then
        echo "setup: installing liberfa-dev with sudo apt-get"
        sudo apt-get update -qq
        sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq liberfa-dev >/dev/null
    else
        echo "setup: ERFA not found; install it (conda-forge or vcpkg 'erfa') and retry" >&2
        exit 1
    fi
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
# Build requirements are installed into the venv so that rebuilds need no isolation (and no network).
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" ninja
"$venv/bin/python" - <<'PY' > "$venv/.requirements.txt"
import tomllib
p = tomllib.load(open("pyproject.toml", "rb"))["project"]
print("\n".join(p["dependencies"] + p["optional-dependencies"]["test"]))
PY
if [ -n "$extra" ]; then echo "$extra" >> "$venv/.requirements.txt"; fi
"$venv/bin/python" -m pip install -q -r "$venv/.requirements.txt"

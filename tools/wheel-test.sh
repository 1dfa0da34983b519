#!/usr/bin/env bash
# Tests a repaired wheel as a user on another machine would get it: a fresh
# virtual environment, the wheel and its test extras from PyPI, and a view of
# this machine without the system ERFA (a private mount namespace in which every
# liberfa file is covered by an empty bind mount). The package must then load the
# ERFA and OpenMP runtime bundled in the wheel and pass the whole test suite.
# Needs root (or unprivileged user namespaces) for `unshare -m`.
set -euo pipefail
wheel=${1:?usage: wheel-test.sh WHEEL [PYTEST ARGS...]}
shift
root=$(cd "$(dirname "$0")/.." && pwd)
wheel=$(realpath "$wheel")
venv=$root/build/wheel-test-venv
python=${PYTHON:-python3}

rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "$wheel[test]"

# every liberfa the dynamic loader could find, by real path
mapfile -t erfa < <(ldconfig -p | awk '/liberfa/ {print $NF}' | xargs -r realpath | sort -u)
echo "wheel-test: hiding ${erfa[*]:-nothing (no system ERFA)}"

inner=$(cat <<'SH'
set -euo pipefail
for f in "$@"; do mount --bind /dev/null "$f"; done
cd "$ROOT"
"$VENV/bin/python" - <<'PY'
import pathlib
import astrovia.frames.rotations  # links ERFA and the OpenMP runtime
maps = pathlib.Path("/proc/self/maps").read_text()
libs = sorted({path for path in (line.split()[-1] for line in maps.splitlines())
               if pathlib.Path(path).name.startswith(("liberfa", "libgomp"))})
print("wheel-test: astrovia from", pathlib.Path(astrovia.frames.rotations.__file__).parent.parent)
print("wheel-test: loaded", *libs, sep="\n  ")
assert all("astrovia.libs" in lib for lib in libs), "a runtime library came from the system"
assert any("erfa" in lib for lib in libs) and any("gomp" in lib for lib in libs)
assert "/src/" not in astrovia.frames.rotations.__file__
PY
# the extra pytest arguments arrive shell-quoted (printf %q), so that one with a
# space in it ("-m 'not slow'") stays one argument
eval "args=($PYTEST_ARGS)"
"$VENV/bin/python" -m pytest tests -q -p no:cacheprovider "${args[@]}"
SH
)
# as root a private mount namespace; otherwise one inside an unprivileged user namespace
ns=(-m)
[ "$(id -u)" = 0 ] || ns=(-r -m)
quoted=""
[ $# = 0 ] || quoted=$(printf '%q ' "$@")
ROOT=$root VENV=$venv PYTEST_ARGS="$quoted" unshare "${ns[@]}" bash -c "$inner" wheel-test "${erfa[@]}"

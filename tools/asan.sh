#!/usr/bin/env bash
# Builds every extension module with AddressSanitizer and UndefinedBehaviorSanitizer
# (float-cast-overflow included, no recovery: the first fault ends the process) in a
# CMake build of its own (build/asan), lays out a copy of the package with those
# modules in build/asan/site, and runs the test suite against that copy with the
# sanitizer runtime preloaded into the interpreter.
#
#   tools/asan.sh [pytest arguments...]      default: the whole of tests/
#
# The normal build and venv are not touched; the venv's interpreter and packages
# are reused (PYTHONPATH puts the instrumented package first).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-.venv/bin/python}
python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")"   # absolute, symlink kept (the venv)
build=build/asan
site=$build/site
export PATH="$(dirname "$python"):$PATH"   # ninja and cmake from the venv when the system has none

sanitize="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all"
flags="$sanitize -fno-omit-frame-pointer -g"
start=$(date +%s)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$python" -DASTROVIA_STUBS=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" -DCMAKE_MODULE_LINKER_FLAGS="$sanitize" >/dev/null
cmake --build "$build" -j "${ASAN_JOBS:-2}"
rm -rf "$site"
mkdir -p "$site"
tar -C src -cf - --exclude='*.cpp' --exclude='*.hpp' --exclude='__pycache__' astrovia | tar -C "$site" -xf -
cmake --install "$build" --prefix "$site" >/dev/null
# Stub generation imports each module, which an instrumented module cannot do
# without the preloaded runtime: the stubs come from the normal build instead.
normal=$("$python" -c 'import astrovia, os; print(os.path.dirname(astrovia.__file__))')
(cd "$normal" && find . -name '*.pyi' -print0 | tar --null -cf - -T -) | tar -C "$site/astrovia" -xf -
built=$(date +%s)

# The ASan runtime must be the first library in the process; CPython itself is
# not instrumented, so its allocations at exit are not leaks to report. Huge
# allocations requested by tests must fail as MemoryError, not abort.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# Reports go to files as well as stderr: pytest captures a test's stderr, and an
# aborted process never shows it.
reports=$build/reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_init_order=1:suppressions=$PWD/tools/asan.supp:log_path=$PWD/$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$PWD/$reports/ubsan"
export PYTHONPATH="$(realpath "$site")${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc   # every allocation through ASan's allocator
"$python" - "$site" <<'PY'
import os, sys, astrovia
site = os.path.realpath(sys.argv[1])
assert os.path.realpath(astrovia.__file__).startswith(site), f"astrovia imported from {astrovia.__file__}, not {site}"
PY
status=0
bash tools/no-leaks.sh "$python" -m pytest -p no:cacheprovider "${@:-tests}" || status=$?
end=$(date +%s)
# Refused huge allocations (tests ask for them on purpose) only leave warnings;
# anything else in a report is a finding.
for f in "$reports"/*; do
    [ -e "$f" ] || continue
    if grep -v -q -e 'WARNING: AddressSanitizer failed to allocate' "$f"; then
        echo "== $f"
        grep -v -e 'WARNING: AddressSanitizer failed to allocate' "$f" | head -80
        status=1
    fi
done
echo "asan: build $((built - start)) s, tests $((end - built)) s, exit status $status"
exit $status

#!/usr/bin/env bash
# Builds and runs every libFuzzer target fuzz/<name>_fuzz.cpp for FUZZ_SECONDS
# (default 60) each. A target names the kernel sources it links, relative to
# src/astrovia, on a line of its own:
#     // fuzz-sources: propagators/analytical/sgp4/tle_fields.cpp
# The corpus of a target is fuzz/corpus/<name>/ (kept in the repository): new
# inputs found in a run are merged into it, minimised. A crash leaves its input
# in build/fuzz/ and fails the run.
#
#   tools/fuzz.sh [name...]      default: every target
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
out=build/fuzz
mkdir -p "$out"
cxx=${FUZZ_CXX:-clang++}
if ! command -v "$cxx" >/dev/null; then
    echo "fuzz: $cxx not found (Debian: apt-get install clang libclang-rt-dev)" >&2
    exit 1
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" _fuzz.cpp)"); done
fi

summary=()
for name in "${targets[@]}"; do
    src=fuzz/${name}_fuzz.cpp
    sources=$(sed -n 's|^// fuzz-sources:||p' "$src")
    if [ -z "$sources" ]; then
        echo "fuzz: $src names no sources (a line '// fuzz-sources: ...')" >&2
        exit 1
    fi
    exe=$out/$name
    kernel=()
    for s in $sources; do kernel+=("src/astrovia/$s"); done
    "$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -DLIBFUZZER -I src/astrovia "$src" "${kernel[@]}" -o "$exe"
    corpus=fuzz/corpus/$name
    fresh=$out/corpus-$name
    mkdir -p "$corpus" "$fresh"
    log=$out/$name.log
    status=0
    (cd "$out" && "./$name" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
        -artifact_prefix="$name-" "corpus-$name" "../../$corpus") >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
    if [ $status -ne 0 ]; then
        tail -40 "$log" >&2
        echo "fuzz: $name FAILED after ${runs:-?} runs (log $log, artifacts $out/$name-*)" >&2
        exit 1
    fi
    # Keep the repository corpus small: only inputs that add coverage.
    "$exe" -merge=1 "$corpus" "$fresh" >/dev/null 2>&1
    rm -rf "$fresh"
    summary+=("$name: ${runs:-?} runs in ${seconds} s, no failure, corpus $(ls "$corpus" | wc -l) inputs")
done
printf 'fuzz: %s\n' "${summary[@]}"

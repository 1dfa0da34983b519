#!/usr/bin/env bash
# Installs clang and its sanitizer/libFuzzer runtime (Debian) for `make fuzz`.
set -euo pipefail
run() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
if ! command -v apt-get >/dev/null; then
    echo "setup: install clang with libFuzzer (compiler-rt) and retry" >&2
    exit 1
fi
run apt-get update -qq
run env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null 2>&1 ||
    run env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang "libclang-rt-$(apt-cache policy clang | sed -n 's/.*Candidate: 1:\([0-9]*\).*/\1/p')-dev" >/dev/null

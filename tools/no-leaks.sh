#!/usr/bin/env bash
# Runs a command (a test run) and fails when nanobind reports objects leaked at
# interpreter exit ("nanobind: leaked ..." on stderr), which it otherwise only prints.
#   tools/no-leaks.sh .venv/bin/python -m pytest tests
set -uo pipefail
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$@" 2> >(tee "$log" >&2)
status=$?
wait  # the tee of stderr
if grep -q "nanobind: leaked" "$log"; then
    echo "no-leaks: nanobind reported leaked objects at exit:" >&2
    grep -A3 "nanobind: leaked" "$log" | head -40 >&2
    exit 1
fi
exit $status

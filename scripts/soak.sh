#!/usr/bin/env bash
# Soak of the real binary (build/): 1,000 turns and 1,000 restarts with its
# descriptors and resident memory compared before and after, then shorter
# runs under valgrind's memcheck.  Prints the figures.
#   scripts/soak.sh          the form CI runs (a minute or so)
#   scripts/soak.sh --long   20,000 turns, 20,000 restarts and 2,000 turns with an
#                            unusable configuration; 2,000 turns and 3,000
#                            restarts under valgrind (15 minutes or so)
# The sizes can also be set one by one: VORN_SOAK_TURNS, VORN_SOAK_RESTARTS,
# VORN_SOAK_UNUSABLE, VORN_SOAK_VALGRIND_TURNS, VORN_SOAK_VALGRIND_RESTARTS.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--long" ]; then
  export VORN_SOAK_TURNS=${VORN_SOAK_TURNS:-20000} VORN_SOAK_RESTARTS=${VORN_SOAK_RESTARTS:-20000}
  export VORN_SOAK_UNUSABLE=${VORN_SOAK_UNUSABLE:-2000}
  export VORN_SOAK_VALGRIND_TURNS=${VORN_SOAK_VALGRIND_TURNS:-2000}
  export VORN_SOAK_VALGRIND_RESTARTS=${VORN_SOAK_VALGRIND_RESTARTS:-3000}
fi

scripts/deps.sh valgrind
cmake -S . -B build -DVORN_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
log=build/soak.log
status=0
ctest --test-dir build --label-regex soak --output-on-failure --verbose --timeout 36000 >"$log" 2>&1 || status=$?
grep -E '(soak|valgrind): |tests passed' "$log" | sed 's/^[0-9]*: //'
if [ "$status" -ne 0 ]; then
  grep -E -B2 -A12 'Failure|FAILED' "$log" >&2 || tail -60 "$log" >&2
  exit 1
fi

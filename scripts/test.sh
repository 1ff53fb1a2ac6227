#!/usr/bin/env bash
# Builds the supervisor and its tests and runs the whole suite.
#   scripts/test.sh             regular build in build/ (the binary is build/vorn_restart)
#   scripts/test.sh --sanitize  AddressSanitizer and UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags=(-DVORN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi

scripts/deps.sh
cmake -S . -B "$build" -DVORN_BUILD_TESTS=ON "${flags[@]}"
cmake --build "$build" -j"$(nproc)"
# The soak has a script of its own (scripts/soak.sh).
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --label-exclude soak

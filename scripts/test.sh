#!/usr/bin/env bash
# Builds the supervisor and its tests and runs the whole suite.
#   scripts/test.sh             regular build in build/ (the binary is build/vorn_restart)
#   scripts/test.sh --sanitize  AddressSanitizer and UndefinedBehaviorSanitizer build in build-asan/
# With CI=true (as CI runs it) compiler warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags=(-DVORN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi

werror=OFF
[ "${CI:-}" = true ] && werror=ON

scripts/deps.sh
cmake -S . -B "$build" -DVORN_BUILD_TESTS=ON -DVORN_WARNINGS_AS_ERRORS="$werror" "${flags[@]}"
cmake --build "$build" -j"$(nproc)"
# The soak has a script of its own (scripts/soak.sh).  A failure does not
# stop the script here: the skips are said whatever the result, and the
# script ends with the first failing status.
status=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --label-exclude soak |
  tee "$build/ctest.log" || status=$?

# ctest lists a skipped test by name only: give each one's reason, the lines
# it printed (a GoogleTest skip: its file and line, then the message; a
# script: its SKIPPED line), from ctest's full log.
skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$build/ctest.log")
if [ -n "$skipped" ]; then
  echo "Skipped, and why:"
  awk -v names="$skipped" '
    BEGIN { n = split(names, list, "\n"); for (i = 1; i <= n; i++) wanted[list[i]] = 1 }
    /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); next }
    /^Output:$/ { shown = (name in wanted); getline; next }
    /^<end of output>$/ { shown = 0; next }
    shown && !/^(\[|Running main\(\)|Note: Google Test filter|$)/ { print "  " name ": " $0 }
  ' "$build/Testing/Temporary/LastTest.log"
fi
# ctest gives each test a process of its own; run whole, in a random order
# and three times over, the unit tests must pass just the same.
unit=0
"$build/tests/vorn_unit_tests" --gtest_shuffle --gtest_repeat=3 --gtest_brief=1 || unit=$?
[ "$status" -ne 0 ] || status=$unit
exit "$status"

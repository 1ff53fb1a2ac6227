#!/bin/sh
# scripts/test.sh over a suite that fails, its programs stand-ins: it still
# says why each skipped test was skipped, runs the unit tests, and ends with
# the suite's status.
# Usage: test_script_test.sh <scripts/test.sh>
set -eu
work=$(mktemp -d /tmp/vorn-test-script-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts" "$work/bin" "$work/build/tests" "$work/build/Testing/Temporary"
cp "$1" "$work/scripts/test.sh"
printf '#!/bin/sh\n' | tee "$work/scripts/deps.sh" > "$work/bin/cmake"
printf '#!/bin/sh\necho unit tests run\n' > "$work/build/tests/vorn_unit_tests"
printf '1/2 Test: skipper\nOutput:\n---\nSKIPPED: no namespace here\n<end of output>\n' > "$work/log"
printf '#!/bin/sh\ncp %s build/Testing/Temporary/LastTest.log\n%s\nexit 8\n' "$work/log" \
    "printf '  1 - skipper (Skipped)\n  2 - breaker (Failed)\n'" > "$work/bin/ctest"
chmod +x "$work/scripts/"* "$work/bin/"* "$work/build/tests/vorn_unit_tests"
status=0
PATH="$work/bin:$PATH" "$work/scripts/test.sh" > "$work/out" 2>&1 || status=$?
if [ "$status" -ne 8 ] || ! grep -qx '  skipper: SKIPPED: no namespace here' "$work/out" ||
    ! grep -qx 'unit tests run' "$work/out"; then
    echo "scripts/test.sh over a failing suite (status $status):"
    cat "$work/out"
    exit 1
fi
echo "scripts/test.sh: skips said and status kept"

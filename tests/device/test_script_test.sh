#!/bin/sh
# scripts/test.sh over a failing suite of stand-ins still says why a test was
# skipped, and ends with the suite's status.  Usage: test_script_test.sh <scripts/test.sh>
set -eu
work=$(mktemp -d /tmp/vorn-test-script-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts" "$work/bin" "$work/build/Testing/Temporary"
cp "$1" "$work/scripts/test.sh"
cd "$work"
ln -s /bin/true scripts/deps.sh && ln -s /bin/true bin/cmake
printf '1/1 Test: s\nOutput:\n-\nSKIPPED: why\n' > build/Testing/Temporary/LastTest.log
printf '#!/bin/sh\necho "  1 - s (Skipped)"\nexit 8\n' > bin/ctest && chmod +x bin/ctest
PATH="$work/bin:$PATH" bash scripts/test.sh > out 2>&1 && status=0 || status=$?
[ "$status" -eq 8 ] && grep -qx '  s: SKIPPED: why' out ||
    { echo "scripts/test.sh over a failing suite (status $status):"; cat out; exit 1; }
echo "scripts/test.sh: skips said and status kept"

#!/bin/sh
# Holds the README's table of builds ("Builds for the machines it runs on")
# to the programs built: the size its row gives for vorn_restart (stripped)
# must be within 10 % of the file's, or the table has gone stale and the
# check fails, naming both.  Run by the tests of the builds the table lists
# (package_test.sh, static_smoke.sh), after those builds.
#
#   tests/device/readme_size.sh "<the row's first words, e.g. x86-64, static>" <vorn_restart>
set -eu
row=$1
file=$2
readme=$(cd "$(dirname "$0")/../.." && pwd)/README.md
# | build | how | `vorn_restart` (stripped) | ...: the fourth field, digits only.
figure=$(awk -F'|' -v row="$row" 'index($2, " " row) == 1 { gsub(/[^0-9]/, "", $4); print $4; exit }' "$readme")
[ -n "$figure" ] || { echo "README: no row of the table of builds starts with \"$row\""; exit 1; }
size=$(stat -c %s "$file")
difference=$((size > figure ? size - figure : figure - size))
if [ $((difference * 10)) -gt "$figure" ]; then
  echo "README: the table of builds gives $figure B for \"$row\", but $file has $size B: update the table"
  exit 1
fi
echo "README: \"$row\" $figure B, built $size B"

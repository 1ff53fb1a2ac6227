#!/bin/sh
# Renders the manual pages with man and groff; any warning fails the test.
# Every series the metrics file defines must be in the first page and the README.
# Usage: man_pages_test.sh <metrics.cpp> <README.md> <page>...
set -eu
metrics=$1 readme=$2 && shift 2
work=$(mktemp -d /tmp/vorn-man-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Both renderings of one page; false when either complains.
render() {
    MANWIDTH=80 man --warnings -l "$1" > "$work/text" 2> "$work/err" || return 1
    groff -ww -z -man "$1" 2>> "$work/err" || return 1
    [ ! -s "$work/err" ]
}

fail=0
for page in "$@"; do
    if ! render "$page"; then
        echo "$page: warnings:"
        cat "$work/err"
        fail=1
        continue
    fi
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' FILES EXAMPLES 'SEE ALSO'; do
        grep -qx "$section" "$work/text" || { echo "$page: no section $section"; fail=1; }
    done
done
series=$(grep -o '"vorn_restart_[a-z_]*", "\(gauge\|counter\)"' "$metrics" | cut -d '"' -f 2)
[ -n "$series" ] || { echo "no series found in $metrics"; fail=1; }
for s in $series; do
    grep -q "$s" "$1" && grep -q "$s" "$readme" || { echo "$s: not in $1 or $readme"; fail=1; }
done
# A page with a mistake must be caught, or the check proves nothing.
printf '.TH X 8\n.SH NAME\nx \\- y\n.BOGUS\n\\fQ\n' > "$work/broken.8"
if render "$work/broken.8"; then
    echo "a broken page rendered without warnings"
    fail=1
fi

if [ "$fail" -eq 0 ]; then echo "manual pages: $# rendered without warnings"; fi
exit "$fail"

#!/bin/sh
# Checks the init script's syntax with the shells it runs under, and with
# shellcheck as a POSIX sh script.
# Usage: init_script_syntax_test.sh <script>
set -eu
script=$1
fail=0
sh -n "$script" || { echo "sh -n failed"; fail=1; }
busybox sh -n "$script" || { echo "busybox sh -n failed"; fail=1; }
shellcheck -s sh "$script" || { echo "shellcheck failed"; fail=1; }
if grep -n '@[A-Z_]*@' "$script"; then echo "placeholder left"; fail=1; fi
if [ "$fail" -eq 0 ]; then echo "init script: syntax checked"; fi
exit "$fail"

#!/usr/bin/env bash
# Builds the supervisor and runs it in debug mode on the demo installation in
# examples/ (Ctrl-C ends it).  Within the first minute the output shows a
# task being restarted, the updater's exit 1 (system tasks restarted) and its
# exit 0 (everything killed, configuration read again).
#
# Like on a device, the supervisor kills stale copies of its tasks by name
# with killall: here, processes called vorn_update, vorn_monitor, demo_once
# and demo_variant.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target vorn_restart vorn_restart_check vorn_restart_ctl

cache=$(mktemp -d /tmp/vorn-demo-cache.XXXXXX)
state=$(mktemp -d /tmp/vorn-demo-status.XXXXXX)
trap 'rm -rf "$cache" "$state"' EXIT
echo "demo: cache directory $cache; hold demo_variant back with: touch /tmp/.vorn_update_c2.nr"
# The checker reads the configuration and the status file where the
# supervisor does: the same two settings for both.
places=(--install_path="$PWD/examples" --status_path="$state/vorn_restart.status")
printf 'demo: what runs, from another shell: build/vorn_restart_check --status'
printf ' %q' "${places[@]}"
echo
build/vorn_restart -d "${places[@]}" --cache_path="$cache"

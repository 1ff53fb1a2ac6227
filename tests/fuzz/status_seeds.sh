#!/usr/bin/env bash
# Writes the seeds of the status fuzzer that are real status files
# (tests/fuzz/status_corpus/real_*.json): the supervisor built in build/
# (scripts/test.sh) runs for a few seconds on temporary installations, with
# its clock sped up by the preloaded test library and the logging fake
# killall first in PATH, and every state of the slots it publishes is kept.
# Then the files are made to name what the fuzzer's fake system holds: the
# supervisor's pid and start time become 812 and 7000, each child's pid 900
# plus its slot, the installation root leaves the paths and the held-back
# task its plain name.  Of the copies with the same turn, states and ends
# (a set each), the first is kept.  The supervisor and its tasks run in a process group
# of their own and are ended by it.
#   tests/fuzz/status_seeds.sh [build dir]    default build
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build}
out=tests/fuzz/status_corpus
for f in "$build/vorn_restart" "$build/tests/vorn_fast_clock.so"; do
  [ -e "$f" ] || { echo "missing $f: run scripts/test.sh first" >&2; exit 1; }
done
mkdir -p "$out"

root=$(mktemp -d)
held=held_$$_$RANDOM  # a marker name no one else uses
supervisor=0
finish() {
  if [ "$supervisor" -gt 0 ]; then
    kill -KILL -- "-$supervisor" 2>/dev/null || true
    wait "$supervisor" 2>/dev/null || true
    supervisor=0
  fi
}
trap 'finish; rm -rf "$root"; rm -f "/tmp/.$held.nr"' EXIT

# The tasks of the fuzzer's own configuration, slot by slot, with three
# more to fill the table: a name of the longest length, one that is not
# ASCII and one with a right-to-left override.
long=x_$(printf '%061d' 0 | tr 0 y)
names=(vorn_update vorn_monitor w gone dir plain once_task a_very_long_task_name off crash
       bg "$held" killed "$long" "wörk" $'evil\u202egnp.exe')
task() {  # task <name> <body>
  printf '#!/bin/sh\n%s\n' "$2" >"$root/usr/sbin/$1"
  chmod 755 "$root/usr/sbin/$1"
}
install() {
  rm -rf "${root:?}/usr" "${root:?}/etc"
  mkdir -p "$root/usr/sbin" "$root/etc/vorn/vorn_restart" "$root/usr/sbin/dir"
  # The updater: exit 1 (the system tasks are restarted), then exit 0 (a
  # new turn), then it stays.
  task vorn_update "n=\$(cat '$root/updates' 2>/dev/null || echo 0); echo \$((n + 1)) >'$root/updates'
case \$n in 0) sleep 0.4; exit 1 ;; 1) sleep 0.4; exit 0 ;; esac
exec sleep 600"
  for name in vorn_monitor w a_very_long_task_name off "$held" "$long" "wörk" \
    $'evil\u202egnp.exe'; do
    task "$name" "exec sleep 600"
  done
  task once_task "sleep 0.3"
  task crash "exit 3"
  task bg "exit 0"
  task killed "kill -9 \$\$"
  printf '#!/bin/sh\n' >"$root/usr/sbin/plain"
}

# Runs the supervisor with the configuration for `seconds`, copying the
# status file whenever it changes; the copies go to $root/copies/<prefix>.N.
run() {  # run <prefix> <seconds> <configuration>
  install
  printf '%s\n' "$3" >"$root/etc/vorn/vorn_restart/vorn_restart.conf"
  rm -f "$root/s" "$root/updates"
  mkdir -p "$root/copies"
  # The preload acts in the process marked by its pid: the shell that
  # becomes the supervisor marks itself.
  PATH="$PWD/tests/e2e/fake_bin:$PATH" LD_PRELOAD="$PWD/$build/tests/vorn_fast_clock.so" \
    setsid sh -c 'export VORN_TEST_MARKED_PID=$$; exec "$0" "$@"' \
    "$build/vorn_restart" -d --install_path="$root" --status_path="$root/s" >"$root/log" 2>&1 &
  supervisor=$!
  local n=0 end=$((SECONDS + $2))
  while [ "$SECONDS" -lt "$end" ]; do
    if [ -s "$root/s" ] && ! cmp -s "$root/s" "$root/last"; then
      cp "$root/s" "$root/last"
      cp "$root/last" "$root/copies/$1.$((n += 1))"
    fi
    sleep 0.01
  done
  local ticks
  ticks=$(sed 's/.*) //' "/proc/$supervisor/stat" | cut -d' ' -f20)
  # The fake's pids and names; one copy per distinct picture of the slots.
  local copy seen=" "
  for copy in "$root/copies/$1".*; do
    local script=(-e "s/\"pid\":$supervisor,/\"pid\":812,/" -e "s/\"start_ticks\":$ticks,/\"start_ticks\":7000,/"
                  -e "s|$root||g" -e "s/$held/held/g")
    for slot in $(seq 0 15); do
      script+=(-E -e "s/(\"slot\":$slot,[^{}]*\"pid\":)[0-9]+/\\1$((900 + slot))/")
    done
    sed "${script[@]}" "$copy" >"$copy.fake"
    local picture
    picture=$(grep -o -E '"turn":[0-9]+|"usable":[a-z]+|"state":"[a-z_]+"|"then":"[^"]*"|"(code|signal)":[0-9]+' \
      "$copy.fake" | sort -u | tr -d '\n')
    case $seen in *" $picture "*) continue ;; esac
    seen="$seen$picture "
    cp "$copy.fake" "$out/real_$1_$(printf '%02d' "${copy##*.}").json"
  done
  finish
}

rm -f "$out"/real_*.json
tasks=
for i in "${!names[@]}"; do
  case ${names[$i]} in
    off) tasks+='{"name": "off", "mode": "none"}' ;;
    once_task) tasks+='{"name": "once_task", "mode": "once"}' ;;
    vorn_update|vorn_monitor) tasks+="{\"name\": \"${names[$i]}\", \"system\": 1}" ;;
    *) tasks+="{\"name\": \"${names[$i]}\"}" ;;
  esac
  [ "$i" -lt $((${#names[@]} - 1)) ] && tasks+=', '
done
touch "/tmp/.$held.nr"
run full 3 "{\"tasks\": [$tasks]}"
run small 2 '{"tasks": [{"name": "vorn_update"}, {"name": "vorn_monitor"}, {"name": "w"}]}'
run unusable 1 '{"tasks": [{"name": "w"}, {"name": "w/x"}]}'
echo "$(find "$out" -name 'real_*.json' | wc -l) real status files in $out"

#!/usr/bin/env bash
# Quick check of the benchmark's vorn_restart part, run by ctest: the
# probe starts vorn_restart twice on 16 tasks in a PID namespace, with the
# fake killall first in PATH and the kill-by-name clock preloaded, measures
# it for a second and must end every process it started.
# Then one start with the probe itself in a nested PID namespace, as
# container-based CI runs the suite.
# Then, briefly, the talkative tasks: 4 talkers writing into vorn_restart's
# task logs for 2 seconds, their bytes counted and every process ended.
# Then the operator's restart command, twice, timed until the task's new
# process runs.
# Then, given the benchmark's pass counter (bench/pass_count.c), the
# supervisor with it preloaded, without valgrind: it must know the passes by
# their wait, pace them at 100 ms and end the supervisor after the fourth.
#   bench/smoke.sh <vorn_bench_probe> <kill_clock.so> <vorn_restart> <fake_bin dir> <talker> <vorn_restart_ctl> [<pass_count.so>]
# The PID namespace takes root (CAP_SYS_ADMIN), a kernel with PID
# namespaces and a /proc that is a mount point (a chroot has one when its
# builder mounts /proc, as Debian's do).  Where the machine lacks one of them
# the test is skipped (exit 77, which ctest reports as skipped), with the
# probe's reason.
set -euo pipefail
probe=$1 kill_clock=$2 vorn=$3 fake_bin=$4 talker=$5 ctl=$6 pass_count=${7:-}

status=0
why=$("$probe" --check-pidns 2>&1) || status=$?
if [ "$status" -eq 77 ]; then
  echo "SKIPPED: no PID namespace with a /proc of its own here: $why"
  exit 77
fi
[ "$status" -eq 0 ] || { echo "the probe's check of PID namespaces failed ($status): $why"; exit 1; }

# Every supervisor started here makes its cgroups below this run's own,
# removed at the end with them (bench/cgroup.sh).
# shellcheck source=bench/cgroup.sh
. "$(dirname "$0")/cgroup.sh"
bench_cgroup_enter
work=$(mktemp -d /tmp/vorn-bench-smoke.XXXXXX)
trap 'bench_cgroup_remove; rm -rf "$work"' EXIT
tag=$$
mkdir -p "$work/root/usr/sbin" "$work/root/etc/vorn/vorn_restart"
json=
for i in $(seq 0 15); do
  name=$(printf 'smoke_%s_%02d' "$tag" "$i")
  printf '#!/bin/sh\nexec sleep %s0%02d\n' "$tag" "$i" >"$work/root/usr/sbin/$name"
  chmod +x "$work/root/usr/sbin/$name"
  json+="${json:+,}{\"name\":\"$name\"}"
done
echo "{\"tasks\":[$json]}" >"$work/root/etc/vorn/vorn_restart/vorn_restart.conf"

"$probe" --tag "$tag" --tasks 16 --starts 2 --idle 1 --restarts 1 --kill-slot 3 --pidns \
  --note "$work/killclock" --log "$work/log" \
  --env PATH="$fake_bin:/usr/bin:/bin" --env LD_PRELOAD="$kill_clock" \
  --env VORN_BENCH_KILL_CLOCK="$work/killclock" \
  --env ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 \
  -- "$vorn" --install_path="$work/root" --status_path="$work/vorn.status" >"$work/out" || { cat "$work/out" "$work/log"; exit 1; }
cat "$work/out"

failed=0
expect() {  # expect <description> <command...>
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi
}
value() { sed -n "s/^$1=//p" "$work/out"; }
expect "two starts measured" test "$(value start_runs_ms | tr ',' '\n' | grep -c .)" -eq 2
expect "one supervisor process" test "$(value processes)" = 1
expect "its memory read" test "$(value rss_kb)" -gt 0 -a "$(value pss_kb)" -gt 0
expect "binary and libraries listed" grep -q "^binaries=$vorn:" "$work/out"
expect "2 kill-by-name runs timed per start (built-in names, configured names)" test "$(value note_starts)" != "" -a \
  "$(value note_start | cut -d' ' -f1)" = 2
expect "the killed task started again, 5 to 10 s later" \
  awk -v ms="$(value restart_ms)" 'BEGIN { exit !(ms >= 4900 && ms <= 10500) }'
expect "nothing left behind" test "$(value leftover)" = 0
# pgrep: 1 when no process matches; 0 lists the tasks left, and anything
# else (127: no pgrep) is a check that did not run.
pgrep_status=0
pgrep -f "^sleep ${tag}0[0-9][0-9]$" || pgrep_status=$?
expect "no task still running (pgrep: $pgrep_status)" test "$pgrep_status" -eq 1

# The probe itself in a PID namespace of its own, as a container runs it: the
# kernel's process events name other pids there, and the probe must see that
# and poll /proc instead of waiting for tasks it never sees start.  The mount
# at /proc is made private before the namespace's /proc is mounted over it
# (--propagation unchanged: a chroot's / cannot be made private).
unshare --pid --fork --mount-proc --propagation unchanged \
  "$probe" --tag "$tag" --tasks 16 --idle 0 --restarts 0 --pidns --log "$work/nested.log" \
  --env PATH="$fake_bin:/usr/bin:/bin" --env ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 \
  -- "$vorn" --install_path="$work/root" --status_path="$work/nested.status" >"$work/nested.out" ||
  { cat "$work/nested.out" "$work/nested.log"; exit 1; }
cat "$work/nested.out"
nested_value() { sed -n "s/^$1=//p" "$work/nested.out"; }
expect "in a PID namespace of its own, the probe polls /proc" test "$(nested_value timing)" = polling
expect "and measures the start there" test -n "$(nested_value start_ms)"
expect "nothing left behind in the nested namespace" test "$(nested_value leftover)" = 0

# The talkative tasks: 4 talkers, 1 MB/s each for 2 s, into vorn_restart's logs.
talk=$work/talk
mkdir -p "$talk/root/usr/sbin" "$talk/root/etc/vorn/vorn_restart" "$talk/ctl"
json=
for i in 0 1 2 3; do
  name=$(printf 'smoke_talk_%s_%02d' "$tag" "$i")
  printf '#!/bin/sh\nexec %s %s0%02d 1000000 2 %s\n' "$talker" "$tag" "$i" "$talk/ctl" >"$talk/root/usr/sbin/$name"
  chmod +x "$talk/root/usr/sbin/$name"
  json+="${json:+,}{\"name\":\"$name\"}"
done
echo "{\"tasks\":[$json]}" >"$talk/root/etc/vorn/vorn_restart/vorn_restart.conf"
"$probe" --tag "$tag" --tasks 4 --kill-slot 0 --idle 0 --restarts 0 --task-program talker \
  --talk 2 --talk-tail 1 --talk-dir "$talk/ctl" --log-dir "$talk/logs" \
  --pass-mark "$talk/vorn.status" --pidns --log "$talk/log" \
  --env PATH="$fake_bin:/usr/bin:/bin" --env ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 \
  -- "$vorn" --install_path="$talk/root" --status_path="$talk/vorn.status" \
  --log_path="$talk/logs" --log_size=4096 >"$work/talk.out" || { cat "$work/talk.out" "$talk/log"; exit 1; }
cat "$work/talk.out"
talk_value() { sed -n "s/^$1=//p" "$work/talk.out"; }
expect "every talker reported, none started again" \
  test "$(talk_value talk_reports)" = 4 -a "$(talk_value talk_restarted)" = 0
expect "the talkers wrote most of the 8 MB asked for" \
  awk -v b="$(talk_value talk_bytes)" 'BEGIN { exit !(b >= 6000000 && b <= 8000000) }'
expect "one supervisor process while they talk" test "$(talk_value talk_processes)" = 1
expect "the log directory was measured" test "$(talk_value talk_log_max_bytes)" -gt 0
# Rotated many times over (4 KB against 1 MB/s): the numbered lines of each
# talker are in its log or its older generation, whichever holds them now.
expect "a log per talker, its lines the talker's" \
  test "$(cat "$talk"/logs/*.log "$talk"/logs/*.log.1 2>/dev/null |
    grep -o "^${tag}00[0-3] [0-9]" | cut -d' ' -f1 | sort -u | wc -l)" -eq 4
expect "nothing left behind after the talk" test "$(talk_value leftover)" = 0
pgrep_status=0
pgrep -f "talker ${tag}0[0-9][0-9] " || pgrep_status=$?
expect "no talker still running (pgrep: $pgrep_status)" test "$pgrep_status" -eq 1

# The operator's restart command, run beside the supervisor (in its PID
# namespace, where the status file's pid is its own), twice on task 5.
"$probe" --tag "$tag" --tasks 16 --idle 0 --restarts 0 --kill-slot 5 --pidns --log "$work/command.log" \
  --env PATH="$fake_bin:/usr/bin:/bin" --env ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 \
  --commands 2 --command-in-pidns --command-arg "$ctl" --command-arg restart \
  --command-arg "$(printf 'smoke_%s_05' "$tag")" --command-arg --status_path="$work/command.status" \
  -- "$vorn" --install_path="$work/root" --status_path="$work/command.status" >"$work/command.out" ||
  { cat "$work/command.out" "$work/command.log"; exit 1; }
cat "$work/command.out"
command_value() { sed -n "s/^$1=//p" "$work/command.out"; }
expect "each restart command had its effect, and returned" \
  test "$(command_value command_runs)" = 2 -a -n "$(command_value command_effect_ms)" -a \
  "$(command_value command_effect_ms)$(command_value command_return_ms)" = \
  "$(command_value command_effect_ms | tr -d a-z)$(command_value command_return_ms | tr -d a-z)"
expect "it exited 0 and said so" test "$(command_value command_status)" = 0,0 -a \
  -n "$(command_value command_answer | grep "^smoke_${tag}_05 restarted: pid [0-9]* ended (signal 15), pid [0-9]* running$")"
expect "nothing left behind after the commands" test "$(command_value leftover)" = 0

# The pass counter: 4 passes of 100 ms instead of 5 s, so the supervisor
# ends within 3 s only when every pass's wait was known and shortened.
if [ -n "$pass_count" ]; then
  "$probe" --tag "$tag" --tasks 16 --pidns --wait-exit 3 --log "$work/passes.log" \
    --env PATH="$fake_bin:/usr/bin:/bin" --env LD_PRELOAD="$pass_count" \
    --env VORN_BENCH_PASSES=4 --env VORN_BENCH_PASS_MS=100 --env VORN_BENCH_PASS_REPORT="$work/passes" \
    -- "$vorn" --install_path="$work/root" --status_path="$work/passes.status" >"$work/passes.out" ||
    { cat "$work/passes.out" "$work/passes.log"; exit 1; }
  cat "$work/passes.out" "$work/passes" 2>/dev/null || true
  expect "the pass counter ended the supervisor after 4 passes" \
    test "$(sed -n 's/^exited=//p' "$work/passes.out")" = 1 -a "$(grep -c . "$work/passes" 2>/dev/null)" = 4
  expect "with no heap call in its 3 idle passes" test "$(awk 'NR > 1 { n += $2 + $3 } END { print n + 0 }' "$work/passes" 2>/dev/null)" = 0
  expect "nothing left behind after the passes" test "$(sed -n 's/^leftover=//p' "$work/passes.out")" = 0
fi
exit $failed

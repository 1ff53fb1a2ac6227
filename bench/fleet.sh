#!/usr/bin/env bash
# A fleet on one machine: N devices, each a vorn_restart supervisor with 16
# long-running tasks and a node exporter serving its metrics file, scraped
# by one Prometheus server that loads the shipped alert rules unchanged.
# Six of the devices get a fault each, at the same time; the script waits
# until Prometheus fires the alert each fault should fire, and prints a
# markdown report (memory, scrape health, series, fault -> firing times) on
# standard output; progress goes to standard error.
#
#   bench/fleet.sh [N] [--vorn PATH] [--pace SECONDS] [--settle SECONDS]
#                  [--wait SECONDS] [--base-port PORT] [--keep]
#
#   N               devices (default 100, at least 7: six faults and one
#                   healthy device)
#   --vorn PATH     use this vorn_restart instead of building one (Release,
#                   build-bench/)
#   --pace S        pause between two devices' starts (default 0.05)
#   --settle S      how long the whole fleet runs before the faults
#                   (default 150: the rules' 2-minute ranges then hold
#                   nothing of the start-up)
#   --wait S        how long to wait for the alerts after the faults
#                   (default 600; VornTaskDown needs 5 minutes)
#   --base-port P   node exporters listen from this port up (default 20000;
#                   ports something already listens on are skipped)
#   --keep          keep the work directory (every device's files, the
#                   Prometheus tsdb)
#
# Each device:
#   - an installation root <work>/dev/dNNNN/root whose configuration lists
#     16 tasks, vorn_update (slot 0), vorn_monitor (slot 1) and
#     fleet_<run>_02 to _15, each the script `exec sleep <run>0NN`;
#   - vorn_restart --install_path=<root> --status_path=<dev>/vorn_restart.status
#     --metrics_path=<dev>/textfile/vorn_restart.prom, started through
#     `unshare --pid --fork --mount-proc`, so that it is the first process of
#     a PID namespace of its own and its kill-by-name runs could reach only
#     its own tasks; PATH starts with tests/e2e/fake_bin all the same, whose
#     killall kills nothing (it logs its arguments to <dev>/killall.log);
#   - prometheus-node-exporter on 127.0.0.1:<port> with the textfile
#     collector alone, on <dev>/textfile.
# Prometheus (127.0.0.1, a free port, its tsdb in the work directory)
# scrapes every node exporter every 5 s and evaluates
# contrib/prometheus/vorn_restart.rules.yml every 5 s; each target carries
# the label device="dNNNN".
#
# The faults, one a device (d0001 to d0006), all at once once every target
# is up and every task of the healthy devices is up:
#   d0001 exit       slot 5's script becomes `exit 3`, its child is killed
#   d0002 missing    slot 6's executable is removed, its child is killed
#   d0003 crashloop  slot 7's script crashes (SIGSEGV) 8 s after each start
#   d0004 stopped    the supervisor gets SIGSTOP
#   d0005 killed     the supervisor gets SIGKILL (its namespace ends with it)
#   d0006 config     its supervisor starts only now, on a configuration that
#                    is not valid JSON (its node exporter ran from the start)
#
# Needs root: PID and mount namespaces, /proc/<pid>/smaps_rollup of every
# process, and for large N a higher kernel.pid_max (raised for the run and
# set back at the end).  Every process it starts is ended by pid, also on an
# error or Ctrl-C: Prometheus and the node exporters, and each supervisor
# (the first process of its namespace, whose tasks end with it).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

n=100
vorn=
pace=0.05
settle=150
alert_wait=600
base_port=20000
keep=0
usage="usage: bench/fleet.sh [N] [--vorn PATH] [--pace SECONDS] [--settle SECONDS] [--wait SECONDS] [--base-port PORT] [--keep]"
while [ $# -gt 0 ]; do
  case "$1" in
    --vorn) vorn=$2; shift ;;
    --pace) pace=$2; shift ;;
    --settle) settle=$2; shift ;;
    --wait) alert_wait=$2; shift ;;
    --base-port) base_port=$2; shift ;;
    --keep) keep=1 ;;
    [0-9]*) n=$1 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
case "$n$settle$alert_wait$base_port" in
  *[!0-9]*) echo "bench/fleet.sh: N, --settle, --wait and --base-port take whole numbers" >&2; exit 2 ;;
esac
[ "$n" -ge 7 ] || { echo "bench/fleet.sh: N must be at least 7 (six faulty devices and a healthy one)" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "bench/fleet.sh: needs root (namespaces, smaps_rollup, pid_max)" >&2; exit 1; }
for p in unshare prometheus prometheus-node-exporter curl jq; do
  command -v "$p" >/dev/null || { echo "bench/fleet.sh: $p is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done

say() { echo "fleet: $(date +%T) $*" >&2; }
now() { date +%s.%N; }

if [ -z "$vorn" ]; then
  build=build-bench
  say "building vorn_restart (Release) in $build/"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target vorn_restart >/dev/null
  vorn=$top/$build/vorn_restart
fi
vorn=$(realpath "$vorn")
[ -x "$vorn" ] || { echo "bench/fleet.sh: $vorn is not executable" >&2; exit 1; }
rules=$top/contrib/prometheus/vorn_restart.rules.yml
fake_bin=$top/tests/e2e/fake_bin

# --- clean-up, whatever happens ------------------------------------------------
work=$(mktemp -d /tmp/vorn-fleet.XXXXXX)
ne_pids=()     # node exporter of device i
us_pids=()     # unshare of device i (its child is the supervisor)
sup_pids=()    # the supervisor, first process of device i's namespace
prom_pid=
old_pid_max=
finish() {
  local status=$? i pid
  trap - EXIT INT TERM
  say "ending every process started"
  if [ -n "$prom_pid" ]; then
    kill -TERM "$prom_pid" 2>/dev/null || true
  fi
  for i in "${!sup_pids[@]}"; do
    # SIGKILL reaches a stopped process too; the namespace's other processes end with it.
    [ -n "${sup_pids[$i]}" ] && kill -KILL "${sup_pids[$i]}" 2>/dev/null || true
  done
  for pid in "${ne_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for i in "${!us_pids[@]}"; do
    # An unshare whose supervisor was never seen (it failed early) is ended itself.
    [ -z "${sup_pids[$i]:-}" ] && kill -KILL "${us_pids[$i]}" 2>/dev/null || true
  done
  for pid in "${ne_pids[@]}" "${us_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "$prom_pid" ]; then
    local t=0
    while kill -0 "$prom_pid" 2>/dev/null && [ $t -lt 300 ]; do sleep 0.1; t=$((t + 1)); done
    kill -KILL "$prom_pid" 2>/dev/null || true
    wait "$prom_pid" 2>/dev/null || true
  fi
  if [ -n "$old_pid_max" ]; then
    sysctl -q -w kernel.pid_max="$old_pid_max" || say "could not set kernel.pid_max back to $old_pid_max"
    say "kernel.pid_max set back to $old_pid_max"
  fi
  if [ $keep -eq 1 ]; then
    say "work directory kept: $work"
  else
    rm -rf "$work"
  fi
  exit $status
}
trap finish EXIT
trap 'exit 130' INT TERM

# --- room for the processes -----------------------------------------------------
# Per device: 16 tasks, the supervisor, unshare and a node exporter's threads
# (6 when idle; room for more).
threads_now=$(awk '{ split($4, a, "/"); print a[2] }' /proc/loadavg)
pids_needed=$((threads_now + n * 32 + 4096))
cur_pid_max=$(cat /proc/sys/kernel/pid_max)
if [ "$pids_needed" -gt "$cur_pid_max" ]; then
  [ "$pids_needed" -le 4194304 ] || { echo "bench/fleet.sh: N=$n needs more than 4194304 pids" >&2; exit 1; }
  old_pid_max=$cur_pid_max
  sysctl -q -w kernel.pid_max="$pids_needed"
  say "kernel.pid_max raised from $old_pid_max to $pids_needed for the run"
fi
threads_max=$(cat /proc/sys/kernel/threads-max)
[ "$pids_needed" -le "$threads_max" ] || say "warning: kernel.threads-max is $threads_max, below the $pids_needed threads this run may need"
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"  # Prometheus holds a connection per target

# --- the devices ------------------------------------------------------------------
run=$$
tag=$run
names=(vorn_update vorn_monitor)
for s in $(seq 2 15); do names+=("$(printf 'fleet_%s_%02d' "$run" "$s")"); done
dev_name() { printf 'd%04d' "$1"; }
dev_dir() { echo "$work/dev/$(dev_name "$1")"; }
# The same without a subshell, for the loops over every device (a fork is
# slow on a machine busy with thousands of processes): sets dn and dd.
dev_vars() { printf -v dn 'd%04d' "$1"; dd=$work/dev/$dn; }
# A pause without a sleep process.
exec {pause_fd}<> <(:)
pause() { read -r -t "$1" -u "$pause_fd" || true; }

# Free ports from --base-port up, one per device, none something listens on now.
listening=$(ss -Htln 2>/dev/null | awk '{ sub(/.*:/, "", $4); print $4 }' | sort -un)
ports=()
p=$base_port
while [ ${#ports[@]} -lt "$n" ]; do
  [ $p -le 65535 ] || { echo "bench/fleet.sh: not enough free ports from $base_port" >&2; exit 1; }
  grep -qx "$p" <<<"$listening" || ports+=("$p")
  p=$((p + 1))
done
prom_port=$p
while grep -qx "$prom_port" <<<"$listening"; do prom_port=$((prom_port + 1)); done

task_script() { printf '#!/bin/sh\nexec sleep %s0%02d\n' "$tag" "$1"; }
write_exec() {  # write_exec <file>: standard input becomes an executable file, renamed into place
  cat >"$1.new"
  chmod +x "$1.new"
  mv -f "$1.new" "$1"
}

say "writing $n devices in $work"
json=
for s in $(seq 0 15); do json+="${json:+, }{\"name\": \"${names[$s]}\"}"; done
template=$work/template
mkdir -p "$template/root/usr/sbin" "$template/root/etc/vorn/vorn_restart" "$template/textfile"
for s in $(seq 0 15); do task_script "$s" | write_exec "$template/root/usr/sbin/${names[$s]}"; done
echo "{\"tasks\": [$json]}" >"$template/root/etc/vorn/vorn_restart/vorn_restart.conf"
mkdir -p "$work/dev"
for i in $(seq 0 $((n - 1))); do dev_vars "$i"; cp -a "$template" "$dd"; done
# d0006: a configuration that is not JSON (an object left open).
printf '{"tasks": [%s\n' "$json" >"$(dev_dir 6)/root/etc/vorn/vorn_restart/vorn_restart.conf"

start_exporter() {  # start_exporter <i>
  local dn dd
  dev_vars "$1"
  local d=$dd
  setsid prometheus-node-exporter --web.listen-address="127.0.0.1:${ports[$1]}" \
    --collector.disable-defaults --collector.textfile --collector.textfile.directory="$d/textfile" \
    </dev/null >"$d/exporter.log" 2>&1 &
  ne_pids[$1]=$!
}
start_supervisor() {  # start_supervisor <i>
  local dn dd
  dev_vars "$1"
  local d=$dd
  setsid env -i PATH="$fake_bin:/usr/bin:/bin" VORN_TEST_KILLALL_LOG="$d/killall.log" \
    unshare --pid --fork --mount-proc \
    "$vorn" --install_path="$d/root" --status_path="$d/vorn_restart.status" \
    --metrics_path="$d/textfile/vorn_restart.prom" \
    </dev/null >"$d/supervisor.out" 2>"$d/supervisor.err" &
  us_pids[$1]=$!
  sup_pids[$1]=
}
find_supervisor() {  # find_supervisor <i>: unshare's child, once it is there
  local u=${us_pids[$1]} c
  [ -n "${sup_pids[$1]:-}" ] && return 0
  read -r c 2>/dev/null <"/proc/$u/task/$u/children" || [ -n "${c:-}" ] || return 1
  c=${c%% *}
  [ -n "$c" ] || return 1
  sup_pids[$1]=$c
}

mem_before=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

say "starting $n node exporters (ports ${ports[0]}..${ports[$((n - 1))]})"
for i in $(seq 0 $((n - 1))); do
  start_exporter "$i"
  pause "$pace"
done

# Prometheus: every exporter a target of its own, labelled with its device.
{
  printf 'global:\n  scrape_interval: 5s\n  evaluation_interval: 5s\n  scrape_timeout: 5s\n'
  printf 'rule_files:\n  - %s\n' "$rules"
  printf 'scrape_configs:\n  - job_name: node\n    static_configs:\n'
  for i in $(seq 0 $((n - 1))); do
    dev_vars "$i"
    printf '      - targets: ["127.0.0.1:%s"]\n        labels: {device: "%s"}\n' "${ports[$i]}" "$dn"
  done
} >"$work/prometheus.yml"
prom=http://127.0.0.1:$prom_port
say "starting Prometheus on 127.0.0.1:$prom_port"
setsid prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$prom_port" --log.level=warn \
  </dev/null >"$work/prometheus.log" 2>&1 &
prom_pid=$!
query() {  # query <promql>: the JSON result vector
  curl -sf --max-time 60 --data-urlencode "query=$1" "$prom/api/v1/query" | jq -c '.data.result' || echo '[]'
}
scalar() {  # scalar <promql>: the first sample's value, or "" when there is none
  curl -sf --max-time 60 --data-urlencode "query=$1" "$prom/api/v1/query" | jq -r '.data.result[0].value[1] // empty' || true
}
for t in $(seq 600); do
  curl -sf --max-time 2 "$prom/-/ready" >/dev/null 2>&1 && break
  kill -0 "$prom_pid" 2>/dev/null || { cat "$work/prometheus.log" >&2; echo "bench/fleet.sh: Prometheus ended" >&2; exit 1; }
  sleep 0.5
done
rules_loaded=$(curl -sf "$prom/api/v1/rules" | jq '[.data.groups[].rules[]] | length')
[ "$rules_loaded" -gt 0 ] || { echo "bench/fleet.sh: Prometheus loaded no rules from $rules" >&2; exit 1; }

# The alerts as they are seen, from the first pass on: every poll appends
# "<time> <state> <alertname> <device> <name> <activeAt>" per alert.
poll_alerts() {
  local t
  t=$(now)
  curl -sf --max-time 10 "$prom/api/v1/alerts" |
    jq -r --arg t "$t" '.data.alerts[] | [$t, .state, .labels.alertname, (.labels.device // "-"),
                                          (.labels.name // "-"), .activeAt] | join(" ")' \
      >>"$work/alerts.log" || true
}

faulty=(1 2 3 4 5 6)
say "starting $((n - 1)) supervisors (d0006 waits for its fault)"
start_all=$(now)
for i in $(seq 0 $((n - 1))); do
  [ "$i" -eq 6 ] && continue
  start_supervisor "$i"
  pause "$pace"
done
started_all=$(now)
for i in $(seq 0 $((n - 1))); do
  [ "$i" -eq 6 ] && continue
  for t in $(seq 100); do find_supervisor "$i" && break; pause 0.1; done
  [ -n "${sup_pids[$i]}" ] || { cat "$(dev_dir "$i")/supervisor.err" >&2; echo "bench/fleet.sh: $(dev_name "$i"): no supervisor" >&2; exit 1; }
done

# Ready: every target up and the 16 tasks of every started device up, as
# Prometheus sees them.
want_up=$(((n - 1) * 16))
ready_timeout=$((180 + n / 2))
say "waiting for $n targets up and $want_up tasks up (at most $ready_timeout s)"
ready=0
for t in $(seq "$ready_timeout"); do
  poll_alerts
  targets_up=$(scalar 'count(up == 1)')
  tasks_up=$(scalar 'count(vorn_restart_task_up == 1)')
  if [ "${targets_up:-0}" -eq "$n" ] && [ "${tasks_up:-0}" -eq "$want_up" ]; then ready=1; break; fi
  [ $((t % 15)) -eq 0 ] && say "  targets up ${targets_up:-0}/$n, tasks up ${tasks_up:-0}/$want_up"
  sleep 1
done
ready_at=$(now)
[ $ready -eq 1 ] || say "warning: not ready after $ready_timeout s: targets up ${targets_up:-0}/$n, tasks up ${tasks_up:-0}/$want_up"
say "ready $(awk -v a="$ready_at" -v b="$start_all" 'BEGIN { printf "%.0f", a - b }') s after the first supervisor's start"

say "the fleet runs $settle s before the faults"
settle_end=$(awk -v a="$(now)" -v s="$settle" 'BEGIN { printf "%.3f", a + s }')
while awk -v a="$(now)" -v e="$settle_end" 'BEGIN { exit !(a < e) }'; do
  poll_alerts
  sleep 2
done

# --- measuring the processes ------------------------------------------------------
# One line per device: dev sup_pid ne_pid, read by awk, which looks at
# /proc itself: "dev tasks tasks_rss tasks_pss sup_rss sup_pss ne_rss ne_pss
# sup_ticks ne_ticks" (kB; clock ticks of utime + stime).
snapshot() {  # snapshot <file>
  local i
  for i in $(seq 0 $((n - 1))); do
    dev_vars "$i"
    echo "$dn ${sup_pids[$i]:-0} ${ne_pids[$i]}"
  done | awk '
    function mem(pid, what,   line, v) {
      v = 0
      while ((getline line < ("/proc/" pid "/smaps_rollup")) > 0)
        if (line ~ ("^" what ":")) { split(line, f, " "); v = f[2] }
      close("/proc/" pid "/smaps_rollup")
      return v
    }
    function ticks(pid,   line, f) {
      if ((getline line < ("/proc/" pid "/stat")) <= 0) { close("/proc/" pid "/stat"); return 0 }
      close("/proc/" pid "/stat")
      sub(/^.*\) /, "", line); split(line, f, " ")
      return f[12] + f[13]  # utime, stime: fields 14 and 15 of the whole line
    }
    {
      sup = $2; ne = $3; n = 0; trss = 0; tpss = 0
      if (sup != 0) {
        file = "/proc/" sup "/task/" sup "/children"
        if ((getline kids < file) > 0) {
          k = split(kids, c, " ")
          for (j = 1; j <= k; j++) { n++; trss += mem(c[j], "Rss"); tpss += mem(c[j], "Pss") }
        }
        close(file)
      }
      print $1, n, trss, tpss, (sup ? mem(sup, "Rss") : 0), (sup ? mem(sup, "Pss") : 0),
            mem(ne, "Rss"), mem(ne, "Pss"), (sup ? ticks(sup) : 0), ticks(ne)
    }' >"$1"
}
proc_mem() {  # proc_mem <pid>: "rss pss" in kB
  awk '/^Rss:/ { r = $2 } /^Pss:/ { p = $2 } END { print r, p }' "/proc/$1/smaps_rollup"
}
proc_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
cpu_line() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9, $5 + $6; exit }' /proc/stat; }  # busy idle

say "measuring every device's processes"
snapshot "$work/snap-ready"
mem_fleet=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
snap_ready_at=$(now)
prom_ticks_ready=$(proc_ticks "$prom_pid")
cpu_ready=$(cpu_line)
series_file=$(grep -vc '^#' "$(dev_dir 0)/textfile/vorn_restart.prom" || true)

# --- the faults -----------------------------------------------------------------
slot_child() {  # slot_child <i> <slot>: the pid of that slot's running task
  local sup=${sup_pids[$1]} c
  for c in $(cat "/proc/$sup/task/$sup/children"); do
    [ "$(tr '\0' ' ' <"/proc/$c/cmdline" 2>/dev/null)" = "sleep $(printf '%s0%02d' "$tag" "$2") " ] &&
      { echo "$c"; return 0; }
  done
  return 1
}
declare -A fault_at fault_what
say "faults on d0001..d0006"
d=$(dev_dir 1)
c=$(slot_child 1 5)
printf '#!/bin/sh\nexit 3\n' | write_exec "$d/root/usr/sbin/${names[5]}"
kill -KILL "$c"; fault_at[1]=$(now); fault_what[1]="slot 5 (${names[5]}) exits with 3 at once, from now on"
d=$(dev_dir 2)
c=$(slot_child 2 6)
rm -f "$d/root/usr/sbin/${names[6]}"
kill -KILL "$c"; fault_at[2]=$(now); fault_what[2]="slot 6 (${names[6]}): executable removed"
d=$(dev_dir 3)
c=$(slot_child 3 7)
printf '#!/bin/sh\nulimit -c 0\nsleep 8\nkill -SEGV $$\n' | write_exec "$d/root/usr/sbin/${names[7]}"
kill -KILL "$c"; fault_at[3]=$(now); fault_what[3]="slot 7 (${names[7]}) dies of SIGSEGV 8 s after each start"
kill -STOP "${sup_pids[4]}"; fault_at[4]=$(now); fault_what[4]="supervisor stopped (SIGSTOP)"
kill -KILL "${sup_pids[5]}"; fault_at[5]=$(now); fault_what[5]="supervisor killed (SIGKILL)"
start_supervisor 6; fault_at[6]=$(now); fault_what[6]="supervisor started on a configuration that is not JSON"
for t in $(seq 100); do find_supervisor 6 && break; sleep 0.1; done

# What each fault should fire: "<device index> <alertname> <task name or ->".
expected=(
  "1 VornTaskDown ${names[5]}"
  "1 VornTaskRestarting ${names[5]}"
  "2 VornTaskDown ${names[6]}"
  "2 VornTaskRestarting ${names[6]}"
  "3 VornTaskRestarting ${names[7]}"
  "4 VornSupervisorSilent -"
  "5 VornSupervisorSilent -"
  "6 VornConfigurationUnusable -"
)
fired_at() {  # fired_at <i> <alertname> <name>: when it was first seen firing, or ""
  awk -v d="$(dev_name "$1")" -v a="$2" -v nm="$3" \
    '$2 == "firing" && $3 == a && $4 == d && $5 == nm { print $1; exit }' "$work/alerts.log"
}
say "waiting for ${#expected[@]} alerts (at most $alert_wait s)"
fault_start=${fault_at[1]}
all_fired=0
for t in $(seq $((alert_wait / 2))); do
  poll_alerts
  missing=0
  for e in "${expected[@]}"; do
    read -r i a nm <<<"$e"
    [ -n "$(fired_at "$i" "$a" "$nm")" ] || missing=$((missing + 1))
  done
  [ $missing -eq 0 ] && { all_fired=1; break; }
  [ $((t % 30)) -eq 0 ] && say "  $missing of ${#expected[@]} alerts not firing yet"
  sleep 2
done
end_at=$(now)
say "measuring again"
snapshot "$work/snap-end"
prom_ticks_end=$(proc_ticks "$prom_pid")
cpu_end=$(cpu_line)
busy=$(awk -v a="$cpu_ready" -v b="$cpu_end" 'BEGIN { split(a, x, " "); split(b, y, " ")
  printf "%.0f", 100 * (y[1] - x[1]) / ((y[1] - x[1]) + (y[2] - x[2])) }')
read -r prom_rss prom_pss < <(proc_mem "$prom_pid")
mem_after=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
window=$(awk -v a="$end_at" -v b="$snap_ready_at" 'BEGIN { printf "%.0f", a - b }')
prom_metrics=$(curl -sf "$prom/metrics" || true)
head_series=$(awk '/^prometheus_tsdb_head_series / { print $2 }' <<<"$prom_metrics")
eval_seconds=$(awk '/^prometheus_rule_group_last_duration_seconds/ { print $2 }' <<<"$prom_metrics")
eval_missed=$(awk '/^prometheus_rule_group_iterations_missed_total/ { print $2 }' <<<"$prom_metrics")

# --- the report -------------------------------------------------------------------
# The healthy devices: all but d0001..d0006.
healthy() { awk '$1 !~ /^d000[1-6]$/' "$1"; }
col_stats() {  # col_stats [format]: numbers on standard input -> "min / median / max"
  sort -n | awk -v f="${1:-%s}" '{ v[NR] = $1 }
    END { if (NR == 0) { print "-"; exit }
          m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf (f " / " f " / " f), v[1], m, v[NR] }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
column_of() { healthy "$work/snap-ready" | awk -v c="$1" '{ print $c }'; }
hz=$(getconf CLK_TCK)
cpu_of() {  # cpu_of <column>: "device ms" per healthy device, from the faults to the end
  join <(healthy "$work/snap-ready" | sort) <(healthy "$work/snap-end" | sort) |
    awk -v c="$1" -v hz="$hz" '{ print $1, ($(c + 9) - $c) * 1000 / hz }'
}
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", a - b }'; }
by_device() {  # by_device <promql> <file>: "device value" per device
  query "$1" | jq -r '.[] | "\(.metric.device) \(.value[1])"' | sort >"$2"
}
by_device 'up' "$work/q-up"
by_device 'avg_over_time(scrape_duration_seconds[1m]) * 1000' "$work/q-scrape-ms"
by_device 'scrape_samples_scraped' "$work/q-samples"
by_device 'count by (device) ({__name__=~"vorn_restart_.+"})' "$work/q-vorn-series"
by_device 'count by (device) (vorn_restart_task_up)' "$work/q-task-series"
all_up_window=$(scalar "count(min_over_time(up[$(secs "$end_at" "$ready_at")s]) == 1)")
value_of() { awk -v d="$1" '$1 == d { print $2; f = 1 } END { if (!f) print "-" }' "$2"; }
healthy_values() { healthy "$1" | awk '{ print $2 }'; }

short=([1]=exit [2]=missing [3]=crashloop [4]=stopped [5]=killed [6]=config)
sup_pss=$(column_of 6 | median)
ne_pss=$(column_of 8 | median)
sup_rss=$(column_of 5 | median)
ne_rss=$(column_of 7 | median)
sup_cpu=$(cpu_of 9 | awk '{ print $2 }' | median)
ne_cpu=$(cpu_of 10 | awk '{ print $2 }' | median)
times() { awk -v a="$1" -v b="$2" 'BEGIN { printf (b > 0 ? "%.1f" : "-"), a / b }'; }

{
  echo "### A fleet of $n devices, 16 tasks each"
  echo
  echo "Command: \`bench/fleet.sh $n\` (--pace $pace, --settle $settle). Machine: $(nproc) cores, $(awk '/^MemTotal:/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), kernel $(uname -r); $(prometheus --version 2>&1 | head -n1 | cut -d' ' -f1-3), node_exporter $(prometheus-node-exporter --version 2>&1 | head -n1 | cut -d' ' -f3). Every target and every task up $(secs "$ready_at" "$start_all") s after the first supervisor's start ($(secs "$started_all" "$start_all") s to start them all); faults $(secs "$fault_start" "$start_all") s after it. Load average $load_before before, $load_after at the end; both cores $busy % busy from the faults to the end. Memory available $((mem_before / 1024)) MiB before, $((mem_fleet / 1024)) MiB with the fleet running (before the faults): $(((mem_before - mem_fleet) / 1024)) MiB for the fleet and Prometheus."
  echo
  echo "Per healthy device ($((n - 6)) devices), min / median / max; memory before the faults, CPU from the faults to the end ($window s):"
  echo
  echo "| process | VmRSS (kB) | Pss (kB) | CPU, utime+stime (ms) |"
  echo "|---|---|---|---|"
  echo "| vorn_restart | $(column_of 5 | col_stats) | $(column_of 6 | col_stats) | $(cpu_of 9 | awk '{ print $2 }' | col_stats %d) |"
  echo "| its 16 tasks (\`sleep\`), together | $(column_of 3 | col_stats) | $(column_of 4 | col_stats) | |"
  echo "| node exporter (textfile collector only) | $(column_of 7 | col_stats) | $(column_of 8 | col_stats) | $(cpu_of 10 | awk '{ print $2 }' | col_stats %d) |"
  echo "| Prometheus (one for the fleet), at the end | $prom_rss | $prom_pss | $(awk -v a="$prom_ticks_end" -v b="$prom_ticks_ready" -v hz="$hz" 'BEGIN { printf "%d", (a - b) * 1000 / hz }') |"
  echo
  echo "A supervisor against its node exporter (medians): Pss $sup_pss kB against $ne_pss kB ($(times "$ne_pss" "$sup_pss") times), VmRSS $sup_rss kB against $ne_rss kB ($(times "$ne_rss" "$sup_rss") times), CPU $sup_cpu ms against $ne_cpu ms in $window s ($(times "$ne_cpu" "$sup_cpu") times)."
  echo
  low=$(healthy "$work/snap-ready" | awk '$2 != 16' | wc -l)
  echo "Tasks found as children of each healthy supervisor: $([ "$low" -eq 0 ] && echo "16 everywhere" || echo "**$low devices with other than 16**")."
  echo
  echo "| scrapes and series, at the end | value |"
  echo "|---|---|"
  echo "| targets up now / up at every scrape from ready to the end / all | $(scalar 'count(up == 1)') / ${all_up_window:-0} / $n |"
  echo "| scrape duration per target, average of the last minute, min / median / max (ms) | $(awk '{ print $2 }' "$work/q-scrape-ms" | col_stats %.1f) |"
  echo "| samples per scrape, healthy device, min / median / max | $(healthy_values "$work/q-samples" | col_stats) |"
  echo "| vorn_restart series per healthy device in Prometheus, min / median / max / lines in d0000's metrics file | $(healthy_values "$work/q-vorn-series" | col_stats) / $series_file |"
  echo "| devices with 16 \`vorn_restart_task_up\` series | $(awk '$2 == 16' "$work/q-task-series" | wc -l) of $n (d0006 has none while its configuration is unusable) |"
  echo "| Prometheus head series / last rule evaluation (every 5 s) / evaluations missed | $head_series / $(awk -v s="$eval_seconds" 'BEGIN { printf "%.1f ms", s * 1000 }') / ${eval_missed:-?} |"
  echo
  if [ "$n" -le 12 ]; then
    echo "Per device (memory before the faults; scrapes at the end):"
    rows=$(seq 0 $((n - 1)))
  else
    echo "d0000 and the faulty devices (memory before the faults; scrapes at the end):"
    rows=$(seq 0 6)
  fi
  echo
  echo "| device | fault | vorn_restart VmRSS / Pss (kB) | tasks: count, VmRSS / Pss (kB) | node exporter VmRSS / Pss (kB) | up | scrape (ms) | samples | vorn_restart series |"
  echo "|---|---|---|---|---|---|---|---|---|"
  for i in $rows; do
    dv=$(dev_name "$i")
    # d0006's supervisor starts with its fault: its figures are from the end.
    snap=$work/snap-ready
    [ "$(awk -v d="$dv" '$1 == d { print $5 }' "$snap")" != 0 ] || snap=$work/snap-end
    awk -v d="$dv" -v f="${short[$i]:-}" -v late="$([ "$snap" = "$work/snap-end" ] && echo " (at the end)")" '$1 == d {
      printf "| %s | %s | %s / %s%s | %s, %s / %s | %s / %s |", d, f, $5, $6, late, $2, $3, $4, $7, $8 }' "$snap"
    printf ' %s | %.1f | %s | %s |\n' "$(value_of "$dv" "$work/q-up")" "$(value_of "$dv" "$work/q-scrape-ms")" \
      "$(value_of "$dv" "$work/q-samples")" "$(value_of "$dv" "$work/q-vorn-series")"
  done
  echo
  echo "Faults, all at once, fault → alert seen firing (/api/v1/alerts polled every 2 s):"
  echo
  echo "| device | fault | alert | task | fault → firing |"
  echo "|---|---|---|---|---|"
  for e in "${expected[@]}"; do
    read -r i a nm <<<"$e"
    f=$(fired_at "$i" "$a" "$nm")
    printf '| %s | %s | %s | %s | %s |\n' "$(dev_name "$i")" "${fault_what[$i]}" "$a" "$nm" \
      "$([ -n "$f" ] && echo "$(secs "$f" "${fault_at[$i]}") s" || echo "**not firing after $(secs "$end_at" "${fault_at[$i]}") s**")"
  done
  echo
  # Every other alert seen, pending or firing, grouped by alert, state and
  # kind of device; times from the first supervisor's start.
  want=
  for e in "${expected[@]}"; do
    read -r i a nm <<<"$e"
    want+="$(dev_name "$i") $a $nm;"
  done
  others=$(awk -v want="$want" -v start="$start_all" -v faults="$fault_start" '
    BEGIN { k = split(want, w, ";"); for (j = 1; j <= k; j++) if (w[j] != "") wanted[w[j]] = 1 }
    ($4 " " $3 " " $5) in wanted { next }
    {
      kind = ($4 ~ /^d000[1-6]$/ ? "faulty" : "healthy") ($1 < faults ? ", before the faults" : ", after the faults")
      g = $3 SUBSEP $2 SUBSEP kind
      if (!(g in first)) { first[g] = $1; order[++m] = g }
      last[g] = $1
      if (!((g, $4, $5) in seen)) {
        seen[g, $4, $5] = 1
        if (++count[g] <= 6) list[g] = list[g] (count[g] > 1 ? ", " : "") $4 ($5 != "-" ? " " $5 : "")
      }
    }
    END {
      for (j = 1; j <= m; j++) {
        split(order[j], p, SUBSEP)
        state = p[3] ~ /^healthy/ && p[2] == "firing" ? "**firing**" : p[2]
        printf "| %s | %s | %s | %d | %s%s | %.0f s | %.0f s |\n", p[1], state, p[3], count[order[j]],
               list[order[j]], (count[order[j]] > 6 ? ", ..." : ""), first[order[j]] - start, last[order[j]] - start
      }
    }' "$work/alerts.log")
  if [ -z "$others" ]; then
    echo "No other alert, pending or firing, on any device during the run."
  else
    echo "Other alerts seen (times from the first supervisor's start; the faults came at $(secs "$fault_start" "$start_all") s):"
    echo
    echo "| alert | state | devices | how many | which | first seen | last seen |"
    echo "|---|---|---|---|---|---|---|"
    echo "$others"
  fi
  echo
  healthy_firing=$(awk '$2 == "firing" && $4 !~ /^d000[1-6]$/ { print $4 }' "$work/alerts.log" | sort -u | wc -l)
  if [ "$healthy_firing" -eq 0 ]; then
    echo "No alert fired for a healthy device."
  else
    echo "**An alert fired for $healthy_firing healthy devices.**"
  fi
  [ $all_fired -eq 1 ] || echo "**Not every expected alert fired within $alert_wait s.**"
  [ $ready -eq 1 ] || echo "**The fleet was not fully up before the faults: targets up ${targets_up:-0}/$n, tasks up ${tasks_up:-0}/$want_up.**"
} | tee "$work/report.md"
say "done"

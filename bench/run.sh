#!/usr/bin/env bash
# Benchmark: vorn_restart beside runit, s6, daemontools and supervisor, each
# supervising the same 16 long-running tasks, in one run, then the
# operator's restart command of each on one of those tasks, and then the
# same supervisors logging 4 talkative tasks.  Prints a markdown report (the
# tables of docs/performance.md) on standard output; progress goes to
# standard error.
#
#   bench/run.sh [--idle SECONDS] [--starts N] [--only-vorn] [--no-variants]
#                [--before REV | --no-before] [--no-talk | --talk-only]
#                [--no-commands | --commands-only]
#                [--identity-only]
#                [--talk SECONDS] [--talk-rate BYTES] [--talk-in DIR] [--keep]
#
#   --idle S        length of the idle window (default 60)
#   --starts N      start each supervisor N times for the start time (default 5)
#   --only-vorn     measure vorn_restart alone (no peers are installed)
#   --no-variants   skip the link variants (static libjansson, fully static, musl)
#   --before REV    the earlier vorn_restart whose idle pass is measured beside
#                   this tree's (default 1fdd5dd, before the per-pass end check
#                   and pass mark); built from `git archive` in the work directory
#   --no-before     measure this tree's idle pass only
#   --no-talk       leave out the talkative tasks (logs under each supervisor)
#   --talk-only     measure the talkative tasks alone (no starts, idle
#                   windows, passes or link variants)
#   --no-commands   leave out the operator's commands (command to effect)
#   --commands-only measure the operator's commands alone: each supervisor's
#                   restart command, 20 times on the same task, timed until
#                   a new process of the task runs and until the command
#                   returns (no starts, idle windows, passes, variants or
#                   talkative tasks)
#   --identity-only measure the start alone, each supervisor as it is and
#                   with every task as the user nobody under two limits (open
#                   files and memory): runit's chpst, s6's s6-setuidgid and
#                   s6-softlimit, supervisord's user=, vorn_restart's "user"
#                   and "limits" (no idle windows, passes, variants, commands
#                   or talkative tasks)
#   --talk S        how long each talkative task writes (default 20)
#   --talk-rate B   bytes per second each of them writes (default 10000000)
#   --talk-in DIR   the talkative tasks' logs go to a new directory in DIR
#                   (say /dev/shm, a tmpfs as /run is on a device), removed
#                   at the end; by default they go to the work directory
#   --keep          keep the work directory (the supervisors' logs, callgrind dumps)
#
# Needs root: it installs Debian packages (the peers with
# --no-install-recommends and with service starts refused by policy-rc.d),
# and runs vorn_restart in a PID namespace of its own, where the kill-by-name
# runs that each turn makes (killall -9 -- <name>) can reach nothing but
# its own tasks.  Every process it starts is ended by pid.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

idle=60
starts=5
only_vorn=0
variants=1
before_rev=1fdd5dd
keep=0
talk=1
talk_only=0
talk_seconds=20
talk_rate=10000000
talk_in=
commands=1
commands_only=0
identity_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --idle) idle=$2; shift ;;
    --starts) starts=$2; shift ;;
    --only-vorn) only_vorn=1 ;;
    --no-variants) variants=0 ;;
    --before) before_rev=$2; shift ;;
    --no-before) before_rev= ;;
    --no-talk) talk=0 ;;
    --talk-only) talk_only=1 ;;
    --no-commands) commands=0 ;;
    --commands-only) commands_only=1 ;;
    --identity-only) identity_only=1 ;;
    --talk) talk_seconds=$2; shift ;;
    --talk-rate) talk_rate=$2; shift ;;
    --talk-in) talk_in=$2; shift ;;
    --keep) keep=1 ;;
    *) echo "usage: bench/run.sh [--idle SECONDS] [--starts N] [--only-vorn] [--no-variants] [--before REV | --no-before] [--no-talk | --talk-only] [--no-commands | --commands-only] [--identity-only] [--talk SECONDS] [--talk-rate BYTES] [--talk-in DIR] [--keep]" >&2; exit 2 ;;
  esac
  shift
done
if [ $talk_only -eq 1 ]; then
  [ $talk -eq 1 ] || { echo "bench/run.sh: --talk-only and --no-talk exclude each other" >&2; exit 2; }
  [ $commands_only -eq 0 ] || { echo "bench/run.sh: --talk-only and --commands-only exclude each other" >&2; exit 2; }
  variants=0
  before_rev=
  commands=0
fi
if [ $commands_only -eq 1 ]; then
  [ $commands -eq 1 ] || { echo "bench/run.sh: --commands-only and --no-commands exclude each other" >&2; exit 2; }
  variants=0
  before_rev=
  talk=0
fi
if [ $identity_only -eq 1 ]; then
  [ $talk_only -eq 0 ] && [ $commands_only -eq 0 ] ||
    { echo "bench/run.sh: --identity-only excludes --talk-only and --commands-only" >&2; exit 2; }
  variants=0
  before_rev=
  talk=0
  commands=0
fi
# The starts, idle windows, passes and variants of the 16 tasks.
main_part=1
[ $talk_only -eq 0 ] && [ $commands_only -eq 0 ] && [ $identity_only -eq 0 ] || main_part=0
case "$talk_seconds$talk_rate" in
  *[!0-9]*) echo "bench/run.sh: --talk and --talk-rate take whole numbers" >&2; exit 2 ;;
esac
[ "$talk_seconds" -ge 2 ] && [ "$talk_rate" -ge 100 ] ||
  { echo "bench/run.sh: --talk needs at least 2 seconds, --talk-rate at least 100 bytes" >&2; exit 2; }
[ -z "$talk_in" ] || [ -d "$talk_in" ] || { echo "bench/run.sh: --talk-in $talk_in: not a directory" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "bench/run.sh: needs root (packages, PID namespace)" >&2; exit 1; }

say() { echo "bench: $*" >&2; }

peer_packages=(runit s6 daemontools supervisor)
# The programs of the peers; none of them may be left running by the install.
peer_programs=(runsvdir runsv svlogd s6-svscan s6-supervise s6-log svscan supervise multilog supervisord)

pids_of_peer_programs() {
  local p
  for p in "${peer_programs[@]}"; do pgrep -x "$p" || true; done | sort -n
}

install_peers() {
  local missing=() p
  for p in "${peer_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]} (services not started)"
  local before created_policy=0
  before=$(pids_of_peer_programs)
  # Package scripts ask invoke-rc.d before starting a service; 101 = refused.
  # --no-install-recommends keeps runit from pulling runit-init or runit-run.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    created_policy=1
  fi
  local status=0
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" </dev/null >&2 ||
    { apt-get update </dev/null >&2 &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" </dev/null >&2; } ||
    status=$?
  [ $created_policy -eq 1 ] && rm -f /usr/sbin/policy-rc.d
  [ $status -eq 0 ] || { say "installing the peers failed"; exit 1; }
  # Anything of theirs that runs now was started by the installation: end it.
  local after pid
  after=$(pids_of_peer_programs)
  for pid in $(comm -13 <(echo "$before") <(echo "$after")); do
    say "ending $(cat /proc/"$pid"/comm 2>/dev/null) (pid $pid), started by its package"
    kill -KILL "$pid" 2>/dev/null || true
  done
}

# --- packages and build -----------------------------------------------------
# Its output is not the report's: standard error for what apt-get says.
scripts/deps.sh valgrind gcc strace git >&2
[ $only_vorn -eq 1 ] || install_peers

build=build-bench
say "building vorn_restart (Release) in $build/"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target vorn_restart vorn_restart_ctl vorn_bench_probe vorn_bench_kill_clock \
  vorn_bench_pass_count vorn_bench_talker >/dev/null
vorn=$top/$build/vorn_restart
vorn_ctl=$top/$build/vorn_restart_ctl
probe=$top/$build/bench/vorn_bench_probe
talker=$top/$build/bench/talker
kill_clock=$top/$build/bench/kill_clock.so
pass_count=$top/$build/bench/pass_count.so

# --- the tasks and the supervisors' directories ------------------------------
work=$(mktemp -d /tmp/vorn-bench.XXXXXX)
talk_logs=$work/talk-logs
[ -z "$talk_in" ] || talk_logs=$(mktemp -d "$talk_in/vorn-bench-logs.XXXXXX")
probe_pid=
notify_pid=
finish() {
  # The probe ends its supervisor and tasks itself, also on SIGTERM.
  if [ -n "$probe_pid" ]; then
    kill -TERM "$probe_pid" 2>/dev/null || true
    wait "$probe_pid" 2>/dev/null || true
  fi
  if [ -n "$notify_pid" ]; then
    kill "$notify_pid" 2>/dev/null || true
    wait "$notify_pid" 2>/dev/null || true
  fi
  bench_cgroup_remove
  if [ $keep -eq 1 ]; then
    say "work directory kept: $work"
    [ -z "$talk_in" ] || say "logs of the talkative tasks kept: $talk_logs"
  else
    rm -rf "$work"
    [ -z "$talk_in" ] || rm -rf "$talk_logs"
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM
# Every supervisor started here makes its cgroups below this run's own,
# removed at the end with them (bench/cgroup.sh).
# shellcheck source=bench/cgroup.sh
. bench/cgroup.sh
bench_cgroup_enter

# The earlier supervisor for the idle-pass comparison, from the repository's
# history: exported with `git archive` and built in the work directory, so
# the checkout is left as it is.  Without git or without that commit (a
# shallow clone) the comparison is left out and the report says why.
before_vorn=
before_reason=
build_before() {
  local src=$work/before/src out=$work/before/build
  if ! command -v git >/dev/null; then
    before_reason="git is not installed"
    return 1
  fi
  if ! git -C "$top" rev-parse -q --verify "$before_rev^{commit}" >"$work/before.rev" 2>"$work/before.err"; then
    before_reason="commit $before_rev is not in this clone (a shallow clone?)"
    [ -s "$work/before.err" ] && before_reason="git: $(head -n1 "$work/before.err")"
    return 1
  fi
  mkdir -p "$src"
  if ! git -C "$top" archive "$(cat "$work/before.rev")" 2>"$work/before.err" | tar -x -C "$src" 2>>"$work/before.err" ||
     [ ! -f "$src/CMakeLists.txt" ]; then
    before_reason="git archive $before_rev failed: $(head -n1 "$work/before.err")"
    return 1
  fi
  if ! { cmake -S "$src" -B "$out" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF &&
         cmake --build "$out" -j2 --target vorn_restart; } >"$work/before.log" 2>&1; then
    before_reason="the build of $before_rev failed (see $work/before.log with --keep)"
    return 1
  fi
  before_vorn=$out/vorn_restart
}
if [ -z "$before_rev" ]; then
  before_reason="left out (--no-before)"
else
  say "building vorn_restart $before_rev (Release) in $work/before/ for the idle-pass comparison"
  build_before || say "no comparison with $before_rev: $before_reason"
fi

run=$$
tag=$run            # task NN runs as `sleep <tag>0NN`
count=16
names=()
for i in $(seq 0 $((count - 1))); do names+=("$(printf 'bench_%s_%02d' "$run" "$i")"); done

task_script() {  # the same tiny script under every supervisor
  printf '#!/bin/sh\nexec sleep %s0%02d\n' "$tag" "$1"
}

make_root() {  # a vorn_restart installation root listing the 16 tasks
  local dir=$1 i json=
  mkdir -p "$dir/usr/sbin" "$dir/etc/vorn/vorn_restart"
  for i in $(seq 0 $((count - 1))); do
    task_script "$i" >"$dir/usr/sbin/${names[$i]}"
    chmod +x "$dir/usr/sbin/${names[$i]}"
    json+="${json:+,}{\"name\":\"${names[$i]}\"}"
  done
  echo "{\"tasks\":[$json]}" >"$dir/etc/vorn/vorn_restart/vorn_restart.conf"
}
make_root "$work/root"
# For the full turn, task 0 ends with status 0 when it receives SIGUSR1.
make_root "$work/turnroot"
printf '#!/bin/sh\ntrap '\''kill $!; exit 0'\'' USR1\nsleep %s000 &\nwait\n' "$tag" \
  >"$work/turnroot/usr/sbin/${names[0]}"

# The watched supervisor (metrics, a watchdog device and systemd's
# notification socket all on): the device is a FIFO this script holds open
# (one byte a pass, in a 64 KiB pipe), the socket one that a small reader
# drains (a datagram socket queues only a few).
mkfifo "$work/watchdog"
exec 8<>"$work/watchdog"
watched_env=()
if command -v python3 >/dev/null; then
  python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True: s.recv(4096)' "$work/notify" &
  notify_pid=$!
  watched_env=(--env NOTIFY_SOCKET="$work/notify")
else
  say "python3 is missing: the watched supervisor runs without NOTIFY_SOCKET"
fi
watched_options=(--metrics_path="$work/vorn-watched.prom" --watchdog="$work/watchdog")

for d in runit s6 daemontools; do
  for i in $(seq 0 $((count - 1))); do
    mkdir -p "$work/$d/${names[$i]}"
    task_script "$i" >"$work/$d/${names[$i]}/run"
    chmod +x "$work/$d/${names[$i]}/run"
  done
done
# As on a device, the service directories are older than the supervisor:
# runsvdir waits a second before reading a directory changed within the
# current second.
find "$work/runit" "$work/s6" "$work/daemontools" -exec touch -d '1 minute ago' {} +
mkdir -p "$work/supervisor"
{
  printf '[supervisord]\nnodaemon=true\nlogfile=%s\npidfile=%s\nchildlogdir=%s\n' \
    "$work/supervisor/supervisord.log" "$work/supervisor/supervisord.pid" "$work/supervisor"
  for i in $(seq 0 $((count - 1))); do
    printf '\n[program:%s]\ncommand=%s\nstdout_logfile=NONE\nstderr_logfile=NONE\n' \
      "${names[$i]}" "$work/root/usr/sbin/${names[$i]}"
  done
} >"$work/supervisor/supervisord.conf"
# The same with the control socket that supervisorctl talks to, for the
# operator's commands alone (the other figures are of supervisord without it).
{
  cat "$work/supervisor/supervisord.conf"
  printf '\n[unix_http_server]\nfile=%s\nchmod=0700\n' "$work/supervisor/ctl.sock"
  printf '\n[rpcinterface:supervisor]\nsupervisor.rpcinterface_factory = supervisor.rpcinterface:make_main_rpcinterface\n'
  printf '\n[supervisorctl]\nserverurl=unix://%s\n' "$work/supervisor/ctl.sock"
} >"$work/supervisor/supervisord-ctl.conf"

# The same 16 tasks with every task as the user nobody under two limits
# (open files and memory), as each supervisor says it: runit's chpst, s6's
# s6-setuidgid and s6-softlimit, supervisord's user= (it has no per-program
# limits), vorn_restart's "user" and "limits".  The work directory is made
# mode 0700: nobody must reach the tasks' scripts.
id_user=nobody
id_files=64
id_memory=268435456
if [ $identity_only -eq 1 ]; then
  id -u "$id_user" >/dev/null 2>&1 || { echo "bench/run.sh: no user $id_user on this machine" >&2; exit 1; }
  chmod 0755 "$work"
  mkdir -p "$work/userroot/usr/sbin" "$work/userroot/etc/vorn/vorn_restart" "$work/supervisor-user"
  json=
  for i in $(seq 0 $((count - 1))); do
    task_script "$i" >"$work/userroot/usr/sbin/${names[$i]}"
    chmod 0755 "$work/userroot/usr/sbin/${names[$i]}"
    json+="${json:+,}{\"name\":\"${names[$i]}\",\"user\":\"$id_user\",\"limits\":{\"open_files\":$id_files,\"memory\":$id_memory}}"
    for d in runit s6; do
      mkdir -p "$work/$d-user/${names[$i]}"
      case $d in
        runit) printf '#!/bin/sh\nexec chpst -u %s -o %s -m %s %s\n' "$id_user" "$id_files" "$id_memory" \
                 "$work/userroot/usr/sbin/${names[$i]}" ;;
        s6) printf '#!/bin/sh\nexec s6-softlimit -o %s -a %s s6-setuidgid %s %s\n' "$id_files" "$id_memory" \
              "$id_user" "$work/userroot/usr/sbin/${names[$i]}" ;;
      esac >"$work/$d-user/${names[$i]}/run"
      chmod +x "$work/$d-user/${names[$i]}/run"
    done
  done
  echo "{\"tasks\":[$json]}" >"$work/userroot/etc/vorn/vorn_restart/vorn_restart.conf"
  find "$work/runit-user" "$work/s6-user" -exec touch -d '1 minute ago' {} +
  {
    printf '[supervisord]\nnodaemon=true\nlogfile=%s\npidfile=%s\nchildlogdir=%s\n' \
      "$work/supervisor-user/supervisord.log" "$work/supervisor-user/supervisord.pid" "$work/supervisor-user"
    for i in $(seq 0 $((count - 1))); do
      printf '\n[program:%s]\ncommand=%s\nuser=%s\nstdout_logfile=NONE\nstderr_logfile=NONE\n' \
        "${names[$i]}" "$work/userroot/usr/sbin/${names[$i]}" "$id_user"
    done
  } >"$work/supervisor-user/supervisord.conf"
fi

# The talkative tasks: 4 tasks, each the same talker (bench/talker.c)
# writing $talk_rate bytes a second for $talk_seconds seconds, under each
# supervisor with its own way of logging, every task's log bounded to
# $log_bound bytes and one older generation: vorn_restart's own logs,
# svlogd under runsv, s6-log and multilog as each task's logger service,
# supervisord's log files.  Each supervisor has a directory of its own:
# ctl/ (the talkers' go file and their byte counts), and one for its logs
# under $talk_logs (in the work directory, or in a directory made in the
# one --talk-in names).
talkers=4
log_bound=65536
talk_names=()
for i in $(seq 0 $((talkers - 1))); do talk_names+=("$(printf 'talk_%s_%02d' "$run" "$i")"); done
talk_subjects=()
[ $only_vorn -eq 1 ] || talk_subjects+=(runit s6 daemontools supervisor)
talk_subjects+=(vorn)

talk_script() {  # talk_script <supervisor> <index>: the same under every supervisor
  printf '#!/bin/sh\nexec %s %s0%02d %s %s %s\n' "$talker" "$tag" "$2" "$talk_rate" \
    "$talk_seconds" "$work/talk/$1/ctl"
}

make_talk() {  # make_talk <supervisor>
  local k=$1 d=$work/talk/$1 l=$talk_logs/$1 i name json=
  mkdir -p "$d/ctl"
  install -d -m 0750 "$l"
  for i in $(seq 0 $((talkers - 1))); do
    name=${talk_names[$i]}
    case $k in
      vorn)
        mkdir -p "$d/root/usr/sbin" "$d/root/etc/vorn/vorn_restart"
        talk_script "$k" "$i" >"$d/root/usr/sbin/$name"
        chmod +x "$d/root/usr/sbin/$name"
        json+="${json:+,}{\"name\":\"$name\"}"
        ;;
      supervisor)
        mkdir -p "$d/bin"
        talk_script "$k" "$i" >"$d/bin/$name"
        chmod +x "$d/bin/$name"
        ;;
      *)
        mkdir -p "$d/svc/$name/log" "$l/$name"
        talk_script "$k" "$i" >"$d/svc/$name/run"
        case $k in
          runit)  # svlogd reads its bounds from <dir>/config
            printf 's%s\nn1\n' "$log_bound" >"$l/$name/config"
            printf '#!/bin/sh\nexec svlogd %s\n' "$l/$name" ;;
          s6) printf '#!/bin/sh\nexec s6-log n1 s%s %s\n' "$log_bound" "$l/$name" ;;
          daemontools) printf '#!/bin/sh\nexec multilog s%s n2 %s\n' "$log_bound" "$l/$name" ;;
        esac >"$d/svc/$name/log/run"
        chmod +x "$d/svc/$name/run" "$d/svc/$name/log/run"
        ;;
    esac
  done
  case $k in
    vorn) echo "{\"tasks\":[$json]}" >"$d/root/etc/vorn/vorn_restart/vorn_restart.conf" ;;
    supervisor)
      {
        printf '[supervisord]\nnodaemon=true\nlogfile=%s\npidfile=%s\nchildlogdir=%s\n' \
          "$d/supervisord.log" "$d/supervisord.pid" "$d"
        for name in "${talk_names[@]}"; do
          printf '\n[program:%s]\ncommand=%s\nredirect_stderr=true\nstdout_logfile=%s\n' \
            "$name" "$d/bin/$name" "$l/$name.log"
          printf 'stdout_logfile_maxbytes=%s\nstdout_logfile_backups=1\n' "$log_bound"
        done
      } >"$d/supervisord.conf" ;;
    *) find "$d/svc" -exec touch -d '1 minute ago' {} + ;;  # as above, for runsvdir
  esac
}
if [ $talk -eq 1 ]; then
  for k in "${talk_subjects[@]}"; do make_talk "$k"; done
fi

# --- measuring ---------------------------------------------------------------
if [ $variants -eq 1 ]; then
  obj=$build/CMakeFiles/vorn_restart.dir/src/supervisor/main.cpp.o
  core=$build/libvorn_core.a
  mkdir -p "$work/variants"
  cp "$vorn" "$work/variants/shipped"
  c++ -O3 -Wl,--as-needed "$obj" -o "$work/variants/static-jansson" "$core" \
    -Wl,-Bstatic -ljansson -Wl,-Bdynamic
  c++ -O3 -Wl,--as-needed -static-libgcc -static-libstdc++ "$obj" -o "$work/variants/static-libgcc" \
    "$core" -ljansson
  c++ -O3 -static "$obj" -o "$work/variants/static" "$core" -ljansson
  say "building the static musl build (scripts/build-static.sh)"
  scripts/build-static.sh build-bench-static >/dev/null
  cp build-bench-static/vorn_restart "$work/variants/static-musl"
fi
variant_names=(shipped static-jansson static-libgcc static static-musl)

load_before=$(cut -d' ' -f1-3 /proc/loadavg)

probe_run() {  # probe_run <result file> <probe options...> -- <command...>
  local out=$1
  shift
  "$probe" --tag "$tag" --tasks "$count" --log "$out.log" "$@" >"$out" &
  probe_pid=$!
  local status=0
  wait "$probe_pid" || status=$?
  probe_pid=
  if [ $status -ne 0 ] || grep -q '^error=' "$out"; then
    say "measurement failed ($status): $(tr '\n' ' ' <"$out")"
    exit 1
  fi
}

# How the probe starts each subject: options, then -- and the command.
subject() {
  case $1 in
    runit) args=(-- "$(command -v runsvdir)" "$work/runit") ;;
    s6) args=(-- "$(command -v s6-svscan)" "$work/s6") ;;
    daemontools) args=(-- "$(command -v svscan)" "$work/daemontools") ;;
    supervisor) args=(-- "$(command -v supervisord)" -c "$work/supervisor/supervisord.conf") ;;
    vorn) args=(--pidns -- "$vorn" --install_path="$work/root" --status_path="$work/vorn.status") ;;
    # every task as nobody under two limits
    runit-user) args=(-- "$(command -v runsvdir)" "$work/runit-user") ;;
    s6-user) args=(-- "$(command -v s6-svscan)" "$work/s6-user") ;;
    supervisor-user) args=(-- "$(command -v supervisord)" -c "$work/supervisor-user/supervisord.conf") ;;
    vorn-user) args=(--pidns -- "$vorn" --install_path="$work/userroot" --status_path="$work/vorn-user.status") ;;
    # the same with every task's output in a log of its own
    vorn-logs) args=(--pidns -- "$vorn" --install_path="$work/root" --status_path="$work/vorn-logs.status"
                     --log_path="$work/idle-logs" --log_size=65536) ;;
    # the same with metrics, a watchdog device and systemd's socket
    vorn-watched) args=(--pidns "${watched_env[@]}" -- "$vorn" --install_path="$work/root"
                        --status_path="$work/vorn-watched.status" "${watched_options[@]}") ;;
    # the second instance: the kill-by-name clock, and task 0 ends on SIGUSR1
    vorn2) args=(--pidns --note "$work/killclock" --env LD_PRELOAD="$kill_clock"
                 --env VORN_BENCH_KILL_CLOCK="$work/killclock"
                 -- "$vorn" --install_path="$work/turnroot" --status_path="$work/turn.status") ;;
    variant-*) args=(--pidns -- "$work/variants/${1#variant-}" --install_path="$work/root" --status_path="$work/vorn.status") ;;
  esac
}

# How the probe starts each supervisor of the talkative tasks.
talk_subject() {
  local d=$work/talk/$1 l=$talk_logs/$1
  case $1 in
    runit) args=(-- "$(command -v runsvdir)" "$d/svc") ;;
    s6) args=(-- "$(command -v s6-svscan)" "$d/svc") ;;
    daemontools) args=(-- "$(command -v svscan)" "$d/svc") ;;
    supervisor) args=(-- "$(command -v supervisord)" -c "$d/supervisord.conf") ;;
    # the pass marks on the status file time its passes
    vorn) args=(--pass-mark "$d/vorn.status" --pidns -- "$vorn" --install_path="$d/root"
                --status_path="$d/vorn.status" --log_path="$l" --log_size="$log_bound") ;;
  esac
}

if [ $main_part -eq 1 ]; then
  subjects=()
  [ $only_vorn -eq 1 ] || subjects+=(runit s6 daemontools supervisor)
  subjects+=(vorn vorn-logs vorn-watched vorn2)
  [ $variants -eq 0 ] || for v in "${variant_names[@]}"; do subjects+=("variant-$v"); done

  # Start times in rounds, one start of every subject per round, so that the
  # load of a shared machine falls on all of them alike.
  for r in $(seq "$starts"); do
    say "starts, round $r of $starts"
    for k in "${subjects[@]}"; do
      subject "$k"
      : >"$work/killclock"
      probe_run "$work/start-$k-$r.txt" --wait-exit 0 "${args[@]}"
    done
  done

  for k in runit s6 daemontools supervisor vorn vorn-logs vorn-watched; do
    [ $only_vorn -eq 1 ] && [ "${k#vorn}" = "$k" ] && continue
    say "$k: ${idle} s idle, 3 restarts"
    subject "$k"
    probe_run "$work/$k.txt" --idle "$idle" --restarts 3 "${args[@]}"
  done

  say "vorn_restart: a full turn"
  subject vorn2
  : >"$work/killclock"
  probe_run "$work/turn.txt" --idle 0 --restarts 0 --turn "${args[@]}"

  # What each pass costs, for this tree and for the earlier supervisor, on the
  # same 16 tasks.  Under callgrind with bench/pass_count.c preloaded: a dump
  # of the instructions and a count of the heap calls per pass (8 passes),
  # each pass ending at its wait (the earlier supervisor's sleep()).  Then
  # under strace, which follows the supervisor alone (not its tasks or
  # killall runs), with the same library: the system calls from one pass's
  # wait to the next are one pass (9 passes, so that 7 idle ones are whole).
  measure_passes() {  # measure_passes <now|held|before|logs|watched> <vorn_restart binary> [options...]
    local dir=$work/passes-$1 bin=$2 env=()
    [ "$1" != watched ] || env=("${watched_env[@]}")
    [ "$1" != held ] || env=(--env VORN_BENCH_STAND_IN_PIDFD=1)
    shift 2
    mkdir -p "$dir"
    probe_run "$dir/callgrind.txt" --pidns --wait-exit 300 "${env[@]}" \
      --env LD_PRELOAD="$pass_count" --env VORN_BENCH_PASSES=8 \
      --env VORN_BENCH_PASS_REPORT="$dir/allocations" \
      -- "$(command -v valgrind)" --tool=callgrind --callgrind-out-file="$dir/out" \
      "$bin" --install_path="$work/root" --status_path="$dir.status" "$@"
    [ -z "$strace_reason" ] || return 0
    probe_run "$dir/strace.txt" --pidns --wait-exit 60 "${env[@]}" \
      --env LD_PRELOAD="$pass_count" --env VORN_BENCH_PASSES=9 \
      -- "$(command -v strace)" -qq -o "$dir/syscalls" \
      "$bin" --install_path="$work/root" --status_path="$dir.status" "$@"
  }
  # A container may forbid ptrace: then the report says so instead.
  strace_reason=
  strace -qq -o /dev/null true 2>"$work/strace.err" ||
    strace_reason="strace cannot trace here: $(head -n1 "$work/strace.err")"
  say "vorn_restart: instructions, heap calls and system calls per pass (callgrind, strace)"
  measure_passes now "$vorn"
  say "vorn_restart with its children held by process descriptors (stood in for under valgrind): the same"
  measure_passes held "$vorn"
  say "vorn_restart with logs on: the same"
  measure_passes logs "$vorn" --log_path="$work/passes-logs/logs" --log_size=65536
  say "vorn_restart with metrics and both watchdogs on: the same"
  measure_passes watched "$vorn" "${watched_options[@]}"
  if [ -n "$before_vorn" ]; then
    say "vorn_restart $before_rev: the same"
    measure_passes before "$before_vorn"
  fi

  # Kill-by-name against this machine's own process table (names no process
  # has, so nothing is killed), outside the namespace: 18 names in 18 runs, as
  # the supervisor once did, and in the two runs it makes now.
  host_processes=$(ls /proc | grep -c '^[0-9]')
  host_names=()
  for i in $(seq 18); do host_names+=("bench_${run}_none_$i"); done
  host_kill_us=$(
    start=$(date +%s%N)
    for n in "${host_names[@]}"; do killall -9 -- "$n" >/dev/null 2>&1 || true; done
    echo $((($(date +%s%N) - start) / 1000))
  )
  host_kill2_us=$(
    start=$(date +%s%N)
    killall -9 -- "${host_names[@]:0:2}" >/dev/null 2>&1 || true
    killall -9 -- "${host_names[@]:2}" >/dev/null 2>&1 || true
    echo $((($(date +%s%N) - start) / 1000))
  )

  if [ $variants -eq 1 ]; then
    say "vorn_restart link variants: memory"
    for v in "${variant_names[@]}"; do
      subject "variant-$v"
      probe_run "$work/variant-$v.txt" --idle 5 --restarts 0 "${args[@]}"
    done
  fi
fi

# The start with every task as nobody under two limits, beside the plain
# start, in rounds as above.
identity_subjects=()
if [ $identity_only -eq 1 ]; then
  [ $only_vorn -eq 1 ] || identity_subjects+=(runit s6 supervisor)
  identity_subjects+=(vorn)
  for r in $(seq "$starts"); do
    say "starts as $id_user, round $r of $starts"
    for k in "${identity_subjects[@]}"; do
      for v in "$k" "$k-user"; do
        subject "$v"
        probe_run "$work/start-$v-$r.txt" --wait-exit 0 "${args[@]}"
      done
    done
  done
fi

# The operator's restart command of each supervisor, on the same task (the
# 8th of the 16) under a supervisor of its own start: 20 times, each timed
# from just before the command is started until a new process of the task
# runs its program, and until the command returns.  vorn_restart_ctl runs
# in the supervisor's PID namespace, where the pid in its status file is
# the supervisor's; supervisord gets the control socket supervisorctl talks
# to.
command_count=20
command_slot=7
command_words() {  # command_words <supervisor>: its restart command
  local name=${names[$command_slot]}
  case $1 in
    runit) words=("$(command -v sv)" restart "$work/runit/$name") ;;
    s6) words=("$(command -v s6-svc)" -r "$work/s6/$name") ;;
    daemontools) words=("$(command -v svc)" -t "$work/daemontools/$name") ;;
    supervisor) words=("$(command -v supervisorctl)" -c "$work/supervisor/supervisord-ctl.conf" restart "$name") ;;
    vorn) words=("$vorn_ctl" restart "$name" --status_path="$work/vorn-ctl.status" --install_path="$work/root") ;;
  esac
}
command_subjects=()
if [ $commands -eq 1 ]; then
  [ $only_vorn -eq 1 ] || command_subjects+=(runit s6 daemontools supervisor)
  command_subjects+=(vorn)
  command_load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  for k in "${command_subjects[@]}"; do
    say "$k: the restart command, $command_count times"
    command_words "$k"
    command_args=(--commands "$command_count" --kill-slot "$command_slot")
    for w in "${words[@]}"; do command_args+=(--command-arg "$w"); done
    case $k in
      supervisor) args=(-- "$(command -v supervisord)" -c "$work/supervisor/supervisord-ctl.conf") ;;
      vorn) args=(--pidns -- "$vorn" --install_path="$work/root" --status_path="$work/vorn-ctl.status")
            command_args+=(--command-in-pidns) ;;
      *) subject "$k" ;;
    esac
    probe_run "$work/command-$k.txt" --idle 0 --restarts 0 "${command_args[@]}" "${args[@]}"
  done
  command_load_after=$(cut -d' ' -f1-3 /proc/loadavg)
fi

# The talkative tasks, one supervisor after the other: the probe sets the
# talkers writing once every task runs and measures the supervisor's
# processes, loggers included, until a pass after they stopped.
if [ $talk -eq 1 ]; then
  for k in "${talk_subjects[@]}"; do
    say "$k: $talkers talkative tasks, $talk_rate B/s each for $talk_seconds s"
    talk_subject "$k"
    probe_run "$work/talk-$k.txt" --tasks "$talkers" --kill-slot 0 --idle 0 --restarts 0 \
      --task-program talker --talk "$talk_seconds" --talk-tail 6 \
      --talk-dir "$work/talk/$k/ctl" --log-dir "$talk_logs/$k" "${args[@]}"
  done
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the report --------------------------------------------------------------
get() { sed -n "s/^$2=//p" "$work/$1.txt" | head -n1; }

libraries() {  # shared libraries, ld.so and the vdso left out
  local list
  list=$(get "$1" libraries | cut -d: -f2- | tr ',' '\n' | grep -v '^ld-linux' | sed 's/\.so.*//' | sort)
  local n
  n=$(echo "$list" | grep -c . || true)
  if [ "$n" -gt 5 ]; then echo "$n libraries"; else echo "$list" | paste -sd' ' | sed 's/ /, /g'; fi
}

binaries() {
  get "$1" binaries | tr ',' '\n' | while IFS=: read -r path size; do
    printf '%s %s B<br>' "$(basename "$path")" "$size"
  done | sed 's/<br>$//'
}

restarts() { get "$1" restart_ms | sed 's/,/, /g'; }

start_list() {  # the start times of a subject, one a line
  local r
  for r in $(seq "$starts"); do get "start-$1-$r" start_ms; done
}

start_range() {  # median (min to max) of the starts
  local list
  list=$(start_list "$1" | sort -g)
  if [ "$starts" -gt 1 ]; then
    printf '%s ms (%s–%s)' "$(median <<<"$list")" "$(head -n1 <<<"$list")" "$(tail -n1 <<<"$list")"
  else
    printf '%s ms' "$list"
  fi
}

start_median() { start_list "$1" | median; }

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) printf "%.1f", v[int((NR + 1) / 2)] }'; }

row() {  # row <key> <label>
  local k=$1
  printf '| %s | %s | %s kB | %s kB | %s ms | %s µs | %s | %s | %s ms | %s | %s |\n' \
    "$2" "$(get "$k" processes)" "$(get "$k" rss_kb)" "$(get "$k" pss_kb)" "$(get "$k" cpu_ms)" \
    "$(get "$k" oncpu_us)" "$(get "$k" voluntary)" "$(start_range "$k")" "$(restarts "$k")" \
    "$(binaries "$k")" "$(libraries "$k")"
}

kill_runs() { cut -d' ' -f1 <<<"$1"; }
kill_ms() { awk '{printf "%.1f", $2 / 1000}' <<<"$1"; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

now_rev=$(git -C "$top" describe --always --dirty 2>/dev/null || true)
label() {  # the name of a measured supervisor in the report
  case $1 in
    before) echo "before ($before_rev)" ;;
    logs) echo "now, logs on" ;;
    held) echo "now, every child held by a process descriptor (an eventfd stands in for it under valgrind)" ;;
    watched) echo "now, metrics and both watchdogs on" ;;
    *) echo "now${now_rev:+ ($now_rev)}" ;;
  esac
}

dumps() {  # the numbers of the callgrind dumps in a directory, in order
  local f
  for f in "$1"/out.*; do if [ -e "$f" ]; then echo "${f##*.}"; fi; done | sort -n
}

preload_instructions() {  # preload_instructions <dump>: the Ir of bench/pass_count.c's own functions
  callgrind_annotate --threshold=100 "$1" 2>/dev/null |
    awk '/\/pass_count\.so\]$/ { gsub(",", "", $1); sum += $1 } END { print sum + 0 }'
}

dump_instructions() {  # dump_instructions <dump>: its Ir, those of the preloaded library left out
  local total
  total=$(sed -n 's/^\(summary\|totals\): *\([0-9]*\).*/\2/p' "$1" | head -n1)
  echo $((total - $(preload_instructions "$1")))
}

pass_instructions() {  # the Ir of each callgrind dump of a run, one a line
  local dir=$work/passes-$1 n
  for n in $(dumps "$dir"); do dump_instructions "$dir/out.$n"; done
}

inclusive() {  # inclusive <dump> <function>: its inclusive Ir in that dump, 0 if it did not run
  callgrind_annotate --inclusive=yes --threshold=100 "$1" 2>/dev/null |
    awk -v f="$2" 'index($0, ":" f " [") { gsub(",", "", $1); print $1; found = 1; exit }
                   END { if (!found) print 0 }'
}

pass_parts() {  # pass_parts <now|logs>: the split of this tree's idle passes; passes that split alike once
  local dir=$work/passes-$1 n total a b c
  for n in $(dumps "$dir" | tail -n +2); do
    total=$(dump_instructions "$dir/out.$n")
    a=$(inclusive "$dir/out.$n" 'vorn::note_ended_children()')
    b=$(inclusive "$dir/out.$n" 'vorn::mark_status_current()')
    if [ "$1" = logs ]; then
      c=$(inclusive "$dir/out.$n" 'vorn::rotate_task_logs()')
      echo "$a / $b / $c / $((total - a - b - c))"
    else
      echo "$a / $b / $((total - a - b))"
    fi
  done | uniq | paste -sd';' | sed 's/;/; /g'
}

logs_made() {  # logs_made <dir>: the task logs a run left there
  find "$1" -maxdepth 1 -name '*.log' 2>/dev/null | grep -c . || true
}

# The talkative tasks.
mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1e6 }'; }
kib() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1024 }'; }
per_mb() {  # per_mb <figure> <bytes> [decimals]
  awk -v v="$1" -v b="$2" -v d="${3:-2}" 'BEGIN { if (b > 0) printf "%.*f", d, v / (b / 1e6); else print "–" }'
}

talk_logging() {  # how each supervisor logs, and its bounds
  case $1 in
    runit) echo "\`svlogd\` under \`runsv\`, config \`s$log_bound\` \`n1\`" ;;
    s6) echo "\`s6-log n1 s$log_bound\` as each task's logger service" ;;
    daemontools) echo "\`multilog s$log_bound n2\` as each task's logger service (n counts \`current\`)" ;;
    supervisor) echo "\`stdout_logfile_maxbytes=$log_bound\`, \`stdout_logfile_backups=1\`, \`redirect_stderr=true\`" ;;
    vorn) echo "\`--log_path\`, \`--log_size=$log_bound\`" ;;
  esac
}

talk_bound() {  # the largest size the log directory may reach by each one's manual, in bytes
  case $1 in
    # .log: the bound and what a task writes until the next look, 10 ms while
    # a log grows past its bound between two looks (or the time one bound
    # takes, when longer); .log.1: the bound
    vorn) awk -v n="$talkers" -v b="$log_bound" -v r="$talk_rate" \
            'BEGIN { s = b / r; if (s < 0.01) s = 0.01; printf "%.0f", n * (2 * b + r * s) }' ;;
    # current up to the size, one older file
    *) echo $((talkers * 2 * log_bound)) ;;
  esac
}

talk_bound_text() {
  case $1 in
    vorn) echo "$talkers × (2 × $(kib $log_bound) KiB + $(mb "$talk_rate") MB/s × 10 ms, the time between two looks) = $(talk_size "$(talk_bound vorn)")" ;;
    *) echo "$talkers × 2 × $(kib $log_bound) KiB = $(kib "$(talk_bound "$1")") KiB" ;;
  esac
}

talk_size() {  # a size, in KiB below 10 MB
  if [ "$1" -lt 10000000 ]; then echo "$(kib "$1") KiB"; else echo "$(mb "$1") MB"; fi
}

talk_file_system() {  # where the talkative tasks' logs are: the top mount's type
  findmnt -n -o FSTYPE -T "$talk_logs" 2>/dev/null | tail -n1 | grep . || stat -f -c %T "$talk_logs"
}

talk_programs() { get "talk-$1" talk_programs | sed 's/:/ /g; s/,/, /g'; }

talk_row() {  # talk_row <supervisor> <label>
  local k=$1 t="talk-$1" bytes cpu oncpu largest bound held
  bytes=$(get "$t" talk_bytes)
  cpu=$(get "$t" talk_cpu_ms)
  oncpu=$(get "$t" talk_oncpu_us)
  largest=$(get "$t" talk_log_max_bytes)
  bound=$(talk_bound "$k")
  held=$(awk -v l="$largest" -v b="$bound" 'BEGIN { print (l <= b) ? "yes" : "**no**" }')
  printf '| %s | %s | %s: %s | %s ms | %s ms | %s µs | %s µs | %s kB | %s kB | %s | %s | %s | %s MB (%s %%) | %s ms |\n' \
    "$2" "$(talk_logging "$k")" "$(get "$t" talk_processes)" "$(talk_programs "$k")" \
    "$cpu" "$(per_mb "$cpu" "$bytes")" "$oncpu" "$(per_mb "$oncpu" "$bytes" 0)" \
    "$(get "$t" talk_rss_kb)" "$(get "$t" talk_pss_kb)" "$(talk_size "$largest")" \
    "$(talk_bound_text "$k")" "$held" "$(mb "$bytes")" \
    "$(awk -v b="$bytes" -v a="$((talkers * talk_rate * talk_seconds))" 'BEGIN { printf "%.0f", 100 * b / a }')" \
    "$(get "$t" talk_task_cpu_ms)"
}

talk_checks() {  # what would make a row wrong: a talker that did not report or was started again
  local k
  for k in "${talk_subjects[@]}"; do
    [ "$(get "talk-$k" talk_reports)" = "$talkers" ] ||
      echo "- $k: only $(get "talk-$k" talk_reports) of $talkers talkers reported what they wrote."
    [ "$(get "talk-$k" talk_restarted)" = 0 ] ||
      echo "- $k: $(get "talk-$k" talk_restarted) talkers ended or were started again within the measurement."
  done
}

# The operator's commands.
command_list() { get "command-$1" "command_$2_ms" | tr ',' '\n'; }

median_worst() {  # median_worst <supervisor> <forked|effect|return>
  local list
  list=$(command_list "$1" "$2")
  if grep -q timeout <<<"$list"; then
    echo "$(grep -c timeout <<<"$list") of $(grep -c . <<<"$list") timed out"
  else
    printf '%s ms (%s ms)' "$(median <<<"$list")" "$(sort -g <<<"$list" | tail -n1)"
  fi
}

command_design() {  # whether the command waits for the effect, by its manual
  case $1 in
    runit) echo "yes: sends TERM, CONT and up, then looks at the status until the service runs again (7 s at most)" ;;
    s6) echo "no: only tells s6-supervise (\`-wr\` would wait)" ;;
    daemontools) echo "no: only writes to supervise's control pipe" ;;
    supervisor) echo "yes: stop, then start, which waits until the program counts as started (\`startsecs\`, 1 s)" ;;
    vorn) echo "yes: the supervisor answers once the old child has ended and the new one is forked" ;;
  esac
}

command_waited() {  # in how many runs the command returned after the new process was forked
  local runs waited
  runs=$(get "command-$1" command_runs)
  waited=$(paste -d' ' <(command_list "$1" return) <(command_list "$1" forked) |
    awk '$1 != "timeout" && $2 != "timeout" && $1 + 0 >= $2 + 0' | grep -c . || true)
  echo "$waited of $runs"
}

command_answer() {  # what the command printed the first time, for a table cell
  local text
  text=$(get "command-$1" command_answer)
  text=${text//$work\//…/}
  echo "${text:-nothing}" | sed 's/|/\\|/g'
}

command_row() {  # command_row <supervisor>
  local k=$1 label statuses text
  case $k in
    runit) label="runit" ;;
    s6) label="s6" ;;
    daemontools) label="daemontools" ;;
    supervisor) label="supervisor" ;;
    vorn) label="**vorn_restart**" ;;
  esac
  command_words "$k"
  statuses=$(get "command-$k" command_status | tr ',' '\n' | sort | uniq -c |
    awk '{ printf "%sexit %s%s", n++ ? ", " : "", $2, ($1 > 1 ? " ×" $1 : "") }')
  text="$(basename "${words[0]}") ${words[*]:1}"
  printf '| %s | `%s` | %s | %s | %s | %s | %s | %s (%s) |\n' "$label" "${text//$work\//…/}" \
    "$(median_worst "$k" forked)" "$(median_worst "$k" effect)" "$(median_worst "$k" return)" \
    "$(command_design "$k")" "$(command_waited "$k")" "$(command_answer "$k")" "$statuses"
}

pass_syscalls() {  # the system calls of each whole idle pass, by name in order of first use
  local passes
  passes=$(awk 'match($0, /^[a-z_0-9]+\(/) {
                  name = substr($0, 1, RLENGTH - 1)
                  if (!(name in count)) { count[name] = 0; order[++n] = name }
                  count[name]++; total++
                  # The wait that ends a pass: the first ppoll of the wait for
                  # its deadline, whose timeout bench/pass_count.c marks with
                  # 1 ns more than whole milliseconds; or the sleep of the
                  # earlier supervisor.
                  if ((name == "ppoll" && $0 ~ /tv_nsec=([0-9]*00000)?1\}/) || name ~ /nanosleep$/) {
                    if (pass++ > 0) {  # the first is start-up and the first pass
                      line = total ":"
                      for (i = 1; i <= n; i++) line = line " " count[order[i]] " " order[i] (i < n ? "," : "")
                      print line
                    }
                    split("", count); n = 0; total = 0
                  }
                }' "$work/passes-$1/syscalls")
  if [ "$(sort -u <<<"$passes" | grep -c .)" -eq 1 ]; then
    echo "$(head -n1 <<<"$passes") (each of $(grep -c . <<<"$passes") passes)"
  else
    paste -sd';' <<<"$passes" | sed 's/;/; /g'
  fi
}

{
  if [ $main_part -eq 1 ]; then
    echo "### Side by side: 16 tasks, ${idle} s idle"
    echo
    echo "| supervisor | processes | VmRSS | Pss | CPU (utime+stime), ${idle} s idle | on CPU (schedstat), ${idle} s idle | voluntary switches, ${idle} s idle | start → 16 running, median (min–max) of $starts starts | restart after a kill (3 kills) | binaries | shared libraries |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
    if [ $only_vorn -eq 0 ]; then
      row runit "runit (runsvdir, runsv)"
      row s6 "s6 (s6-svscan, s6-supervise)"
      row daemontools "daemontools (svscan, supervise)"
      row supervisor "supervisor (supervisord)"
    fi
    row vorn "**vorn_restart**"
    row vorn-logs "**vorn_restart**, logs on (\`--log_path\`, $(logs_made "$work/idle-logs") logs)"
    row vorn-watched "**vorn_restart**, metrics and both watchdogs on (\`--metrics_path\`, \`--watchdog\`, \`NOTIFY_SOCKET\`)"
    echo

    echo "### vorn_restart alone"
    echo
    note_start=$(get turn note_start)
    note_turn=$(get turn note_turn)
    start_kill_runs=$(kill_runs "$note_start")
    start_kill_ms=$(kill_ms "$note_start")
    turn_kill_runs=$(($(kill_runs "$note_turn") - start_kill_runs))
    turn_kill_ms=$(awk -v a="$(kill_ms "$note_turn")" -v b="$start_kill_ms" 'BEGIN { printf "%.1f", a - b }')
    echo "| figure | value |"
    echo "|---|---|"
    # Per start of the second instance: its start time and its kill-by-name total.
    for r in $(seq "$starts"); do
      echo "$(get "start-vorn2-$r" start_ms) $(get "start-vorn2-$r" note_start)"
    done >"$work/vorn2-starts"
    kill_median=$(awk '{ printf "%.1f\n", $3 / 1000 }' "$work/vorn2-starts" | median)
    rest_median=$(awk '{ printf "%.1f\n", $1 - $3 / 1000 }' "$work/vorn2-starts" | median)
    echo "| start → 16 running, second instance (kill-by-name clock preloaded), median of $starts | $(start_range vorn2) |"
    echo "| of which kill-by-name runs (\`killall -9 -- <name>...\`, spawn to reap), median | $start_kill_runs runs, $kill_median ms |"
    echo "| the start without its kill-by-name runs, median | $rest_median ms |"
    echo "| full turn: task 0 exits with status 0 → all 16 tasks run again as new processes | $(get turn turn_ms) ms |"
    echo "| of which waiting for the next pass (task 0's end noticed, old tasks killed) | $(get turn turn_wait_ms) ms |"
    echo "| of which the new turn (kill-by-name, configuration, 16 starts) | $(get turn turn_work_ms) ms, kill-by-name $turn_kill_runs runs, $turn_kill_ms ms |"
    now_instr=$(pass_instructions now)
    echo "| instructions (callgrind Ir) of start-up + first pass (16 starts) | $(head -n1 <<<"$now_instr") |"
    for k in before now held logs watched; do
      if [ $k = before ] && [ -z "$before_vorn" ]; then
        echo "| instructions (callgrind Ir) of each following idle pass, $(label before) | not measured: $before_reason |"
        continue
      fi
      echo "| instructions (callgrind Ir) of each following idle pass, $(label $k) | $(pass_instructions $k | tail -n +2 | paste -sd' ' | sed 's/ /, /g') |"
    done
    echo "| of which, per idle pass now (inclusive): \`note_ended_children\` (each running slot's end looked for: in its process descriptor's row, or a \`waitid\` where there is none, as under valgrind) / \`mark_status_current\` (boot clock, \`utimensat\`) / the rest (start step, reap, the wait and what follows it) | $(pass_parts now) |"
    echo "| the same with logs on, and \`rotate_task_logs\` (the pass's look at the logs: an \`fstat\` of each that inotify cannot watch) before the rest | $(pass_parts logs) |"
    echo "| task logs made in the passes with logs on | $(logs_made "$work/passes-logs/logs") |"
    for k in before now held logs watched; do
      [ $k = before ] && [ -z "$before_vorn" ] && continue
      echo "| heap calls in the idle passes, $(label $k) | $(awk 'NR > 1 { a += $2; f += $3; n++ } END { printf "%d allocations, %d frees in %d passes", a, f, n }' "$work/passes-$k/allocations") |"
    done
    echo "| heap calls in start-up + first pass | $(awk 'NR == 1 { printf "%d allocations, %d frees", $2, $3 }' "$work/passes-now/allocations") |"
    for k in before now held logs watched; do
      [ $k = before ] && [ -z "$before_vorn" ] && continue
      echo "| system calls of each idle pass (strace), $(label $k) | ${strace_reason:-$(pass_syscalls $k)} |"
    done
    for k in vorn vorn-logs vorn-watched; do
      wakes=$(get $k voluntary)
      echo "| wake-ups in the ${idle} s idle window$([ $k = vorn-logs ] && echo ", logs on")$([ $k = vorn-watched ] && echo ", metrics and both watchdogs on") (voluntary switches; one per 5-second pass is at most $((idle / 5 + 1))) | $wakes ($(awk -v v="$wakes" -v s="$idle" 'BEGIN { print (v <= s / 5 + 1) ? "holds" : "**does not hold**" }')) |"
    done
    echo "| kill-by-name of 18 names against this machine's $host_processes processes (outside the namespace): 18 runs / the 2 runs made now | $(awk -v u="$host_kill_us" 'BEGIN { printf "%.1f", u / 1000 }') ms / $(awk -v u="$host_kill2_us" 'BEGIN { printf "%.1f", u / 1000 }') ms |"
    echo "| binary | $(stat -c %s "$vorn") B ($(size "$vorn" | awk 'NR == 2 { printf "text %s, data %s, bss %s", $1, $2, $3 }')) |"
    echo

    if [ $only_vorn -eq 0 ]; then
      light=$(for k in runit s6 daemontools supervisor; do echo "$(get $k pss_kb) $k"; done | sort -n | head -n1 | cut -d' ' -f2)
      echo "### Targets (lightest peer by Pss: $light)"
      echo
      echo "| target | vorn_restart | $light | ratio | met |"
      echo "|---|---|---|---|---|"
      pr=$(ratio "$(get vorn pss_kb)" "$(get $light pss_kb)")
      rr=$(ratio "$(get vorn rss_kb)" "$(get $light rss_kb)")
      met() { awk -v r="$1" -v l="$2" 'BEGIN { print (r < l) ? "yes" : "**no**" }'; }
      echo "| Pss under a quarter | $(get vorn pss_kb) kB | $(get $light pss_kb) kB | $pr | $(met "$pr" 0.25) |"
      echo "| VmRSS under a tenth | $(get vorn rss_kb) kB | $(get $light rss_kb) kB | $rr | $(met "$rr" 0.1) |"
      wakes=$(awk -v v="$(get vorn voluntary)" -v s="$idle" 'BEGIN { printf "%.0f", v }')
      echo "| one wake-up per 5-second pass | $wakes switches in $idle s | | | $(awk -v v="$wakes" -v s="$idle" 'BEGIN { print (v <= s / 5 + 1) ? "yes" : "**no**" }') |"
      fastest=$(for k in runit s6 daemontools supervisor; do echo "$(start_median $k) $k"; done | sort -g | head -n1)
      vorn_start=$(start_median vorn)
      echo "| start faster than every peer (medians) | $vorn_start ms | fastest: ${fastest#* } ${fastest%% *} ms | $(ratio "$vorn_start" "${fastest%% *}") | $(awk -v a="$vorn_start" -v b="${fastest%% *}" 'BEGIN { print (a < b) ? "yes" : "**no**" }') |"
      echo "| the same without the kill-by-name runs (second instance) | $rest_median ms | | $(ratio "$rest_median" "${fastest%% *}") | $(awk -v a="$rest_median" -v b="${fastest%% *}" 'BEGIN { print (a < b) ? "yes" : "**no**" }') |"
      echo
    fi

    if [ $variants -eq 1 ]; then
      echo "### vorn_restart linked in other ways (16 tasks, same run)"
      echo
      echo "| link | VmRSS | Pss | start → 16 running, median (min–max) of $starts | file size | shared libraries |"
      echo "|---|---|---|---|---|---|"
      for v in "${variant_names[@]}"; do
        case $v in
          shipped) label="shipped: libjansson and libc shared" ;;
          static-jansson) label="libjansson static, libc shared" ;;
          static-libgcc) label="-static-libgcc -static-libstdc++" ;;
          static) label="fully static (-static), glibc" ;;
          static-musl) label="fully static, musl (\`scripts/build-static.sh\`)" ;;
        esac
        printf '| %s | %s kB | %s kB | %s | %s B | %s |\n' "$label" "$(get "variant-$v" rss_kb)" \
          "$(get "variant-$v" pss_kb)" "$(start_range "variant-$v")" \
          "$(stat -c %s "$work/variants/$v")" "$(libraries "variant-$v")"
      done
      echo
    fi
  fi

  if [ $identity_only -eq 1 ]; then
    echo "### Start → 16 running, every task as $id_user with two limits (open files $id_files, memory $id_memory B)"
    echo
    echo "| supervisor | how | plain, median (min–max) of $starts | as $id_user with the limits | ratio |"
    echo "|---|---|---|---|---|"
    for k in "${identity_subjects[@]}"; do
      case $k in
        runit) how="\`chpst -u $id_user -o $id_files -m $id_memory\` in each run file" ;;
        s6) how="\`s6-softlimit -o $id_files -a $id_memory s6-setuidgid $id_user\` in each run file" ;;
        supervisor) how="\`user=$id_user\` (no per-program limits)" ;;
        vorn) how="\`\"user\": \"$id_user\", \"limits\": {\"open_files\": $id_files, \"memory\": $id_memory}\`" ;;
      esac
      name=$k
      [ "$k" != vorn ] || name="**vorn_restart**"
      printf '| %s | %s | %s | %s | %s |\n' "$name" "$how" "$(start_range "$k")" \
        "$(start_range "$k-user")" "$(ratio "$(start_median "$k-user")" "$(start_median "$k")")"
    done
    echo
  fi

  if [ $commands -eq 1 ]; then
    echo "### Operator commands: command to effect ($command_count restarts of one of the 16 tasks)"
    echo
    echo "| supervisor | command | → new process forked, median (worst) | → it runs the task's program, median (worst) | → the command returns, median (worst) | waits for the effect | returned after the fork | what it answers (exit status) |"
    echo "|---|---|---|---|---|---|---|---|"
    for k in "${command_subjects[@]}"; do command_row "$k"; done
    echo
    echo "From just before the command is started; the task is \`exec sleep ...\` in a script, so its new process is forked, runs the shell and then its program; the next command comes 2 s after. vorn_restart_ctl ran in the supervisor's PID namespace (entered by the probe, one fork more), so its answer names the pids of that namespace. Load average $command_load_before before, $command_load_after after."
    echo
  fi

  if [ $talk -eq 1 ]; then
    echo "### Talkative tasks: $talkers tasks, each $(mb "$talk_rate") MB/s for $talk_seconds s, logs on $(talk_file_system)"
    echo
    echo "| supervisor | logging, bounds | processes while logging | CPU (utime+stime), $((talk_seconds + 6)) s | per MB written | on CPU (schedstat) | per MB written | VmRSS | Pss | log directory, largest (every 0.2 s) | bound by the manual | held | written by the talkers | the talkers' own CPU |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    if [ $only_vorn -eq 0 ]; then
      talk_row runit "runit"
      talk_row s6 "s6"
      talk_row daemontools "daemontools"
      talk_row supervisor "supervisor"
    fi
    talk_row vorn "**vorn_restart**"
    echo
    echo "vorn_restart's passes while the tasks wrote: $(get talk-vorn talk_passes) pass marks, the longest time between two $(get talk-vorn talk_pass_max_ms) ms (the looks at a fast log within the pass's wait add their own work to it); looked at once a pass, its bound would be $(mb $((talkers * (2 * log_bound + 5 * talk_rate)))) MB."
    echo
    talk_checks
  fi

  echo "Machine: $(nproc) cores, $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n1), kernel $(uname -r), Debian $(cat /etc/debian_version); load average $load_before at the start, $load_after at the end. Peers: $(for p in "${peer_packages[@]}"; do dpkg-query -W -f='${Package} ${Version}, ' "$p" 2>/dev/null; done | sed 's/, $//'); $(valgrind --version)."
} | tee "$work/report.md"
say "done"

#!/usr/bin/env bash
# Makes scripts/static-layout.ld, the order in which scripts/build-static.sh
# links the supervisor's code: the functions it runs in a plain
# configuration first, then the rest (see build-static.sh for why).  They
# are found by running the static supervisor under gdb, a breakpoint on
# each function taken away at its first hit, as the static smoke test runs
# it: 16 tasks and a status file, one task killed and started again, once in
# task cgroups and once as process trees.  Run it after changing the
# supervisor's code when tests/device/static_smoke.sh finds the memory over
# its budget, and commit the file.  As root, where cgroup v2 is mounted;
# about a minute.
#
#   scripts/static-layout.sh
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
[ "$(id -u)" -eq 0 ] || { echo "static-layout: run it as root (task cgroups)" >&2; exit 1; }
scripts/deps.sh gdb python3 procps >&2

out=$top/build-layout
work=$(mktemp -d /tmp/vorn-layout.XXXXXX)
cgroup=
cleanup() {
  if [ -n "$cgroup" ]; then
    echo 1 >"$cgroup/cgroup.kill" 2>/dev/null || true
    sleep 0.5
    find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
VORN_STATIC_LAYOUT=off VORN_STATIC_MAP=$out/vorn_restart.map scripts/build-static.sh build-layout >&2
# Under its own name: the supervisor reads its command line only when its
# process name was cut short.
mkdir "$work/bin"
program=$work/bin/vorn_restart
cp "$out/vorn_restart.unstripped" "$program"

mount=$(awk '{ for (i = 1; i < NF; i++) if ($i == "-") { if ($(i + 1) == "cgroup2") print $5; break } }' \
  /proc/self/mountinfo | head -n1)
[ -n "$mount" ] || { echo "static-layout: no cgroup2 file system is mounted" >&2; exit 1; }
cgroup=$mount$(sed -n 's/^0:://p' /proc/self/cgroup | sed 's|/$||')/vorn_layout.$$
mkdir "$cgroup"

root=$work/root
mkdir -p "$root/usr/sbin" "$root/etc/vorn/vorn_restart"
json=
for i in $(seq 0 15); do
  name=$(printf 'layout%s_%02d' $$ "$i")
  printf '#!/bin/sh\nexec sleep 1%04d\n' "$i" >"$root/usr/sbin/$name"
  chmod +x "$root/usr/sbin/$name"
  json+="${json:+,}{\"name\":\"$name\"}"
done
echo "{\"tasks\":[$json]}" >"$root/etc/vorn/vorn_restart/vorn_restart.conf"

run() {  # run <name> [options...]: the supervisor under gdb, in a cgroup of its own
  local hits=$work/hits.$1 place=$cgroup/$1 gdb_pid sup victim
  shift
  mkdir "$place"
  VORN_LAYOUT_HITS=$hits PATH="$top/tests/e2e/fake_bin:$PATH" sh -c 'echo $$ >"$1/cgroup.procs"; shift; exec "$@"' \
    sh "$place" gdb -q -batch -x "$top/scripts/static-layout-trace.py" --args "$program" -d \
    --install_path="$root" --status_path="$work/status" "$@" >"$work/out" 2>&1 </dev/null &
  gdb_pid=$!
  sleep 15  # gdb's start and 16 starts, each function hit the first time
  sup=$(pgrep -P "$gdb_pid" | head -n1)
  victim=$(pgrep -P "$sup" | head -n1)
  kill -KILL "$victim"
  sleep 12  # its end seen, reaped and started again: two passes
  kill -TERM "$sup"
  wait "$gdb_pid" || true
  echo 1 >"$place/cgroup.kill"  # its tasks
  [ -s "$hits" ] || { echo "static-layout: no function was seen to run:" >&2; cat "$work/out" >&2; exit 1; }
}
run cgroups
run trees --no_task_cgroups
python3 scripts/static-layout-ld.py "$out/vorn_restart.map" "$program" "$work"/hits.* \
  >scripts/static-layout.ld
echo "static-layout: scripts/static-layout.ld written; rebuild with scripts/build-static.sh"

# shellcheck shell=bash
# Sourced by the benchmark's scripts.  Running as root where cgroup v2 is
# mounted, the script moves itself into a cgroup of its own below the one it
# was started in, so that whatever it starts runs there too: the cgroups
# the supervisors make (vorn_restart's container, its task cgroups and its
# leaf) lie below it, and bench_cgroup_remove ends what is left in it and
# removes it with every cgroup below it.  Elsewhere both do nothing.
bench_cgroup=
bench_cgroup_home=

bench_cgroup_enter() {
  [ "$(id -u)" = 0 ] || return 0
  local mount own
  mount=$(awk '{ for (i = 1; i < NF; i++) if ($i == "-") { if ($(i + 1) == "cgroup2") print $5; break } }' \
    /proc/self/mountinfo | head -n 1)
  own=$(sed -n 's/^0:://p' /proc/self/cgroup)
  [ -n "$mount" ] && [ -n "$own" ] || return 0
  bench_cgroup_home=$mount${own%/}
  bench_cgroup=$bench_cgroup_home/vorn_bench.$$
  if ! mkdir "$bench_cgroup" 2>/dev/null; then
    bench_cgroup=
  elif ! echo $$ >"$bench_cgroup/cgroup.procs" 2>/dev/null; then
    rmdir "$bench_cgroup"
    bench_cgroup=
  fi
}

bench_cgroup_remove() {
  [ -n "$bench_cgroup" ] || return 0
  echo $$ >"$bench_cgroup_home/cgroup.procs" 2>/dev/null || true
  echo 1 >"$bench_cgroup/cgroup.kill" 2>/dev/null || true
  local _
  for _ in $(seq 50); do
    grep -qx 'populated 0' "$bench_cgroup/cgroup.events" 2>/dev/null && break
    sleep 0.1
  done
  find "$bench_cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
  [ ! -d "$bench_cgroup" ] || echo "cannot remove the cgroup $bench_cgroup" >&2
  bench_cgroup=
}

#!/bin/sh
# Checks the installed systemd unit with systemd-analyze verify, its
# ExecStart pointed at the installed copy of the supervisor and its manual
# pages looked up in the installed tree.
# Usage: systemd_unit_test.sh <destdir> <unit path> <sbin dir> <man dir>
set -eu
dest=$1 unit=$2 sbin=$3 man=$4
work=$(mktemp -d /tmp/vorn-unit-XXXXXX)
trap 'rm -rf "$work"' EXIT

fail=0
for setting in 'Type=notify' 'NotifyAccess=main' 'WatchdogSec=90' 'KillMode=control-group' "ExecStart=$sbin/vorn_restart \$VORN_OPTIONS"; do
    grep -qx "$setting" "$dest$unit" || { echo "missing: $setting"; fail=1; }
done
if grep -q '^PIDFile=' "$dest$unit"; then echo "the supervisor writes no pid file"; fail=1; fi

# ExecReload, run as systemd would run it (its $$ made $), against the
# installed client: it must hand on the --status_path of VORN_OPTIONS alone.
reload=$(sed -n "s|^ExecReload=\(.*\)$sbin/|\1$dest$sbin/|p" "$dest$unit" | sed 's/\$\$/$/g')
if [ -z "$reload" ]; then
    echo "missing: ExecReload= running $sbin/vorn_restart_ctl"
    fail=1
else
    eval "set -- $reload"
    status=0
    VORN_OPTIONS="-d --log_path=$work/log --status_path=$work/none.status" "$@" > "$work/out" 2>&1 || status=$?
    if [ "$status" -ne 3 ] || ! grep -q "no supervisor to ask: cannot read $work/none.status" "$work/out"; then
        echo "ExecReload (status $status):"
        cat "$work/out"
        fail=1
    fi
fi

verify() {
    MANPATH=$dest$man systemd-analyze verify "$1" > "$work/out" 2>&1
}
sed "s|^ExecStart=$sbin/|ExecStart=$dest$sbin/|" "$dest$unit" > "$work/vorn_restart.service"
if ! verify "$work/vorn_restart.service" || [ -s "$work/out" ]; then
    echo "systemd-analyze verify complains:"
    cat "$work/out"
    fail=1
fi
# The same check on a broken copy must fail, or it proves nothing.
sed 's|^KillMode=.*|KillMode=sometimes|' "$work/vorn_restart.service" > "$work/broken.service"
if verify "$work/broken.service" && [ ! -s "$work/out" ]; then
    echo "systemd-analyze verify accepted a broken unit"
    fail=1
fi

if [ "$fail" -eq 0 ]; then echo "systemd unit: verified"; fi
exit "$fail"

#!/bin/sh
# Checks the installed systemd unit with systemd-analyze verify, its
# ExecStart and ExecReload pointed at the installed copies of the programs
# and its manual pages looked up in the installed tree.
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

# ExecReload, run as systemd would run it (its $$ made $, $VORN_OPTIONS
# split into words), against the installed client: it must find the status
# file however VORN_OPTIONS names it, as the supervisor would.
reload=$(sed -n "s|^ExecReload=\(.*\)$sbin/|\1$dest$sbin/|p" "$dest$unit" | sed 's/\$\$/$/g')
if [ -z "$reload" ]; then
    echo "missing: ExecReload= running $sbin/vorn_restart_ctl"
    fail=1
fi
for form in "--status_path=$work/none.status" "--status_path $work/none.status" "--status_p $work/none.status"; do
    [ -n "$reload" ] || break
    export VORN_OPTIONS="-d --log_path=$work/log $form"
    set -f
    eval "set -- $reload"
    set +f
    status=0
    "$@" > "$work/out" 2>&1 || status=$?
    if [ "$status" -ne 3 ] || ! grep -q "no supervisor to ask: cannot read $work/none.status" "$work/out"; then
        echo "ExecReload with $form (status $status):"
        cat "$work/out"
        fail=1
    fi
done

verify() {
    MANPATH=$dest$man systemd-analyze verify "$1" > "$work/out" 2>&1
}
sed "s|^\(Exec[A-Za-z]*\)=$sbin/|\1=$dest$sbin/|" "$dest$unit" > "$work/vorn_restart.service"
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

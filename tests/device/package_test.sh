#!/bin/sh
# Checks the Debian package that scripts/package.sh built: control fields,
# conffiles, the exact file list with owners and modes, that the unpacked
# programs run and name the installed paths, and the program's size as the
# README's table of builds gives it.
# Usage: package_test.sh <package.deb> [architecture, default this machine's]
set -eu
deb=$1
arch=${2:-$(dpkg --print-architecture)}
top=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(vorn_restart VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
work=$(mktemp -d /tmp/vorn-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail=0
complain() { echo "$*"; fail=1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vorn-restart ] || complain "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || complain "Version: $(field Version), not $version"
[ "$(field Architecture)" = "$arch" ] || complain "Architecture: $(field Architecture)"
[ "$(field Section)" = admin ] || complain "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || complain "no Maintainer"
depends=$(field Depends)
for needed in 'libjansson4 (>= ' 'psmisc' 'libc6 (>= '; do
    case ", $depends" in *", $needed"*) ;; *) complain "Depends lacks $needed: $depends" ;; esac
done

dpkg-deb -e "$deb" "$work/control"
printf '/etc/default/vorn_restart\n/etc/init.d/vorn_restart\n/etc/vorn/vorn_restart/vorn_restart.conf.example\n' > "$work/conffiles"
cmp -s "$work/conffiles" "$work/control/conffiles" || complain "conffiles: $(cat "$work/control/conffiles")"

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort > "$work/files"
sort > "$work/expected" <<'LIST'
-rwxr-xr-x root/root ./usr/sbin/vorn_restart
-rwxr-xr-x root/root ./usr/sbin/vorn_restart_check
-rwxr-xr-x root/root ./usr/sbin/vorn_restart_ctl
-rw-r--r-- root/root ./usr/share/man/man8/vorn_restart.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/vorn_restart_check.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/vorn_restart_ctl.8.gz
-rw-r--r-- root/root ./etc/vorn/vorn_restart/vorn_restart.conf.example
-rwxr-xr-x root/root ./etc/init.d/vorn_restart
-rw-r--r-- root/root ./etc/default/vorn_restart
-rw-r--r-- root/root ./usr/lib/systemd/system/vorn_restart.service
-rw-r--r-- root/root ./usr/share/vorn-restart/prometheus/vorn_restart.rules.yml
LIST
diff "$work/expected" "$work/files" || complain "file list differs"

root=$work/root
dpkg-deb -x "$deb" "$root"
grep -qx 'ExecStart=/usr/sbin/vorn_restart $VORN_OPTIONS' "$root/usr/lib/systemd/system/vorn_restart.service" ||
    complain "the unit does not start /usr/sbin/vorn_restart"
grep -qx 'DAEMON=/usr/sbin/vorn_restart' "$root/etc/init.d/vorn_restart" ||
    complain "the init script does not start /usr/sbin/vorn_restart"
grep -qx 'VORN_OPTIONS="--log_path=/run/vorn_restart/log"' "$root/etc/default/vorn_restart" ||
    complain "the defaults file does not turn the task logs on"
# The stripped checker runs on the unpacked tree and accepts the example.
mkdir -p "$root/usr/sbin"
"$root/usr/sbin/vorn_restart_check" --install_path="$root" \
    "$root/etc/vorn/vorn_restart/vorn_restart.conf.example" > "$work/check" ||
    complain "the example does not check: $(cat "$work/check")"
"$root/usr/sbin/vorn_restart" --help 2> "$work/help" || complain "vorn_restart --help failed"
grep -q '^Usage: vorn_restart' "$work/help" || complain "vorn_restart --help: $(cat "$work/help")"
# The README's table of builds gives the packaged program's size.
case $arch in
    amd64) row='x86-64, glibc' ;;
    arm64) row='arm64, glibc' ;;
    armhf) row='armhf, glibc' ;;
    *) row= ;;
esac
[ -z "$row" ] || "$top/tests/device/readme_size.sh" "$row" "$root/usr/sbin/vorn_restart" || fail=1
zcat "$root/usr/share/man/man8/vorn_restart.8.gz" | grep -q "^\.TH VORN_RESTART 8 .*vorn_restart $version" ||
    complain "the manual page does not carry version $version"

if [ "$fail" -eq 0 ]; then echo "package $(basename "$deb"): control data and $(wc -l < "$work/files") files as expected"; fi
exit "$fail"

#!/usr/bin/env bash
# Builds vorn_restart for an ARM machine with Debian's cross toolchain and
# the target architecture's own (multiarch) packages, runs the unit and
# end-to-end tests under user-mode emulation, and builds the Debian package
# for that architecture.
#
#   scripts/cross.sh arm64|armhf
#
# Emulation: qemu-user-static, registered with binfmt_misc (mounted first
# when it is not), so that every ARM program the tests start runs as on the
# device.  The tests that cannot run that way are left out below, each with
# its reason (README, "On a device").
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-}
case $arch in
  arm64) triplet=aarch64-linux-gnu processor=aarch64 format=qemu-aarch64 ;;
  armhf) triplet=arm-linux-gnueabihf processor=arm format=qemu-arm ;;
  *) echo "usage: scripts/cross.sh arm64|armhf" >&2; exit 2 ;;
esac
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

# --- the target's packages beside the machine's own --------------------------
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $sudo dpkg --add-architecture "$arch"
  $sudo apt-get update </dev/null >/dev/null
fi
scripts/deps.sh "crossbuild-essential-$arch" "libjansson-dev:$arch" "libgtest-dev:$arch" \
  "libc6:$arch" "libstdc++6:$arch" qemu-user-static dpkg-dev file

# --- emulation ------------------------------------------------------------------
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/$format" ]; then
  # Debian ships the registration line (":name:M:offset:magic:mask:interpreter:flags").
  conf=/usr/lib/binfmt.d/$format.conf
  [ -f "$conf" ] || { echo "cross: no $conf from qemu-user-static" >&2; exit 1; }
  grep -v '^#' "$conf" | grep . | $sudo tee "$binfmt/register" >/dev/null
fi
emulator=$(command -v "$format-static")
# A first sign of life, before anything is built.
[ "$("$triplet-gcc" -dumpmachine)" = "$triplet" ]

cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$processor"
       -DCMAKE_C_COMPILER="$triplet-gcc" -DCMAKE_CXX_COMPILER="$triplet-g++"
       -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator")
# jansson's pkg-config file of the target, not of this machine.
export PKG_CONFIG_LIBDIR=/usr/lib/$triplet/pkgconfig:/usr/share/pkgconfig

# --- build and test -------------------------------------------------------------
build=build-$arch
warnings=OFF
[ "${CI:-}" = true ] && warnings=ON
cmake -S . -B "$build" "${cross[@]}" -DVORN_BUILD_TESTS=ON -DVORN_BUILD_BENCH=OFF \
  -DVORN_WARNINGS_AS_ERRORS="$warnings" >/dev/null
cmake --build "$build" -j2
file "$build/vorn_restart" | grep -q "ELF.*$( [ "$arch" = arm64 ] && echo aarch64 || echo ARM)" ||
  { echo "cross: $build/vorn_restart is not an $arch program" >&2; exit 1; }

# Left out under emulation, each for a reason of the emulator, not of the
# supervisor:
# - soak (label): memcheck is this machine's valgrind, which cannot run an
#   ARM program;
# - the init script's end-to-end runs: they collect the daemon the script
#   detaches with prctl(PR_SET_CHILD_SUBREAPER), which qemu-user does not
#   implement;
# - closed standard descriptors: qemu-user opens the program file itself
#   before the program runs, and with 0, 1 and 2 closed that file takes
#   descriptor 0;
# - bench_smoke is not built (the benchmark's probe is this machine's).
left_out='^(supervisor_e2e\.closed_standard_descriptors.*|shells/init_script_e2e\..*)$'
ctest --test-dir "$build" --output-on-failure -j2 -LE soak -E "$left_out" --timeout 300

# --- the Debian package for the architecture -------------------------------------
package=build-package-$arch
rm -f "$package"/*.deb
cmake -S . -B "$package" "${cross[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF -DCPACK_DEBIAN_PACKAGE_ARCHITECTURE="$arch" >/dev/null
cmake --build "$package" -j2 >/dev/null
(cd "$package" && cpack -G DEB >/dev/null)
tests/device/package_test.sh "$package"/vorn-restart_*_"$arch".deb "$arch"
echo "cross: $arch built, tested under $emulator, packaged: $(ls "$package"/*.deb)"

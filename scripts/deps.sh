#!/usr/bin/env bash
# Installs the Debian packages the project needs, if any are missing.
# Usage: scripts/deps.sh [extra-package ...]
set -euo pipefail

# Every program the build, the tests and the scripts call, named here even
# when a full Debian system has it, since a minimal one (debootstrap
# --variant=minbase, a package builder's chroot) may not:
# - the build: cmake, g++, make, pkg-config, the libraries; gzip packs the
#   manual pages; binutils: readelf (the linked_libraries test, the static
#   build), strip, size;
# - the programs at run time: psmisc (killall);
# - the tests: procps (pgrep in bench_smoke; ps and kill in the static smoke
#   test, pgrep in bench/run.sh), util-linux and mount (unshare, mount,
#   setsid: the end-to-end tests); man-db, groff-base, systemd
#   (systemd-analyze), busybox and shellcheck check the manual pages, the
#   systemd unit and the init script; prometheus (promtool) and
#   prometheus-node-exporter read the metrics file in the end-to-end tests.
# A script that calls more names it as an argument (file, git, valgrind, ...).
packages=(cmake g++ make pkg-config libjansson-dev libgtest-dev gzip binutils psmisc
          procps util-linux mount man-db groff-base systemd busybox shellcheck
          prometheus prometheus-node-exporter "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root (or sudo) to install ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
# The package lists of a fresh machine may be empty or stale: update once on failure.
$sudo apt-get install -y --no-install-recommends "${missing[@]}" </dev/null ||
  { $sudo apt-get update </dev/null && $sudo apt-get install -y --no-install-recommends "${missing[@]}" </dev/null; }

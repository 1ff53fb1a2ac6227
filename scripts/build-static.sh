#!/usr/bin/env bash
# Builds fully static vorn_restart, vorn_restart_check and vorn_restart_ctl
# against musl, for the smallest machines: no shared library at all, not even the C library.
#
#   scripts/build-static.sh [output directory, default build-static]
#
# jansson is built here from Debian's source package for it (apt-get
# source; a deb-src entry is added when the machine has none), with
# musl-gcc, as a static library.  The C++ sources are compiled by g++
# against musl's headers; they use only the header parts of the C++
# library (no exceptions, RTTI, streams or locales), so nothing of
# libstdc++ is linked.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
out=$top/${1:-build-static}

scripts/deps.sh musl-tools dpkg-dev cmake g++

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

# --- jansson, from Debian's source package ----------------------------------
jansson=$out/jansson
if [ ! -f "$jansson/lib/libjansson.a" ]; then
  if ! grep -rqsE '^(deb-src |Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "build-static: adding a deb-src entry for Debian's source packages"
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$codename" | $sudo tee /etc/apt/sources.list.d/vorn-deb-src.sources >/dev/null
    $sudo apt-get update </dev/null >/dev/null
  fi
  rm -rf "$out/jansson-src"
  mkdir -p "$out/jansson-src"
  (cd "$out/jansson-src" && apt-get source --quiet jansson </dev/null >/dev/null)
  src=$(find "$out/jansson-src" -mindepth 1 -maxdepth 1 -type d -name 'jansson-*' | head -n1)
  [ -n "$src" ] || { echo "build-static: apt-get source jansson gave no source tree" >&2; exit 1; }
  cmake -S "$src" -B "$out/jansson-build" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_C_COMPILER=musl-gcc -DCMAKE_INSTALL_PREFIX="$jansson" \
    -DJANSSON_BUILD_SHARED_LIBS=OFF -DJANSSON_WITHOUT_TESTS=ON -DJANSSON_EXAMPLES=OFF \
    -DJANSSON_BUILD_DOCS=OFF -DUSE_URANDOM=ON >/dev/null
  cmake --build "$out/jansson-build" -j2 >/dev/null
  cmake --install "$out/jansson-build" >/dev/null
fi

# --- the programs ------------------------------------------------------------
gxx=$(g++ -dumpversion | cut -d. -f1)
triplet=$(gcc -dumpmachine)                 # x86_64-linux-gnu
musl_include=/usr/include/$(uname -m)-linux-musl
# The C++ library's own headers, musl's C headers instead of glibc's, and
# the compiler's.  The C++ library was configured for glibc: its test of the
# glibc version must read as "not glibc".
cxxflags=(-std=c++20 -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
          -ffunction-sections -fdata-sections -Wall -Wextra
          '-D__GLIBC_PREREQ(major,minor)=0'
          -nostdinc
          -isystem "/usr/include/c++/$gxx" -isystem "/usr/include/$triplet/c++/$gxx"
          -isystem "/usr/include/c++/$gxx/backward"
          -isystem "$musl_include" -isystem "$(gcc -print-file-name=include)"
          -isystem "$jansson/include" -I"$top/src")
objects=$out/objects
rm -rf "$objects"
mkdir -p "$objects"
core=()
for f in src/*/*.cpp; do
  case $f in *_windows.cpp) continue ;; esac
  o=$objects/$(echo "${f%.cpp}" | tr / _).o
  g++ "${cxxflags[@]}" -c "$f" -o "$o"
  case $f in *main.cpp) ;; *) core+=("$o") ;; esac
done
# The supervisor's memory on the smallest machines: its code is mapped from
# the file, and the kernel maps the pages around each one it runs (64 KiB at
# a time), so the code it runs is linked first, with the read-only data,
# and the code a plain configuration never runs after it, in pages never
# mapped (scripts/static-layout.ld, made by scripts/static-layout.sh).  Its
# buffers for rare events, aligned to whole pages, are linked apart from
# the variables every pass touches (sorted by alignment).
# VORN_STATIC_LAYOUT=off links without it, and VORN_STATIC_MAP=<file> keeps
# the link map and an unstripped supervisor beside it (both for the script).
layout=("-Wl,--sort-section=alignment" "-Wl,-T,$top/scripts/static-layout.ld")
[ "${VORN_STATIC_LAYOUT:-}" = off ] && layout=()
for program in supervisor_main:vorn_restart check_main:vorn_restart_check \
               check_ctl_main:vorn_restart_ctl; do
  name=${program#*:}
  extra=()
  if [ "$name" = vorn_restart ]; then
    extra=("${layout[@]}")
    [ -n "${VORN_STATIC_MAP:-}" ] && extra+=("-Wl,-Map,$VORN_STATIC_MAP")
  fi
  musl-gcc -static -Os -Wl,--gc-sections -Wl,-z,noseparate-code "${extra[@]}" -o "$out/$name" \
    "$objects/src_${program%%:*}.o" "${core[@]}" "$jansson/lib/libjansson.a"
  [ "$name" = vorn_restart ] && [ -n "${VORN_STATIC_MAP:-}" ] && cp "$out/$name" "$out/$name.unstripped"
  strip "$out/$name"
done

for p in vorn_restart vorn_restart_check vorn_restart_ctl; do
  if readelf -d "$out/$p" 2>/dev/null | grep -q NEEDED; then
    echo "build-static: $p is not static" >&2
    exit 1
  fi
  echo "build-static: $out/$p ($(stat -c %s "$out/$p") bytes, static, musl)"
done

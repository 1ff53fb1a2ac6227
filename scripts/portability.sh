#!/usr/bin/env bash
# The platforms this machine cannot run, checked as far as it can:
# - Windows: the privilege file (the access-token calls made at start-up on
#   Cygwin) compiled and linked against mingw-w64's headers and libraries.
#   The Cygwin build itself needs Cygwin and is not tried here.
# - C libraries without strerrordesc_np (glibc before 2.32, uClibc-ng,
#   musl): the programs and the unit tests built with -D_GNU_SOURCE and the
#   strerror fallback forced, and the unit tests run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh g++-mingw-w64-x86-64-posix

work=$(mktemp -d /tmp/vorn-portability.XXXXXX)
trap 'rm -rf "$work"' EXIT
cat >"$work/privilege_main.cpp" <<'EOF'
#include "base/platform.hpp"
int main() {
    vorn::enable_debug_privilege();
    return 0;
}
EOF
x86_64-w64-mingw32-g++-posix -std=c++20 -fno-exceptions -fno-rtti -Wall -Wextra -Wshadow \
  -Wconversion -Werror -Isrc src/base/platform_windows.cpp "$work/privilege_main.cpp" \
  -o "$work/privilege.exe" -ladvapi32
echo "portability: src/base/platform_windows.cpp compiles and links against mingw-w64"

build=build-portable
cmake -S . -B "$build" -DCMAKE_CXX_FLAGS="-D_GNU_SOURCE -DVORN_NO_STRERRORDESC" \
  -DVORN_WARNINGS_AS_ERRORS=ON -DVORN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target vorn_restart vorn_restart_check vorn_unit_tests >/dev/null
"$build/tests/vorn_unit_tests" --gtest_brief=1
echo "portability: built and unit-tested with the strerror fallback"

#!/usr/bin/env bash
# Checks the layout of every C and C++ file against .clang-format and runs
# clang-tidy with .clang-tidy over src/.  Exit status 1 on any finding, and
# on a check that cannot run: the files to check are the ones git tracks, so
# outside a git work tree (a source tarball, say) it fails and says so.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh clang-format clang-tidy git

lint_fail() {
  echo "lint: $*" >&2
  exit 1
}

# git's own refusal (no repository, or one owned by another user) is
# printed above the line that says so.
if ! top=$(git rev-parse --show-toplevel) || [ "$top" != "$(pwd -P)" ]; then
  lint_fail "$PWD is not the top of a git work tree: the files to check are the ones git tracks"
fi

# The lists are taken whole before use: a git that fails part-way must stop
# the check, not leave it with fewer files or none.
tracked() {  # tracked <what> <pathspec...>
  local what=$1 list
  shift
  list=$(git ls-files -- "$@") || lint_fail "git ls-files failed for the $what"
  [ -n "$list" ] || lint_fail "no $what found by git ls-files: nothing would be checked"
  printf '%s\n' "$list"
}

sources_list=$(tracked "C and C++ files" '*.c' '*.h' '*.cpp' '*.hpp')
mapfile -t sources <<<"$sources_list"
clang-format --dry-run --Werror "${sources[@]}"
echo "lint: ${#sources[@]} files formatted as .clang-format says"

# The Windows file needs windows.h; it is not built here.
src_list=$(tracked "source files of src/" 'src/*.cpp')
checked_list=$(grep -v '_windows\.cpp$' <<<"$src_list") ||
  lint_fail "no source file of src/ left to give clang-tidy"
mapfile -t checked <<<"$checked_list"
cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVORN_BUILD_TESTS=OFF \
  -DVORN_BUILD_BENCH=OFF >/dev/null
printf '%s\n' "${checked[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p build-lint --quiet 2>/dev/null
echo "lint: clang-tidy found nothing in ${#checked[@]} files"

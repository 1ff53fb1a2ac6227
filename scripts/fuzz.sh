#!/usr/bin/env bash
# Fuzzes, with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer,
# the configuration step (seeds in tests/fuzz/corpus) and then the checker's
# reading of a status file (seeds in tests/fuzz/status_corpus), each for the
# given number of seconds, and the supervisor's reading of a control request
# (seeds in tests/fuzz/control_corpus) for a third of it.  Fails on any
# crash, leak, sanitizer report or broken invariant; the input at fault is
# left in build-fuzz/ (crash-*, leak-*, ... for the configuration,
# status-crash-*, ... for the status file, control-crash-*, ... for a request).
#   scripts/fuzz.sh [seconds]    default 60, per target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build="build-fuzz"
scripts/deps.sh clang libclang-rt-14-dev
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVORN_FUZZ=ON -DVORN_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target vorn_config_fuzz vorn_status_fuzz vorn_control_fuzz

# fuzz <what> <target> <working corpus> <seeds> <log> <libFuzzer options...>
# New inputs go to the working corpus in the build directory, never into
# the seeds kept in the repository.
failed=0
fuzz() {
  local what=$1 target=$2 corpus=$3 seeds=$4 log=$5
  shift 5
  mkdir -p "$build/$corpus"
  echo "fuzzing $what for $seconds s (log: $build/$log)"
  local status=0
  (cd "$build" && "./tests/fuzz/$target" "$corpus" "../$seeds" -max_total_time="$seconds" \
     -print_final_stats=1 "$@") >"$build/$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)' "$build/$log" || true
  echo "corpus: $(find "$build/$corpus" -type f | wc -l) files, $(du -sk "$build/$corpus" | cut -f1) KiB in $build/$corpus"
  if [ "$status" -ne 0 ]; then
    echo "fuzzing $what failed (status $status):" >&2
    grep -E -A30 'ERROR|invariant broken|status fuzzer:|runtime error' "$build/$log" | head -60 >&2 ||
      tail -40 "$build/$log" >&2
    failed=1
  fi
}

fuzz "the configuration step" vorn_config_fuzz corpus tests/fuzz/corpus fuzz.log \
  -dict=../tests/fuzz/config.dict -max_len=12288 -close_fd_mask=1
# The status fuzzer catches the report's output itself and checks it.
fuzz "the checker's reading of a status file" vorn_status_fuzz status_corpus \
  tests/fuzz/status_corpus status_fuzz.log -dict=../tests/fuzz/status.dict -max_len=16384 \
  -artifact_prefix=status-

# A request is one short line: a third of the time is plenty.
seconds=$(( (seconds + 2) / 3 ))
fuzz "the supervisor's reading of a control request" vorn_control_fuzz control_corpus \
  tests/fuzz/control_corpus control_fuzz.log -dict=../tests/fuzz/control.dict -max_len=320 \
  -artifact_prefix=control-

[ "$failed" -eq 0 ] || exit 1
echo "fuzzing: passed"

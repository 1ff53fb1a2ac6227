#!/usr/bin/env bash
# Fuzzes the configuration step with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, starting from the seed corpus in
# tests/fuzz/corpus.  Fails on any crash, leak, sanitizer report or broken
# table invariant; the input at fault is left in build-fuzz/.
#   scripts/fuzz.sh [seconds]    default 60
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=build-fuzz
scripts/deps.sh clang libclang-rt-14-dev
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVORN_FUZZ=ON -DVORN_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target vorn_config_fuzz

# New inputs go to a working corpus in the build directory, never into the
# seeds kept in the repository.
corpus=$build/corpus
mkdir -p "$corpus"
log=$build/fuzz.log
echo "fuzzing the configuration step for $seconds s (log: $log)"
status=0
(cd "$build" && ./tests/fuzz/vorn_config_fuzz corpus ../tests/fuzz/corpus \
   -dict=../tests/fuzz/config.dict -max_len=12288 -max_total_time="$seconds" \
   -print_final_stats=1 -close_fd_mask=1) >"$log" 2>&1 || status=$?
grep -E '^#[0-9]+[[:space:]]+DONE|^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)' "$log" || true
echo "corpus: $(find "$corpus" -type f | wc -l) files, $(du -sk "$corpus" | cut -f1) KiB in $corpus"
if [ "$status" -ne 0 ]; then
  echo "fuzzing failed (status $status):" >&2
  grep -E -A30 'ERROR|invariant broken|runtime error' "$log" | head -60 >&2 || tail -40 "$log" >&2
  exit 1
fi
echo "fuzzing: passed"

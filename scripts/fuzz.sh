#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang into build-fuzz and runs
# each for a bounded time (default 30 seconds; 0 only replays the seed and
# regression inputs of fuzz/corpus). Fails on any crash, leak, time-out or
# sanitizer report, and names the input that caused it.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   e.g. scripts/fuzz.sh 300 qel_io
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(qel_io registration_doc options)
dir=build-fuzz

command -v clang >/dev/null && command -v clang++ >/dev/null ||
  { echo "fuzz.sh: clang is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
CC=clang CXX=clang++ cmake -S fuzz -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
scripts/check-runpath.sh "$dir" >/dev/null

# Leaks fail the run whatever the environment says.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1"
mkdir -p "$dir/artifacts"
# The seeds stay small in the tree; what the fuzzers add goes to the build
# directory, where the next run picks it up.
pids=()
for t in "${targets[@]}"; do
  [ -d "fuzz/corpus/$t" ] || { echo "fuzz.sh: no target $t" >&2; exit 1; }
  work="$dir/corpus/$t"
  mkdir -p "$work"
  if [ "$seconds" -eq 0 ]; then
    run=(-runs=0 "fuzz/corpus/$t")
  else
    run=(-max_total_time="$seconds" "$work" "fuzz/corpus/$t")
  fi
  "$dir/${t}_fuzz" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$t-" "${run[@]}" >"$dir/$t.log" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  status=0
  wait "${pids[$i]}" || status=$?
  log="$dir/$t.log"
  if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    failed=1
    echo "fuzz $t: FAILED (status $status); from $log:" >&2
    # From the first report on, less libFuzzer's progress lines.
    first=$(grep -nE 'check failed|ERROR:|runtime error:' "$log" | head -n1 | cut -d: -f1)
    tail -n +"${first:-1}" "$log" | grep -vE '^#[0-9]+[[:space:]]' | head -n 80 >&2
    echo "fuzz $t: replay with $dir/${t}_fuzz FILE (the test unit named above);" \
      "once fixed, keep the input in fuzz/corpus/$t/ as a regression case" >&2
  else
    echo "fuzz $t: $(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0) runs, no fault"
  fi
done
exit "$failed"

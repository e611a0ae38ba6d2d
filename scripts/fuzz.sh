#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each of them.
#   scripts/fuzz.sh [BUILD_DIR [SECONDS]]     (defaults: build-fuzz, 60)
# Environment:
#   FUZZ_TARGETS    names to run (default: every fuzz/fuzz_*.cpp)
#   FUZZ_PARALLEL=1 run all targets at once, one process each, under nice -n 19
#   FUZZ_WORK       scratch folder (default BUILD_DIR/fuzz-work): per target
#                   new/ (inputs found, the committed corpus is only read),
#                   findings/ (crashes, hangs, sanitizer reports) and log.
# Ends with one line per target: executions per second, coverage (cov/ft)
# and findings, from libFuzzer's last report. Exit status 1 on any finding.
set -euo pipefail

cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=${1:-build-fuzz}
SECONDS_EACH=${2:-60}
WORK=${FUZZ_WORK:-$BUILD/fuzz-work}
JOBS=${JOBS:-$(nproc)}

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUAY_FUZZ=ON -DQUAY_BUILD_TESTS=OFF -DQUAY_BUILD_BENCH=OFF
fi
cmake --build "$BUILD" -j "$JOBS" --target fuzz_all

targets=${FUZZ_TARGETS:-$(cd fuzz && ls fuzz_*.cpp | sed 's/^fuzz_//; s/\.cpp$//')}
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)

run_one() {
  local t=$1 dir="$WORK/$1"
  mkdir -p "$dir/new" "$dir/findings"
  local dict=()
  [ -f "$SRC/fuzz/dict/$t.dict" ] && dict=(-dict="$SRC/fuzz/dict/$t.dict")
  # Corpus folders are given as absolute paths: a target may change its
  # working folder. stdout of the target is closed (the parsers talk a lot).
  "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" -timeout=5 -rss_limit_mb=2048 -max_len=4096 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$dir/findings/" "${dict[@]}" \
    "$dir/new" "$SRC/fuzz/corpus/$t" >"$dir/log" 2>&1 || true
}

if [ "${FUZZ_PARALLEL:-0}" = 1 ]; then
  pids=()
  for t in $targets; do
    nice -n 19 bash -c "$(declare -f run_one); SRC='$SRC' BUILD='$BUILD' WORK='$WORK' SECONDS_EACH='$SECONDS_EACH' run_one $t" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || true; done
else
  for t in $targets; do
    echo "fuzzing $t for ${SECONDS_EACH}s"
    run_one "$t"
  done
fi

status=0
printf '%-10s %10s %8s %8s %9s %s\n' target execs exec/s cov ft findings
for t in $targets; do
  log="$WORK/$t/log"
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  execs=$(grep -oE 'stat::number_of_executed_units: +[0-9]+' "$log" | grep -oE '[0-9]+$' || echo "?")
  eps=$(grep -oE 'stat::average_exec_per_sec: +[0-9]+' "$log" | grep -oE '[0-9]+$' || echo "?")
  cov=$(echo "$last" | grep -oE 'cov: [0-9]+' | grep -oE '[0-9]+' || echo "?")
  ft=$(echo "$last" | grep -oE 'ft: [0-9]+' | grep -oE '[0-9]+' || echo "?")
  found=$(find "$WORK/$t/findings" -type f | wc -l)
  [ "$found" -eq 0 ] || status=1
  printf '%-10s %10s %8s %8s %9s %s\n' "$t" "$execs" "$eps" "$cov" "$ft" "$found"
done
[ "$status" -eq 0 ] || echo "findings: $WORK/<target>/findings (logs in $WORK/<target>/log)"
exit $status

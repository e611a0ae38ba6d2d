#!/usr/bin/env bash
# Runs every benchmark built under bench/. Where unshare works (as root) each
# runs in PID and IPC namespaces of its own: the pool's fixed SysV keys and
# the producer program, found by name among all processes, are then the
# benchmark's alone, whatever else runs on the machine.
#
#   scripts/bench.sh [BUILD [OTHER_BUILD]]
#
# With a second build directory (for instance one of an earlier commit) each
# benchmark runs from both, one right after the other and then once more in
# the opposite order, so that both see the same machine state; every run is
# labelled with its build. BENCH_FILTER (a grep -E pattern on the name, e.g.
# 'pool|sdk') picks benchmarks. The load average is printed around each run:
# on a shared machine it says how busy the CPUs were.
set -euo pipefail
BUILD=${1:-build}
OTHER=${2:-}
FILTER=${BENCH_FILTER:-.}
ISOLATE=()
if unshare --ipc --pid --fork --mount-proc true 2>/dev/null; then
  ISOLATE=(unshare --ipc --pid --fork --kill-child --mount-proc)
fi

run() {  # build-dir bench-name
  local b="$1/bench/$2"
  [ -x "$b" ] || { echo "== $b: not built"; return 0; }
  echo "== $b   ($(date -u +%H:%M:%S) UTC, load average $(cut -d' ' -f1-3 /proc/loadavg))"
  "${ISOLATE[@]}" "$b" || echo "== $b failed: $?"
}

found=0
for b in "$BUILD"/bench/bench_*; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  echo "$name" | grep -Eq "$FILTER" || continue
  found=1
  if [ -n "$OTHER" ]; then
    run "$OTHER" "$name"
    run "$BUILD" "$name"
    run "$BUILD" "$name"
    run "$OTHER" "$name"
  else
    run "$BUILD" "$name"
  fi
done
[ $found -eq 1 ] || echo "no benchmarks built"

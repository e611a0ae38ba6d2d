#!/usr/bin/env bash
# Runs every benchmark built under bench/. Where unshare works (as root) each
# runs in PID and IPC namespaces of its own: the pool's fixed SysV keys and
# the producer program, found by name among all processes, are then the
# benchmark's alone, whatever else runs on the machine.
set -euo pipefail
BUILD=${1:-build}
ISOLATE=()
if unshare --ipc --pid --fork --mount-proc true 2>/dev/null; then
  ISOLATE=(unshare --ipc --pid --fork --kill-child --mount-proc)
fi
found=0
for b in "$BUILD"/bench/bench_*; do
  [ -x "$b" ] || continue
  found=1
  echo "== $b"
  "${ISOLATE[@]}" "$b"
done
[ $found -eq 1 ] || echo "no benchmarks built"

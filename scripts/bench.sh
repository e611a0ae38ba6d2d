#!/usr/bin/env bash
# Runs every benchmark built under bench/.
set -euo pipefail
BUILD=${1:-build}
found=0
for b in "$BUILD"/bench/bench_*; do
  [ -x "$b" ] || continue
  found=1
  echo "== $b"
  "$b"
done
[ $found -eq 1 ] || echo "no benchmarks built"

#!/usr/bin/env bash
# scripts/soak.sh for half a minute with its faults made frequent: it must
# come up, pass its own checks, and have injected each fault at least once.
set -u
SOAK=$1 BUILD=$2
DIR=$(mktemp -d /tmp/quay-soak-test.XXXXXX)
# A small ring and FIFO, so that a consumer stopped for 8 s is expelled and
# a producer stopped for 9 s overflows the card; the first producer stop
# comes 5 to 15 s into the 30 s, so it ends before the run does.
out=$(SOAK_DIR=$DIR SOAK_RATE=2000 SOAK_RESET_EVERY=8 SOAK_KILL_EVERY=3 SOAK_PRODUCER_EVERY=10 SOAK_SAMPLE_EVERY=5 \
      SOAK_POOL_MIB=1 SOAK_FIFO=8192 SOAK_PAUSE_EVERY=12 SOAK_STALL_EVERY=10 bash "$SOAK" 0.5 "$BUILD" 2>&1)
rc=$?
echo "$out"
[ $rc -eq 0 ] || { echo "soak failed: status $rc, folder $DIR"; exit 1; }
# The first number after the text $1 (an extended regular expression).
n() { grep -oE "$1 [0-9]+" <<<"$out" | head -1 | awk '{ print $NF }'; }
fails=0
for what in "consumers killed \\(SIGKILL\\)" "producers [0-9]+, killed" "resets:" "answered" "consumers\\) +" \
           "\\(SIGSTOP\\)" "producer stopped" "card \\(FIFO full\\) +"; do
  v=$(n "$what")
  [ "${v:-0}" -gt 0 ] || { echo "nothing counted for: $what"; fails=1; }
done
# A producer killed while its consumers hold the pool continues on their segment.
[ "$(n "producer starts:")" -ge 1 ] 2>/dev/null || { echo "no producer restarted on the held segment"; fails=1; }
# The folder stays for a look when something failed.
[ $fails -eq 0 ] && rm -rf "$DIR"
exit $fails

#!/usr/bin/env bash
# The whole system on one virtual Enyx card, as an installation runs it:
#   - quay-vcard animates the card (a live feed's counters, a session lost now
#     and then, today's trading date, the card's clock) and the card's feed
#     generator sends market-data records on MAC_CHAN0_DATA at a steady rate;
#   - the daemon quay brings the card up and publishes its metrics;
#   - the producer QxDeliverDmaServer copies the feed into the shared pool;
#   - two example consumers (mkrx_consumer, run mode 2) read the pool.
# One table, refreshed once a second, shows per consumer records/s, records,
# gaps, lost records and the copy-to-read latency p50/p99, the producer's
# copied, dropped and back-pressure counts, and the daemon's last scrape.
# Ctrl-C stops all of it; the pool's segment and semaphores go with the
# producer, the demo folder with the script.
#
#   demo.sh [BUILD_DIR]
# Settings from the environment (a test runs the demo with them):
#   DEMO_SECONDS=N  feed N seconds' worth of records, stop when the consumers
#                   have read them all; default: run until Ctrl-C
#   DEMO_PLAIN=1    plain lines, no screen redraw (default when not a terminal)
#   DEMO_DIR=DIR    work in DIR and keep it (default: a folder in /tmp, removed)
#   DEMO_RATE=N     records/s of the feed (default 50000)
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
QUAY="$BUILD/bin/quay"
VCARD="$BUILD/bin/quay-vcard"
SIMCTL="$BUILD/sim/enyx-sim-ctl"
PRODUCER="$BUILD/examples/QxDeliverDmaServer"
CONSUMER="$BUILD/examples/mkrx_consumer"
for p in "$QUAY" "$VCARD" "$SIMCTL" "$PRODUCER" "$CONSUMER"; do
  [ -x "$p" ] || { echo "$p not built: run make build first" >&2; exit 1; }
done
SECONDS_LIMIT=${DEMO_SECONDS:-0}
RATE=${DEMO_RATE:-50000}
PLAIN=${DEMO_PLAIN:-}
[ -t 1 ] || PLAIN=1

# A free port near the sample configuration's 9321.
PORT=""
for p in $(seq 9321 9420); do
  if ! ss -Hltn "sport = :$p" | grep -q .; then PORT=$p; break; fi
done
[ -n "$PORT" ] || { echo "no free port in 9321-9420" >&2; exit 1; }
URL="http://127.0.0.1:$PORT/metrics"

if [ -n "${DEMO_DIR:-}" ]; then
  DEMO=$(mkdir -p "$DEMO_DIR" && cd "$DEMO_DIR" && pwd)
  KEEP=1
else
  DEMO=$(mktemp -d /tmp/quay-demo.XXXXXX)
  KEEP=""
fi
export ENYX_SIM_CONFIG="$DEMO/card.conf" ENYX_SIM_DIR="$DEMO/cards"

PIDS=()  # started programs, stopped in reverse order
nap=""   # the table's one-second sleep
cleanup() {
  trap - EXIT INT TERM
  [ -z "$nap" ] || kill "$nap" 2>/dev/null || true
  "$SIMCTL" stop >/dev/null 2>&1 || true
  # One at a time, the consumers first: the producer removes the pool's
  # segment and semaphores when it stops, and a consumer still detaching
  # then would make the semaphores anew.
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
    kill -TERM "${PIDS[i]}" 2>/dev/null || true
    wait "${PIDS[i]}" 2>/dev/null || true
  done
  [ -n "$KEEP" ] || rm -rf "$DEMO"
  echo
  echo "demo stopped; nothing left running"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The card: the register core of the firmware and the two DMA streams; the
# version register preset selects firmware 0x1005 (Shenzhen over TCP behind
# the gateway, register part sz_tcp_net_x).
cat > "$DEMO/card.conf" <<EOT
card
core 474 regs=2097152
core 472
stream MAC_CHAN0_DATA depth=65536
stream MAC_CHAN1_DATA depth=65536
reg 474 28 0x1005
EOT
cp "$BUILD/data/bin" "$DEMO/bin"
# A record period of 5 s lets the counters reach the metrics quickly (the
# sample file says 30).
sed -e "s|^core_id *=.*|core_id = 474|" -e "s|^port *=.*|port = $PORT|" \
    -e "s|^record_time_len *=.*|record_time_len = 5|" "$BUILD/data/quay.ini" > "$DEMO/quay.ini"
# The copy thread busy-polls the card on the last CPU.
CPU=$(( $(nproc) - 1 ))
cat > "$DEMO/device.ini" <<EOT
[device]
quay_ini_path = $DEMO
dmapoolsize = 16
copyCoreNum = $CPU
dataType = 2
dma0name = MAC_CHAN0_DATA
dma1name = MAC_CHAN1_DATA
EOT

# started NAME FILE TEXT: waits up to 10 s for TEXT in FILE.
started() {
  for _ in $(seq 100); do grep -q "$3" "$2" 2>/dev/null && return 0; sleep 0.1; done
  echo "$1 did not start; its output:" >&2
  cat "$2" >&2
  exit 1
}
cd "$DEMO"
"$VCARD" --card enyx:0:474 --bin "$DEMO/bin" --version 0x1005 --lost-every 20 > vcard.out 2>&1 &
PIDS+=($!)
started quay-vcard vcard.out animating
"$QUAY" > quay.out 2>&1 &
PIDS+=($!)
# Out of the terminal's process group: Ctrl-C reaches the consumers, the
# producer stops after them (cleanup).
setsid "$PRODUCER" -d "$DEMO" -l "$DEMO/log" -t 2 -s > producer.out 2>&1 &
PIDS+=($!)
started QxDeliverDmaServer producer.out "QxDeliverDmaServer: producing"
# A bounded run feeds RATE x SECONDS records and the consumers read them all
# (with a time limit in case some never come): nothing arrives after they
# left, so the producer's counts are those of the run.
LIMIT=()
COUNT=0
if [ "$SECONDS_LIMIT" != 0 ]; then
  COUNT=$((RATE * SECONDS_LIMIT))
  LIMIT=(-n "$COUNT" -s $((SECONDS_LIMIT + 10)))
fi
CONSUMERS=()
for c in c1 c2; do
  "$CONSUMER" -d "$DEMO" -l "$DEMO/log" -t 2 "${LIMIT[@]}" > "$c.out" 2>&1 &
  PIDS+=($!)
  CONSUMERS+=($!)
  started "mkrx_consumer $c" "$c.out" "mkrx_consumer: attached"
done
"$SIMCTL" feed MAC_CHAN0_DATA rate="$RATE" size=120 types=1,2,3 count="$COUNT" > /dev/null

cat <<EOT
demo folder: $DEMO (card, quay.ini, device.ini, bin; logs in log/)
metrics:     curl -s $URL | grep ^quay_
feed:        $RATE records/s of 120 bytes on MAC_CHAN0_DATA
EOT
[ "$SECONDS_LIMIT" = 0 ] && echo "Ctrl-C stops the demo"

# The table. A consumer's line (see examples/mkrx_example.h) gives its
# counts so far and the last second's rate and latencies; its "total" line
# the whole run's. The producer prints its counters once a second.
field() { awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) { print $(i + 1); exit } }'; }
label() { grep -o "[{,]$1=\"[^\"]*\"" | head -1 | cut -d'"' -f2; }
consumer_row() {  # NAME FILE [total]
  local line
  if [ "${3:-}" = total ]; then
    line=$(grep "^mkrx_consumer: total " "$2" | tail -1 || true)
  else
    line=$(grep "^mkrx_consumer: [0-9.]* s: records" "$2" | tail -1 || true)
  fi
  if [ -z "$line" ]; then
    printf '%-9s %10s %12s %8s %8s %9s %9s\n' "$1" - - - - - -
    return
  fi
  printf '%-9s %10s %12s %8s %8s %9s %9s\n' "$1" "$(field rec/s <<<"$line")" "$(field records <<<"$line")" \
    "$(field gaps <<<"$line")" "$(field lost <<<"$line")" "$(field p50 <<<"$line")" "$(field p99 <<<"$line")"
}
SCRAPE="daemon    no scrape yet"
scrape() {
  local body st cfg
  body=$(curl -s -m 1 "$URL") || { SCRAPE="daemon    scrape $(date +%T): no answer from $URL"; return; }
  st=$(grep '^quay_fpga_status{' <<<"$body" || true)
  cfg=$(grep '^quay_fpga_config{' <<<"$body" || true)
  [ -n "$st" ] || { SCRAPE="daemon    scrape $(date +%T): no card metrics yet"; return; }
  SCRAPE=$(printf 'daemon    scrape %s: rx %s kpps, sessions lost %s + %s, sequence gaps %s, link %s, trade date %s, last reset "%s"' \
    "$(date +%T)" "$(label rx_rate_kpps <<<"$st")" "$(label session_lost_num_path0 <<<"$st")" \
    "$(label session_lost_num_path1 <<<"$st")" "$(label seq_gap_num <<<"$st")" \
    "$(label link_status <<<"$cfg")" "$(label cur_trade_date <<<"$cfg")" "$(label last_reset <<<"$st")")
}
table() {  # [total]
  local p
  if [ -n "$PLAIN" ]; then
    echo "--- $(date +%T)${1:+ final}"
  else
    printf '\033[H\033[J\033[1mquay demo %s%s\033[0m  feed %s rec/s  (Ctrl-C stops)\n' "$(date +%T)" "${1:+ final}" "$RATE"
  fi
  printf '%-9s %10s %12s %8s %8s %9s %9s\n' consumer rec/s records gaps lost p50_us p99_us
  consumer_row c1 c1.out "${1:-}"
  consumer_row c2 c2.out "${1:-}"
  p=$(grep '^copied ' producer.out | tail -1 || true)
  printf 'producer  copied %s, dropped %s, back-pressure %s, consumers %s\n' "$(field copied <<<"$p")" \
    "$(field dropped <<<"$p")" "$(awk '{ for (i = 2; i <= NF; i++) if ($i == "back-pressure,") print $(i - 1) }' <<<"$p")" \
    "$(field consumers <<<"$p")"
  echo "$SCRAPE"
}
running() { local pid; for pid in "${CONSUMERS[@]}"; do kill -0 "$pid" 2>/dev/null && return 0; done; return 1; }

[ -n "$PLAIN" ] || clear
while running; do
  sleep 1 &
  nap=$!
  scrape
  table
  wait "$nap" || true
done
for pid in "${CONSUMERS[@]}"; do wait "$pid" || true; done
# The producer's counters of a second after the consumers ended cover all
# they read.
sleep 1.2
table total

#!/usr/bin/env bash
# The whole system on one virtual Enyx card, as an installation runs it:
#   - quay-vcard animates the card (a live feed's counters, a session lost now
#     and then, today's trading date, the card's clock) and the card's feed
#     generator sends market-data records on MAC_CHAN0_DATA at a steady rate;
#   - the daemon quay brings the card up and publishes its metrics;
#   - the producer QxDeliverDmaServer copies the feed into the shared pool;
#   - two example consumers (mkrx_consumer, run mode 2) read the pool.
# quay_tool config applies quay.ini to the card first, as an operator does
# after bring-up. One table, drawn once a second from one snapshot (every
# source read once, then the frame written in one piece over the last one),
# shows per consumer records/s, records, gaps, lost records and the
# copy-to-read latency p50/p99, the producer's copied, dropped and
# back-pressure counts, and the daemon's last scrape. Ctrl-C stops all of it
# (and ends the script with status 0); the pool's segment and semaphores go
# with the producer, the demo folder with the script.
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
TOOL="$BUILD/bin/quay_tool"
VCARD="$BUILD/bin/quay-vcard"
SIMCTL="$BUILD/sim/enyx-sim-ctl"
PRODUCER="$BUILD/examples/QxDeliverDmaServer"
CONSUMER="$BUILD/examples/mkrx_consumer"
STANDIN="$(cd "$(dirname "$0")/.." && pwd)/sim/tools"  # lspci and lsmod of the virtual card
for p in "$QUAY" "$TOOL" "$VCARD" "$SIMCTL" "$PRODUCER" "$CONSUMER"; do
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
cleanup() {
  trap - EXIT INT TERM
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
# Ctrl-C is how the demo ends: a normal end (make prints no error for it).
trap 'exit 0' INT
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
"$VCARD" --card enyx:0:474 --bin "$DEMO/bin" --version 0x1005 --lost-every 20 \
  --stream MAC_CHAN0_DATA --record-size 120 > vcard.out 2>&1 &
PIDS+=($!)
started quay-vcard vcard.out animating
# The daemon applies quay.ini only at the daily reset: configure the card now,
# as an operator does (the stand-in lspci and lsmod report the virtual card).
PATH="$STANDIN:$PATH" "$TOOL" config > tool.out 2>&1
grep -q "quay_tool reset finished." tool.out || { echo "quay_tool config failed:" >&2; cat tool.out >&2; exit 1; }
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

INTRO="demo folder: $DEMO (card, quay.ini, device.ini, bin; logs in log/)
metrics:     curl -s $URL | grep ^quay_
feed:        $RATE records/s of 120 bytes on MAC_CHAN0_DATA"
[ "$SECONDS_LIMIT" = 0 ] && INTRO+=$'\nCtrl-C stops the demo'
[ -z "$PLAIN" ] || printf '%s\n' "$INTRO"

# ---- one snapshot per frame
# A consumer's line (see examples/mkrx_example.h) gives its counts so far and
# the last second's rate and latencies, its "total" line the whole run's; the
# producer prints its counters once a second. A frame reads the consumers
# first and then waits for the producer's next line: that line was printed
# after the consumers' lines were read, so its copies cover what they read.

# The word after KEY in the words of LINE ("-" when absent).
field() {  # KEY LINE
  local -a w
  local i
  read -ra w <<<"$2"
  for ((i = 0; i + 1 < ${#w[@]}; i++)); do
    [ "${w[i]}" = "$1" ] && { printf '%s' "${w[i + 1]}"; return; }
  done
  printf -- -
}
last_line() {  # FILE PATTERN
  grep -- "$2" "$1" 2>/dev/null | tail -n 1 || true
}
label() {  # NAME TEXT: the value of label NAME in a sample line
  local re="[{,]$1=\"([^\"]*)\""
  [[ $2 =~ $re ]] && printf '%s' "${BASH_REMATCH[1]}" || printf -- -
}
SCRAPE="daemon    no scrape yet"
scrape() {
  local body st cfg
  if ! body=$(curl -s -m 1 "$URL"); then
    SCRAPE="daemon    scrape $(date +%T): no answer from $URL"
    return
  fi
  st=$(grep -m 1 '^quay_fpga_status{' <<<"$body" || true)
  cfg=$(grep -m 1 '^quay_fpga_config{' <<<"$body" || true)
  if [ -z "$st" ]; then
    SCRAPE="daemon    scrape $(date +%T): no card metrics yet"
    return
  fi
  printf -v SCRAPE 'daemon    scrape %s: rx %s kpps, sessions lost %s + %s, sequence gaps %s, link %s, trade date %s, last reset "%s"' \
    "$(date +%T)" "$(label rx_rate_kpps "$st")" "$(label session_lost_num_path0 "$st")" \
    "$(label session_lost_num_path1 "$st")" "$(label seq_gap_num "$st")" \
    "$(label link_status "$cfg")" "$(label cur_trade_date "$cfg")" "$(label last_reset "$st")"
}
C1="" C2="" PROD=""
snapshot() {  # [total]
  local before n pat='^mkrx_consumer: [0-9.]* s: records'
  [ "${1:-}" = total ] && pat='^mkrx_consumer: total '
  before=$(grep -c '^copied ' producer.out || true)
  C1=$(last_line c1.out "$pat")
  C2=$(last_line c2.out "$pat")
  scrape
  for _ in $(seq 100); do
    n=$(grep -c '^copied ' producer.out || true)
    [ "$n" -gt "$before" ] && break
    sleep 0.05
  done
  PROD=$(last_line producer.out '^copied ')
}
row() {  # NAME LINE
  if [ -z "$2" ]; then
    printf '%-9s %10s %12s %8s %8s %9s %9s' "$1" - - - - - -
  else
    printf '%-9s %10s %12s %8s %8s %9s %9s' "$1" "$(field rec/s "$2")" "$(field records "$2")" \
      "$(field gaps "$2")" "$(field lost "$2")" "$(field p50 "$2")" "$(field p99 "$2")"
  fi
}
# The frame of the last snapshot, as lines.
frame() {  # [total]
  local -a w
  local bp=- i span="last second"
  [ -z "${1:-}" ] || span="whole run"
  read -ra w <<<"$PROD"
  for ((i = 1; i < ${#w[@]}; i++)); do [ "${w[i]}" = "back-pressure," ] && bp=${w[i - 1]}; done
  if [ -n "$PLAIN" ]; then
    echo "--- $(date +%T)${1:+ final}"
  else
    printf '%s\n\n' "$INTRO"
    echo "quay demo $(date +%T)${1:+ final}"
  fi
  printf '%-9s %10s %12s %8s %8s %9s %9s\n' consumer rec/s records gaps lost p50_us p99_us
  row c1 "$C1"; echo
  row c2 "$C2"; echo
  printf 'producer  copied %s, dropped %s, back-pressure %s, consumers %s\n' "$(field copied "$PROD")" \
    "$(field dropped "$PROD")" "$bp" "$(field consumers "$PROD")"
  echo "$SCRAPE"
  echo "latency:  copy to read in µs over the $span; p50/p99 = lower edge of the histogram bucket (about 3% wide) holding that percentile"
}
# Draws a frame: plain lines, or on a terminal one write from the top left
# over the last frame, each line cleared to its end and the rest below.
draw() {  # [total]
  local text
  text=$(frame "${1:-}")
  if [ -n "$PLAIN" ]; then
    printf '%s\n' "$text"
  else
    printf '\033[H%s\033[K\n\033[J' "${text//$'\n'/$'\033[K\n'}"
  fi
}
running() { local pid; for pid in "${CONSUMERS[@]}"; do kill -0 "$pid" 2>/dev/null && return 0; done; return 1; }

while running; do
  snapshot
  draw
done
for pid in "${CONSUMERS[@]}"; do wait "$pid" || true; done
snapshot total
draw total

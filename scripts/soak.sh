#!/usr/bin/env bash
# Soak: the whole system running for MINUTES on virtual cards, under faults.
#
#   scripts/soak.sh MINUTES [BUILD]      (BUILD default build-asan; MINUTES may be 0.5)
#
# - the daemon quay on an animated XDMA card (quay-vcard), scraped every second
#   by a real Prometheus server; quay_tool resets that card every minute;
# - the producer QxDeliverDmaServer on the simulated Enyx card, whose feed
#   generator sends numbered records, and consumers (mkrx_consumer) of its
#   shared pool; consumers are killed with SIGKILL at random moments and
#   started again, the producer is killed now and then and started again
#   (it then finds the segment its consumers still hold and continues); now
#   and then a consumer is stopped (SIGSTOP) until the ring has filled behind
#   it, and the producer is stopped until the card's FIFO has overflowed, so
#   that records are dropped and consumers expelled.
#
# Everything runs in PID and IPC namespaces of its own (the pool's SysV keys
# are fixed, and consumers look for the producer by name), on free ports.
# Programs built with AddressSanitizer/UBSan write their reports into the
# soak folder, which is kept. At the end a report compares records produced,
# consumed, dropped and counted, and lists sanitizer reports, descriptors,
# resident memory and IPC objects at start and end, and scrapes answered and
# failed. Exit status 0 when every check holds, 1 when one fails, 2 on bad
# use or when the system did not come up.
#
# Knobs (environment): SOAK_DIR (folder, default a new /tmp/quay-soak.*),
# SOAK_RATE (feed records/s, 5000), SOAK_SIZE (record bytes, 128),
# SOAK_CONSUMERS (3), SOAK_KILL_EVERY (mean seconds between consumer kills, 20),
# SOAK_PRODUCER_EVERY (mean seconds between producer kills, 300),
# SOAK_PAUSE_EVERY (mean seconds between consumer stops, 240), SOAK_STALL_EVERY
# (mean seconds between producer stops, 420), SOAK_POOL_MIB (ring, 4),
# SOAK_FIFO (card FIFO depth in records, 65536),
# SOAK_RESET_EVERY (seconds between tool resets, 60), SOAK_SAMPLE_EVERY
# (seconds between resource samples, 10), SOAK_SEED (random seed).
set -euo pipefail

usage() { echo "usage: $0 MINUTES [BUILD]" >&2; exit 2; }
[ $# -ge 1 ] && [ $# -le 2 ] || usage
[[ "$1" =~ ^[0-9]+([.][0-9]+)?$ ]] || usage
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")

# Into namespaces of our own first: this script again, as the first process
# of a new PID namespace (it reaps whatever ends there).
if [ -z "${QUAY_SOAK_ISOLATED:-}" ]; then
  if ! unshare --ipc --pid --fork --mount-proc true 2>/dev/null; then
    echo "soak: needs PID and IPC namespaces of its own (run as root)" >&2
    exit 2
  fi
  exec env QUAY_SOAK_ISOLATED=1 unshare --ipc --pid --fork --kill-child --mount-proc bash "$0" "$@"
fi

SECS=$(awk -v m="$1" 'BEGIN { s = int(m * 60 + 0.5); print (s < 10 ? 10 : s) }')
BUILD=$(cd "${2:-$ROOT/build-asan}" && pwd)
RATE=${SOAK_RATE:-5000}
SIZE=${SOAK_SIZE:-128}
NCONS=${SOAK_CONSUMERS:-3}
KILL_EVERY=${SOAK_KILL_EVERY:-20}
PROD_EVERY=${SOAK_PRODUCER_EVERY:-300}
PAUSE_EVERY=${SOAK_PAUSE_EVERY:-240}
STALL_EVERY=${SOAK_STALL_EVERY:-420}
POOL_MIB=${SOAK_POOL_MIB:-4}
FIFO=${SOAK_FIFO:-65536}
RESET_EVERY=${SOAK_RESET_EVERY:-60}
SAMPLE_EVERY=${SOAK_SAMPLE_EVERY:-10}
for kv in SOAK_RATE:RATE SOAK_SIZE:SIZE SOAK_CONSUMERS:NCONS SOAK_KILL_EVERY:KILL_EVERY \
          SOAK_PRODUCER_EVERY:PROD_EVERY SOAK_PAUSE_EVERY:PAUSE_EVERY SOAK_STALL_EVERY:STALL_EVERY \
          SOAK_POOL_MIB:POOL_MIB SOAK_FIFO:FIFO SOAK_RESET_EVERY:RESET_EVERY SOAK_SAMPLE_EVERY:SAMPLE_EVERY; do
  v=${kv#*:}
  [[ "${!v}" =~ ^[1-9][0-9]{0,8}$ ]] || { echo "soak: ${kv%%:*} must be a whole number above 0, not '${!v}'" >&2; exit 2; }
done
# Records of the card's feed are 16 to 256 bytes (the stream's MTU); the pool
# takes 8 consumers and a ring of a power of two MiB.
[ "$SIZE" -ge 16 ] && [ "$SIZE" -le 256 ] || { echo "soak: SOAK_SIZE must be 16 to 256" >&2; exit 2; }
[ "$NCONS" -le 8 ] || { echo "soak: SOAK_CONSUMERS must be 1 to 8" >&2; exit 2; }
[ $(( POOL_MIB & (POOL_MIB - 1) )) -eq 0 ] && [ "$POOL_MIB" -le 2048 ] ||
  { echo "soak: SOAK_POOL_MIB must be a power of two up to 2048" >&2; exit 2; }
# A stopped consumer stays stopped until the feed has filled the ring behind
# it, a stopped producer until the feed has overflowed the card's FIFO; both
# with 5 s to spare. A record takes its size and the 24-byte header.
PAUSE_SECS=$(( POOL_MIB * 1048576 / (RATE * (SIZE + 24)) + 5 ))
STALL_SECS=$(( FIFO / RATE + 5 ))
SEED=${SOAK_SEED:-$(( $(date +%s) % 32768 ))}
RANDOM=$SEED

QUAY=$BUILD/bin/quay
TOOL=$BUILD/bin/quay_tool
VCARD=$BUILD/bin/quay-vcard
PRODUCER=$BUILD/examples/QxDeliverDmaServer
CONSUMER=$BUILD/examples/mkrx_consumer
SIMCTL=$BUILD/sim/enyx-sim-ctl
for p in "$QUAY" "$TOOL" "$VCARD" "$PRODUCER" "$CONSUMER" "$SIMCTL" "$BUILD/data/bin" "$BUILD/data/quay.ini"; do
  [ -e "$p" ] || { echo "soak: $p not built" >&2; exit 2; }
done
PROM=$(command -v prometheus || true)
[ -n "$PROM" ] || { echo "soak: prometheus not installed (scripts/install-deps.sh)" >&2; exit 2; }

S=${SOAK_DIR:-$(mktemp -d /tmp/quay-soak.XXXXXX)}
mkdir -p "$S"/{daemon/fakebin,pool,prom,san,run}
EV=$S/events.log          # the timeline the accounting reads
: > "$EV"
echo "soak: folder $S, $SECS s, seed $SEED, feed $RATE rec/s of $SIZE bytes, $NCONS consumers"

# Sanitizer reports of every process go to files in the soak folder.
export ASAN_OPTIONS="log_path=$S/san/asan:detect_leaks=1:quarantine_size_mb=32"
export UBSAN_OPTIONS="log_path=$S/san/ubsan:print_stacktrace=1:halt_on_error=1"

# A port below the kernel's range of ephemeral ports that no socket uses now.
free_port() {
  local p lo
  lo=$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
  for _ in $(seq 200); do
    p=$(( 20000 + RANDOM % (lo > 21000 ? lo - 20000 : 1000) ))
    ss -Htan "sport = :$p" | grep -q . || { echo "$p"; return 0; }
  done
  return 1
}
now() { echo $SECONDS; }
alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }
# Waits up to $3 seconds for text $2 in file $1.
wait_for() {
  local i
  for i in $(seq $(( $3 * 10 ))); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
# Value of the field named $1 in the line on stdin ("... records 12 gaps 0 ...").
field() { awk -v k="$1" '{ for (i = 1; i < NF; ++i) if ($i == k) { print $(i + 1); exit } }'; }

# ---------------------------------------------------------------- daemon side
D=$S/daemon
truncate -s 2M "$D/card.xdma"
cp "$BUILD/data/bin" "$D/bin"
sed -e "s|^dev_write *=.*|dev_write = $D/card.xdma|" -e "s|^dev_read *=.*|dev_read = $D/card.xdma|" \
    -e "s|^record_time_len *=.*|record_time_len = 5|" "$BUILD/data/quay.ini" > "$D/quay.ini"
# The tool checks the host first: one Xilinx card, its driver loaded.
printf '#!/bin/sh\necho "d8:00.0 Memory controller: Xilinx Corporation Device 903f"\n' > "$D/fakebin/lspci"
printf '#!/bin/sh\necho "xdma                  110592  0"\n' > "$D/fakebin/lsmod"
chmod +x "$D/fakebin/"*

# ------------------------------------------------------------------ pool side
P=$S/pool
export ENYX_SIM_CONFIG=$P/card.conf ENYX_SIM_DIR=$P/cards
cat > "$P/card.conf" <<EOT
card
core 474 regs=2097152
core 472
stream MAC_CHAN0_DATA mtu=256 depth=$FIFO
stream MAC_CHAN1_DATA mtu=256 depth=1024
reg 474 28 0x1005
EOT
cp "$BUILD/data/bin" "$P/bin"
sed -e "s|^core_id *=.*|core_id = 474|" "$BUILD/data/quay.ini" > "$P/quay.ini"
cat > "$P/device.ini" <<EOT
[device]
quay_ini_path = $P
dmapoolsize = $POOL_MIB
copyCoreNum = 1
dataType = 2
dma0name = MAC_CHAN0_DATA
dma1name = MAC_CHAN1_DATA
core_id = 474
bus_id = 0
EOT
CPU=$(( $(nproc) - 1 ))

# ------------------------------------------------------------------ processes
VCARD_PID="" QUAY_PID="" PROM_PID="" PROD_PID="" TOOL_PID=""
declare -a CPID CSTART CFILE CDUE
PAUSED_PID="" PAUSE_END=0 STALL_END=0 PAUSES=0 STALLS=0
ABORTED="" NPROD=0 NCONSRUN=0 KILLS_C=0 KILLS_P=0 RESETS_OK=0 RESETS_FAIL=0 REFUSED=0 EXPELLED=0

stop_all() {
  trap - EXIT INT TERM
  local pid
  for pid in "${CPID[@]:-}" $PROD_PID $TOOL_PID $QUAY_PID $VCARD_PID $PROM_PID; do
    alive "$pid" && kill -TERM "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start_producer() {
  NPROD=$((NPROD + 1))
  local out=$S/run/producer.$NPROD.out
  "$PRODUCER" -d "$P" -l "$P/log" -t 2 -p "$CPU" -s > "$out" 2>&1 &
  PROD_PID=$!
  echo "P start $(now) $NPROD $PROD_PID" >> "$EV"
  wait_for "$out" "producing" 120 || { echo "soak: producer $NPROD did not start:"; cat "$out"; return 1; }
}
# Consumer slot $1: a new consumer process.
start_consumer() {
  local k=$1
  NCONSRUN=$((NCONSRUN + 1))
  CFILE[$k]=$S/run/consumer.$NCONSRUN.out
  "$CONSUMER" -d "$P" -l "$P/log" -t 2 > "${CFILE[$k]}" 2>&1 &
  CPID[$k]=$!
  CSTART[$k]=$(now)
  echo "C start $(now) $NCONSRUN ${CPID[$k]} ${CFILE[$k]}" >> "$EV"
}
# Consumer slot $1 ended (status $2, how: $3).
end_consumer() {
  echo "C end $(now) ${CFILE[$1]} $2 $3" >> "$EV"
  CPID[$1]=""
  CDUE[$1]=$(( $(now) + 1 ))
}
live_consumers() { local n=0 k; for k in "${!CPID[@]}"; do alive "${CPID[$k]}" && n=$((n + 1)); done; echo $n; }

# Drop counters now: card FIFO overflows and the pool's software drops.
# A new segment restarts the pool's counters, so their running total is kept.
SOFT_BASE=0 SOFT_LAST=0 BP=0 DELIVERED=0 GENERATED=0 QUEUED=0
read_counters() {
  local st line cur
  st=$("$SIMCTL" stats MAC_CHAN0_DATA 2>/dev/null | head -1) || true
  if [ -n "$st" ]; then
    BP=$(tr ' ' '\n' <<<"$st" | awk -F= '$1 == "backpressure" { print $2 }')
    DELIVERED=$(tr ' ' '\n' <<<"$st" | awk -F= '$1 == "delivered" { print $2 }')
    GENERATED=$(tr ' ' '\n' <<<"$st" | awk -F= '$1 == "generated" { print $2 }')
    QUEUED=$(tr ' ' '\n' <<<"$st" | awk -F= '$1 == "queued" { print $2 }')
  fi
  line=$(grep '^copied ' "$S/run/producer.$NPROD.out" 2>/dev/null | tail -1) || true
  if [ -n "$line" ]; then
    cur=$(field dropped <<<"$line")
    [ "$cur" -lt "$SOFT_LAST" ] && SOFT_BASE=$((SOFT_BASE + SOFT_LAST))
    SOFT_LAST=$cur
  fi
  echo "D $(now) $BP $((SOFT_BASE + SOFT_LAST)) $KILLS_P" >> "$EV"
}

# One resource sample of a process: name pid fds (not sockets) rss_kB sysv_attachments.
sample() {
  local name=$1 pid=$2
  alive "$pid" || return 0
  local fds rss shm
  # Descriptors other than sockets: the daemon's scrape connections come and go.
  fds=$(find "/proc/$pid/fd" -mindepth 1 -printf '%l\n' 2>/dev/null | grep -vc '^socket:' || true)
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
  shm=$(grep -c 'SYSV' "/proc/$pid/maps" 2>/dev/null || true)
  echo "S $(now) $name $pid $fds ${rss:-0} ${shm:-0}" >> "$EV"
}
sample_all() {
  sample quay "$QUAY_PID"; sample quay-vcard "$VCARD_PID"; sample prometheus "$PROM_PID"
  sample "producer.$NPROD" "$PROD_PID"
  local k
  for k in "${!CPID[@]}"; do alive "${CPID[$k]}" && sample "$(basename "${CFILE[$k]}" .out)" "${CPID[$k]}"; done
  echo "I $(now) $(ipcs -m | grep -c '^0x') $(ipcs -s | grep -c '^0x')" >> "$EV"
}

# Bring-up.
(cd "$D" && exec "$VCARD" --card "xdma:$D/card.xdma" --bin "$D/bin" --version 0x1005 --lost-every 20) \
  > "$S/run/vcard.out" 2>&1 &
VCARD_PID=$!
wait_for "$S/run/vcard.out" animating 60 || { echo "soak: quay-vcard did not start"; cat "$S/run/vcard.out"; exit 2; }
# The daemon on a free port; another port when that one was taken meanwhile.
for attempt in 1 2 3; do
  MPORT=$(free_port)
  sed -i -e "s|^port *=.*|port = $MPORT|" "$D/quay.ini"
  (cd "$D" && exec "$QUAY") > "$S/run/quay.out" 2>&1 &
  QUAY_PID=$!
  for _ in $(seq 1200); do
    grep -q -e "started monitor service!" -e "Start monitor service failed" "$S/run/quay.out" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "started monitor service!" "$S/run/quay.out" && break
  kill -TERM "$QUAY_PID" 2>/dev/null; wait "$QUAY_PID" 2>/dev/null || true
  QUAY_PID=""
  cp "$S/run/quay.out" "$S/run/quay.failed.$attempt.out"
done
[ -n "$QUAY_PID" ] || { echo "soak: quay did not start"; tail "$S/run/quay.out"; exit 2; }

sed -e "s|127.0.0.1:9321|127.0.0.1:$MPORT|" -e "s|scrape_interval: 15s|scrape_interval: 1s|" \
    "$ROOT/packaging/prometheus/prometheus.yml" > "$S/prom/prometheus.yml"
cp "$ROOT/packaging/prometheus/quay_rules.yml" "$S/prom/"
for attempt in 1 2 3; do
  PPORT=$(free_port)
  "$PROM" --config.file="$S/prom/prometheus.yml" --storage.tsdb.path="$S/prom/data" \
    --web.listen-address="127.0.0.1:$PPORT" > "$S/run/prometheus.out" 2>&1 &
  PROM_PID=$!
  sleep 2
  alive "$PROM_PID" && break
  wait "$PROM_PID" 2>/dev/null || true
  PROM_PID=""
done
[ -n "$PROM_PID" ] || { echo "soak: prometheus did not start"; tail "$S/run/prometheus.out"; exit 2; }
# One PromQL query (at time $2 when given): the JSON answer.
promq() {
  curl -s -m 10 "http://127.0.0.1:$PPORT/api/v1/query" --data-urlencode "query=$1" ${2:+--data-urlencode "time=$2"}
}
# The value of a query that yields one number, at time $2.
promval() { promq "$1" "$2" | grep -o '"value":\[[^]]*\]' | cut -d'"' -f4 || true; }
for _ in $(seq 100); do promq 'up{job="quay"}' 2>/dev/null | grep -q '"1"\]' && break; sleep 0.2; done
promq 'up{job="quay"}' | grep -q '"1"\]' || { echo "soak: prometheus does not see the daemon"; exit 2; }

"$SIMCTL" remove >/dev/null 2>&1 || true
"$SIMCTL" feed MAC_CHAN0_DATA rate="$RATE" size="$SIZE" types=1,2,3 || { echo "soak: feed did not start"; exit 2; }
start_producer || exit 2
for k in $(seq "$NCONS"); do start_consumer "$k"; done
echo "soak: running (quay on port $MPORT, prometheus on $PPORT)"

T0=$(now)
PROM_T0=$(date +%s)
NEXT_RESET=$((T0 + RESET_EVERY))
NEXT_SAMPLE=$T0
NEXT_PROD=$((T0 + PROD_EVERY / 2 + RANDOM % (PROD_EVERY + 1)))
NEXT_PAUSE=$((T0 + PAUSE_EVERY / 2 + RANDOM % (PAUSE_EVERY + 1)))
NEXT_STALL=$((T0 + STALL_EVERY / 2 + RANDOM % (STALL_EVERY + 1)))
END=$((T0 + SECS))
sample_all
while [ "$(now)" -lt "$END" ]; do
  sleep 1
  t=$(now)
  # Consumers that ended by themselves: refused (no producer yet) or expelled.
  for k in $(seq "$NCONS"); do
    pid=${CPID[$k]:-}
    if [ -n "$pid" ] && ! alive "$pid"; then
      rc=0; wait "$pid" || rc=$?
      case $rc in 3) EXPELLED=$((EXPELLED + 1)) ;; 1) REFUSED=$((REFUSED + 1)) ;; esac
      end_consumer "$k" "$rc" exited
    fi
    [ -z "${CPID[$k]:-}" ] && [ "$t" -ge "${CDUE[$k]:-0}" ] && start_consumer "$k"
  done
  # A consumer killed at a random moment, while another one keeps reading.
  if [ $((RANDOM % KILL_EVERY)) -eq 0 ] && [ "$(live_consumers)" -ge 2 ]; then
    k=$((RANDOM % NCONS + 1))
    if alive "${CPID[$k]:-}"; then
      sleep "0.$((RANDOM % 10))"
      kill -KILL "${CPID[$k]}"; wait "${CPID[$k]}" 2>/dev/null || true
      KILLS_C=$((KILLS_C + 1))
      end_consumer "$k" 137 killed
    fi
  fi
  # A consumer stopped until the ring is full behind it: the producer expels
  # it, or drops records while it is the only reader.
  if [ -n "$PAUSED_PID" ] && [ "$t" -ge "$PAUSE_END" ]; then
    kill -CONT "$PAUSED_PID" 2>/dev/null || true
    echo "X cont $(now) $PAUSED_PID" >> "$EV"
    PAUSED_PID=""
  fi
  if [ -z "$PAUSED_PID" ] && [ "$t" -ge "$NEXT_PAUSE" ] && [ "$(live_consumers)" -ge 2 ]; then
    k=$((RANDOM % NCONS + 1))
    if alive "${CPID[$k]:-}"; then
      PAUSED_PID=${CPID[$k]}
      kill -STOP "$PAUSED_PID"
      echo "X stop $(now) $PAUSED_PID" >> "$EV"
      PAUSES=$((PAUSES + 1))
      PAUSE_END=$((t + PAUSE_SECS))
      NEXT_PAUSE=$((t + PAUSE_EVERY / 2 + RANDOM % (PAUSE_EVERY + 1)))
    fi
  fi
  # The producer stopped until the card's FIFO overflows: every consumer then
  # sees the records the card dropped.
  if [ "$STALL_END" -gt 0 ] && [ "$t" -ge "$STALL_END" ]; then
    kill -CONT "$PROD_PID" 2>/dev/null || true
    echo "P cont $(now) $NPROD" >> "$EV"
    STALL_END=0
    NEXT_STALL=$((t + STALL_EVERY / 2 + RANDOM % (STALL_EVERY + 1)))
    # A few seconds for it to poll again: killed at once, it would take the
    # card's backlog with it (a new stream handle restarts the feed's clock).
    if [ "$NEXT_PROD" -lt $((t + 3)) ]; then NEXT_PROD=$((t + 3)); fi
  fi
  if [ "$STALL_END" -eq 0 ] && [ "$t" -ge "$NEXT_STALL" ]; then
    kill -STOP "$PROD_PID"
    echo "P stop $(now) $NPROD" >> "$EV"
    STALLS=$((STALLS + 1))
    STALL_END=$((t + STALL_SECS))
    NEXT_STALL=$((t + STALL_EVERY / 2 + RANDOM % (STALL_EVERY + 1)))
  fi
  # The producer killed and started again while its consumers hold the pool.
  if [ "$t" -ge "$NEXT_PROD" ] && [ "$STALL_END" -eq 0 ] && [ "$(live_consumers)" -ge 1 ]; then
    kill -KILL "$PROD_PID"; wait "$PROD_PID" 2>/dev/null || true
    KILLS_P=$((KILLS_P + 1))
    echo "P killed $(now) $NPROD" >> "$EV"
    start_producer || { ABORTED="the producer did not come back"; break; }
    NEXT_PROD=$((t + PROD_EVERY / 2 + RANDOM % (PROD_EVERY + 1)))
  fi
  # The operator's reset, in the background while all else goes on.
  if [ -n "$TOOL_PID" ] && ! alive "$TOOL_PID"; then
    if wait "$TOOL_PID"; then RESETS_OK=$((RESETS_OK + 1)); else RESETS_FAIL=$((RESETS_FAIL + 1)); fi
    TOOL_PID=""
  fi
  if [ "$t" -ge "$NEXT_RESET" ] && [ -z "$TOOL_PID" ]; then
    (cd "$D" && PATH="$D/fakebin:$PATH" exec "$TOOL" reset) >> "$S/run/tool.out" 2>&1 &
    TOOL_PID=$!
    NEXT_RESET=$((NEXT_RESET + RESET_EVERY))
  fi
  read_counters
  if [ "$t" -ge "$NEXT_SAMPLE" ]; then sample_all; NEXT_SAMPLE=$((t + SAMPLE_EVERY)); fi
  for pid in $QUAY_PID $VCARD_PID $PROM_PID; do
    alive "$pid" || { ABORTED="process $pid of the daemon side died"; break 2; }
  done
done

# ------------------------------------------------------------------ wind-down
# Whatever is stopped goes on; then the feed off, and time to drain the
# card's FIFO and the ring, so that every counter is final before anything
# is stopped.
[ -n "$PAUSED_PID" ] && { kill -CONT "$PAUSED_PID" 2>/dev/null || true; }
[ "$STALL_END" -gt 0 ] && { kill -CONT "$PROD_PID" 2>/dev/null || true; }
sleep 2
"$SIMCTL" stop MAC_CHAN0_DATA || true
[ -n "$TOOL_PID" ] && { if wait "$TOOL_PID"; then RESETS_OK=$((RESETS_OK + 1)); else RESETS_FAIL=$((RESETS_FAIL + 1)); fi; TOOL_PID=""; }
sleep 3
sample_all
read_counters
RUN_END=$(now)
PROM_T1=$(date +%s)
for k in $(seq "$NCONS"); do
  pid=${CPID[$k]:-}
  [ -n "$pid" ] || continue
  how=stopped
  if alive "$pid"; then kill -TERM "$pid" 2>/dev/null || true; else how=exited; fi
  rc=0; wait "$pid" || rc=$?
  case $rc in 3) EXPELLED=$((EXPELLED + 1)) ;; 1) [ $how = exited ] && REFUSED=$((REFUSED + 1)) ;; esac
  end_consumer "$k" "$rc" "$how"
done
sleep 2
read_counters
FINAL=$(grep '^copied ' "$S/run/producer.$NPROD.out" | tail -1 || true)
kill -TERM "$PROD_PID"; PROD_RC=0; wait "$PROD_PID" || PROD_RC=$?
PROD_PID=""

RANGE=$(( PROM_T1 - PROM_T0 ))
SCRAPES=$(promval "count_over_time(up{job=\"quay\"}[${RANGE}s])" "$PROM_T1")
ANSWERED=$(promval "sum_over_time(up{job=\"quay\"}[${RANGE}s])" "$PROM_T1")
SAMPLES=$(promval "sum_over_time(scrape_samples_scraped{job=\"quay\"}[${RANGE}s])" "$PROM_T1")
SCRAPE_MAX=$(promval "max_over_time(scrape_duration_seconds{job=\"quay\"}[${RANGE}s])" "$PROM_T1")
# quay ends on SIGTERM by the signal's default action: status 143.
QUAY_RC=0 VCARD_RC=0
kill -TERM "$QUAY_PID"; wait "$QUAY_PID" || QUAY_RC=$?
[ "$QUAY_RC" -eq 143 ] && QUAY_RC=0
kill -TERM "$VCARD_PID"; wait "$VCARD_PID" || VCARD_RC=$?
kill -TERM "$PROM_PID"; wait "$PROM_PID" || true
QUAY_PID="" VCARD_PID="" PROM_PID=""
sleep 1
echo "I $(now) $(ipcs -m | grep -c '^0x') $(ipcs -s | grep -c '^0x')" >> "$EV"

# ------------------------------------------------------------------ report
SAN=$(find "$S/san" -type f -size +0 | wc -l)
STARTS_OLD=$(cat "$P"/log/QxDeliverDmaServer*.log 2>/dev/null | grep -c "Use old share memory" || true)
STARTS_NEW=$(cat "$P"/log/QxDeliverDmaServer*.log 2>/dev/null | grep -c "Use brand new share memory" || true)
KICKS=$(cat "$P"/log/QxDeliverDmaServer*.log 2>/dev/null | grep -c "we kick out pid" || true)
export SCRAPE_MAX KICKS PAUSES STALLS ABORTED STARTS_OLD STARTS_NEW SCRAPES ANSWERED SAMPLES SAN FINAL BP GENERATED DELIVERED QUEUED KILLS_C KILLS_P RESETS_OK RESETS_FAIL \
       REFUSED EXPELLED NPROD NCONSRUN RUN_END T0 PROD_RC QUAY_RC VCARD_RC
bash "$HERE/soak/report.sh" "$EV" | tee "$S/report.txt"
status=${PIPESTATUS[0]}
[ "$SAN" -eq 0 ] || { echo; echo "sanitizer reports:"; find "$S/san" -type f -size +0; }
echo "soak folder: $S"
exit "$status"

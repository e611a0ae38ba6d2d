#!/usr/bin/env bash
# The main job on the virtual card: the daemon quay, left running as an
# operator would. A demo folder holds an XDMA card whose character device is
# a regular file, quay.ini and the register description bin; quay-vcard makes
# the card look alive (a live feed's counters, a session lost now and then,
# today's trading date, the card's clock). quay runs in the foreground and
# publishes the card on 127.0.0.1; one line per scrape shows what Prometheus
# would see. Ctrl-C stops all of it.
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
QUAY="$BUILD/bin/quay"
VCARD="$BUILD/bin/quay-vcard"
for p in "$QUAY" "$VCARD"; do
  [ -x "$p" ] || { echo "$p not built: run make build first" >&2; exit 1; }
done

# A free port near the sample configuration's 9321.
PORT=""
for p in $(seq 9321 9420); do
  if ! ss -Hltn "sport = :$p" | grep -q .; then PORT=$p; break; fi
done
[ -n "$PORT" ] || { echo "no free port in 9321-9420" >&2; exit 1; }
URL="http://127.0.0.1:$PORT/metrics"

DEMO=$(mktemp -d /tmp/quay-demo.XXXXXX)
VCARD_PID=""
WATCH_PID=""
cleanup() {
  trap - EXIT INT TERM
  for pid in $WATCH_PID $VCARD_PID; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$DEMO"
  echo
  echo "demo stopped; nothing left running"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

CARD="$DEMO/card.xdma"
truncate -s 2M "$CARD"
cp "$BUILD/data/bin" "$DEMO/bin"
# Firmware 0x1005: Shenzhen over TCP behind the gateway, register part
# sz_tcp_net_x. A record period of 5 s lets the counters reach the metrics
# quickly (the sample file says 30).
sed -e "s|^dev_write *=.*|dev_write = $CARD|" -e "s|^dev_read *=.*|dev_read = $CARD|" \
    -e "s|^port *=.*|port = $PORT|" \
    -e "s|^record_time_len *=.*|record_time_len = 5|" \
    "$BUILD/data/quay.ini" > "$DEMO/quay.ini"

"$VCARD" --card "xdma:$CARD" --bin "$DEMO/bin" --version 0x1005 --lost-every 20 > "$DEMO/vcard.log" 2>&1 &
VCARD_PID=$!
for _ in $(seq 50); do grep -q animating "$DEMO/vcard.log" 2>/dev/null && break; sleep 0.1; done
cat "$DEMO/vcard.log"

label() { grep -o "[{,]$1=\"[^\"]*\"" | head -1 | cut -d'"' -f2; }
watch_scrapes() {
  local nap=""
  trap '[ -n "$nap" ] && kill "$nap" 2>/dev/null && wait "$nap"; exit 0' INT TERM
  while :; do
    sleep 5 & nap=$!
    wait "$nap"
    body=$(curl -s -m 2 "$URL") || { echo ">>> scrape: no answer from $URL"; continue; }
    st=$(printf '%s\n' "$body" | grep '^quay_fpga_status{' || true)
    cfg=$(printf '%s\n' "$body" | grep '^quay_fpga_config{' || true)
    printf '\033[1m>>> scrape: rx %s kpps, sessions lost %s + %s, sequence gaps %s, link %s, trade date %s, last reset "%s"\033[0m\n' \
      "$(label rx_rate_kpps <<<"$st")" "$(label session_lost_num_path0 <<<"$st")" \
      "$(label session_lost_num_path1 <<<"$st")" "$(label seq_gap_num <<<"$st")" \
      "$(label link_status <<<"$cfg")" "$(label cur_trade_date <<<"$cfg")" "$(label last_reset <<<"$st")"
  done
}

cat <<EOT

demo folder: $DEMO (card.xdma, quay.ini, bin; quay writes log/ there)
metrics:     curl -s $URL | grep ^quay_
             (counters follow the card every 5 s record period; Ctrl-C stops the demo)

EOT
watch_scrapes &
WATCH_PID=$!
cd "$DEMO"
"$QUAY" || true

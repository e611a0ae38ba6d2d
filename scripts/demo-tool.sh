#!/usr/bin/env bash
# The main job on the virtual card: an operator brings a card up with
# quay_tool, reads it, resets and configures it from quay.ini, and uses the
# maintenance commands. The card is an XDMA card whose character device is a
# regular file; lspci and lsmod report it as a host with one Xilinx card and
# its driver loaded.
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
TOOL="$BUILD/bin/quay_tool"
[ -x "$TOOL" ] || { echo "quay_tool not built: run make build first" >&2; exit 1; }

DEMO=$(mktemp -d /tmp/quay-demo.XXXXXX)
trap 'rm -rf "$DEMO"' EXIT
mkdir -p "$DEMO/fakebin"
cat > "$DEMO/fakebin/lspci" <<'EOT'
#!/bin/sh
echo "d8:00.0 Memory controller: Xilinx Corporation Device 903f"
EOT
cat > "$DEMO/fakebin/lsmod" <<'EOT'
#!/bin/sh
echo "xdma                  110592  0"
EOT
chmod +x "$DEMO/fakebin/"*
export PATH="$DEMO/fakebin:$PATH"

CARD="$DEMO/card.xdma"
truncate -s 1M "$CARD"
cp "$BUILD/data/bin" "$DEMO/bin"
# This card's firmware has subscription tables: the sample's example list is
# taken in, as an operator of such a card would uncomment it.
sed -e "s|^dev_write *=.*|dev_write = $CARD|" -e "s|^dev_read *=.*|dev_read = $CARD|" \
    -e "s|^;stocks = |stocks = |" "$BUILD/data/quay.ini" > "$DEMO/quay.ini"
cd "$DEMO"

# Commands in bold on a terminal; plain text into a file or a pipe.
if [ -t 1 ]; then
  step() { printf '\n\033[1m$ quay_tool %s\033[0m\n' "$*"; }
else
  step() { printf '\n$ quay_tool %s\n' "$*"; }
fi
run() { step "$@"; "$TOOL" "$@"; }

# Firmware: new version layout 0x12320203, a Shenzhen multicast L1+L2 local
# card, version 2.03 (register part sz_udp_l1l2_local, with subscription
# filter tables), built 2026-11-30 17:05. These raw writes stand in for what
# the card maker's bitstream holds.
run debug write 0x6 4 0x12320203
DATE=$(( (26<<25) | (11<<21) | (30<<16) | (17<<6) | 5 ))
run debug write 0x20 4 $DATE
"$TOOL" debug write 0x400 4 $DATE >/dev/null

run
run info
run reset
echo "reset record: $(cat .reset_log)"
run info
# Traffic counters moving on the card: rx_pkt_num and rx_byte_num.
"$TOOL" debug write 0x500 8 123456 >/dev/null
"$TOOL" debug write 0x508 8 98765432 >/dev/null
run status
run monitor
run debug read 0x200 16
run mip2mac 225.0.0.187
run decode bin cfg.xml
echo "decoded register description: $(grep -c '<Core ' cfg.xml) register parts"
run encode cfg.xml bin.again
cmp bin bin.again && echo "encode(decode(bin)) == bin"
step upgrade 0000:d8:00.0 image.mcs "(answered no)"
echo no | "$TOOL" upgrade 0000:d8:00.0 image.mcs
echo
echo "log files: $(ls log)"

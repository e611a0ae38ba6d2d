#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

PKGS=(
  build-essential cmake make pkg-config
  libtinyxml2-dev libiniparser-dev prometheus-cpp-dev libpci-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  curl prometheus srecord faketime wrk microsocks tinyproxy tcpdump dante-server
  pciutils kmod procps util-linux iproute2
  lintian systemd dpkg-dev
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

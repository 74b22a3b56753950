#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian 12 packages).
# Only missing packages are installed; an up-to-date machine costs one dpkg query.
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build ccache pkg-config git
    libboost-dev libboost-thread-dev libboost-filesystem-dev libboost-date-time-dev
    libboost-system-dev libjemalloc2
    protobuf-compiler libprotobuf-dev zlib1g-dev nlohmann-json3-dev libpcap-dev libsystemd-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    openvswitch-switch openvswitch-common jq
    tcpdump tshark
    nfdump libxml2-utils
    libarchive-dev python3
    python3-prometheus-client
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# The Open vSwitch packages try to start their services; on a machine without an init system
# that is harmless, and the agent only uses the binaries.
$SUDO apt-get update -qq || true
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# The SmartNIC host's full-sync fan-out: N ports on one switch whose transport zone carries two
# host switches backed by vdbs 2 and 3, from the host agent's start (persona 1) until both vdbs
# hold every port, beside cairnctl writing the same objects straight into two vdbs in the same run.
#
#   scripts/bench-smartnic.sh [N]   N ports (default 10000, up to 100000)
#
# Installs missing dependencies, builds the programs in the release tree (OZY_BUILD_DIR, default
# build-rel) and prints one line per figure and their ratio; see bench/smartnic/SmartNicBench.cc.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
N=${1:-10000}
if ! [[ "$N" =~ ^[0-9]+$ ]] || [ "$N" -lt 1 ] || [ "$N" -gt 100000 ]; then
    echo "bench-smartnic.sh: N must be 1..100000 (try --help)" >&2
    exit 2
fi
scripts/install-deps.sh
BUILD=${OZY_BUILD_DIR:-build-rel}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOZY_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target ozy-bench-smartnic
"$BUILD/bin/ozy-bench-smartnic" "$N" 2> >(grep -v '^[0-9]\{4\}-[0-9][0-9]-' >&2)

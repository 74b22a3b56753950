#!/usr/bin/env bash
# The SmartNIC host's full-sync fan-out: N ports on one switch whose transport zone carries two
# host switches backed by vdbs 2 and 3, from the host agent's start (persona 1) until both vdbs
# hold every port, beside cairnctl writing the same objects straight into two vdbs in the same run.
# With "mux", the vdbs written as fake SmartNICs (cairnctl --vdb) and vdb 1 seen by one watch: the
# barrier acknowledgement from vdb 3's PROCESSED_BARRIER to the host's (p50, p99), beside one
# cairnctl write into vdb 1; VIF_STATE applied into vdb 2 until vdb 1 holds all, beside the same
# apply straight into vdb 1.
#
#   scripts/bench-smartnic.sh [N]                     N ports (default 10000, up to 100000)
#   scripts/bench-smartnic.sh mux [BARRIERS] [VIFS]   defaults 200 barriers, 10000 VIF_STATE
#
# Installs missing dependencies, builds the programs in the release tree (OZY_BUILD_DIR, default
# build-rel) and prints one line per figure and their ratio; see bench/smartnic/SmartNicBench.cc.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
ARGS=()
if [ "${1:-}" = mux ]; then
    ARGS=(mux "${2:-200}" "${3:-10000}")
    CHECK=("${ARGS[@]:1}")
else
    ARGS=("${1:-10000}")
    CHECK=("${ARGS[@]}")
fi
for n in "${CHECK[@]}"; do
    if ! [[ "$n" =~ ^[0-9]+$ ]] || [ "$n" -lt 1 ] || [ "$n" -gt 100000 ]; then
        echo "bench-smartnic.sh: counts must be 1..100000 (try --help)" >&2
        exit 2
    fi
done
scripts/install-deps.sh
BUILD=${OZY_BUILD_DIR:-build-rel}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOZY_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target ozy-bench-smartnic
"$BUILD/bin/ozy-bench-smartnic" "${ARGS[@]}" 2> >(grep -v '^[0-9]\{4\}-[0-9][0-9]-' >&2)

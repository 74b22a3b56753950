#!/usr/bin/env bash
# Failover on a three-member cairndb cluster: ROUNDS times the member the agent uses is killed
# (SIGKILL) while a port change goes through another member; the time until the emulator shows the
# change, beside the time `ovsdb-client monitor` on the surviving members takes to print it.
#
#   scripts/bench-failover.sh [ROUNDS]     ROUNDS rounds (default 7, up to 50)
#
# Installs missing dependencies, builds the programs in the release tree (OZY_BUILD_DIR, default
# build; the demo's tree) and prints one line per round and the medians' ratio; see
# bench/cairndb/FailoverBench.cc.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
ROUNDS=${1:-7}
if ! [[ "$ROUNDS" =~ ^[0-9]+$ ]] || [ "$ROUNDS" -lt 1 ] || [ "$ROUNDS" -gt 50 ]; then
    echo "bench-failover.sh: ROUNDS must be 1..50 (try --help)" >&2
    exit 2
fi
scripts/install-deps.sh
BUILD=${OZY_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOZY_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target ozy-cfgagent ozy-dpemu cairnctl cairndb_schema \
    ozy-bench-cairndb-failover
# The agent's own log lines (warnings) go to its log file; only the figures are printed here.
OZY_SOURCE_DIR="$PWD" "$BUILD/bin/ozy-bench-cairndb-failover" "$ROUNDS" \
    2> >(grep -v '^[0-9]\{4\}-[0-9][0-9]-' >&2)

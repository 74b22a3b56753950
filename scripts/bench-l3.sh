#!/usr/bin/env bash
# The distributed routing benchmark: 10 routers, 20 router ports and ROUTES routes with two next
# hops each through ovsdb-server, ozy-dpemu and ozy-cfgagent, each figure beside the database's
# own time for the same data.
#
#   scripts/bench-l3.sh [ROUTES]     ROUTES routes (default 50000, up to 200000)
#
# Installs missing dependencies, builds the programs in the release tree (OZY_BUILD_DIR, default
# build; the demo's tree) and prints one line per phase; see bench/l3app/L3AppBench.cc.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
ROUTES=${1:-50000}
if ! [[ "$ROUTES" =~ ^[0-9]+$ ]] || [ "$ROUTES" -lt 1 ] || [ "$ROUTES" -gt 200000 ]; then
    echo "bench-l3.sh: ROUTES must be 1..200000 (try --help)" >&2
    exit 2
fi
scripts/install-deps.sh
BUILD=${OZY_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOZY_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target ozy-cfgagent ozy-dpemu cairnctl cairndb_schema \
    ozy-bench-l3app
# The agent's own log lines (warnings) go to its log file; only the figures are printed here.
"$BUILD/bin/ozy-bench-l3app" "$ROUTES" 2> >(grep -v '^[0-9]\{4\}-[0-9][0-9]-' >&2)

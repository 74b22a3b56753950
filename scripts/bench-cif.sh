#!/usr/bin/env bash
# The container-interface benchmark: the container bus's address pools (a full /16 beside an empty
# one), and container interfaces through ovsdb-server, ozy-cfgagent ("config") and ozy-dpemu until
# the emulator holds their Container records, beside as many ordinary VM ports by the same agent.
#
#   scripts/bench-cif.sh [CIFS] [HOSTS] [ALLOCS]   CIFS container interfaces (default 1000) behind
#                                                  HOSTS connected VM VIFs (default 100); ALLOCS
#                                                  VIFs made eligible on each pool (default 10000)
#
# Installs missing dependencies, builds the programs in the release tree (OZY_BUILD_DIR, default
# build; the demo's tree) and prints one line per phase; see bench/cif/CifBench.cc.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
CIFS=${1:-1000}
HOSTS=${2:-100}
ALLOCS=${3:-10000}
if ! [[ "$CIFS" =~ ^[0-9]+$ && "$HOSTS" =~ ^[0-9]+$ && "$ALLOCS" =~ ^[0-9]+$ ]]; then
    echo "bench-cif.sh: CIFS, HOSTS and ALLOCS are numbers" >&2
    exit 2
fi
scripts/install-deps.sh
BUILD=${OZY_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOZY_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target ozy-cfgagent ozy-dpemu cairnctl cairndb_schema \
    ozy-bench-cif
# The agent's own log lines (warnings) go to its log file; only the figures are printed here.
"$BUILD/bin/ozy-bench-cif" "$CIFS" "$HOSTS" "$ALLOCS" 2> >(grep -v '^[0-9]\{4\}-[0-9][0-9]-' >&2)

#!/usr/bin/env bash
# The scale benchmark: N logical switch ports and their VIFs through ovsdb-server, ozy-dpemu and
# ozy-cfgagent, each figure beside the database's own time for the same data.
#
#   scripts/bench-scale.sh [N] [CHANGES] [SOAK]   N ports (default 10000, up to 100000), CHANGES
#                                                 single port changes for the delta latency
#                                                 (default 200), SOAK change-and-back cycles for
#                                                 the memory soak (default 0: none)
#   scripts/bench-scale.sh dfw [FILTERS] [SECTIONS] [CHANGES]
#                                                 the firewall: FILTERS filters (default 1000),
#                                                 SECTIONS sections of 100 rules (default 1000,
#                                                 10 of them global), CHANGES global rule changes
#                                                 (default 100); then a restart with nothing
#                                                 changed
#   scripts/bench-scale.sh dfw-profiles [FILTERS] [ROUNDS]
#                                                 one flood profile bound to FILTERS ports
#                                                 (default 1000) until every filter holds it,
#                                                 ROUNDS times (default 20)
#
# Installs missing dependencies, builds the programs in the release tree (OZY_BUILD_DIR, default
# build; the demo's tree) and prints one line per phase; see bench/configapp/ConfigAppBench.cc,
# bench/dfw/DfwSystemBench.cc and bench/dfw/DfwProfileBench.cc.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
# Installs what is missing, builds the agent, the emulator, cairnctl and the benchmark program $1
# in the release tree, and runs it with the other arguments. The agent's own log lines (warnings)
# go to its log file; only the figures are printed here.
build_and_run() {
    local program=$1
    shift
    scripts/install-deps.sh
    local build=${OZY_BUILD_DIR:-build}
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOZY_BUILD_TESTS=ON >/dev/null
    cmake --build "$build" -j "$(nproc)" --target ozy-cfgagent ozy-dpemu cairnctl cairndb_schema \
        "$program"
    "$build/bin/$program" "$@" 2> >(grep -v '^[0-9]\{4\}-[0-9][0-9]-' >&2)
}
if [ "${1:-}" = dfw ]; then
    FILTERS=${2:-1000}
    SECTIONS=${3:-1000}
    CHANGES=${4:-100}
    if ! [[ "$FILTERS" =~ ^[0-9]+$ && "$SECTIONS" =~ ^[0-9]+$ && "$CHANGES" =~ ^[0-9]+$ ]] ||
        [ "$FILTERS" -lt 1 ] || [ "$FILTERS" -gt 10000 ] || [ "$SECTIONS" -lt 1 ] ||
        [ "$SECTIONS" -gt 2000 ] || [ "$CHANGES" -lt 1 ]; then
        echo "bench-scale.sh: dfw FILTERS must be 1..10000, SECTIONS 1..2000 and CHANGES at least 1 (try --help)" >&2
        exit 2
    fi
    build_and_run ozy-bench-dfw-system "$FILTERS" "$SECTIONS" "$CHANGES"
    exit
fi
if [ "${1:-}" = dfw-profiles ]; then
    FILTERS=${2:-1000}
    ROUNDS=${3:-20}
    if ! [[ "$FILTERS" =~ ^[0-9]+$ && "$ROUNDS" =~ ^[0-9]+$ ]] || [ "$FILTERS" -lt 1 ] ||
        [ "$FILTERS" -gt 10000 ] || [ "$ROUNDS" -lt 1 ]; then
        echo "bench-scale.sh: dfw-profiles FILTERS must be 1..10000 and ROUNDS at least 1 (try --help)" >&2
        exit 2
    fi
    build_and_run ozy-bench-dfw-profiles "$FILTERS" "$ROUNDS"
    exit
fi
N=${1:-10000}
CHANGES=${2:-200}
SOAK=${3:-0}
if ! [[ "$N" =~ ^[0-9]+$ && "$CHANGES" =~ ^[0-9]+$ && "$SOAK" =~ ^[0-9]+$ ]] || [ "$N" -lt 1 ] ||
    [ "$N" -gt 100000 ] || [ "$CHANGES" -lt 1 ]; then
    echo "bench-scale.sh: N must be 1..100000, CHANGES at least 1 and SOAK a count (try --help)" >&2
    exit 2
fi
build_and_run ozy-bench-configapp "$N" "$CHANGES" "$SOAK"

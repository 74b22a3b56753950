#!/usr/bin/env bash
# The L2 overlay benchmark: remote switches with their VTEPs and MACs through ovsdb-server,
# ozy-cfgagent ("vxlan") and ozy-dpemu, and MACs learned by the emulator until cairndb holds them;
# each figure beside the database's own time for the same data.
#
#   scripts/bench-l2.sh [SWITCHES] [MACS] [LEARNED] [CAP] [ROUNDS]
#                                                           SWITCHES logical switches (default
#                                                           100, up to 256) with MACS remote MACs
#                                                           each (default 1000); LEARNED MACs
#                                                           learned (default 100000), ROUNDS times
#                                                           (default 3, up to 20; the median
#                                                           ratio); each case given at most CAP
#                                                           seconds (default 600)
#   scripts/bench-l2.sh bfd [VNIS] [REMOTES] [ROUNDS]       BFD sessions: VNIS VNIs (default 200)
#                                                           with 2 local and REMOTES (default 50)
#                                                           remote VTEPs, each case ROUNDS times
#                                                           (default 3; the median ratio); see
#                                                           bench/l2app/BfdBench.cc
#
# Installs missing dependencies, builds the programs in the release tree (OZY_BUILD_DIR, default
# build; the demo's tree) and prints one line per case; see bench/l2app/L2AppBench.cc.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
BFD_ARGS=()
if [ "${1:-}" = bfd ]; then
    BFD_ARGS=("$@")
    set --
fi
SWITCHES=${1:-100}
MACS=${2:-1000}
LEARNED=${3:-100000}
CAP=${4:-600}
ROUNDS=${5:-3}
if ! [[ "$SWITCHES" =~ ^[0-9]+$ && "$MACS" =~ ^[0-9]+$ && "$LEARNED" =~ ^[0-9]+$ &&
    "$CAP" =~ ^[0-9]+$ && "$ROUNDS" =~ ^[0-9]+$ ]] || [ "$SWITCHES" -lt 1 ] ||
    [ "$SWITCHES" -gt 256 ] || [ "$MACS" -lt 1 ] || [ "$LEARNED" -lt "$SWITCHES" ] ||
    [ "$CAP" -lt 1 ] || [ "$ROUNDS" -lt 1 ] || [ "$ROUNDS" -gt 20 ]; then
    echo "bench-l2.sh: SWITCHES must be 1..256, MACS at least 1, LEARNED at least SWITCHES," \
        "CAP at least 1, ROUNDS 1..20" >&2
    exit 2
fi
scripts/install-deps.sh
BUILD=${OZY_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOZY_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target ozy-cfgagent ozy-dpemu cairnctl cairndb_schema \
    ozy-bench-l2app
# The agent's own log lines (warnings) go to its log file; only the figures are printed here.
if [ "${#BFD_ARGS[@]}" -gt 0 ]; then
    exec "$BUILD/bin/ozy-bench-l2app" "${BFD_ARGS[@]}" 2> >(grep -v '^[0-9]\{4\}-[0-9][0-9]-' >&2)
fi
"$BUILD/bin/ozy-bench-l2app" "$SWITCHES" "$MACS" "$LEARNED" "$CAP" "$ROUNDS" 2> >(grep -v '^[0-9]\{4\}-[0-9][0-9]-' >&2)

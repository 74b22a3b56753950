#!/usr/bin/env bash
# The main job: installs missing dependencies, builds the agent, starts it with
# examples/ozy-cfgagent.xml inside a temporary host root, shows its start-up log, and stops it
# with SIGTERM.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

BUILD=${OZY_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOZY_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target ozy-cfgagent

ROOT=$(mktemp -d /tmp/ozy-demo-XXXXXX)
export OZY_HOST_ROOT=$ROOT
export OZY_HEALTH_ENDPOINT=${OZY_HEALTH_ENDPOINT:-tcp://127.0.0.1:0}
LOG=$ROOT/ozy-cfgagent.log
echo "== host root: $ROOT"
"$BUILD/bin/ozy-cfgagent" -c examples/ozy-cfgagent.xml >"$LOG" 2>&1 &
AGENT=$!
trap 'kill -9 $AGENT 2>/dev/null || true' EXIT

for _ in $(seq 1 300); do
    grep -q "Start-up complete" "$LOG" && break
    kill -0 $AGENT 2>/dev/null || break
    sleep 0.1
done
echo "== start-up log"
cat "$LOG"
echo "== stopping the agent (SIGTERM)"
kill -TERM $AGENT
set +e
wait $AGENT
STATUS=$?
set -e
trap - EXIT
sed -n '/Clean up platform/,$p' "$LOG"
echo "== ozy-cfgagent exited with status $STATUS"
rm -rf "$ROOT"
exit $STATUS

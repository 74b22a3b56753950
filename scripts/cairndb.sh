#!/usr/bin/env bash
# Starts and stops a private cairndb database server (Debian's ovsdb-server) for tests and the
# demo, inside a host root, on a given loopback port.
#
#   scripts/cairndb.sh start [--port PORT] [--root DIR]   prints the endpoint (tcp://127.0.0.1:PORT)
#   scripts/cairndb.sh stop [--root DIR]
#   scripts/cairndb.sh status [--root DIR]
#
# The host root defaults to OZY_HOST_ROOT (or /); the port to the one of OZY_CAIRNDB_ENDPOINT, else
# 2480. Files: ROOT/var/lib/ozy-cairndb/cairndb.db (created with `cairnctl init` on first start),
# ROOT/var/run/ozy-cairndb/ovsdb-server.{pid,ctl}, ROOT/var/log/ozy-cairndb/ovsdb-server.log.
# cairnctl is taken from OZY_BIN_DIR, else build/bin next to this script, else PATH.
set -euo pipefail

cmd=${1:-}
[ -n "$cmd" ] && shift
root=${OZY_HOST_ROOT:-}
port=""
while [ $# -gt 0 ]; do
    case "$1" in
        --port) port=$2; shift 2 ;;
        --root) root=$2; shift 2 ;;
        *) echo "cairndb.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$port" ]; then
    port=2480
    if [[ "${OZY_CAIRNDB_ENDPOINT:-}" =~ :([0-9]+)$ ]]; then port=${BASH_REMATCH[1]}; fi
fi
root=${root%/}
dbdir=$root/var/lib/ozy-cairndb
rundir=$root/var/run/ozy-cairndb
logdir=$root/var/log/ozy-cairndb
pidfile=$rundir/ovsdb-server.pid
ctl=$rundir/ovsdb-server.ctl

find_cairnctl() {
    local here
    here=$(cd "$(dirname "$0")/.." && pwd)
    for c in "${OZY_BIN_DIR:-}/cairnctl" "$here/build/bin/cairnctl"; do
        [ -x "$c" ] && { echo "$c"; return; }
    done
    command -v cairnctl || { echo "cairndb.sh: cairnctl not found (set OZY_BIN_DIR)" >&2; exit 1; }
}

running() { [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; }

case "$cmd" in
    start)
        if running; then
            echo "tcp://127.0.0.1:$port"
            exit 0
        fi
        mkdir -p "$dbdir" "$rundir" "$logdir"
        if [ ! -f "$dbdir/cairndb.db" ]; then
            "$(find_cairnctl)" init "$dbdir/cairndb.db" >/dev/null
        fi
        export OVS_RUNDIR=$rundir OVS_DBDIR=$dbdir OVS_LOGDIR=$logdir
        ovsdb-server "$dbdir/cairndb.db" --remote="ptcp:$port:127.0.0.1" --unixctl="$ctl" \
            --pidfile="$pidfile" --log-file="$logdir/ovsdb-server.log" --detach --no-chdir -vconsole:off
        for _ in $(seq 1 100); do
            if ovsdb-client list-dbs "tcp:127.0.0.1:$port" >/dev/null 2>&1; then
                echo "tcp://127.0.0.1:$port"
                exit 0
            fi
            sleep 0.1
        done
        echo "cairndb.sh: ovsdb-server did not come up on port $port (see $logdir/ovsdb-server.log)" >&2
        exit 1
        ;;
    stop)
        if running; then
            pid=$(cat "$pidfile")
            ovs-appctl -t "$ctl" exit >/dev/null 2>&1 || kill "$pid" 2>/dev/null || true
            for _ in $(seq 1 100); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
            kill -9 "$pid" 2>/dev/null || true
        fi
        rm -f "$pidfile"
        ;;
    status)
        if running; then echo "running (pid $(cat "$pidfile"))"; else echo "stopped"; exit 1; fi
        ;;
    *)
        sed -n '2,15p' "$0" >&2
        exit 2
        ;;
esac

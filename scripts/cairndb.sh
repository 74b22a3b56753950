#!/usr/bin/env bash
# Starts and stops a private cairndb database server (Debian's ovsdb-server) for tests and the
# demo, inside a host root, on a given loopback port.
#
#   scripts/cairndb.sh start [--port PORT] [--root DIR]   prints the endpoint (tcp://127.0.0.1:PORT)
#   scripts/cairndb.sh stop [--root DIR]
#   scripts/cairndb.sh status [--root DIR]
#
# A clustered database (Raft, three members, `ovsdb-tool create-cluster` / `join-cluster`) on
# loopback ports PORT, PORT+1, PORT+2 for clients and PORT+3, PORT+4, PORT+5 between members:
#
#   scripts/cairndb.sh cluster-start [--port PORT] [--root DIR]   prints the endpoint list
#   scripts/cairndb.sh cluster-stop [--root DIR]
#   scripts/cairndb.sh cluster-status [--root DIR]    one line per member: N running|stopped|frozen
#                                                      and its role as the member reports it
#   scripts/cairndb.sh member-start|member-stop|member-kill|freeze|thaw N [--root DIR]
#
# member-kill is SIGKILL (a crashed member); freeze and thaw are SIGSTOP and SIGCONT (a member cut
# off from the others and from its clients). Members N = 1..3 keep their files in
# ROOT/var/{lib,run,log}/ozy-cairndb/member-N; the ports are remembered in ROOT/var/run/ozy-cairndb.
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
member=""
while [ $# -gt 0 ]; do
    case "$1" in
        --port) port=$2; shift 2 ;;
        --root) root=$2; shift 2 ;;
        [1-3]) member=$1; shift ;;
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

# launch DBFILE PORT PIDFILE CTL LOG: starts a detached ovsdb-server and awaits it.
launch() {
    local db=$1 p=$2 pf=$3 ctlf=$4 log=$5
    ovsdb-server "$db" --remote="ptcp:$p:127.0.0.1" --unixctl="$ctlf" --pidfile="$pf" \
        --log-file="$log" --detach --no-chdir -vconsole:off
    for _ in $(seq 1 100); do
        ovsdb-client list-dbs "tcp:127.0.0.1:$p" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "cairndb.sh: ovsdb-server did not come up on port $p (see $log)" >&2
    return 1
}

# halt PIDFILE CTL: asks the server to exit, kills it when it does not.
halt() {
    local pf=$1 ctlf=$2 pid
    if [ -f "$pf" ] && kill -0 "$(cat "$pf")" 2>/dev/null; then
        pid=$(cat "$pf")
        kill -CONT "$pid" 2>/dev/null || true
        ovs-appctl -t "$ctlf" exit >/dev/null 2>&1 || kill "$pid" 2>/dev/null || true
        for _ in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$pf"
}

# Cluster members.
portsfile=$rundir/cluster.ports
mdir() { echo "$1/member-$2"; }
member_pid() { cat "$(mdir "$rundir" "$1")/ovsdb-server.pid" 2>/dev/null; }
member_port() { echo $(($(cat "$portsfile") + $1 - 1)); }
member_raft() { echo $(($(cat "$portsfile") + $1 + 2)); }
cluster_endpoints() {
    local base list="" i
    base=$(cat "$portsfile")
    for i in 1 2 3; do list+="${list:+,}tcp://127.0.0.1:$((base + i - 1))"; done
    echo "$list"
}
member_start() {
    local n=$1 rd
    rd=$(mdir "$rundir" "$n")
    mkdir -p "$rd" "$(mdir "$logdir" "$n")"
    if [ -f "$rd/ovsdb-server.pid" ] && kill -0 "$(cat "$rd/ovsdb-server.pid")" 2>/dev/null; then
        return 0
    fi
    export OVS_RUNDIR=$rd OVS_DBDIR=$(mdir "$dbdir" "$n") OVS_LOGDIR=$(mdir "$logdir" "$n")
    launch "$(mdir "$dbdir" "$n")/cairndb.db" "$(member_port "$n")" "$rd/ovsdb-server.pid" \
        "$rd/ovsdb-server.ctl" "$(mdir "$logdir" "$n")/ovsdb-server.log"
}
member_stop() { halt "$(mdir "$rundir" "$1")/ovsdb-server.pid" "$(mdir "$rundir" "$1")/ovsdb-server.ctl"; }
need_cluster() {
    [ -f "$portsfile" ] || { echo "cairndb.sh: no cluster under $root/" >&2; exit 1; }
}
need_member() {
    [ -n "$member" ] || { echo "cairndb.sh: $cmd needs a member number (1..3)" >&2; exit 2; }
    need_cluster
}

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
        launch "$dbdir/cairndb.db" "$port" "$pidfile" "$ctl" "$logdir/ovsdb-server.log" || exit 1
        echo "tcp://127.0.0.1:$port"
        ;;
    stop)
        halt "$pidfile" "$ctl"
        ;;
    status)
        if running; then echo "running (pid $(cat "$pidfile"))"; else echo "stopped"; exit 1; fi
        ;;
    cluster-start)
        mkdir -p "$dbdir" "$rundir" "$logdir"
        if [ ! -f "$portsfile" ]; then
            echo "$port" >"$portsfile"
        fi
        if [ ! -f "$(mdir "$dbdir" 1)/cairndb.db" ]; then
            schema=$rundir/cairndb.ovsschema
            "$(find_cairnctl)" schema >"$schema"
            mkdir -p "$(mdir "$dbdir" 1)" "$(mdir "$dbdir" 2)" "$(mdir "$dbdir" 3)"
            ovsdb-tool create-cluster "$(mdir "$dbdir" 1)/cairndb.db" "$schema" \
                "tcp:127.0.0.1:$(member_raft 1)"
            for n in 2 3; do
                ovsdb-tool join-cluster "$(mdir "$dbdir" "$n")/cairndb.db" cairndb \
                    "tcp:127.0.0.1:$(member_raft "$n")" "tcp:127.0.0.1:$(member_raft 1)"
            done
        fi
        for n in 1 2 3; do member_start "$n"; done
        # Ready once every member reports the database connected to the cluster.
        for _ in $(seq 1 200); do
            ready=0
            for n in 1 2 3; do
                ovsdb-client dump "tcp:127.0.0.1:$(member_port "$n")" _Server Database name \
                    connected 2>/dev/null | grep -q "true *cairndb" && ready=$((ready + 1))
            done
            if [ "$ready" = 3 ]; then
                cluster_endpoints
                exit 0
            fi
            sleep 0.1
        done
        echo "cairndb.sh: the cluster did not form (see $logdir/member-*/ovsdb-server.log)" >&2
        exit 1
        ;;
    cluster-stop)
        [ -f "$portsfile" ] || exit 0
        for n in 1 2 3; do member_stop "$n"; done
        ;;
    cluster-status)
        need_cluster
        for n in 1 2 3; do
            pid=$(member_pid "$n" || true)
            if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
                echo "$n stopped"
            elif [ "$(ps -o stat= -p "$pid" | cut -c1)" = T ]; then
                echo "$n frozen"
            else
                row=$(ovsdb-client --timeout=2 dump "tcp:127.0.0.1:$(member_port "$n")" _Server \
                    Database name connected leader 2>/dev/null | awk '$NF == "cairndb" {print $1, $2}')
                role=follower
                case "$row" in
                    "true true") role=leader ;;
                    "false "*) role="disconnected" ;;
                    "") role=unknown ;;
                esac
                echo "$n running $role tcp://127.0.0.1:$(member_port "$n")"
            fi
        done
        ;;
    member-start)
        need_member
        member_start "$member"
        ;;
    member-stop)
        need_member
        member_stop "$member"
        ;;
    member-kill | freeze | thaw)
        need_member
        pid=$(member_pid "$member" || true)
        [ -n "$pid" ] || { echo "cairndb.sh: member $member is not running" >&2; exit 1; }
        case "$cmd" in
            member-kill)
                kill -9 "$pid"
                while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
                rm -f "$(mdir "$rundir" "$member")/ovsdb-server.pid"
                ;;
            freeze) kill -STOP "$pid" ;;
            thaw) kill -CONT "$pid" ;;
        esac
        ;;
    *)
        sed -n '2,28p' "$0" >&2
        exit 2
        ;;
esac

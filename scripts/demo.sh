#!/usr/bin/env bash
# The main job: installs what is missing, builds the agent, the dataplane emulator and cairnctl,
# and runs the whole system in a temporary host root: a private cairndb (ovsdb-server), ozy-dpemu
# playing the dataplane, and ozy-cfgagent with examples/ozy-cfgagent.xml. It applies
# examples/topology.json to cairndb, connects one VIF per attached port in the emulator, waits
# until the agent has programmed every port unblocked and written a VIF_STATE per VIF back to
# cairndb, prints the desired, realized and runtime state, and stops everything (the agent must
# exit with status 0).
#
#   scripts/demo.sh              the demo, stopped at the end
#   scripts/demo.sh --keep       leave the system running and print how to explore and stop it
#   scripts/demo.sh --stop ROOT  stop a system left running by --keep and remove its host root
#   scripts/demo.sh --help       this text
#
# The dataplane's overlay side is played as well: the host switch joins each switch's VNI, its TEP
# is the local VTEP and the VIFs' MACs are learned behind it; the agent writes that to cairndb
# (LOG_SWITCH_STATE per switch, ROUTING_DOMAIN_VTEP per routing domain).
#
# Environment: OZY_BUILD_DIR (default build), OZY_DEMO_TIMEOUT (seconds to await realization,
# default 60).
set -euo pipefail

usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; }

KEEP=0
STOP_ROOT=""
while [ $# -gt 0 ]; do
    case "$1" in
        --keep) KEEP=1; shift ;;
        --stop)
            [ $# -ge 2 ] || { echo "demo.sh: --stop needs the host root" >&2; exit 2; }
            STOP_ROOT=$2; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        *) echo "demo.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done

cd "$(dirname "$0")/.."
SRC=$(pwd)
TOPOLOGY=$SRC/examples/topology.json
AGENT_XML=$SRC/examples/ozy-cfgagent.xml
REALIZE_TIMEOUT=${OZY_DEMO_TIMEOUT:-60}
# Paths of the sockets under the host root.
AGENT_CLI=var/run/orvane/ozy-cfgagent/cfgagent-cli
EMU_CTL=var/run/orvane/ozy-dpemu/dpemu-ctl

# ---- helpers --------------------------------------------------------------------------------

say() { printf '%s\n' "$*"; }
section() { printf '\n== %s\n' "$*"; }
die() { printf 'demo.sh: %s\n' "$*" >&2; exit 1; }

# True while PID runs (an exited child that is not reaped yet counts as gone).
alive() {
    local st
    st=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
    [ -n "$st" ] && [ "$st" != Z ] && [ "$st" != X ]
}

# Processes that must keep running while the demo awaits something ("PID NAME" entries).
WATCHED=()
watched_alive() {
    local entry
    for entry in "${WATCHED[@]}"; do
        alive "${entry%% *}" && continue
        echo "demo.sh: ${entry#* } (pid ${entry%% *}) exited unexpectedly" >&2
        return 1
    done
}

# await SECONDS DESCRIPTION COMMAND...: polls COMMAND every 0.1 s until it succeeds; fails on
# the timeout or as soon as a watched process is gone.
await() {
    local limit=$1 what=$2
    shift 2
    local deadline=$((SECONDS + limit))
    while ! "$@"; do
        watched_alive || return 1
        if [ $SECONDS -ge $deadline ]; then
            echo "demo.sh: timed out after ${limit}s waiting for $what" >&2
            return 1
        fi
        sleep 0.1
    done
}

# log_has PID FILE TEXT: FILE contains TEXT; fails the wait early when PID is gone.
log_has() {
    if grep -qF -- "$3" "$2" 2>/dev/null; then return 0; fi
    alive "$1" || { echo "demo.sh: $(basename "$2" .log) exited before logging \"$3\"" >&2; exit 1; }
    return 1
}

# wait_gone PID NAME SECONDS: waits for PID to end, SIGKILL after SECONDS.
wait_gone() {
    local deadline=$((SECONDS + $3))
    while alive "$1"; do
        if [ $SECONDS -ge $deadline ]; then
            echo "demo.sh: $2 (pid $1) did not stop within $3 s, killing it" >&2
            kill -KILL "$1" 2>/dev/null || true
            return 1
        fi
        sleep 0.1
    done
}

# Is PID still the program at PATH (and not a recycled process id)? A rebuilt binary shows as
# "PATH (deleted)".
is_program() {
    local exe
    [ -n "$1" ] && exe=$(readlink "/proc/$1/exe" 2>/dev/null) && [ "${exe% (deleted)}" = "$2" ]
}

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# Nothing listens on UDP port $1 of 127.0.0.1.
port_free_udp() { ! ss -Hlun "sport = :$1" 2>/dev/null | grep -q .; }

tail_logs() {
    local f
    for f in "$ROOT/ozy-cfgagent.log" "$ROOT/ozy-dpemu.log" \
        "$ROOT/var/log/ozy-cairndb/ovsdb-server.log"; do
        [ -f "$f" ] || continue
        printf '\n----- %s (last lines) -----\n' "$f" >&2
        tail -n 30 "$f" >&2
    done
}

# Stops whatever of the system described by ROOT/demo.env runs: agent (SIGTERM), emulator
# (exit command, then SIGTERM), cairndb. Sets AGENT_STATUS to the agent's exit status when it
# is known (it is recorded by the process that started the agent).
AGENT_STATUS=""
stop_system() {
    local agent_pid="" emu_pid="" bin="" db_port=""
    # shellcheck disable=SC1091
    [ -f "$ROOT/demo.env" ] && . "$ROOT/demo.env"
    agent_pid=${DEMO_AGENT_PID:-$(cat "$ROOT/ozy-cfgagent.pid" 2>/dev/null || true)}
    emu_pid=${DEMO_EMU_PID:-}
    bin=${DEMO_BIN:-}
    db_port=${DEMO_DB_PORT:-}
    if is_program "$agent_pid" "$bin/ozy-cfgagent"; then
        say "stopping ozy-cfgagent (pid $agent_pid) with SIGTERM"
        kill -TERM "$agent_pid" 2>/dev/null || true
        wait_gone "$agent_pid" ozy-cfgagent 60 || true
    fi
    # The starter records the status right after the agent ends.
    if [ -n "$agent_pid" ]; then
        await 5 "the agent's exit status" test -s "$ROOT/ozy-cfgagent.status" 2>/dev/null || true
        AGENT_STATUS=$(cat "$ROOT/ozy-cfgagent.status" 2>/dev/null || true)
    fi
    if is_program "$emu_pid" "$bin/ozy-dpemu"; then
        ovs-appctl -t "$ROOT/$EMU_CTL" exit >/dev/null 2>&1 || kill -TERM "$emu_pid" 2>/dev/null || true
        wait_gone "$emu_pid" ozy-dpemu 20 || true
        say "stopped ozy-dpemu (pid $emu_pid)"
    fi
    if [ -n "$db_port" ]; then
        OZY_BIN_DIR=$bin scripts/cairndb.sh stop --root "$ROOT" --port "$db_port" || true
        say "stopped cairndb (ovsdb-server on port $db_port)"
    fi
    wait 2>/dev/null || true
}

# A host root made by this script: /tmp/ozy-demo-XXXXXX holding demo.env.
check_root() {
    case "$1" in
        /tmp/ozy-demo-??????) ;;
        *) die "$1 is not a demo host root (/tmp/ozy-demo-XXXXXX)" ;;
    esac
    [ -f "$1/demo.env" ] || die "$1 holds no demo.env: not a running demo"
}

# ---- --stop ROOT ----------------------------------------------------------------------------

if [ -n "$STOP_ROOT" ]; then
    ROOT=${STOP_ROOT%/}
    check_root "$ROOT"
    stop_system
    if [ -z "$AGENT_STATUS" ]; then
        say "ozy-cfgagent exit status: unknown (it was not running)"
        rc=1
    else
        say "ozy-cfgagent exit status: $AGENT_STATUS"
        rc=$AGENT_STATUS
    fi
    rm -rf "$ROOT"
    say "removed $ROOT"
    exit "$rc"
fi

# ---- build ----------------------------------------------------------------------------------

scripts/install-deps.sh
BUILD=${OZY_BUILD_DIR:-build}
section "configuring and building in $BUILD"
# A sanitized test tree is never reconfigured as a release one under the tests' feet.
if [ -f "$BUILD/CMakeCache.txt" ] && grep -q '^OZY_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt"; then
    die "$BUILD is a sanitized test build (OZY_SANITIZE=ON); set OZY_BUILD_DIR to another directory"
fi
if ! out=$(cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOZY_BUILD_TESTS=ON 2>&1); then
    printf '%s\n' "$out" >&2
    die "cmake configure failed"
fi
cmake --build "$BUILD" --target ozy-cfgagent ozy-dpemu cairnctl cairndb_schema
BIN=$(cd "$BUILD/bin" && pwd -P)
export OZY_BIN_DIR=$BIN
CAIRNCTL=$BIN/cairnctl

# ---- the desired state, from the topology file ----------------------------------------------

# Host switch name, the switches (id, name, vni) and the attached ports (id, switch, VIF, DVS
# port) as tab-separated lines.
HOST_SWITCH=$(jq -r '.TRANSPORT_NODE_CONFIG[0].transport_switches[0].name' "$TOPOLOGY")
mapfile -t SWITCHES < <(jq -r '.LOG_SWITCH_CONFIG[] |
    [.id, (.switch_name // "-"), (.vni // "-" | tostring)] | @tsv' "$TOPOLOGY")
mapfile -t PORTS < <(jq -r '.LOG_SWITCH_PORT_CONFIG[] |
    select(.attachment.vif_id and (.attachment.parent_vif_id | not)) |
    [.id, .switch_id, .attachment.vif_id, .attachment.dvport_id] | @tsv' "$TOPOLOGY")
# Container interfaces (ports whose attachment names a parent VIF): their child ports hang off the
# VM's port and are realized by the agent once the parent VIF connects; no VIF of their own here.
mapfile -t CIFS < <(jq -r '.LOG_SWITCH_PORT_CONFIG[] | select(.attachment.parent_vif_id) |
    [.id, .attachment.vif_id, .attachment.parent_vif_id, .attachment.vlan, .attachment.dvport_id] |
    @tsv' "$TOPOLOGY")
# VIFs made container-bus parents by their port's extra config: each gets a link-local address
# from the host switch's container-bus kernel NIC, played by the emulator (conduitKrnnic0).
BUS_PARENTS=$(jq '[.LOG_SWITCH_PORT_CONFIG[] | select(any(.extra_configs[]?;
    .key == "com.orvane.port.extraConfig.parentVif.conduit" and .value == "true"))] | length' \
    "$TOPOLOGY")
BUS_KRNNIC=conduitKrnnic0
[ ${#PORTS[@]} -gt 0 ] || die "$TOPOLOGY has no attached port"
declare -A SW_NAME SW_VNI
for line in "${SWITCHES[@]}"; do
    IFS=$'\t' read -r id name vni <<<"$line"
    SW_NAME[$id]=$name
    SW_VNI[$id]=$vni
done
# The routing state the dataplane must end up with: router ports (LIFs) and routes.
VDR_LIFS=$(jq '.LOG_ROUTER_PORT_CONFIG // [] | length' "$TOPOLOGY")
VDR_ROUTES=$(jq '.FIB // [] | length' "$TOPOLOGY")
L2_REMOTE_MACS=$(jq '[.LOG_SWITCH_FIB[]?.mac_entries[]?] | length' "$TOPOLOGY")
# The host's tunnel endpoint: the transport node's first VTEP address.
TEP=$(jq -r '.TRANSPORT_NODE_CONFIG[0].transport_switches[0].vtep_ips[0].ipv4 |
    [(. / 16777216 | floor) % 256, (. / 65536 | floor) % 256, (. / 256 | floor) % 256, . % 256] |
    map(tostring) | join(".")' "$TOPOLOGY")
# One locally administered MAC per VIF.
vif_mac() { printf '02:00:00:00:%02x:%02x' $(($1 / 256)) $(($1 % 256)); }

# ---- start the system -----------------------------------------------------------------------

ROOT=$(mktemp -d /tmp/ozy-demo-XXXXXX)
export OZY_HOST_ROOT=$ROOT
export OZY_HEALTH_ENDPOINT=tcp://127.0.0.1:0
SUCCESS=0

on_exit() {
    local rc=$?
    trap - EXIT INT TERM
    WATCHED=()
    if [ $rc -eq 0 ] && [ $SUCCESS -eq 1 ]; then exit 0; fi
    [ $rc -eq 0 ] && rc=1
    echo "demo.sh: failed (status $rc); the logs:" >&2
    tail_logs
    [ -z "${NFCAPD_PID:-}" ] || kill -TERM "$NFCAPD_PID" 2>/dev/null || true
    stop_system >&2
    [ -z "$AGENT_STATUS" ] || echo "ozy-cfgagent exit status: $AGENT_STATUS" >&2
    rm -rf "$ROOT"
    exit $rc
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

section "starting the system in host root $ROOT"
DB_PORT=""
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    port_free "$port" || continue
    if scripts/cairndb.sh start --port "$port" --root "$ROOT" >/dev/null 2>"$ROOT/cairndb-start.err"; then
        DB_PORT=$port
        break
    fi
    scripts/cairndb.sh stop --root "$ROOT" --port "$port" || true
done
[ -n "$DB_PORT" ] || { cat "$ROOT/cairndb-start.err" >&2; die "could not start cairndb on a free port"; }
export OZY_CAIRNDB_ENDPOINT=tcp://127.0.0.1:$DB_PORT
cat >"$ROOT/demo.env" <<EOF
DEMO_BIN=$BIN
DEMO_DB_PORT=$DB_PORT
EOF
say "cairndb       ovsdb-server on $OZY_CAIRNDB_ENDPOINT"

"$BIN/ozy-dpemu" --host-root "$ROOT" </dev/null >"$ROOT/ozy-dpemu.log" 2>&1 &
EMU_PID=$!
echo "DEMO_EMU_PID=$EMU_PID" >>"$ROOT/demo.env"
await 30 "ozy-dpemu to be ready" log_has "$EMU_PID" "$ROOT/ozy-dpemu.log" "ozy-dpemu: ready"
say "ozy-dpemu     pid $EMU_PID, ready"
WATCHED+=("$EMU_PID ozy-dpemu")

# The host's hostcli, played by the emulator's stand-in: the agent opens the host firewall for
# the IPFIX collectors with it.
install -D -m 755 "$BIN/hostcli" "$ROOT/bin/hostcli"

# The agent runs under a small starter that records its exit status, so that --stop can report
# it too.
(
    trap - EXIT INT TERM
    "$BIN/ozy-cfgagent" -c "$AGENT_XML" </dev/null >"$ROOT/ozy-cfgagent.log" 2>&1 &
    pid=$!
    echo "$pid" >"$ROOT/ozy-cfgagent.pid"
    st=0
    wait "$pid" || st=$?
    echo "$st" >"$ROOT/ozy-cfgagent.status"
) </dev/null >/dev/null 2>&1 &
await 10 "the agent's process id" test -s "$ROOT/ozy-cfgagent.pid"
AGENT_PID=$(cat "$ROOT/ozy-cfgagent.pid")
echo "DEMO_AGENT_PID=$AGENT_PID" >>"$ROOT/demo.env"
await 60 "ozy-cfgagent start-up" log_has "$AGENT_PID" "$ROOT/ozy-cfgagent.log" "Start-up complete"
say "ozy-cfgagent  pid $AGENT_PID, start-up complete"
WATCHED+=("$AGENT_PID ozy-cfgagent")

emu() { ovs-appctl -t "$ROOT/$EMU_CTL" "$@"; }
agent() { ovs-appctl -t "$ROOT/$AGENT_CLI" "$@"; }
session_synced() {
    [ "$(emu dpemu/dump kcp 2>/dev/null | jq -r '.session.state')" = synced ]
}
await 30 "the KCP session between agent and emulator" session_synced
say "KCP session   synced"
vxlan_synced() {
    [ "$(emu dpemu/dump vxlan 2>/dev/null | jq -r '.session.state')" = synced ]
}
await 30 "the VXLAN session between agent and emulator" vxlan_synced
say "VXLAN session synced"

# ---- apply the topology, connect the VIFs ---------------------------------------------------

section "applying $(basename "$TOPOLOGY") and connecting the VIFs"
"$CAIRNCTL" apply "$TOPOLOGY"
n=0
for line in "${PORTS[@]}"; do
    IFS=$'\t' read -r lsp ls vif dvport <<<"$line"
    n=$((n + 1))
    emu dpemu/vif-connect "$vif" "$dvport" "$HOST_SWITCH" "$(vif_mac $n)"
    # The firewall filter of the VIF, as the dataplane creates it for a VM's port.
    emu dpemu/filter-create "fw-$n" "$vif" "$lsp" >/dev/null
done
# The container bus's kernel NIC with its address (the emulator connects its VIF too).
if [ "$BUS_PARENTS" -gt 0 ]; then
    emu dpemu/krnnic-add "$BUS_KRNNIC" 169.254.1.1 255.255.255.0 "$HOST_SWITCH" >/dev/null
fi
# The overlay: the host switch (instance 1) joins every VNI with its TEP as local VTEP, the VIFs'
# MACs are learned behind the TEP, and the TEP is the switch's routing-domain VTEP.
emu dpemu/vxlan-instance add 1 >/dev/null
for line in "${SWITCHES[@]}"; do
    IFS=$'\t' read -r id name vni <<<"$line"
    [ "$vni" = - ] && continue
    emu dpemu/vxlan-join 1 "$vni" >/dev/null
    emu dpemu/vxlan-local-vtep "$vni" add "$TEP" 1 >/dev/null
done
n=0
for line in "${PORTS[@]}"; do
    IFS=$'\t' read -r lsp ls vif dvport <<<"$line"
    n=$((n + 1))
    emu dpemu/vxlan-mac-learn "${SW_VNI[$ls]}" "$(vif_mac $n)" "$TEP" >/dev/null
done
emu dpemu/vxlan-rd-vtep 1 "$TEP" >/dev/null

# ---- await realization ----------------------------------------------------------------------

port_realized() {  # DVS_PORT VNI
    emu dpemu/kcp-port "$1" 2>/dev/null |
        jq -e --arg vni "$2" '.block.state == "UNBLOCK" and ((.vni.vni | tostring) == $vni)' \
            >/dev/null
}
VIF_STATES=""
vif_states_written() {
    VIF_STATES=$("$CAIRNCTL" get VIF_STATE 2>/dev/null) || return 1
    local line lsp ls vif dvport
    for line in "${PORTS[@]}"; do
        IFS=$'\t' read -r lsp ls vif dvport <<<"$line"
        jq -e --arg v "$vif" --arg p "$dvport" \
            '[.VIF_STATE[] | select(.vif_id == $v and .port_id == $p and .status == 1)] | length == 1' \
            <<<"$VIF_STATES" >/dev/null || return 1
    done
}
routing_realized() {
    emu dpemu/vdr-summary 2>/dev/null |
        jq -e --argjson l "$VDR_LIFS" --argjson r "$VDR_ROUTES" '.lifs == $l and .routes == $r' \
            >/dev/null
}
# Every switch with a VNI has its LOG_SWITCH_STATE row with the TEP and the MACs of its ports;
# the routing domains of the topology have their ROUTING_DOMAIN_VTEP row.
L2_STATES=""
L2_DOMAINS=""
l2_states_written() {
    L2_STATES=$("$CAIRNCTL" get LOG_SWITCH_STATE 2>/dev/null) || return 1
    L2_DOMAINS=$("$CAIRNCTL" get ROUTING_DOMAIN_VTEP 2>/dev/null) || return 1
    local line id name vni want
    for line in "${SWITCHES[@]}"; do
        IFS=$'\t' read -r id name vni <<<"$line"
        [ "$vni" = - ] && continue
        want=$(jq --arg ls "$id" '[.LOG_SWITCH_PORT_CONFIG[] | select(.switch_id == $ls and .attachment.vif_id and (.attachment.parent_vif_id | not))] | length' "$TOPOLOGY")
        jq -e --arg id "$id" --argjson n "$want" \
            '[.LOG_SWITCH_STATE[] | select(.id == $id and (.vtep_entries | length) == 1 and (.mac_entries | length) == $n)] | length == 1' \
            <<<"$L2_STATES" >/dev/null || return 1
    done
    jq -e --slurpfile t "$TOPOLOGY" '([$t[0].LOG_SWITCH_CONFIG[] | .routing_domain_id // empty] | unique | length) as $n
        | [.ROUTING_DOMAIN_VTEP[]? | select((.vtep_entries | length) == 1)] | length == $n' \
        <<<"$L2_DOMAINS" >/dev/null
}
# The remote MACs of the topology's switch FIBs are in the dataplane.
l2_remote_pushed() {
    emu dpemu/vxlan-summary 2>/dev/null |
        jq -e --argjson n "$L2_REMOTE_MACS" '.remote_macs == $n' >/dev/null
}
# Every CIF has its Container record; every container-bus parent its LIP.
cifs_realized() {
    emu dpemu/dump kcp 2>/dev/null |
        jq -e --argjson n "${#CIFS[@]}" '(.containers | length) == $n' >/dev/null || return 1
    agent cfgagent/config/conduitkrn 2>/dev/null |
        jq -e --argjson n "$BUS_PARENTS" '[.[] | .lips // {} | length] | add // 0 | . == $n' \
            >/dev/null
}
# BFD sessions and both BFD settings (the transport switch's and BFD_GLOBAL_CONFIG) are in the
# dataplane.
bfd_pushed() {
    emu dpemu/dump vxlan 2>/dev/null |
        jq -e '(.bfd_sessions | length) > 0 and (.bfd_config | length) > 0 and .evpn_bfd != null' \
            >/dev/null
}
# The IPFIX profile's ports export to its collectors, and the host firewall has their ruleset.
IPFIX_PORTS=$(jq -c '[.PROFILE[]? | select(.profile_type == 1) | .logical_switch_port_ids[]]' "$TOPOLOGY")
ipfix_realized() {
    local p
    for p in $(jq -r '.[]' <<<"$IPFIX_PORTS"); do
        emu dpemu/kcp-port "$p" 2>/dev/null | jq -e '.ipfix.collectors | length > 0' >/dev/null ||
            return 1
    done
    [ "$IPFIX_PORTS" = "[]" ] || [ -s "$ROOT/var/log/hostcli/ipfix-rules" ]
}
all_realized() {
    local line lsp ls vif dvport
    for line in "${PORTS[@]}"; do
        IFS=$'\t' read -r lsp ls vif dvport <<<"$line"
        port_realized "$dvport" "${SW_VNI[$ls]:-}" || return 1
    done
    routing_realized || return 1
    cifs_realized || return 1
    vif_states_written && l2_states_written && l2_remote_pushed && bfd_pushed && ipfix_realized
}
start=$EPOCHREALTIME
await "$REALIZE_TIMEOUT" "every port unblocked, every LIF and route and CIF in the dataplane, a VIF_STATE per VIF, the learned L2 state, the container bus's LIPs and the IPFIX export settings" \
    all_realized
elapsed=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
say "realized in ${elapsed} s: ${#PORTS[@]} ports unblocked, $VDR_LIFS LIFs and $VDR_ROUTES routes," \
    "${#PORTS[@]} VIF_STATE objects, $(jq '.LOG_SWITCH_STATE | length' <<<"$L2_STATES") LOG_SWITCH_STATE objects"
KCP=$(emu dpemu/dump kcp)
if [ "$(jq '.errors | length' <<<"$KCP")" -ne 0 ]; then
    jq -r '.errors[]' <<<"$KCP" >&2
    die "the emulator recorded KCP errors"
fi
VDR=$(emu dpemu/dump vdr)
if [ "$(jq '.errors | length' <<<"$VDR")" -ne 0 ]; then
    jq -r '.errors[]' <<<"$VDR" >&2
    die "the emulator recorded VDR errors"
fi
VXLAN=$(emu dpemu/vxlan-summary)
if [ "$(jq '.errors' <<<"$VXLAN")" -ne 0 ]; then
    emu dpemu/dump vxlan | jq -r '.errors[]' >&2
    die "the emulator recorded VXLAN errors"
fi

# ---- summary --------------------------------------------------------------------------------

# A dataplane property compactly: {"mode": 1} -> "=1"; {"a": true, "b": 0, "c": 5} -> "(a,c=5)"
# (false, zero and empty fields left out; "(off)" when nothing is left).
JQ_COMPACT='
def cv:
  if type == "object" then
    [to_entries[] | select(.value | . != false and . != 0 and . != [] and . != {} and . != "" and . != null)
     | if .value == true then .key else .key + "=" + (.value | cv) end]
    | if length == 0 then "(off)" else "(" + join(",") + ")" end
  elif type == "array" then "[" + (map(cv) | join(";")) + "]"
  else tostring end;
def shaper:
  "\(.type)" + (if .enabled then "" else "(disabled)" end) + " avg=\(.average_bandwidth_kbps)"
  + " peak=\(.peak_bandwidth_kbps) kbit/s burst=\(.burst_size_bytes) B";
def prop:
  if type == "object" and has("shapers") then "=" + ([.shapers[] | shaper] | if length == 0 then "none" else join("; ") end)
  elif type == "object" and length == 1 then "=" + (.[] | cv)
  else cv end;
def props: [to_entries[] | .key + (.value | prop)] | join(" ");
'

# Joins lines into indented lines of at most 96 characters.
wrap() {
    awk '{ if (n > 0 && n + 1 + length($0) > 92) { print "    " line; line = ""; n = 0 }
           line = n ? line " " $0 : $0; n = length(line) }
         END { if (n > 0) print "    " line }'
}

row() { printf '%-36s  %-8s  %-6s  %s\n' "$@"; }
section "desired state (cairndb, from $(basename "$TOPOLOGY"))"
printf '%-12s  %-8s  %s\n' "host switch" "$HOST_SWITCH" \
    "$(jq -r '.TRANSPORT_NODE_CONFIG[0].transport_switches[0].host_switch_id' "$TOPOLOGY")"
for line in "${SWITCHES[@]}"; do
    IFS=$'\t' read -r id name vni <<<"$line"
    printf '%-12s  %-8s  %s\n' "switch" "$name" "VNI $vni  $id"
done
jq -r '.LOG_ROUTER_CONFIG[]? | "router        \(.name)  VDR \(.vdr_id)  \(.id)"' "$TOPOLOGY"
row "port" "switch" "VNI" "VIF"
for line in "${PORTS[@]}"; do
    IFS=$'\t' read -r lsp ls vif dvport <<<"$line"
    row "$lsp" "${SW_NAME[$ls]:-$ls}" "${SW_VNI[$ls]:--}" "$vif"
done
for line in "${CIFS[@]}"; do
    IFS=$'\t' read -r lsp cvif parent vlan child <<<"$line"
    say "CIF port $lsp  VIF $cvif  behind VIF $parent on VLAN $vlan  child port $child"
done

section "realized dataplane state (ozy-dpemu KCP tables)"
jq -r '"session: \(.session.state), id \(.session.id), dataplane status \(.session.dp_status); \(.stats.updates) updates, \(.errors | length) errors"' <<<"$KCP"
jq -r "$JQ_COMPACT"'.switches | to_entries[] | "host switch \(.key): " + (.value | props)' <<<"$KCP"
NAMES=$(jq -c '[.LOG_SWITCH_CONFIG[] | {key: .id, value: (.switch_name // .id)}] | from_entries' "$TOPOLOGY")
row "port" "block" "VNI" "switch, then the other properties"
for line in "${PORTS[@]}"; do
    IFS=$'\t' read -r lsp ls vif dvport <<<"$line"
    emu dpemu/kcp-port "$dvport" | jq -r --argjson names "$NAMES" --arg port "$dvport" "$JQ_COMPACT"'
        ([$port, .block.state, (.vni.vni // "-"), ($names[.ls_id.ls_id] // .ls_id.ls_id // "-")] | @tsv),
        (del(.block, .vni, .ls_id, .lsp_id) | to_entries[] | .key + (.value | prop))' | {
        IFS=$'\t' read -r id block vni sw
        row "$id" "$block" "$vni" "$sw"
        wrap
    }
done

section "container interfaces (cfgagent/config/ciflist; ozy-dpemu Container records)"
agent cfgagent/config/ciflist | jq -r '.[] |
    "CIF \(.cif)  VLAN \(.vlan)  MAC \(.mac)  behind VIF \(.host_vif)\(if .connected then "" else " (waiting)" end)",
    "    child port \(.child_port) of VM port \(.vm_port)  DFW \(.dfw)  SI \(.si)"'
jq -r '.containers | to_entries[] | "Container record \(.key): port \(.value.port_id) VLAN \(.value.vlan) \([.value.addresses[].address] | join(" "))"'  <<<"$KCP"
jq -r '.port_container_lists | to_entries[] | "port container list of VIF \(.key): \(.value | join(", "))"' <<<"$KCP"
for line in "${CIFS[@]}"; do
    IFS=$'\t' read -r lsp cvif parent vlan child <<<"$line"
    emu dpemu/kcp-port "$child" | jq -r --arg p "$child" \
        '"child port \($p): \(.block.state // "-"), parent port \(.ls_attachment.parent_port_id // "-") VLAN \(.ls_attachment.vlan // "-")"'
done
say "container bus:"
agent cfgagent/config/conduitkrn | jq -r '.[] |
    "    kernel NIC \(.krnnic) on \(.host_switch) (channel \(.channel)): \(.ip // "-")/\(.mask // "-"), pool \(.pool // "-"), \(.used // 0) used, \(.pending // [] | length) pending",
    (.lips // {} | to_entries[] | "    LIP \(.value) for VIF \(.key)")'

section "realized routing state (ozy-dpemu VDR tables)"
jq -r '"session: \(if .session.connected then "connected" else "not connected" end), \(.session.full_sync_ends) Full Sync End; \(.stats.updates) updates, \(.errors | length) errors"' <<<"$VDR"
jq -r '.vdrs | to_entries[] |
    "vdr \(.key)  \(.value.instance.name)  ARP limit \(.value.arp_limit.limit // "-")",
    (.value.lifs | to_entries[] | "    LIF \(.key)  VNI \(.value.vni)  \(.value.ips | join(" "))"),
    (.value.routes | to_entries[] | "    route \(.key) -> " + ([.value[] |
        if .type == "blackhole" then "blackhole" else "\(.ip) via \(.egress)" end] | join(", "))),
    (.value.arp | to_entries[] | .value | to_entries[] | "    ARP \(.key) \(.value)")' <<<"$VDR"
jq -r '.global.settings // empty | "global: L3 forwarding mode \(.forwarding_mode), LRP MTU \(.lrp_mtu)"' <<<"$VDR"

section "runtime state written back (cairndb VIF_STATE)"
row "VIF" "status" "switch" "port, MAC"
jq -r '.VIF_STATE | sort_by(.port_id)[] |
    [.vif_id, (if .status == 1 then "CONNECT" elif .status == 2 then "DISCONNECT" else (.status | tostring) end),
     (.switch_id // "-"), .port_id, ((.macs // [.mac]) | join(" "))] | @tsv' <<<"$VIF_STATES" |
    while IFS=$'\t' read -r vif status switch port macs; do
        row "$vif" "$status" "$switch" "$port  $macs"
    done

# Addresses as cairnctl prints them (numbers, or text) in the usual text forms.
JQ_ADDR='
def ip4: if type == "number" then [(. / 16777216 | floor) % 256, (. / 65536 | floor) % 256,
    (. / 256 | floor) % 256, . % 256] | map(tostring) | join(".") else tostring end;
def addr: if type == "string" then . elif .ipv4 != null then (.ipv4 | ip4) else (.ipv6 // "-") end;
def hex2: [(. / 16 | floor), . % 16] | map("0123456789abcdef"[.:. + 1]) | join("");
def mac: if type == "string" and test(":") then . else (tonumber) as $n
    | [range(5; -1; -1) as $i | ($n / pow(256; $i) | floor) % 256 | hex2] | join(":") end;
'
section "L2 overlay: learned state written back (cairndb LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP)"
jq -r '"VXLAN session: \(.session.state), id \(.session.id); dataplane: \(.instances) instance(s), \(.vnis) VNIs, \(.local_vteps) local VTEPs, \(.local_macs) learned MACs"' <<<"$VXLAN"
l2row() { printf '%-8s  %-6s  %-10s  %s\n' "$@"; }
l2row "switch" "VNI" "VTEPs" "MACs learned"
jq -r --argjson names "$NAMES" "$JQ_ADDR"'.LOG_SWITCH_STATE | sort_by(.id)[] |
    [($names[.id] // .id), ([.vtep_entries[]?.ip | addr] | join(" ")), ([.mac_entries[]?.mac | mac] | join(" "))] | @tsv' \
    <<<"$L2_STATES" | while IFS=$'\t' read -r sw vteps macs; do
    vni=-
    for line in "${SWITCHES[@]}"; do
        IFS=$'\t' read -r id name v <<<"$line"
        [ "$name" = "$sw" ] && vni=$v
    done
    l2row "$sw" "$vni" "$vteps" "$macs"
done
jq -r "$JQ_ADDR"'.ROUTING_DOMAIN_VTEP[]? | "routing domain \(.id): VTEP \([.vtep_entries[]?.ip | addr] | join(" "))"' <<<"$L2_DOMAINS"
say "remote state pushed to the dataplane (cairndb LOG_SWITCH_FIB, CCP_SESSION):"
l2row "VNI" "link" "controller" "remote VTEPs / MACs / IPs"
emu dpemu/dump vxlan | jq -r '.vnis | to_entries[] | select(.value.joined) |
    [.key, "flag=\(.value.link.flag // "-")", (.value.controller.ipv4 // "-"),
     "\([.value.remote_vteps[]?.ip] | join(" ")) / \(.value.remote_macs | length) / \(.value.remote_ips | length)"] | @tsv' |
    while IFS=$'\t' read -r vni link ctl remote; do l2row "$vni" "$link" "$ctl" "$remote"; done
say "routing domains and VTEP groups in the dataplane (cairndb ROUTING_DOMAIN_FIB, VTEP_GROUP):"
emu dpemu/dump vxlan | jq -r '
    def words: map(tostring) | join(" ") | if . == "" then "-" else . end;
    (.routing_domains | to_entries[] | "switch \(.key): routing domains \(.value | words)"),
    (.remote_routing_domains | to_entries[] |
     "routing domain \(.key): remote VTEPs \([.value.remote_vteps[]?.ip] | words), VTEP groups \(.value.vtep_groups | words)"),
    (.vnis as $v | .vtep_groups | to_entries[] | .key as $k |
     "VTEP group \($k): members \([.value.members[]?.ip] | words), bound to \([$v[] | select(any(.vtep_groups[]?; . == ($k | tonumber)))] | length) VNI(s)")'
say "BFD sessions in the dataplane (cairndb switch, domain and group VTEPs; cfgagent/bfd):"
emu dpemu/dump vxlan | jq -r '
    (.bfd_sessions[] | "VNI \(.vni): \(.local_ip) -> \(.remote_ip)" +
        (if .group_label != 0 then " (VTEP group \(.group_label))" else "" end)),
    (.bfd_config | to_entries[] | "BFD of host switch \(.key): \(.value | tostring)"),
    "EVPN BFD: \(.evpn_bfd | tostring)"'
agent cfgagent/bfd | jq -r '"cfgagent/bfd: \(.entry_count) entries, \(.reference_count) references, \(.sent_sessions) sessions sent"'

# ---- distributed firewall --------------------------------------------------------------------

section "distributed firewall: the topology's rules on every VIF's filter"
# "VERDICT RULE" of a TCP packet from SRC to port PORT on filter F ("DEFAULT" when none matched).
verdict() {  # F SRC PORT
    emu dpemu/tarp-eval "$1" in tcp "$2:1000" "10.9.9.9:$3" 2>/dev/null |
        jq -r '.verdict + (if .rule == null then "" else " \(.rule)" end)'
}
dfw_realized() {
    local n
    for n in $(seq 1 ${#PORTS[@]}); do
        [ "$(verdict "fw-$n" 10.0.0.9 22)" = "DROP 1002" ] || return 1
    done
}
await 60 "the firewall rules on every filter" dfw_realized
n=0
for line in "${PORTS[@]}"; do
    IFS=$'\t' read -r lsp ls vif dvport <<<"$line"
    n=$((n + 1))
    say "filter fw-$n (port $lsp): ssh from admins $(verdict "fw-$n" 10.0.0.1 22)," \
        "ssh from others $(verdict "fw-$n" 10.0.0.9 22), http $(verdict "fw-$n" 10.0.0.9 80)"
done
say "filters the agent realizes (dfw/vif): $(ovs-appctl -t "$ROOT/$AGENT_CLI" dfw/vif | jq -r '[.[].filter] | join(" ")')"
say "per-port metrics (dfw/lspMetrics): $(ovs-appctl -t "$ROOT/$AGENT_CLI" dfw/lspMetrics |
    jq -r '[.lsp_metrics_list[] | "\(.vif) \(.rule_cnt) rules"] | join(", ")');" \
    "$(ovs-appctl -t "$ROOT/$AGENT_CLI" cfgagent/metrics/prometheus |
        grep -c '^ozy_dfw_lsp_rule_count{') ozy_dfw_lsp_rule_count series in cfgagent/metrics/prometheus"
emu dpemu/dump tarp | jq -r '.ip_reputation_chunks[] |
    "IP-reputation chunk \(.id) on the shared filter: \(.count) \(if .count == 1 then "entry" else "entries" end), capacity \(.capacity), bucket \(.bucket)"'
say "https from the blocklist (chunk entry 203.0.113.0/24): $(verdict fw-1 203.0.113.5 443)," \
    "from others $(verdict fw-1 10.0.0.9 443)"
# The ports' flood, session timeout and DNS profiles as each filter holds them (the emulator's
# decoded settings; ports without a profile hold the defaults), with the profiles dfw/profiles names.
dfw_profiles_realized() {
    [ "$(emu dpemu/tarp-filter fw-1 2>/dev/null | jq -r '.settings.flood.tcp_half_open_limit // empty')" = 500 ] &&
        [ "$(emu dpemu/tarp-filter fw-2 2>/dev/null | jq -r '.settings.dns.ttl // empty')" = 300 ]
}
await 60 "the ports' firewall profiles on their filters" dfw_profiles_realized
for n in $(seq 1 ${#PORTS[@]}); do
    emu dpemu/tarp-filter "fw-$n" | jq -r '.settings as $s | "filter \(.filter) settings:" +
        " flood(half-open \($s.flood.tcp_half_open_limit), udp \($s.flood.udp_flow_limit), syn_cache \($s.flood.syn_cache))" +
        " timeouts(tcp established \($s.timeouts.tcp_established) s, udp single \($s.timeouts.udp_single) s)" +
        " dns(ttl_flag \($s.dns.ttl_flag), ttl \($s.dns.ttl))"'
done
agent dfw/profiles all | jq -r '"profiles per vif (dfw/profiles all): " + ([.dfw_vif_profiles.filters[] | "\(.vif) " +
    ([("flood", "timeout", "dns") as $k | "\($k)=\(.[$k] | if type != "object" then . elif .profile == "default" then .profile else "..\(.profile[-4:])" end)"] | join(","))] | join("; "))'

# ---- IPFIX export ----------------------------------------------------------------------------

section "IPFIX export (cfgagent/ipfix-switch/profile/all; hostcli; nfdump's nfcapd as collector)"
agent cfgagent/ipfix-switch/profile/all | jq -r 'to_entries[] | .value as $v |
    "port \(.key): domain \($v.observation_domain_id // "-"), sampling \($v.sampling_location // "-"),"
    + " collectors \([$v.collectors[]? | "\(.address) \(.port)"] | join(", "))"'
say "host firewall ruleset \"ipfix\" as hostcli read it: $(awk '{ printf "%srule %s port %s", (NR > 1 ? ", " : ""), $1, $2 }' "$ROOT/var/log/hostcli/ipfix-rules")"
say "hostcli calls: $(paste -sd ';' "$ROOT/var/log/hostcli/calls")"
IPFIX_PORT=$(jq -r '.[0] // empty' <<<"$IPFIX_PORTS")
IPFIX_COLLECTOR=$(emu dpemu/kcp-port "$IPFIX_PORT" 2>/dev/null |
    jq -r '[.ipfix.collectors[]? | select(.address == "127.0.0.1")][0].port // empty')
if [ -n "$IPFIX_PORT" ] && [ -n "$IPFIX_COLLECTOR" ] && port_free_udp "$IPFIX_COLLECTOR"; then
    mkdir -p "$ROOT/nfcapd"
    nfcapd -w "$ROOT/nfcapd" -p "$IPFIX_COLLECTOR" -b 127.0.0.1 >"$ROOT/nfcapd.log" 2>&1 &
    NFCAPD_PID=$!
    await 20 "nfcapd to listen" log_has "$NFCAPD_PID" "$ROOT/nfcapd.log" "Startup nfcapd"
    emu dpemu/ipfix-export "$IPFIX_PORT" |
        jq -r '"dpemu/ipfix-export \(.port): \(.bytes)-byte message to \(.sent | join(", "))"'
    await 20 "nfcapd to receive the export" log_has "$NFCAPD_PID" "$ROOT/nfcapd.log" "Observation domain"
    kill -TERM "$NFCAPD_PID" 2>/dev/null || true
    wait "$NFCAPD_PID" 2>/dev/null || true
    NFCAPD_PID=""
    nfdump -R "$ROOT/nfcapd" -q -o "fmt:%sa:%sp -> %da:%dp %pr %pkt packets %byt bytes" |
        sed 's/^ */nfdump: /'
    nfdump -E "$(ls -d "$ROOT"/nfcapd/nfcapd.* | head -n 1)" | grep -o 'IP: .*, ID: [0-9]*' |
        sed 's/^/nfdump -E: exporter /'
else
    say "export skipped: no port with a loopback collector, or UDP port ${IPFIX_COLLECTOR:-?} is in use"
fi

# ---- service insertion -----------------------------------------------------------------------

section "service insertion (si/get-selected-service-paths; the emulator's chain, NSH and overlay MAC tables)"
SI_CHAINS=$(jq -r '[.SI_SERVICE_CHAIN[]?.id] | join(" ")' "$TOPOLOGY")
si_realized() {
    local c
    for c in $SI_CHAINS; do
        emu dpemu/dump si | jq -e --arg c "$c" '.chains[$c].slots | length > 0' >/dev/null || return 1
    done
}
if [ -n "$SI_CHAINS" ]; then
    await 30 "every service chain in the dataplane" si_realized
    for n in $(jq -r '.SI_SERVICE_CHAIN[].service_chain_id' "$TOPOLOGY"); do
        agent si/get-selected-service-paths "$n" | jq -r '.si_selected_service_paths |
            "chain \(.service_chain_id): \(.num_paths) path(s) in \(.slots | length) slots: \([.slots[].service_path_id] | map(tostring) | join(" "))"'
    done
    emu dpemu/dump si | jq -r '"dataplane: \(.chains | length) chain(s), \(.nsh | length) NSH entries (\(.nsh | to_entries | map("\(.key) -> \(.value)") | join(", "))), failed SPIs \(.failed_spis | length), status \(.status)"'
    emu dpemu/dump ovl2 | jq -r '"overlay MAC table: \([.entries[] | "\(.dvs)/\(.segment) \(.mac)"] | join(", "))"'
fi

# ---- intrusion detection ---------------------------------------------------------------------

section "intrusion detection (ids/get/rules; the engine ozy-dpemu plays; the shared filter's IDS mode)"
IDS_RULES=$(jq '[.RULE[]? | select(.type == 6)] | length' "$TOPOLOGY")
if [ "$IDS_RULES" -gt 0 ]; then
    # A curated bundle made by GNU tar, installed through cairndb like any other object.
    mkdir -p "$ROOT/ids-bundle/rules"
    printf '%s\n' 'alert tcp any any -> any 80 (msg:"demo web"; sid:2001; rev:1;)' \
        'alert tcp any any -> any 22 (msg:"demo ssh"; sid:2002; rev:1;)' \
        >"$ROOT/ids-bundle/rules/demo.rules"
    tar -czf "$ROOT/ids-bundle.tgz" -C "$ROOT/ids-bundle" .
    jq -n --arg b "$(base64 -w0 "$ROOT/ids-bundle.tgz")" \
        '{IDS_SIGNATURES: [{id: "da000000-0000-4000-8000-000000000001", system_bundle: $b}]}' \
        >"$ROOT/ids-bundle.json"
    "$CAIRNCTL" apply "$ROOT/ids-bundle.json"
    ids_realized() {
        emu dpemu/dump idps 2>/dev/null |
            jq -e --argjson n "$IDS_RULES" '(.rules | length) == $n and .sids_loaded == 2' >/dev/null
    }
    await 30 "the IDS rules and the signature bundle in the engine" ids_realized
    agent ids/get/rules | jq -r '.ids_rules.result | to_entries[] | "rule \(.key): \(.value)"'
    emu dpemu/dump idps | jq -r '"engine: \(.rules | length) rule(s), profiles \(.profiles | keys | join(", ")), \(.sids_loaded) signatures loaded, \(.reloads) reload(s)"'
    emu dpemu/dump tarp | jq -r '"shared filter: IDS mode \(.ids_mode), oversubscription \(.oversubscription)"'
    "$CAIRNCTL" get PROCESSED_BARRIER 2>/dev/null |
        jq -r '.PROCESSED_BARRIER[]? | select(.vertical_id == 10) | "PROCESSED_BARRIER (IDS): \(.barrier_id // "-")"'
fi

# ---- load balancer ----------------------------------------------------------------------------

section "load balancer (the emulator's tables behind FW_Ioctl 43)"
LB_SERVERS=$(jq '[.LB_VIRTUAL_SERVER[]?] | length' "$TOPOLOGY")
lb_realized() { [ "$(emu dpemu/dump lb | jq '.virtual_servers | length')" -ge "$LB_SERVERS" ]; }
if [ "$LB_SERVERS" -gt 0 ]; then
    await 30 "every virtual server in the dataplane" lb_realized
    emu dpemu/dump lb | jq -r '
        (.services[] | "service \(.name): \(.lsps | length) VIF port(s), log level \(.log_level)"),
        (.virtual_servers[] | "virtual server \(.address):\(.port) (protocol \(.protocol), application type \(.app_type)) -> pool \(.pool)"),
        (.pools | to_entries[] | "pool \(.key): \([.value.members[] | "\(.address):\(.port) weight \(.weight)"] | join(", "))"),
        "updates \(.updates) (full \(.full_updates)), refused \(.rejected)"'
fi

# ---- operations agent: one traceflow round ---------------------------------------------------

# A UUID text as protobuf JSON writes a UuidMsg: the two 64-bit halves as decimal strings.
uuid_json() {
    local h=${1//-/}
    printf '{"left": "%u", "right": "%u"}' "0x${h:0:16}" "0x${h:16:16}"
}
uuid_key() { uuid_json "$1" | jq -r '.left + ":" + .right'; }

section "operations agent (ozy-dpemu as ozy-opsagent): one traceflow round"
opsagent_connected() { [ "$(emu dpemu/dump opsagent | jq -r '.connected')" = true ]; }
await 30 "the operations agent on the agent's link" opsagent_connected ||
    die "the operations agent did not connect"
IFS=$'\t' read -r lsp ls vif dvport <<<"${PORTS[0]}"
emu dpemu/opsagent-send orvane.ozy.lcp.TraceflowRequestMsg \
    "{\"round_id\": \"1\", \"src_port\": $(uuid_json "$lsp"), \"packet\": \"AAECAwQF\"}" >/dev/null
traced() {
    [ "$(emu dpemu/dump opsagent | jq '[.messages[] | select(.type == "orvane.ozy.lcp.TraceflowObservationMsg")] | length')" -ge 3 ]
}
await 30 "the observations of round 1 at the operations agent" traced ||
    die "no traceflow observations came back"
emu dpemu/dump traceflow | jq -r '.injections[-1] | "request for port \(.dvport): injected, \(.packet_length) bytes"'
IDS="{}"
for line in "${SWITCHES[@]}"; do
    IFS=$'\t' read -r id name vni <<<"$line"
    IDS=$(jq -c --arg k "$(uuid_key "$id")" --arg v "switch $name" '. + {($k): $v}' <<<"$IDS")
done
IDS=$(jq -c --arg k "$(uuid_key "$lsp")" --arg v "port $lsp" '. + {($k): $v}' <<<"$IDS")
emu dpemu/dump opsagent | jq -r --argjson ids "$IDS" '
    def id(u): if u then ($ids[u.left + ":" + u.right] // "?") else "" end;
    .messages[] | select(.type == "orvane.ozy.lcp.TraceflowObservationMsg") | .payload |
    "round \(.round_id)  \(.observation_name | . + " " * (16 - length))  \([id(.ls_id), id(.lsp_id)] | map(select(. != "")) | join(", "))\(if .vif_id then "  VIF " + .vif_id else "" end)"'

# ---- operations agent: one live-trace session ------------------------------------------------

section "operations agent: one live-trace session (UDP to port 9, captured and counted)"
emu dpemu/opsagent-send orvane.ozy.lcp.LivetraceMsg "{\"request\": {\"slot\": 0, \"metadata\": {\"session_id\": \"1\"}, \"src_port\": $(uuid_json "$lsp"), \"timeout_sec\": 60, \"actions\": [{\"kind\": \"PKTCAP\", \"direction\": 1, \"sampling\": {\"type\": \"ALL\"}}, {\"kind\": \"COUNTER\", \"direction\": 1}], \"match\": {\"dst_port\": 9, \"protocol\": \"UDP\"}}}" >/dev/null
slotted() { [ "$(emu dpemu/dump livetrace | jq '.slots | has("0")')" = true ]; }
await 30 "the live-trace session in the emulator's slot 0" slotted ||
    die "the live-trace session did not reach the dataplane"
emu dpemu/dump livetrace | jq -r '.slots["0"] | "session \(.session_id) in slot 0 at port \(.dvport) of switch \(.dvs): \(.filter_insns) BPF instructions"'
# Ethernet, IPv4 10.0.0.2 -> 10.0.0.3, UDP 12345 -> 9 (twice) and -> 10.
udp_frame() { echo "02000000000202000000000108004500001e00010000401100000a0000020a0000033039${1}000a0000abab"; }
for port in 0009 000a 0009; do emu dpemu/livetrace-packet 0 "$(udp_frame $port)" >/dev/null; done
emu dpemu/livetrace-end 0 barrier >/dev/null
lt_file() {
    emu dpemu/dump opsagent | jq -r '[.messages[] | select(.type == "orvane.ozy.lcp.LivetraceResultMsg") | .payload | select(.session_id == "1" and .ended) | .forward_pcap_file][-1] // empty'
}
lt_ended() { [ -n "$(lt_file)" ]; }
await 30 "the end of live-trace session 1 at the operations agent" lt_ended ||
    die "the live-trace session did not end"
LT_FILE=$(lt_file)
emu dpemu/dump opsagent | jq -r '.messages[] | select(.type == "orvane.ozy.lcp.LivetraceResultMsg") | .payload | select(.session_id == "1" and .counters) | .counters[] | "counter at port \(.dvport_id): \(.count) packets"'
echo "capture $LT_FILE: $(tcpdump -nn -r "$ROOT$LT_FILE" 2>/dev/null | wc -l) packets"
tcpdump -nn -r "$ROOT$LT_FILE" 2>/dev/null | sed 's/^/    /'

# ---- keep or stop ---------------------------------------------------------------------------

if [ $KEEP -eq 1 ]; then
    SUCCESS=1
    section "the system keeps running (--keep)"
    IFS=$'\t' read -r lsp ls vif dvport <<<"${PORTS[0]}"
    cat <<EOF
agent CLI     ovs-appctl -t $ROOT/$AGENT_CLI list-commands
              ovs-appctl -t $ROOT/$AGENT_CLI cfgagent/statecache/logicalswitches
              ovs-appctl -t $ROOT/$AGENT_CLI cfgagent/config/lswitch
              ovs-appctl -t $ROOT/$AGENT_CLI cfgagent/cache/size
emulator      ovs-appctl -t $ROOT/$EMU_CTL dpemu/dump kcp
              ovs-appctl -t $ROOT/$EMU_CTL dpemu/dump vxlan
              ovs-appctl -t $ROOT/$EMU_CTL dpemu/kcp-port $dvport
              ovs-appctl -t $ROOT/$EMU_CTL dpemu/vif-disconnect $vif
              ovs-appctl -t $ROOT/$EMU_CTL dpemu/dump vdr
              ovs-appctl -t $ROOT/$EMU_CTL dpemu/vdr-fullsync-request all
cairndb       OZY_CAIRNDB_ENDPOINT=$OZY_CAIRNDB_ENDPOINT $CAIRNCTL get VIF_STATE
              OZY_CAIRNDB_ENDPOINT=$OZY_CAIRNDB_ENDPOINT $CAIRNCTL watch VIF_STATE
              OZY_CAIRNDB_ENDPOINT=$OZY_CAIRNDB_ENDPOINT $CAIRNCTL get LOG_SWITCH_STATE
logs          $ROOT/ozy-cfgagent.log
              $ROOT/ozy-dpemu.log
              $ROOT/var/log/ozy-cairndb/ovsdb-server.log
stop          $SRC/scripts/demo.sh --stop $ROOT
EOF
    exit 0
fi

section "stopping"
WATCHED=()
stop_system
[ -n "$AGENT_STATUS" ] || die "the agent's exit status is unknown"
say "ozy-cfgagent exit status: $AGENT_STATUS"
[ "$AGENT_STATUS" -eq 0 ] || die "ozy-cfgagent exited with status $AGENT_STATUS"
SUCCESS=1
rm -rf "$ROOT"
say "removed $ROOT"

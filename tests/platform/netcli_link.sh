#!/usr/bin/env bash
# Two tovik-netcli clients link through a real tovik-relay.
#
#   netcli_link.sh loopback RELAY_BIN NETCLI_BIN
#     relay and both clients on 127.0.0.1.
#   netcli_link.sh netns RELAY_BIN NETCLI_BIN
#     network namespaces: the relay on a "public" namespace, each client on its own private LAN
#     behind its own NAT namespace (iptables MASQUERADE, unsolicited inbound dropped as a home router
#     does). The link must come up directly between the two NATs' public addresses, i.e. by hole
#     punching. The relay listens on 0.0.0.0 of a public namespace that has two addresses on one
#     interface; client A talks to the first, client B to the second, so both only register when the
#     relay answers from the address each one sent to (not from the interface towards its NAT).
#     Every address used (10.99.x.x) lives only inside the namespaces made here; the namespaces are
#     joined to each other by veth pairs and to nothing else.
#
# Both modes check that both clients print the same check number, that the text sent by one arrives
# at the other as one output line, that both end cleanly (exit code 0) and that a relay key pinned
# on first contact is stored in the client's data folder. Exit code 0: passed; 1: failed; 77:
# skipped (netns mode when namespaces cannot be made here).
set -u

MODE=${1:-}
RELAY_BIN=${2:-}
NETCLI_BIN=${3:-}
if [[ "$MODE" != loopback && "$MODE" != netns ]] || [[ ! -x "$RELAY_BIN" || ! -x "$NETCLI_BIN" ]]; then
  echo "usage: $0 loopback|netns RELAY_BIN NETCLI_BIN" >&2
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tovik-netcli-$MODE.XXXXXX")
TAG="tvk$$"                 # namespace names are unique per run
NAMESPACES=()
RELAY_PID="" A_PID="" B_PID=""   # processes started here and not reaped yet

cleanup() {
  local pid ns
  for pid in $B_PID $A_PID $RELAY_PID; do kill -TERM "$pid" 2>/dev/null; done
  for pid in $B_PID $A_PID $RELAY_PID; do
    # Bounded wait, then a hard stop for anything that hangs.
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  RELAY_PID="" A_PID="" B_PID=""
  for ns in "${NAMESPACES[@]}"; do ip netns del "$ns" 2>/dev/null; done
  NAMESPACES=()
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*" >&2
  local f
  for f in "$WORK"/*.out "$WORK"/*.err "$WORK"/relay.log; do
    [[ -f "$f" ]] || continue
    echo "---- ${f##*/}" >&2
    tail -n 40 "$f" >&2
  done
  exit 1
}

skip() {
  echo "SKIP: $*" >&2
  exit 77
}

# Waits up to $1 seconds for the grep pattern $2 in file $3.
wait_line() {
  local end=$((SECONDS + $1))
  while ((SECONDS < end)); do
    grep -q -- "$2" "$3" 2>/dev/null && return 0
    sleep 0.1
  done
  grep -q -- "$2" "$3" 2>/dev/null
}

# Starts a command in namespace $1 (none for loopback mode). Used only with "&": it replaces the
# background subshell, so $! is the program itself and a signal to $! reaches it.
in_ns() {
  local ns=$1
  shift
  if [[ -n "$ns" ]]; then exec ip netns exec "$ns" "$@"; else exec "$@"; fi
}

# ---- Topology ------------------------------------------------------------------------------------
PUB="" LAN1="" LAN2=""
RELAY_LISTEN=127.0.0.1
RELAY_ADDR=127.0.0.1     # the relay address client A talks to
RELAY_ADDR_B=127.0.0.1   # and client B

# Creates namespace "$TAG-$1" and records it for clean-up (before anything else can fail).
make_ns() {
  local ns="$TAG-$1"
  ip netns add "$ns" 2>"$WORK/netns.err" || return 1
  NAMESPACES+=("$ns")
  ip -n "$ns" link set lo up
}

# A veth pair between namespaces $1 and $3, named $2 and $4, with addresses $5 and $6 (/24).
link_ns() {
  ip link add "$2" netns "$1" type veth peer name "$4" netns "$3" || return 1
  ip -n "$1" addr add "$5/24" dev "$2" && ip -n "$1" link set "$2" up || return 1
  ip -n "$3" addr add "$6/24" dev "$4" && ip -n "$3" link set "$4" up
}

# NAT namespace $1 with WAN interface $2: masquerade outgoing, drop unsolicited incoming.
nat_rules() {
  ip netns exec "$1" sysctl -q -w net.ipv4.ip_forward=1 || return 1
  ip netns exec "$1" iptables -t nat -A POSTROUTING -o "$2" -j MASQUERADE || return 1
  ip netns exec "$1" iptables -A INPUT -i "$2" -m conntrack --ctstate NEW -j DROP || return 1
  ip netns exec "$1" iptables -A FORWARD -i "$2" -m conntrack --ctstate NEW -j DROP
}

setup_netns() {
  [[ $(id -u) -eq 0 ]] || skip "network namespaces need root (running as uid $(id -u))"
  command -v ip >/dev/null || skip "the ip command (iproute2) is not installed"
  command -v iptables >/dev/null || skip "iptables is not installed"
  local name
  for name in pub nat1 nat2 lan1 lan2; do
    make_ns "$name" || skip "cannot create network namespaces: $(cat "$WORK/netns.err")"
  done
  PUB="$TAG-pub" LAN1="$TAG-lan1" LAN2="$TAG-lan2"
  local nat1="$TAG-nat1" nat2="$TAG-nat2"

  # Public side: the relay's two addresses on the public namespace's loopback, one link to each NAT.
  ip -n "$PUB" addr add 10.99.0.1/32 dev lo || fail "address on the public namespace"
  ip -n "$PUB" addr add 10.99.0.2/32 dev lo || fail "second address on the public namespace"
  ip netns exec "$PUB" sysctl -q -w net.ipv4.ip_forward=1 || fail "forwarding on the public namespace"
  link_ns "$PUB" pub1 "$nat1" wan 10.99.1.1 10.99.1.2 || fail "link public - nat1"
  link_ns "$PUB" pub2 "$nat2" wan 10.99.2.1 10.99.2.2 || fail "link public - nat2"
  # Private LANs behind each NAT.
  link_ns "$nat1" lan "$LAN1" eth0 10.99.11.1 10.99.11.2 || fail "link nat1 - lan1"
  link_ns "$nat2" lan "$LAN2" eth0 10.99.12.1 10.99.12.2 || fail "link nat2 - lan2"
  ip -n "$nat1" route add default via 10.99.1.1 || fail "route nat1"
  ip -n "$nat2" route add default via 10.99.2.1 || fail "route nat2"
  ip -n "$LAN1" route add default via 10.99.11.1 || fail "route lan1"
  ip -n "$LAN2" route add default via 10.99.12.1 || fail "route lan2"
  nat_rules "$nat1" wan && nat_rules "$nat2" wan || skip "iptables cannot set up NAT in a namespace here"

  # Bound to every address: the route to each NAT would pick the source 10.99.1.1 or 10.99.2.1, so
  # the relay must send from the address the client sent to itself.
  RELAY_LISTEN=0.0.0.0
  RELAY_ADDR=10.99.0.1
  RELAY_ADDR_B=10.99.0.2
}

# ---- Run -----------------------------------------------------------------------------------------
[[ "$MODE" == netns ]] && setup_netns

mkdir -p "$WORK/relay" "$WORK/a" "$WORK/b"
in_ns "$PUB" "$RELAY_BIN" run --data "$WORK/relay" --listen "$RELAY_LISTEN" --udp-port 0 --tcp-ports 0 \
  >"$WORK/relay.log" 2>&1 &
RELAY_PID=$!
wait_line 10 "listening on UDP" "$WORK/relay.log" || fail "the relay did not start"
RELAY_PORT=$(sed -n 's/.*listening on UDP [0-9.]*:\([0-9]*\).*/\1/p' "$WORK/relay.log" | head -n 1)
[[ -n "$RELAY_PORT" ]] || fail "no relay port in the relay's log"
RELAY_KEY=$("$RELAY_BIN" key --data "$WORK/relay" | sed -n 's/^Public key: *//p')
[[ ${#RELAY_KEY} -eq 128 ]] || fail "tovik-relay key gave no public key"

# A pins the relay key on first contact and keeps it in its data folder; B is given the key.
in_ns "$LAN1" "$NETCLI_BIN" --relay "$RELAY_ADDR:$RELAY_PORT" --data "$WORK/a" --tcp-ports 0 --seconds 60 \
  >"$WORK/a.out" 2>"$WORK/a.err" &
A_PID=$!
wait_line 15 "^ID [0-9]\{9\}$" "$WORK/a.out" || fail "client A got no ID"
A_ID=$(sed -n 's/^ID //p' "$WORK/a.out" | head -n 1)

in_ns "$LAN2" "$NETCLI_BIN" --relay "$RELAY_ADDR_B:$RELAY_PORT" --relay-key "$RELAY_KEY" --data "$WORK/b" \
  --tcp-ports 0 --connect "$A_ID" --send $'hello from B\nCHECK 000 000' --seconds 60 >"$WORK/b.out" 2>"$WORK/b.err" &
B_PID=$!
wait_line 15 "^ID [0-9]\{9\}$" "$WORK/b.out" || fail "client B got no ID from the relay's second address"

wait_line 20 "^CHECK " "$WORK/b.out" || fail "client B's link did not come up"
wait_line 5 "^CHECK " "$WORK/a.out" || fail "client A's link did not come up"
# The line break in the message must not forge an event line of its own.
wait_line 5 "^MSG hello from B?CHECK 000 000$" "$WORK/a.out" || fail "the message did not arrive at A as one line"
[[ $(grep -c "^CHECK " "$WORK/a.out") -eq 1 ]] || fail "A printed more than one CHECK line"

A_CHECK=$(sed -n 's/^CHECK //p' "$WORK/a.out" | head -n 1)
B_CHECK=$(sed -n 's/^CHECK //p' "$WORK/b.out" | head -n 1)
[[ "$A_CHECK" =~ ^[0-9]{3}\ [0-9]{3}$ ]] || fail "A printed a malformed check number '$A_CHECK'"
[[ "$A_CHECK" == "$B_CHECK" ]] || fail "check numbers differ: A '$A_CHECK', B '$B_CHECK'"

grep -qi "^Key=$RELAY_KEY" "$WORK/a/Tovik.ini" || fail "A did not store the pinned relay key"

A_LINK=$(sed -n 's/^LINK //p' "$WORK/a.out" | head -n 1)
B_LINK=$(sed -n 's/^LINK //p' "$WORK/b.out" | head -n 1)
case "$A_LINK" in *" directly to "*) ;; *) fail "A's link is not direct: $A_LINK" ;; esac
case "$B_LINK" in *" directly to "*) ;; *) fail "B's link is not direct: $B_LINK" ;; esac
if [[ "$MODE" == netns ]]; then
  # Each side talks to the other NAT's public address: the holes were punched through both NATs.
  grep -q "^PEER 10\.99\.2\.2:[0-9]*$" "$WORK/a.out" || fail "A is not linked to NAT 2's public address"
  grep -q "^PEER 10\.99\.1\.2:[0-9]*$" "$WORK/b.out" || fail "B is not linked to NAT 1's public address"
fi

# Both end cleanly: B says BYE, A sees the partner leave.
kill -TERM "$B_PID"
wait "$B_PID"
B_RC=$?
B_PID=""
wait_line 5 "^DISCONNECTED$" "$WORK/a.out" || fail "A did not see B leave"
kill -TERM "$A_PID"
wait "$A_PID"
A_RC=$?
A_PID=""
[[ $B_RC -eq 0 ]] || fail "client B ended with exit code $B_RC"
[[ $A_RC -eq 0 ]] || fail "client A ended with exit code $A_RC"

echo "PASS ($MODE): check number $A_CHECK; A: $A_LINK; B: $B_LINK"
exit 0

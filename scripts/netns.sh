#!/bin/sh
# Network namespace for trying and testing network discovery without any
# traffic leaving this machine.
#
#   netns.sh up [--peer] [NAME]    create namespace NAME (default updater-test)
#   netns.sh down [NAME]           remove it (and its peer namespace)
#   netns.sh exec NAME COMMAND...  run COMMAND inside NAME
#   netns.sh status [NAME]         show its interfaces and routes
#
# "up" gives NAME a veth pair: its end inside NAME has 198.18.0.2/24, the
# other end 198.18.0.1/24. Without --peer the other end stays in the root
# namespace (for a virtual module started by hand, bound to 198.18.0.1);
# with --peer it goes into a second namespace NAME-peer, so that both sides
# of a test run fenced in. Inside, the only interfaces are loopback and the
# veth, and multicast (224.0.0.0/4) is routed through the veth, so a
# discovery run there reaches the other end and nothing else.
#
# Environment: NETNS_INSIDE_ADDR and NETNS_OUTSIDE_ADDR override the two
# addresses (keep them in 198.18.0.0/15, the range reserved for testing).
# Needs root (ip netns).
set -eu

INSIDE=${NETNS_INSIDE_ADDR:-198.18.0.2}
OUTSIDE=${NETNS_OUTSIDE_ADDR:-198.18.0.1}

usage() {
  sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

die() {
  echo "netns.sh: $*" >&2
  exit 1
}

# Interface names are limited to 15 characters: derive short ones from NAME.
veth_names() {
  tag=$(printf '%s' "$1" | cksum | cut -c1-8)
  HOST_IF="vh$tag"
  NS_IF="vn$tag"
}

need_root() {
  [ "$(id -u)" -eq 0 ] || die "must run as root (ip netns needs it)"
  command -v ip >/dev/null 2>&1 || die "the ip command (iproute2) is missing"
}

exists() {
  ip netns list | awk '{print $1}' | grep -qx "$1"
}

# The addresses must not clash with anything the root namespace uses.
check_range() {
  for addr in "$INSIDE" "$OUTSIDE"; do
    case "$addr" in
      198.18.* | 198.19.*) ;;
      *) die "$addr is outside 198.18.0.0/15" ;;
    esac
    if ip -4 addr show | grep -q "inet $addr/"; then
      die "$addr is already assigned in the root namespace"
    fi
  done
  net=$(echo "$OUTSIDE" | cut -d. -f1-3).0/24
  if [ -n "$(ip -4 route show "$net")" ]; then
    die "$net is already routed in the root namespace (see ip route)"
  fi
}

up() {
  peer=0
  if [ "${1:-}" = "--peer" ]; then
    peer=1
    shift
  fi
  name=${1:-updater-test}
  need_root
  exists "$name" && die "namespace $name exists already (netns.sh down $name)"
  [ "$peer" -eq 1 ] || check_range
  veth_names "$name"
  ip netns add "$name"
  trap 'ip netns del "$name" 2>/dev/null; ip netns del "$name-peer" 2>/dev/null; ip link del "$HOST_IF" 2>/dev/null' EXIT
  ip link add "$HOST_IF" type veth peer name "$NS_IF"
  ip link set "$NS_IF" netns "$name"
  ip -n "$name" link set lo up
  ip -n "$name" addr add "$INSIDE/24" dev "$NS_IF"
  ip -n "$name" link set "$NS_IF" up
  ip -n "$name" route add 224.0.0.0/4 dev "$NS_IF"
  if [ "$peer" -eq 1 ]; then
    exists "$name-peer" && die "namespace $name-peer exists already"
    ip netns add "$name-peer"
    ip link set "$HOST_IF" netns "$name-peer"
    ip -n "$name-peer" link set lo up
    ip -n "$name-peer" addr add "$OUTSIDE/24" dev "$HOST_IF"
    ip -n "$name-peer" link set "$HOST_IF" up
    ip -n "$name-peer" route add 224.0.0.0/4 dev "$HOST_IF"
  else
    ip addr add "$OUTSIDE/24" dev "$HOST_IF"
    ip link set "$HOST_IF" up
  fi
  trap - EXIT
  echo "namespace $name: $NS_IF $INSIDE inside; other end $HOST_IF $OUTSIDE" \
    "$([ "$peer" -eq 1 ] && echo "in $name-peer" || echo "in the root namespace")"
}

down() {
  name=${1:-updater-test}
  need_root
  veth_names "$name"
  found=0
  if exists "$name-peer"; then
    ip netns del "$name-peer"
    found=1
  fi
  if exists "$name"; then
    ip netns del "$name"
    found=1
  fi
  # Deleting the namespace removes the pair; a leftover host end goes too.
  ip link del "$HOST_IF" 2>/dev/null || true
  [ "$found" -eq 1 ] || echo "netns.sh: no namespace $name" >&2
}

run() {
  [ $# -ge 2 ] || usage
  name=$1
  shift
  need_root
  exists "$name" || die "no namespace $name (netns.sh up $name)"
  exec ip netns exec "$name" "$@"
}

status() {
  name=${1:-updater-test}
  need_root
  exists "$name" || die "no namespace $name"
  ip -n "$name" -br addr
  ip -n "$name" route
  if exists "$name-peer"; then
    echo "peer $name-peer:"
    ip -n "$name-peer" -br addr
  fi
}

[ $# -ge 1 ] || usage
command=$1
shift
case "$command" in
  up) up "$@" ;;
  down) down "$@" ;;
  exec) run "$@" ;;
  status) status "$@" ;;
  *) usage ;;
esac

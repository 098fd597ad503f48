#!/bin/sh
# The virtual module answers a multicast discovery request across a veth pair
# between two network namespaces; nothing is sent outside them.
#   discovery_netns.sh VIRTUAL_MODULE NETNS_SCRIPT
# Exits 77 (skipped) when not root.
set -u
VM=$1
NETNS=$2
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root for network namespaces"
  exit 77
fi
NAME="simdisc$$"
OUT=$(mktemp)
cleanup() {
  [ -n "${PID:-}" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
  sh "$NETNS" down "$NAME" >/dev/null 2>&1
  rm -f "$OUT"
}
trap cleanup EXIT
sh "$NETNS" up --peer "$NAME" >/dev/null || { echo "cannot make namespaces"; exit 1; }

ip netns exec "$NAME-peer" "$VM" --discovery --bind 0.0.0.0 --serial 12345678 --model 19 \
  --address 4 --heartbeat 0 >"$OUT" 2>&1 &
PID=$!
i=0
while [ ! -s "$OUT" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
PORT=$(awk '/^tcp/ {print $3}' "$OUT")
[ -n "$PORT" ] || { echo "virtual_module did not start:"; cat "$OUT"; exit 1; }

ip netns exec "$NAME" python3 - "$PORT" <<'PY'
import socket, struct, sys
port = int(sys.argv[1])
r = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
r.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
r.bind(("0.0.0.0", 9889))
r.settimeout(2)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("198.18.0.2"))
s.sendto(bytes([1] + [0] * 15), ("232.2.2.2", 9888))
data, sender = r.recvfrom(64)
assert len(data) == 16, data
address, tcp, serial = data[1], struct.unpack_from("<H", data, 2)[0], struct.unpack_from("<I", data, 4)[0]
assert (address, tcp, serial, data[12]) == (4, port, 0x12345678, 19), data.hex()
assert sender[0] == "198.18.0.1", sender
# The advertised port takes the link: a sync request is answered.
c = socket.create_connection((sender[0], tcp), timeout=2)
c.sendall(bytes([0xAD, 0x00]))
assert c.recv(2) == bytes([4, 0]), "no sync answer"
print("discovery reply", data.hex(), "from", sender[0])
PY

#!/bin/sh
# Makes a throw-away test CA and a server certificate for 127.0.0.1 and
# localhost signed by it, for the local update server's HTTPS mode:
#   DIR/ca.pem DIR/ca.key DIR/server.pem DIR/server.key
# Run it at test time into a temporary directory; nothing it makes is kept.
set -eu
dir="${1:?usage: make_test_ca.sh DIR}"
mkdir -p "$dir"
cd "$dir"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 \
  -keyout ca.key -out ca.pem -subj "/CN=Updater Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null

openssl req -newkey rsa:2048 -nodes \
  -keyout server.key -out server.csr -subj "/CN=localhost" 2>/dev/null

cat > server.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT

openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
  -days 2 -out server.pem -extfile server.ext 2>/dev/null
rm -f server.csr server.ext ca.srl
chmod 600 ca.key server.key

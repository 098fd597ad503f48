#!/usr/bin/env python3
"""Local update server for tests, benchmarks and demos.

Serves the tool's six update-server requests at /cgi/u from a catalog
directory, over HTTP or (with --cert/--key) HTTPS, on 127.0.0.1 and a free
port. Prints the base URL as its first line on stdout, then serves until
killed. See README.md next to this file for the catalog layout and the fault
modes.
"""

import argparse
import base64
import http.server
import os
import re
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse
import zlib

BASE_PATH = "/cgi/u"
OPS = ("hi", "qu", "bird", "builds", "fix", "ent_jwt")
FAULTS = ("http404", "http500", "notok", "empty-body", "empty",
          "truncated-base64", "invalid-base64", "slow", "cut", "drop")
SERIAL_RE = re.compile(r"^[0-9A-F]{8}$")
BIRD_SIGNATURE = b"bird"
BLOCK_INFO = 4
# Largest payload we inflate; real BIRD files are far smaller.
MAX_PAYLOAD = 64 * 1024 * 1024


def log(text):
    sys.stderr.write("update_server: %s\n" % text)
    sys.stderr.flush()


class BirdError(Exception):
    pass


def bird_version(path):
    """Returns the version text of the identification block of a BIRD file."""
    with open(path, "rb") as f:
        raw = f.read()
    if len(raw) <= 6 or raw[:4] != BIRD_SIGNATURE:
        raise BirdError("not a BIRD file")
    inflater = zlib.decompressobj()
    try:
        payload = inflater.decompress(raw[6:], MAX_PAYLOAD)
    except zlib.error as e:
        raise BirdError("cannot inflate payload: %s" % e)
    if len(payload) < 8:
        raise BirdError("payload too short")
    (count,) = struct.unpack(">I", payload[:4])
    pos = 4
    # The last four bytes are the file checksum.
    end = len(payload) - 4
    for _ in range(count):
        if pos + 5 > end:
            break
        kind = payload[pos] & 0x1F
        (length,) = struct.unpack(">I", payload[pos + 1:pos + 5])
        data = pos + 5
        if data + length > end:
            raise BirdError("block runs past the end of the payload")
        if kind == BLOCK_INFO:
            if length < 64:
                raise BirdError("identification block too short")
            field = payload[data + 16:data + 31]
            return field.split(b" ", 1)[0].split(b"\0", 1)[0].decode("latin-1")
        pos = data + length
    raise BirdError("no identification block")


class Catalog:
    """Read-only view of the catalog directory, read afresh on every call."""

    def __init__(self, root):
        self.root = root

    def device_dir(self, serial_text):
        serial = serial_text.strip().upper()
        if not SERIAL_RE.match(serial):
            return None
        path = os.path.join(self.root, "devices", serial)
        return path if os.path.isdir(path) else None

    def builds(self, device_dir):
        """Returns [(build number, version text)] in ascending build order."""
        found = []
        for name in os.listdir(device_dir):
            stem, ext = os.path.splitext(name)
            if ext != ".bird" or not stem.isdigit():
                continue
            try:
                version = bird_version(os.path.join(device_dir, name))
            except (OSError, BirdError) as e:
                log("skipping %s: %s" % (os.path.join(device_dir, name), e))
                continue
            found.append((int(stem), version))
        found.sort()
        return found

    def latest(self, device_dir):
        """Returns (build, version) that a device should run, or None."""
        builds = self.builds(device_dir)
        latest_file = os.path.join(device_dir, "latest")
        if os.path.isfile(latest_file):
            with open(latest_file) as f:
                wanted = f.read().strip()
            for build, version in builds:
                if str(build) == wanted:
                    return build, version
            log("latest names build %r, which is not in %s" % (wanted, device_dir))
            return None
        return builds[-1] if builds else None

    def fingerprint_entry(self, words):
        path = os.path.join(self.root, "fingerprints")
        if not os.path.isfile(path):
            return None
        with open(path) as f:
            for line in f:
                parts = line.split()
                if not parts or parts[0].startswith("#") or len(parts) < 5:
                    continue
                try:
                    entry = [int(p, 16) for p in parts[:4]]
                    serial = int(parts[4], 16)
                    build = int(parts[5]) if len(parts) > 5 else None
                except ValueError:
                    log("bad fingerprint line: %r" % line)
                    continue
                if entry == words:
                    return serial, build
        return None


class Answer:
    def __init__(self, lines, status=200):
        self.status = status
        self.lines = lines

    def body(self):
        return "".join(line + "\n" for line in self.lines).encode("latin-1")


def error(reason):
    return Answer(["error " + reason])


def answer_request(catalog, op, params):
    def param(name):
        return params.get(name, [""])[0]

    if op == "hi":
        return Answer(["ok"])
    if op == "fix":
        words = param("fp").split()
        try:
            values = [int(w, 16) for w in words]
        except ValueError:
            values = []
        if len(values) != 4:
            return error("bad fingerprint")
        entry = catalog.fingerprint_entry(values)
        if entry is None:
            return error("unknown fingerprint")
        serial, build = entry
        if build is None:
            device = catalog.device_dir("%08X" % serial)
            latest = catalog.latest(device) if device else None
            if latest is None:
                return error("no builds")
            build = latest[0]
        return Answer(["ok", "%08X" % serial, str(build)])
    if op not in OPS:
        return error("unknown request")

    device = catalog.device_dir(param("sn"))
    if device is None:
        return error("unknown device")
    if op == "qu":
        latest = catalog.latest(device)
        if latest is None:
            return error("no builds")
        return Answer(["ok", str(latest[0]), latest[1]])
    if op == "builds":
        return Answer(["ok"] + ["%d;%s" % b for b in catalog.builds(device)])
    if op == "bird":
        build = param("bld").strip()
        path = os.path.join(device, build + ".bird")
        if not build.isdigit() or not os.path.isfile(path):
            return error("unknown build")
        with open(path, "rb") as f:
            text = base64.b64encode(f.read()).decode("ascii")
        return Answer(["ok", text])
    if op == "ent_jwt":
        path = os.path.join(device, "token")
        if not os.path.isfile(path):
            return error("no token")
        with open(path) as f:
            token = f.readline().strip()
        return Answer(["ok", token])
    return error("unknown request")


class FaultPlan:
    """Decides, thread-safely, which requests misbehave."""

    def __init__(self, mode, op, times):
        self.mode = mode
        self.op = op
        self.remaining = times
        self.lock = threading.Lock()

    def take(self, op):
        if self.mode is None or (self.op is not None and self.op != op):
            return None
        if self.mode in ("truncated-base64", "invalid-base64") and op != "bird":
            return None
        with self.lock:
            if self.remaining is not None:
                if self.remaining <= 0:
                    return None
                self.remaining -= 1
        return self.mode


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "LocalUpdateServer/1"

    def log_message(self, fmt, *args):
        log("%s %s" % (self.address_string(), fmt % args))

    def do_GET(self):
        srv = self.server
        srv.record(self.path)
        url = urllib.parse.urlsplit(self.path)
        if url.path != BASE_PATH:
            self.send_body(404, b"not found\n")
            return
        params = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        op = params.get("op", [""])[0]
        fault = srv.faults.take(op)
        if fault == "drop":
            self.close_connection = True
            return
        if fault == "slow":
            time.sleep(srv.delay)
        if fault == "http404":
            self.send_body(404, b"not found\n")
            return
        if fault == "http500":
            self.send_body(500, b"internal error\n")
            return
        if fault == "empty-body":
            self.send_body(200, b"")
            return

        answer = answer_request(srv.catalog, op, params)
        if answer.lines and answer.lines[0] == "ok":
            if fault == "empty":
                answer = Answer(["ok"])
            elif fault == "notok":
                answer = Answer(["error"] + answer.lines[1:])
            elif fault == "truncated-base64" and len(answer.lines) > 1:
                answer.lines[1] = answer.lines[1][:-1]
            elif fault == "invalid-base64" and len(answer.lines) > 1:
                text = answer.lines[1]
                mid = len(text) // 2
                answer.lines[1] = text[:mid] + "*" * min(4, len(text) - mid) + text[mid + 4:]
        elif fault == "notok":
            answer = Answer(["error"])
        body = answer.body()
        if fault == "cut":
            self.send_response(answer.status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        self.send_body(answer.status, body)

    def send_body(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    # Bound each connection so that a client that stalls cannot hold a thread forever.
    connection_timeout = 120

    def __init__(self, args):
        super().__init__(("127.0.0.1", 0), Handler)
        self.catalog = Catalog(args.catalog)
        self.faults = FaultPlan(args.fault, args.fault_op, args.fault_times)
        self.delay = args.delay
        self.tls = None
        if args.cert:
            self.tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            self.tls.load_cert_chain(args.cert, args.key)
        self.request_log = open(args.request_log, "a") if args.request_log else None
        self.log_lock = threading.Lock()

    def record(self, target):
        if self.request_log is None:
            return
        with self.log_lock:
            self.request_log.write(target + "\n")
            self.request_log.flush()

    def finish_request(self, request, client_address):
        # Runs on the connection's own thread: the TLS handshake happens here so
        # that a client that never completes it blocks nobody else.
        request.settimeout(self.connection_timeout)
        if self.tls is not None:
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError) as e:
                log("%s TLS handshake failed: %s" % (client_address[0], e))
                return
        try:
            super().finish_request(request, client_address)
        except (ConnectionError, socket.timeout, ssl.SSLError) as e:
            log("%s connection ended: %s" % (client_address[0], e))

    def handle_error(self, request, client_address):
        log("%s request failed: %s" % (client_address[0], sys.exc_info()[1]))


def parse_args(argv):
    p = argparse.ArgumentParser(description="Local update server")
    p.add_argument("--catalog", required=True, help="catalog directory")
    p.add_argument("--cert", help="PEM certificate: serve HTTPS")
    p.add_argument("--key", help="PEM private key of --cert")
    p.add_argument("--url-host", default="127.0.0.1", help="host name in the printed URL")
    p.add_argument("--request-log", help="append every request target to this file")
    p.add_argument("--fault", choices=FAULTS, help="misbehave in this way")
    p.add_argument("--fault-op", choices=OPS, help="misbehave only for this request kind")
    p.add_argument("--fault-times", type=int, help="misbehave only for the first N requests")
    p.add_argument("--delay", type=float, default=5.0, help="seconds a slow answer waits")
    args = p.parse_args(argv)
    if bool(args.cert) != bool(args.key):
        p.error("--cert and --key go together")
    if not os.path.isdir(args.catalog):
        p.error("catalog directory not found: %s" % args.catalog)
    return args


def main(argv):
    args = parse_args(argv)
    server = Server(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    port = server.server_address[1]
    scheme = "https" if server.tls else "http"
    sys.stdout.write("%s://%s:%d%s\n" % (scheme, args.url_host, port, BASE_PATH))
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.5)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

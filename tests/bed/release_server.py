#!/usr/bin/env python3
"""A small HTTPS release site for the test bed (loopback only).

Ports: 443 serves the official certificate (or, while <bed>/wrong-name
exists, the one for another name), 8443 a certificate for another name,
9443 one from an untrusted CA, 10443 the official certificate over TLS 1.1
only. Files come from <bed>/docroot. Per path,
<bed>/rules.json (re-read on every request) or the query string can ask for:
  status=N      answer N instead of 200
  nolength=1    no Content-Length; the body ends when the connection closes
  chunked=1     a chunked body (no Content-Length), ended by its last chunk
  cut=K         announce the full length (or send chunks) but close after K bytes
  header=Name:value  one more response header
  file=PATH     serve the file published at PATH instead
  norange=1     ignore a Range header (answer 200 with the whole body)
  content_range=TEXT  send this Content-Range with a 206 instead of the true one
  etag=TEXT     name this ETag (and match If-Range against it) instead of the true one
  extra=K       K bytes more after the body (or the range), counted in its Content-Length
  length=TEXT   send this Content-Length instead of the true one
Every file has a strong ETag (a hash of its bytes), and a Range of one span
("bytes=N-" or "bytes=N-M") gets a 206 with that span, unless If-Range
names another ETag (then the whole body, 200); a span past the end, 416.
  delay_ms=D    wait D ms before each chunk (chunk=C bytes, default 16384)
  burst=1       every chunk (with chunked=1, every chunk's frame and the last
                chunk) in one write
  drip_ms=D     send the body one byte every D ms
  silent=1      read the request, then never answer (until the client hangs up)
  redirect=URL  answer 302 (or status=N) with that Location
  endless=1     a body that never ends (no Content-Length)
  wait_ms=D     wait D ms before answering at all
  trickle_headers=D  the status line and then header lines without end, one
                byte every D ms
  continues=D   "100 Continue" interim answers without end, one every D ms
  endless_chunk_size=D  a chunked body whose first chunk-size line never ends,
                one digit every D ms
  hold=NAME     read the request, then answer only once <bed>/release-NAME
                exists (a test releases it after it has seen what it waits for);
                with hold_at=K, send K bytes of the body first
  sequence=[{...}, ...]  the n-th request of the path takes the n-th rules
A trickle lasts for_ms (default 150000) and then the connection is closed.
Port 7443 relays to 443, passing what the server sends one byte every 200 ms,
so a TLS handshake through it never completes in time.
Generated bodies: /bytes/N is N bytes of a fixed pattern (byte i = i*31+7).
The mirror host (mirror.example) is a site of its own on 127.0.0.3:443, its
files, rules and logs named with "-mirror" (docroot-mirror/,
rules-mirror.json, requests-mirror.log, sent-mirror.log).
Every request is appended as one JSON line to <bed>/requests.log (with the
client's port: requests of one connection share it), and so is
every TLS handshake for the hostile host (evil.example, served on 443 with a
certificate from the test CA). Once an answer ends, <bed>/sent.log gets a
line {"sent": bytes of body written, "of": path}.
"""
import hashlib
import http.server
import json
import os
import socket
import ssl
import sys
import threading
import time
import urllib.parse

from bed import forward_in_background

BED = os.environ["TAVRO_BED_DIR"]
DOCROOT = os.path.join(BED, "docroot")
LOG_LOCK = threading.Lock()
HOSTILE_HOST = "evil.example"


def log_entry(entry, path=None, site=""):
    """Logs what a connection saw; with `path`, returns how often that path
    was asked for, this request included, counted in the same step, so that
    requests arriving at once each get a place of their own in a sequence."""
    with LOG_LOCK:
        times = times_requested(path, site) + 1 if path is not None else 0
        with open(os.path.join(BED, "requests%s.log" % site), "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")
    return times


def pattern_bytes(count):
    return bytes((i * 31 + 7) & 0xFF for i in range(256)) * (count // 256) + \
        bytes((i * 31 + 7) & 0xFF for i in range(count % 256))


def load_rules(path, times, site=""):
    try:
        with open(os.path.join(BED, "rules%s.json" % site), encoding="utf-8") as f:
            rules = dict(json.load(f).get(path, {}))
    except FileNotFoundError:
        return {}
    if "sequence" in rules:
        sequence = rules.pop("sequence")
        rules.update(sequence[min(times, len(sequence)) - 1])
    return rules


def times_requested(path, site=""):
    """How often the path was asked for before; under LOG_LOCK."""
    try:
        with open(os.path.join(BED, "requests%s.log" % site), encoding="utf-8") as f:
            return sum(1 for line in f if urllib.parse.unquote(
                urllib.parse.urlsplit(json.loads(line).get("path", "")).path) == path)
    except FileNotFoundError:
        return 0


def wait_for_release(name):
    released = os.path.join(BED, "release-" + str(name))
    while not os.path.exists(released):
        time.sleep(0.05)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TAVROTestBed/1.0"

    def log_message(self, *args):
        pass

    def setup(self):
        # The TLS handshake happens here, in the connection's own thread: in
        # the accept loop, one client that stalls its handshake (the slow
        # relay) would keep every other client waiting.
        self.request.do_handshake()
        super().setup()

    def record(self, path):
        """Logs the request; how often its path was asked for, this time included."""
        return log_entry({"port": self.server.server_address[1], "method": self.command, "path": self.path,
                          "headers": {k: v for k, v in self.headers.items()}, "client": self.client_address[1]},
                         path, self.server.site)

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        rules = load_rules(path, self.record(path), self.server.site)
        for key, values in urllib.parse.parse_qs(url.query).items():
            rules[key] = values[-1]

        if str(rules.get("silent", "0")) not in ("0", ""):
            # Never answer; the thread ends when the client hangs up.
            try:
                while self.connection.recv(4096):
                    pass
            except (OSError, ssl.SSLError):
                pass
            self.close_connection = True
            return
        if "hold" in rules and "hold_at" not in rules:
            wait_for_release(rules["hold"])
        if "wait_ms" in rules:
            time.sleep(int(rules["wait_ms"]) / 1000.0)
        for trickle in ("trickle_headers", "continues", "endless_chunk_size"):
            if trickle in rules:
                self.send_trickle(trickle, int(rules[trickle]) / 1000.0, int(rules.get("for_ms", 150000)) / 1000.0)
                return
        if "redirect" in rules:
            rules.setdefault("status", 302)
        if str(rules.get("endless", "0")) not in ("0", ""):
            self.send_endless()
            return

        status = int(rules.get("status", 200))
        body = None
        served = rules.get("file", path)
        if status == 200:
            if served.startswith("/bytes/"):
                body = pattern_bytes(int(served[len("/bytes/"):]))
            else:
                docroot = DOCROOT + self.server.site
                local = os.path.normpath(os.path.join(docroot, served.lstrip("/")))
                if local.startswith(docroot + os.sep) and os.path.isfile(local):
                    with open(local, "rb") as f:
                        body = f.read()
                else:
                    status = 404
        etag = content_range = None
        if body is not None:
            etag = rules.get("etag", '"%s"' % hashlib.sha256(body).hexdigest()[:16])
            status, body, content_range = self.range_of(body, etag, rules)
            if body is not None and "extra" in rules:
                body += pattern_bytes(int(rules["extra"]))
        if body is None:
            body = ("%d\n" % status).encode()

        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if etag:
            self.send_header("ETag", etag)
            self.send_header("Accept-Ranges", "bytes")
        if content_range:
            self.send_header("Content-Range", rules.get("content_range", content_range))
        if "redirect" in rules:
            self.send_header("Location", rules["redirect"])
        if "header" in rules:
            name, _, value = rules["header"].partition(":")
            self.send_header(name, value)
        nolength = str(rules.get("nolength", "0")) not in ("0", "")
        chunked = str(rules.get("chunked", "0")) not in ("0", "")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif nolength:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(rules.get("length", len(body))))
        self.end_headers()

        cut = int(rules["cut"]) if "cut" in rules else None
        delay = int(rules.get("delay_ms", 0)) / 1000.0
        chunk = int(rules.get("chunk", 16384))
        if "drip_ms" in rules:
            delay, chunk = int(rules["drip_ms"]) / 1000.0, 1
        to_send = body if cut is None else body[:cut]
        hold_at = int(rules["hold_at"]) if "hold_at" in rules else None
        self.sent = 0
        try:
            if hold_at is not None:
                self.wfile.write(to_send[:hold_at])
                self.wfile.flush()
                self.sent += len(to_send[:hold_at])
                wait_for_release(rules["hold"])
                to_send = to_send[hold_at:]
            burst = [] if str(rules.get("burst", "0")) not in ("0", "") else None
            for start in range(0, len(to_send), chunk):
                if delay:
                    time.sleep(delay)
                piece = to_send[start:start + chunk]
                frame = b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece
                if burst is not None:
                    burst.append(frame)
                    continue
                self.wfile.write(frame)
                self.wfile.flush()
                self.sent += len(piece)
            if chunked and cut is None:
                if burst is not None:
                    burst.append(b"0\r\n\r\n")
                else:
                    self.wfile.write(b"0\r\n\r\n")
                    self.wfile.flush()
            if burst:
                self.wfile.write(b"".join(burst))
                self.wfile.flush()
                self.sent += len(to_send)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True
            return
        finally:
            with LOG_LOCK, open(os.path.join(BED, "sent%s.log" % self.server.site), "a", encoding="utf-8") as f:
                f.write(json.dumps({"sent": self.sent, "of": path}) + "\n")
        if cut is not None:
            # Drop the connection in the middle of the announced body.
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


    def range_of(self, body, etag, rules):
        """The status, body and Content-Range that answer the request's
        Range, if it asks for one this server gives."""
        asked = self.headers.get("Range", "")
        if_range = self.headers.get("If-Range")
        if not asked.startswith("bytes=") or rules.get("norange") or (if_range and if_range != etag):
            return 200, body, None
        first, _, last = asked[len("bytes="):].partition("-")
        if not first.isdigit() or "," in last or (last and not last.isdigit()):
            return 200, body, None
        first = int(first)
        last = min(int(last), len(body) - 1) if last else len(body) - 1
        if first >= len(body) or first > last:
            return 416, None, "bytes */%d" % len(body)
        return 206, body[first:last + 1], "bytes %d-%d/%d" % (first, last, len(body))

    def send_trickle(self, kind, interval, lasting):
        """Bytes that never make a whole answer, one at a time, for `lasting`
        seconds; then the connection is closed."""
        self.close_connection = True
        if kind == "trickle_headers":
            first, repeated = b"HTTP/1.1 200 OK\r\n", b"X-Trickle: a\r\n"
        elif kind == "continues":
            first, repeated = b"", b"HTTP/1.1 100 Continue\r\n\r\n"
        else:
            first, repeated = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", b"0"
        end = time.monotonic() + lasting
        try:
            if kind != "trickle_headers":
                self.wfile.write(first)
                self.wfile.flush()
                first = b""
            data = first
            while time.monotonic() < end:
                if not data:
                    data = repeated
                if kind == "continues":
                    self.wfile.write(data)
                    data = b""
                else:
                    self.wfile.write(data[:1])
                    data = data[1:]
                self.wfile.flush()
                time.sleep(interval)
        except (OSError, ssl.SSLError):
            pass

    def send_endless(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        block = pattern_bytes(16384)
        try:
            while True:
                self.wfile.write(block)
        except (OSError, ssl.SSLError):
            pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # failed handshakes are part of the tests


def tls_context(cert, newest=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if newest is not None:
        # Only this old version; OpenSSL's default level refuses it.
        context.minimum_version = context.maximum_version = newest
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    context.load_cert_chain(os.path.join(BED, "certs", cert + ".pem"), os.path.join(BED, "certs", cert + ".key"))
    return context


def serve(port, cert, newest=None, address="127.0.0.1", site=""):
    context = tls_context(cert, newest)
    if port == 443 and not site:
        hostile = tls_context("hostile")
        wrong_name = tls_context("wrong-name")

        def choose(connection, name, _context):
            if name == HOSTILE_HOST:
                log_entry({"port": port, "sni": name})
                connection.context = hostile
            elif os.path.exists(os.path.join(BED, "wrong-name")):
                connection.context = wrong_name

        context.sni_callback = choose
    server = Server((address, port), Handler)
    server.site = site
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def relay_slowly(client, lasting=150.0, interval=0.2):
    """Passes the client's bytes to the site at once and the site's back one
    byte at a time."""
    upstream = socket.create_connection(("127.0.0.1", 443))
    end = time.monotonic() + lasting
    forward_in_background(client, upstream)
    try:
        pending = b""
        upstream.settimeout(interval)
        while time.monotonic() < end:
            try:
                data = upstream.recv(4096)
                if not data and not pending:
                    break
                pending += data
            except socket.timeout:
                pass
            if pending:
                client.sendall(pending[:1])
                pending = pending[1:]
                time.sleep(interval)
    except OSError:
        pass
    for s in (client, upstream):
        try:
            s.close()
        except OSError:
            pass


def serve_slow_relay(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)

    def accept():
        while True:
            client, _ = listener.accept()
            log_entry({"port": port, "relayed": True})
            threading.Thread(target=relay_slowly, args=(client,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()


def main():
    os.makedirs(DOCROOT, exist_ok=True)
    os.makedirs(DOCROOT + "-mirror", exist_ok=True)
    serve(443, "official")
    serve(443, "mirror", address="127.0.0.3", site="-mirror")
    serve_slow_relay(7443)
    serve(8443, "wrong-name")
    serve(9443, "untrusted")
    serve(10443, "official", ssl.TLSVersion.TLSv1_1)
    with open(os.path.join(BED, "server.ready"), "w") as f:
        f.write("ready\n")
    sys.stdout.flush()
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()

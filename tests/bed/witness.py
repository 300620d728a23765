#!/usr/bin/env python3
"""A witness of the bed's own, speaking the C2SP tlog-witness protocol over
plain HTTP on loopback, so that the publishing side meets one as it would a
public witness:

  witness.py STATE_DIR PORT NAME KEY_FILE LOG_VERIFIER_KEY

POST /add-checkpoint with "old <size>", the consistency proof's hashes
(base64, one a line), a blank line and the checkpoint note. It keeps the
latest checkpoint it cosigned in STATE_DIR/<origin hash> (written before it
answers, renamed into place) and answers:
  200  its cosignature line ("— name base64(keyid || time || signature)")
  400  a request it cannot read, or a tree smaller than the one it holds
  403  a checkpoint the log's key does not sign
  404  a checkpoint of another log
  409  "old" is not the size it holds (the body: that size, text/x.tlog.size)
  422  a consistency proof that does not lead from its tree to the new one:
       a fork, which it never cosigns
Every answer is appended to STATE_DIR/requests.log as one JSON line.
  witness.py keys DIR NAME...  writes DIR/NAME.key (Ed25519, PEM) and prints
                               each one's cosignature verifier key"""
import hashlib
import http.server
import json
import os
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "scripts"))
import log_tree  # noqa: E402
import signed_note  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey  # noqa: E402

LOCK = threading.Lock()


def public_bytes(key):
    return key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)


def load_key(path):
    with open(path, "rb") as f:
        return serialization.load_pem_private_key(f.read(), None)


def verify_consistency(old_size, new_size, old_root, new_root, proof):
    """RFC 9162, 2.1.4.2."""
    if old_size == new_size:
        return not proof and old_root == new_root
    if old_size == 0:
        return not proof
    if old_size > new_size or not proof and old_size & (old_size - 1) != 0:
        return False
    path = ([old_root] if old_size & (old_size - 1) == 0 else []) + list(proof)
    fn, sn = old_size - 1, new_size - 1
    while fn & 1:
        fn, sn = fn >> 1, sn >> 1
    fr = sr = path[0]
    for c in path[1:]:
        if sn == 0:
            return False
        if fn & 1 or fn == sn:
            fr, sr = log_tree.node_hash(c, fr), log_tree.node_hash(c, sr)
            while not fn & 1 and fn != 0:
                fn, sn = fn >> 1, sn >> 1
        else:
            sr = log_tree.node_hash(sr, c)
        fn, sn = fn >> 1, sn >> 1
    return sn == 0 and fr == old_root and sr == new_root


class Witness(http.server.ThreadingHTTPServer):
    def __init__(self, state, port, name, key, log_key):
        super().__init__(("127.0.0.1", port), Handler)
        self.state, self.name, self.key = state, name, key
        self.log_name, self.log_public = signed_note.parse_verifier_key(log_key, signed_note.ED25519)

    def held(self, origin):
        """(size, root) of the latest checkpoint cosigned for the origin."""
        try:
            with open(self.state_path(origin), encoding="utf-8") as f:
                held = json.load(f)
            return held["size"], bytes.fromhex(held["root"])
        except FileNotFoundError:
            return 0, hashlib.sha256(b"").digest()

    def state_path(self, origin):
        return os.path.join(self.state, hashlib.sha256(origin.encode()).hexdigest()[:16] + ".json")

    def add_checkpoint(self, body):
        """(status, content type, answer) for a request's body."""
        head, blank, note = body.partition(b"\n\n")
        lines = head.decode("utf-8", errors="replace").split("\n")
        if not blank or not lines[0].startswith("old ") or not lines[0][4:].isdigit():
            return 400, "text/plain", b"no old size\n"
        old = int(lines[0][4:])
        proof = [signed_note.unb64(line) for line in lines[1:]]
        if any(h is None or len(h) != 32 for h in proof):
            return 400, "text/plain", b"a proof line that is not a hash\n"
        parts = signed_note.split_note(note)
        checkpoint = parts and signed_note.parse_checkpoint(parts[0])
        if not checkpoint:
            return 400, "text/plain", b"not a checkpoint\n"
        origin, size, new_root = checkpoint
        if origin != self.log_name:
            return 404, "text/plain", b"unknown log\n"
        if signed_note.signed_by(note, self.log_name, signed_note.ED25519, self.log_public) is None:
            return 403, "text/plain", b"not signed by the log's key\n"
        with LOCK:
            held_size, held_root = self.held(origin)
            if old != held_size:
                return 409, "text/x.tlog.size", b"%d\n" % held_size
            if size < held_size:
                return 400, "text/plain", b"a tree smaller than the one held\n"
            if not verify_consistency(held_size, size, held_root, new_root, proof):
                return 422, "text/plain", b"not consistent with the tree held\n"
            with open(self.state_path(origin) + ".new", "w", encoding="utf-8") as f:
                json.dump({"size": size, "root": new_root.hex()}, f)
            os.replace(self.state_path(origin) + ".new", self.state_path(origin))
        now = int(time.time())
        signature = self.key.sign(signed_note.cosignature_message(parts[0], now))
        return 200, "text/plain", signed_note.signature_line(self.name, signed_note.COSIGNATURE,
                                                              public_bytes(self.key), struct.pack(">Q", now) + signature)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path != "/add-checkpoint":
            status, kind, answer = 404, "text/plain", b"no such endpoint\n"
        else:
            status, kind, answer = self.server.add_checkpoint(body)
        with LOCK, open(os.path.join(self.server.state, "requests.log"), "a", encoding="utf-8") as f:
            f.write(json.dumps({"status": status, "old": body.split(b"\n", 1)[0].decode(errors="replace")}) + "\n")
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)


def make_keys(directory, names):
    os.makedirs(directory, exist_ok=True)
    for name in names:
        path = os.path.join(directory, name + ".key")
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(Ed25519PrivateKey.generate().private_bytes(
                    serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
        print(signed_note.verifier_key(name, signed_note.COSIGNATURE, public_bytes(load_key(path))))


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "keys":
        make_keys(sys.argv[2], sys.argv[3:])
        sys.exit(0)
    if len(sys.argv) != 6:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    state_dir, port, witness_name, key_file, log_verifier = sys.argv[1:]
    os.makedirs(state_dir, exist_ok=True)
    server = Witness(state_dir, int(port), witness_name, load_key(key_file), log_verifier)
    print("listening", flush=True)
    server.serve_forever()

#!/usr/bin/env python3
"""Writes the log proof that log_check_bench times: a manifest at the first
index of a log of SIZE entries (a million by default), its inclusion path
(the siblings' hashes are made up: only their count and the fold matter),
a checkpoint signed by a throwaway log key and cosigned by three throwaway
witnesses, and the build's settings for them:

  make_log_proof.py DIR [SIZE]   -> DIR/manifest.txt, DIR/bench.tlog-proof,
                                    DIR/settings.txt (log key, witnesses)"""
import hashlib
import os
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts"))
import log_tree  # noqa: E402
import signed_note  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey  # noqa: E402
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat  # noqa: E402

ORIGIN = "tavro.example/log"
WITNESSES = ["witness1.example", "witness2.example", "witness3.example"]
MANIFEST = (b"origin=https://tavro.example/updates/tavro-update.txt\nversion=2.1.0\ninstallerUrl=https://tavro.example/"
            b"releases/TAVRO-Static-Module-Setup-2.1.0.exe\ninstallerSha256=" + b"ab" * 32 +
            b"\nexpires=2027-01-08T00:00:00Z\nsequence=1000000\ninstallersize=73400320\nsignature=" + b"A" * 86 +
            b"==\n")


def key(label):
    return Ed25519PrivateKey.from_private_bytes(hashlib.sha256(b"bench key " + label.encode()).digest())


def raw(private):
    return private.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def main(directory, size):
    index = 0  # the longest path: 20 hashes for a million
    # The fold of RFC 9162, 2.1.3.2, from the leaf up with made-up siblings.
    path, node = [], log_tree.leaf_hash(MANIFEST)
    fn, sn = index, size - 1
    while sn > 0:
        sibling = hashlib.sha256(b"sibling %d" % len(path)).digest()
        if fn & 1 or fn == sn:
            node = log_tree.node_hash(sibling, node)
            while not fn & 1 and fn != 0:
                fn, sn = fn >> 1, sn >> 1
        else:
            node = log_tree.node_hash(node, sibling)
        path.append(sibling)
        fn, sn = fn >> 1, sn >> 1
    text = signed_note.checkpoint_text(ORIGIN, size, node)
    log = key(ORIGIN)
    note = text + b"\n" + signed_note.signature_line(ORIGIN, signed_note.ED25519, raw(log), log.sign(text))
    now = int(time.time())
    for name in WITNESSES:
        witness = key(name)
        note += signed_note.signature_line(name, signed_note.COSIGNATURE, raw(witness), struct.pack(">Q", now) +
                                           witness.sign(signed_note.cosignature_message(text, now)))
    proof = ("c2sp.org/tlog-proof@v1\nindex %d\n" % index + "".join(signed_note.b64(h) + "\n" for h in path)).encode()
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "bench.tlog-proof"), "wb") as f:
        f.write(proof + b"\n" + note)
    with open(os.path.join(directory, "manifest.txt"), "wb") as f:
        f.write(MANIFEST)
    with open(os.path.join(directory, "settings.txt"), "w") as f:
        f.write(signed_note.verifier_key(ORIGIN, signed_note.ED25519, raw(log)) + "\n" + " ".join(
            signed_note.verifier_key(n, signed_note.COSIGNATURE, raw(key(n))) + "" for n in WITNESSES) + "\n")
    print("proof_bytes=%d hashes=%d size=%d" % (len(proof) + 1 + len(note), len(path), size))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 1000000)

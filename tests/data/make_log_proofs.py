#!/usr/bin/env python3
"""Writes the log proofs the unit tests read (tests/data/log_proof/).

The installer only verifies Ed25519; the tests' proofs are signed here, once,
with Python's `cryptography`, by throwaway keys derived from their names, so
that running this again writes the same bytes. Run it only to change them:

    python3 tests/data/make_log_proofs.py

Each proof is for a log of eleven entries whose seventh (index 6) is
manifest.txt; the tests pass in the clock NOW and the keys of keys.txt.
"""
import hashlib
import pathlib
import struct
import sys

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "scripts"))
from log_tree import inclusion_path, leaf_hash, root  # noqa: E402
from signed_note import b64, checkpoint_text, key_id, verifier_key  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent / "log_proof"
ORIGIN = "log.tavro.example/manifests"
NOW = 1796774400  # 2026-12-09T00:00:00Z
HOUR, DAY = 3600, 86400
WITNESSES = ["witness1.example", "witness2.example", "witness3.example"]
STRANGER = "witness4.example"  # a witness the build does not know
ED25519, COSIGNATURE = 0x01, 0x04
MANIFEST = b"origin=https://tavro.example/updates/tavro-update.txt\nversion=2.1.0\nsequence=7\n"
ENTRIES = ([b"an earlier manifest %d\n" % i for i in range(6)] + [MANIFEST] +
           [b"a later manifest %d\n" % i for i in range(5)])


def private_key(label):
    return Ed25519PrivateKey.from_private_bytes(hashlib.sha256(b"throwaway test key " + label.encode()).digest())


def public_bytes(key):
    return key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def vkey(name, kind, key):
    return verifier_key(name, kind, public_bytes(key))


def log_line(name, key, text):
    return "\u2014 %s %s\n" % (name, b64(key_id(name, ED25519, public_bytes(key)) + key.sign(text.encode())))


def cosignature_line(name, key, text, time):
    message = b"cosignature/v1\ntime %d\n" % time + text.encode()
    signature = struct.pack(">Q", time) + key.sign(message)
    return "\u2014 %s %s\n" % (name, b64(key_id(name, COSIGNATURE, public_bytes(key)) + signature))


def checkpoint(size, origin=ORIGIN):
    return checkpoint_text(origin, size, root([leaf_hash(e) for e in ENTRIES[:size]])).decode()


def proof(hashes, note, index=6, extra=None):
    lines = ["c2sp.org/tlog-proof@v1"] + (["extra " + b64(extra)] if extra else []) + ["index %d" % index]
    return "\n".join(lines + [b64(h) for h in hashes]) + "\n\n" + note


def main():
    log = private_key(ORIGIN)
    impostor = private_key("an impostor of " + ORIGIN)
    witness = {name: private_key(name) for name in WITNESSES + [STRANGER]}
    text = checkpoint(11)
    later = checkpoint(12)
    signed = log_line(ORIGIN, log, text)
    inclusion = inclusion_path(6, [leaf_hash(e) for e in ENTRIES[:11]])

    def cosigned(names, time=NOW - HOUR, body=text):
        return "".join(cosignature_line(n, witness[n], body, time) for n in names)

    def note(signature=signed, cosignatures=None, body=text):
        return body + "\n" + signature + (cosigned(WITNESSES) if cosignatures is None else cosignatures)

    changed = list(inclusion)
    changed[1] = bytes([changed[1][0] ^ 0x01]) + changed[1][1:]
    other_origin = checkpoint(11, "log.other.example/manifests")
    proofs = {
        "valid": proof(inclusion, note()),
        "extra": proof(inclusion, note(), extra=b"opaque to the installer"),
        "two-witnesses": proof(inclusion, note(cosignatures=cosigned(["witness1.example", "witness3.example"]))),
        "one-witness": proof(inclusion, note(cosignatures=cosigned(["witness1.example"]))),
        "unknown-witness": proof(inclusion, note(cosignatures=cosigned(["witness1.example", STRANGER]))),
        "cosigned-later-checkpoint": proof(inclusion, note(
            cosignatures=cosigned(["witness1.example"]) + cosigned(["witness2.example"], body=later))),
        "future": proof(inclusion, note(
            cosignatures=cosigned(["witness1.example"]) + cosigned(["witness2.example"], NOW + DAY + HOUR))),
        "at-the-limits": proof(inclusion, note(
            cosignatures=cosigned(["witness1.example"], NOW + DAY) + cosigned(["witness2.example"], NOW - 90 * DAY))),
        "time-too-large": proof(inclusion, note(
            cosignatures=cosigned(["witness1.example"], 2**63) + cosigned(["witness2.example", "witness3.example"]))),
        "old": proof(inclusion, note(cosignatures=cosigned(WITNESSES, NOW - 91 * DAY))),
        "other-log-key": proof(inclusion, note(signature=log_line(ORIGIN, impostor, text))),
        "log-signature-of-later-checkpoint": proof(inclusion, note(signature=log_line(ORIGIN, log, later))),
        "other-origin": proof(inclusion, note(
            signature=log_line(ORIGIN, log, other_origin), cosignatures=cosigned(WITNESSES, body=other_origin),
            body=other_origin)),
        "later-tree-path": proof(inclusion_path(6, [leaf_hash(e) for e in ENTRIES[:12]]), note()),
        "hash-changed": proof(changed, note()),
    }
    OUT.mkdir(exist_ok=True)
    (OUT / "manifest.txt").write_bytes(MANIFEST)
    keys = ["# Made by make_log_proofs.py: throwaway keys.", "origin " + ORIGIN, "now %d" % NOW,
            "log " + vkey(ORIGIN, ED25519, log)]
    keys += ["witness " + vkey(n, COSIGNATURE, witness[n]) for n in WITNESSES]
    keys += ["stranger " + vkey(STRANGER, COSIGNATURE, witness[STRANGER])]
    (OUT / "keys.txt").write_text("\n".join(keys) + "\n")
    for name, text_of_proof in proofs.items():
        (OUT / (name + ".tlog-proof")).write_bytes(text_of_proof.encode())


if __name__ == "__main__":
    main()

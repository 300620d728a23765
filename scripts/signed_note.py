"""Signed notes, checkpoints and witness cosignatures as the C2SP formats
write them (c2sp.org/signed-note, tlog-checkpoint, tlog-cosignature), for
the publishing side: the log's checkpoint, the witnesses' answers and the
monitor. Ed25519 only, as the installer reads them
(release/trust/signed_note.h). Text is UTF-8 bytes throughout."""
import base64
import binascii
import hashlib
import struct

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

ED25519, COSIGNATURE = 0x01, 0x04
DASH = "\u2014 ".encode()


def b64(data):
    return base64.b64encode(data).decode()


def unb64(text):
    """Strict base64 of bytes or text; None for anything else."""
    try:
        return base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return None


def key_id(name, kind, public):
    return hashlib.sha256(name.encode() + b"\n" + bytes([kind]) + public).digest()[:4]


def verifier_key(name, kind, public):
    """"name+keyid+base64(type || key)", what a build setting takes."""
    return "%s+%s+%s" % (name, key_id(name, kind, public).hex(), b64(bytes([kind]) + public))


def parse_verifier_key(text, kind):
    """(name, 32-byte key) of a verifier key of `kind`; None when it is not
    one, or its key ID is not its key's."""
    parts = text.strip().split("+", 2)
    if len(parts) != 3 or not parts[0] or " " in parts[0]:
        return None
    raw = unb64(parts[2])
    if raw is None or len(raw) != 33 or raw[0] != kind or key_id(parts[0], kind, raw[1:]).hex() != parts[1]:
        return None
    return parts[0], raw[1:]


def signature_line(name, kind, public, signature_bytes):
    return DASH + ("%s %s\n" % (name, b64(key_id(name, kind, public) + signature_bytes))).encode()


def checkpoint_text(origin, size, root):
    return ("%s\n%d\n%s\n" % (origin, size, b64(root))).encode()


def parse_checkpoint(text):
    """(origin, size, root) of a checkpoint's text; None when malformed."""
    lines = text.decode("utf-8", errors="replace").split("\n")
    if len(lines) < 4 or lines[-1] != "" or not lines[0] or not lines[1].isdigit():
        return None
    root = unb64(lines[2])
    if root is None or len(root) != 32:
        return None
    return lines[0], int(lines[1]), root


def split_note(note):
    """(text, [(name, keyid, bytes)]) of a note; None when it has no blank
    line and signature lines after it."""
    at = note.rfind(b"\n\n")
    if at < 0 or not note.endswith(b"\n"):
        return None
    text, signatures = note[:at + 1], []
    for line in note[at + 2:-1].split(b"\n"):
        if not line.startswith(DASH):
            return None
        name, _, encoded = line[len(DASH):].decode("utf-8", errors="replace").partition(" ")
        raw = unb64(encoded)
        if raw is None or len(raw) < 5:
            return None
        signatures.append((name, raw[:4], raw[4:]))
    return text, signatures


def cosignature_message(text, time):
    return b"cosignature/v1\ntime %d\n" % time + text


def cosignature_time(line_bytes):
    return struct.unpack(">Q", line_bytes[:8])[0]


def verifies(public, signature, message):
    try:
        Ed25519PublicKey.from_public_bytes(public).verify(signature, message)
        return True
    except (InvalidSignature, ValueError):
        return False


def signed_by(note, name, kind, public):
    """Whether the note has a line of that key that verifies: for the log
    (ED25519) over its text, for a witness (COSIGNATURE) over the
    cosignature message with its time. Returns the time for a witness,
    True for the log, None when there is no such line that verifies."""
    parts = split_note(note)
    if parts is None:
        return None
    text, signatures = parts
    for line_name, line_id, line_bytes in signatures:
        if line_name != name or line_id != key_id(name, kind, public):
            continue
        if kind == ED25519 and len(line_bytes) == 64 and verifies(public, line_bytes, text):
            return True
        if kind == COSIGNATURE and len(line_bytes) == 72 and verifies(
                public, line_bytes[8:], cosignature_message(text, cosignature_time(line_bytes))):
            return cosignature_time(line_bytes)
    return None

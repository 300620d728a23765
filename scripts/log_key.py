#!/usr/bin/python3
"""The transparency log's key: Ed25519, on a PKCS#11 token of its own (not
the manifest key's: whoever holds one key alone can neither sign a manifest
nor log one), used through pkcs11-tool, which signs Ed25519 (OpenSSL's
pkcs11 engine cannot load such a key). Settings come from the environment:
  TAVRO_SIGN_PKCS11_MODULE  the token's PKCS#11 module (.so)
  TAVRO_SIGN_LOG_TOKEN      the log token's label
  TAVRO_SIGN_LOG_KEY_ID     the key's object ID in hex (pkcs11-tool finds a
                            key to sign with by its ID alone, not its label)
  TAVRO_SIGN_LOG_PIN_FILE   file whose first line is the token's PIN
The PIN reaches pkcs11-tool through its environment, never a command line.

  log_key.py generate ORIGIN   makes the key on the token and prints the
                               verifier key a build takes as TAVRO_LOG_KEY
                               (ORIGIN is its name: the checkpoints' first
                               line, such as tavro.example/log)

The token gives the public key only when the key is made: keep the line
printed (a public key read back later is not decoded by pkcs11-tool)."""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signed_note  # noqa: E402
from release_files import Failure  # noqa: E402

TOKEN_SECONDS = 120


class LogKey:
    """The log key on its token, checked against the build's TAVRO_LOG_KEY."""

    def __init__(self, verifier_key):
        parsed = signed_note.parse_verifier_key(verifier_key, signed_note.ED25519)
        if parsed is None:
            raise Failure("TAVRO_LOG_KEY '%s' is not a log's Ed25519 verifier key (name+keyid+base64)" % verifier_key)
        self.name, self.public = parsed
        self.module = os.environ.get("TAVRO_SIGN_PKCS11_MODULE", "")
        self.token = os.environ.get("TAVRO_SIGN_LOG_TOKEN", "")
        self.key_id = os.environ.get("TAVRO_SIGN_LOG_KEY_ID", "")
        self.pin_file = os.environ.get("TAVRO_SIGN_LOG_PIN_FILE", "")
        missing = [name for name, value in (("TAVRO_SIGN_PKCS11_MODULE", self.module),
                                            ("TAVRO_SIGN_LOG_TOKEN", self.token),
                                            ("TAVRO_SIGN_LOG_KEY_ID", self.key_id),
                                            ("TAVRO_SIGN_LOG_PIN_FILE", self.pin_file)) if not value]
        if missing:
            raise Failure("The log key is named by TAVRO_SIGN_PKCS11_MODULE, TAVRO_SIGN_LOG_TOKEN, "
                          "TAVRO_SIGN_LOG_KEY_ID and TAVRO_SIGN_LOG_PIN_FILE: %s not set." % ", ".join(missing))

    def sign(self, message):
        """The 64-byte signature of `message`, verified with the build's key
        before it is used: a token that holds another key is named here,
        not by every installer refusing the checkpoint."""
        signature = pkcs11(self.module, self.token, self.pin_file, ["--sign", "--mechanism", "EDDSA", "--id",
                                                                   self.key_id], message)
        if not signed_note.verifies(self.public, signature, message):
            raise Failure("The key %s on the token \"%s\" is not the log key of this build (TAVRO_LOG_KEY %s): its "
                          "checkpoints would be refused by every installer." % (self.key_id, self.token, self.name))
        return signature


def pkcs11(module, token, pin_file, args, data=b""):
    """pkcs11-tool's output file for `args` on `data`, logged in with the PIN."""
    try:
        with open(pin_file, "rb") as f:
            pin = f.readline().rstrip(b"\r\n").decode()
    except OSError as error:
        raise Failure("TAVRO_SIGN_LOG_PIN_FILE names %s, which cannot be read (%s)." % (pin_file, error.strerror)) \
            from None
    scratch = os.path.join(os.environ.get("TMPDIR", "/tmp"), "tavro-log-key.%d" % os.getpid())
    os.makedirs(scratch, mode=0o700, exist_ok=True)
    try:
        with open(os.path.join(scratch, "in"), "wb") as f:
            f.write(data)
        result = subprocess.run(["pkcs11-tool", "--module", module, "--token-label", token, "--login", "--pin",
                                 "env:TAVRO_LOG_PIN", "-i", os.path.join(scratch, "in"), "-o",
                                 os.path.join(scratch, "out")] + args, env=dict(os.environ, TAVRO_LOG_PIN=pin),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                errors="replace", timeout=TOKEN_SECONDS)
        if result.returncode != 0:
            raise Failure("pkcs11-tool could not use the log key %s on the token \"%s\": %s" % (
                " ".join(args), token, result.stdout.strip().splitlines()[-1:] or "no output"))
        if not os.path.exists(os.path.join(scratch, "out")):
            return result.stdout.encode()
        with open(os.path.join(scratch, "out"), "rb") as f:
            return f.read()
    finally:
        for name in ("in", "out"):
            if os.path.exists(os.path.join(scratch, name)):
                os.remove(os.path.join(scratch, name))
        os.rmdir(scratch)


def generate(origin):
    module, token = os.environ.get("TAVRO_SIGN_PKCS11_MODULE", ""), os.environ.get("TAVRO_SIGN_LOG_TOKEN", "")
    key_id, pin_file = os.environ.get("TAVRO_SIGN_LOG_KEY_ID", ""), os.environ.get("TAVRO_SIGN_LOG_PIN_FILE", "")
    said = pkcs11(module, token, pin_file, ["--keypairgen", "--key-type", "EC:edwards25519", "--id", key_id,
                                            "--label", "log"]).decode(errors="replace")
    # EC_POINT: a DER OCTET STRING (04 20) around the 32-byte key.
    point = re.search(r"EC_POINT: *0420([0-9a-f]{64})\b", said)
    if point is None:
        raise Failure("pkcs11-tool made no Ed25519 key on the token \"%s\": %s" % (token, said.strip()))
    return signed_note.verifier_key(origin, signed_note.ED25519, bytes.fromhex(point.group(1)))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "generate":
        print("usage: log_key.py generate ORIGIN", file=sys.stderr)
        sys.exit(2)
    try:
        print(generate(sys.argv[2]))
    except Failure as failure:
        print("log_key: %s" % failure, file=sys.stderr)
        sys.exit(1)

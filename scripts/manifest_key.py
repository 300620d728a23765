"""The release manifest's signing key: an ECDSA P-256 key on a PKCS#11
token (the one that holds the Authenticode key will do), reached through
OpenSSL's pkcs11 engine, and the public keys a build takes
(TAVRO_MANIFEST_KEY). Settings come from the environment:
  TAVRO_SIGN_PKCS11_MODULE  the token's PKCS#11 module (.so)
  TAVRO_SIGN_MANIFEST_KEY   the manifest key's pkcs11: URI (type=private)
  TAVRO_SIGN_PIN_FILE       file whose first line is the PIN; without it
                            the token asks for its PIN itself
The key never leaves the token; the PIN reaches openssl through a private
file, never a command line."""
import base64
import os
import re
import shutil
import subprocess
import tempfile
import urllib.parse

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature, encode_dss_signature

from release_files import Failure

TOKEN_SECONDS, PROMPT_SECONDS = 120, 600
# OpenSSL's pkcs11 engine, told which module to load.
ENGINE_CONFIG = """openssl_conf = tavro_init
[tavro_init]
engines = tavro_engines
[tavro_engines]
pkcs11 = tavro_pkcs11
[tavro_pkcs11]
engine_id = pkcs11
MODULE_PATH = %s
"""


def build_keys(path):
    """The P-256 public keys of a TAVRO_MANIFEST_KEY file, in its order,
    refused as configure refuses the file (ReleaseLocks.cmake), in the same
    words: a dry run that passes where the build would not is no dry run."""
    if not os.path.isfile(path):
        raise Failure("TAVRO_MANIFEST_KEY names %s, which is not a file" % path)
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as error:
        raise Failure("TAVRO_MANIFEST_KEY names %s, which cannot be read (%s)." % (path, error.strerror)) from None
    if re.search(rb"-----BEGIN [A-Z ]*PRIVATE KEY-----", text):
        raise Failure("TAVRO_MANIFEST_KEY (%s) holds a private key: the build takes public keys only, and the private "
                      "key stays on the token (openssl pkey -in key.pem -pubout gives its public key)" % path)
    blocks = re.findall(rb"-----BEGIN PUBLIC KEY-----[^-]*-----END PUBLIC KEY-----", text)
    if not 1 <= len(blocks) <= 2:
        raise Failure("TAVRO_MANIFEST_KEY (%s) must hold one or two PEM public keys (-----BEGIN PUBLIC KEY-----), the "
                      "current and the next; it holds %d" % (path, len(blocks)))
    keys = []
    for block in blocks:
        body = re.sub(rb"[ \t\r\n]", b"", re.sub(rb"-----(BEGIN|END) PUBLIC KEY-----", b"", block))
        key = None
        if len(body) == 124 and re.fullmatch(rb"MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE[A-Za-z0-9+/]+=*", body):
            try:
                key = serialization.load_pem_public_key(block)
            except ValueError:
                pass
        if not isinstance(key, ec.EllipticCurvePublicKey) or key.curve.name != "secp256r1":
            raise Failure("TAVRO_MANIFEST_KEY (%s) holds a key that is not an ECDSA P-256 public key (openssl ec -in "
                          "key.pem -pubout gives one)" % path)
        keys.append(key)
    return keys


def verifying_key(keys, data, signature):
    """The number (1, 2) of the key under which the r||s signature of `data`
    verifies, or None."""
    der = encode_dss_signature(int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big"))
    for number, key in enumerate(keys, 1):
        try:
            key.verify(der, data, ec.ECDSA(hashes.SHA256()))
            return number
        except (InvalidSignature, TypeError, AttributeError):
            continue
    return None


def token_labels(module):
    """The labels of the initialised tokens the module offers; None when
    they cannot be listed."""
    try:
        result = subprocess.run(["pkcs11-tool", "--module", module, "--list-token-slots"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                                timeout=TOKEN_SECONDS)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if result.returncode != 0:
        return None
    return re.findall(r"^ *token label *: (.*?) *$", result.stdout, re.M)


def missing_token(module, uri, setting):
    """The sentence for a URI whose token= label no token of the module has;
    "" when it has one, or when that cannot be told."""
    label = re.search(r"^pkcs11:(?:[^;?]*;)*?token=([^;?]*)", uri)
    labels = token_labels(module) if label else None
    if labels is None or urllib.parse.unquote(label.group(1)) in labels:
        return ""
    offered = ", ".join('"%s"' % name for name in labels)
    return ('No token labelled "%s" through %s (%s): check the token= label in %s.'
            % (urllib.parse.unquote(label.group(1)), module,
               "its tokens: " + offered if labels else "it offers no initialised token", setting))


class TokenKey:
    """The manifest key on the token, as the settings name it."""

    def __init__(self, build_keys_path):
        self.module, self.uri = os.environ.get("TAVRO_SIGN_PKCS11_MODULE", ""), os.environ.get(
            "TAVRO_SIGN_MANIFEST_KEY", "")
        self.pin_file = os.environ.get("TAVRO_SIGN_PIN_FILE", "")
        if not self.uri:
            raise Failure("No manifest key: this build's installers take only a manifest signed by a key of "
                          "TAVRO_MANIFEST_KEY (%s). Set TAVRO_SIGN_MANIFEST_KEY to the pkcs11: URI of its private key "
                          "on the token, and TAVRO_SIGN_PKCS11_MODULE to the token's module." % build_keys_path)
        if not self.uri.startswith("pkcs11:"):
            raise Failure("TAVRO_SIGN_MANIFEST_KEY must be a pkcs11: URI (pkcs11:token=...;object=...;type=private), "
                          "not %s." % self.uri)
        if not self.module:
            raise Failure("TAVRO_SIGN_MANIFEST_KEY is set but TAVRO_SIGN_PKCS11_MODULE is not: set it to the PKCS#11 "
                          "module (.so) of the token.")
        if not os.path.isfile(self.module):
            raise Failure("TAVRO_SIGN_PKCS11_MODULE names %s, which does not exist." % self.module)
        self.text = "%s through %s" % (self.uri, self.module)

    def pin(self):
        """The PIN file's first line without its line end; None when the
        token is to ask."""
        if not self.pin_file:
            return None
        try:
            with open(self.pin_file, "rb") as f:
                line = f.readline().rstrip(b"\n")
        except OSError:
            raise Failure("TAVRO_SIGN_PIN_FILE names %s, which cannot be read." % self.pin_file) from None
        line = line[:-1] if line.endswith(b"\r") else line
        if not line:
            raise Failure("TAVRO_SIGN_PIN_FILE names %s, whose first line is empty: it must hold the token's PIN."
                          % self.pin_file)
        return line

    def sign(self, data):
        """The r||s signature (64 bytes) of SHA-256 over `data`, made on the
        token."""
        scratch = tempfile.mkdtemp(prefix="tavro-manifest-key.")
        try:
            def write(name, content, mode=0o600):
                path = os.path.join(scratch, name)
                with os.fdopen(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode), "wb") as f:
                    f.write(content)
                return path
            pin = self.pin()
            command = ["openssl", "dgst", "-sha256", "-engine", "pkcs11", "-keyform", "engine", "-sign", self.uri,
                       "-out", os.path.join(scratch, "signature"), write("data", data)]
            if pin is not None:
                command[-1:-1] = ["-passin", "file:" + write("pin", pin)]
            env = dict(os.environ, OPENSSL_CONF=write("openssl.cnf", (ENGINE_CONFIG % self.module).encode()))
            seconds = TOKEN_SECONDS if pin is not None else PROMPT_SECONDS
            try:
                # The token's prompt needs the terminal: stdin stays ours.
                result = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                        errors="replace", timeout=seconds)
            except subprocess.TimeoutExpired:
                raise Failure("The token did not answer within %d s (%s)." % (seconds, self.text)) from None
            said = result.stdout.__contains__
            if said("Unable to load module") or said("Failed to enumerate slots"):
                raise Failure("The PKCS#11 module %s did not start." % self.module)
            if said("PIN incorrect"):
                raise Failure("The token refused the PIN %s (wrong PIN; a token locks after a few)."
                              % ("in " + self.pin_file if pin is not None else "entered"))
            if said("No matching initialized token"):
                missing = missing_token(self.module, self.uri, "TAVRO_SIGN_MANIFEST_KEY")
                if missing:
                    raise Failure(missing)
            if said("was not found at") or said("No matching initialized token"):
                raise Failure("No manifest key at %s: check that the token is there and that the URI names the key."
                              % self.text)
            if result.returncode != 0:
                raise Failure("openssl could not sign with the manifest key %s: %s"
                              % (self.text, " ".join(result.stdout.split()[-8:])))
            with open(os.path.join(scratch, "signature"), "rb") as f:
                der = f.read()
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        try:
            r, s = decode_dss_signature(der)
        except ValueError:
            r = s = 1 << 256
        if r >= 1 << 256 or s >= 1 << 256:
            raise Failure("The manifest key %s is not an ECDSA P-256 key (pkcs11-tool --keypairgen --key-type "
                          "EC:prime256v1 makes one on the token)." % self.text)
        return r.to_bytes(32, "big") + s.to_bytes(32, "big")

    def check(self, build_keys_path):
        """Signs a scratch text on the token and verifies it under the build's
        keys: the key is there and a key of the build."""
        keys = build_keys(build_keys_path)
        # The key signs manifests only: this text names an origin no
        # installer takes, so it can never serve as one.
        data = b"origin=tavro-release-check:not-a-manifest\nTAVRO manifest key check\n"
        number = verifying_key(keys, data, self.sign(data))
        if number is None:
            raise Failure(self.not_in_build(keys, build_keys_path))
        return number, len(keys)

    def not_in_build(self, keys, build_keys_path):
        return ("The manifest key %s is not one of the %d public keys in %s (TAVRO_MANIFEST_KEY): this build's "
                "installers would refuse every manifest it signs." % (self.text, len(keys), build_keys_path))


def signature_line(signature):
    return b"signature=" + base64.b64encode(signature) + b"\n"

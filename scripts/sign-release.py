#!/usr/bin/python3
"""Signs a Windows program with Authenticode (SHA-256) through osslsigncode,
checks the signature and lists the signed file in SHA256SUMS beside it:

  sign-release.py UNSIGNED_EXE SIGNED_EXE   (the same path twice signs in place)
  sign-release.py --check                   the dry run; writes nothing
  sign-release.py --check-publisher         the dry run, silent unless it
                                            refuses (make release runs it
                                            before it pins build/ to
                                            another publisher or CA)

The dry run does what signing does, on a scratch file in a private directory
it then removes: opens the key, signs, checks the certificate and its chain,
asks the time-stamp server and verifies its answer.

Settings come from the environment only. There is no default key, so nothing
is ever signed with a key nobody named. The key is either
  in a token, HSM or cloud key service, reached through PKCS#11:
    TAVRO_SIGN_PKCS11_MODULE  the PKCS#11 module (.so) of the token or service
    TAVRO_SIGN_KEY            the private key's pkcs11: URI
    TAVRO_SIGN_CERT           the certificate: its pkcs11: URI on the token,
                              or a PEM file (which may hold the chain as well)
    TAVRO_SIGN_CHAIN          optional PEM file of intermediate certificates
    TAVRO_SIGN_PIN_FILE       file whose first line is the PIN; without it
                              the token asks for its PIN itself
  or in a PKCS#12 file (tests, private CAs):
    TAVRO_SIGN_PKCS12         .p12/.pfx: code-signing key, certificate, chain
    TAVRO_SIGN_PASSWORD_FILE  file whose first line is its password, or
    TAVRO_SIGN_PASSWORD       the password itself
A password or PIN reaches the tools through a private file, never a command
line. And:
  TAVRO_SIGN_NAME           program name in the signature, which Windows shows
                            in its administrator prompt
  TAVRO_SIGN_INFO_URL       optional information URL in the signature
  TAVRO_SIGN_CAFILE         roots the signature must chain to (default: the
                            system bundle, so a home-made CA does not pass)
  TAVRO_SIGN_TIMESTAMP_URL  RFC 3161 time-stamp server (a warning without one)
  TAVRO_SIGN_TSA_CAFILE     roots its time stamp must chain to (default: the
                            system bundle)
  TAVRO_SIGN_TIMESTAMP_SECONDS  how long the server may take (default 30)
  TAVRO_SIGN_PUBLISHER      the publisher an installer built with
                            TAVRO_PUBLISHER requires: the certificate must
                            name it (make release and make sign-setup pass
                            the build's)
  TAVRO_SIGN_PUBLISHER_CA   the build's TAVRO_PUBLISHER_CA: the SHA-256 of
                            the SubjectPublicKeyInfo of a CA that the
                            certificate's chain must hold (the make targets
                            pass the build's)
  TAVRO_SIGN_MANIFEST_PUBLIC  the build's TAVRO_MANIFEST_KEY file: the dry
                            run also signs with the manifest key on the
                            token (TAVRO_SIGN_MANIFEST_KEY, manifest_key.py)
                            and checks it is one of that file's keys
SIGNED_EXE and its SHA256SUMS line change only together, once the file has
been signed and verified; after a failure both are as they were."""
import contextlib
import ctypes
import datetime
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unicodedata

from cryptography import x509
from cryptography.hazmat.primitives import serialization

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import manifest_key  # noqa: E402
import release_files  # noqa: E402
from release_files import Failure  # noqa: E402

SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
SOFTHSM_DEFAULT_CONF = "/etc/softhsm/softhsm2.conf"
WARN_DAYS = 30
# A token that neither answers nor fails must not hold the release for good;
# a PIN typed at its prompt gets more time.
TOKEN_SECONDS, PROMPT_SECONDS = 120, 600
TOOL_SECONDS = 60

env = os.environ.get
# The warnings are the signing run's to give.
quiet = False


def warn(sentence):
    if quiet:
        return
    print("sign-release: warning: " + sentence, file=sys.stderr)


def tool_lines(log):
    """osslsigncode's own words, where no cause of ours fits."""
    shown = [line for line in log.splitlines() if re.search("error|fail", line, re.I) and line != "Failed"]
    for line in shown[:5]:
        print(line, file=sys.stderr)


def run(*command, seconds=TOOL_SECONDS, check=True):
    try:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, errors="replace", timeout=seconds)
    except subprocess.TimeoutExpired:
        raise Failure("%s did not finish within %d s; nothing was written." % (command[0], seconds)) from None
    if check and result.returncode != 0:
        tool_lines(result.stdout)
        raise Failure("%s failed; nothing was written." % " ".join(command[:2]))
    return result


def loads_as_pkcs11(module):
    """Whether the file is a shared library with PKCS#11's entry point; it is
    loaded, not started."""
    try:
        return hasattr(ctypes.CDLL(module, mode=ctypes.RTLD_LOCAL), "C_GetFunctionList")
    except OSError:
        return False


def softhsm_cause(module):
    """What keeps SoftHSM2 from starting or from finding its tokens, when the
    module is SoftHSM2's and its configuration says so; else ""."""
    if "softhsm" not in os.path.basename(module):
        return ""
    conf = env("SOFTHSM2_CONF")
    if not conf:
        if not os.path.isfile(SOFTHSM_DEFAULT_CONF):
            return ("SOFTHSM2_CONF is not set, and SoftHSM2's default configuration %s does not exist: set "
                    "SOFTHSM2_CONF to the token's configuration file." % SOFTHSM_DEFAULT_CONF)
        conf_text = "%s (SOFTHSM2_CONF is not set)" % SOFTHSM_DEFAULT_CONF
    elif not os.path.isfile(conf):
        return "SOFTHSM2_CONF names %s, which does not exist." % conf
    else:
        conf_text = conf
    with contextlib.suppress(OSError):
        with open(conf_text.split(" (")[0], encoding="utf-8", errors="replace") as f:
            for line in f:
                key, _, value = line.partition("=")
                if key.strip() == "directories.tokendir" and not os.path.isdir(value.strip()):
                    return ("The token folder %s (directories.tokendir in %s) does not exist."
                            % (value.strip(), conf_text))
    if not conf:
        return "SOFTHSM2_CONF is not set, so SoftHSM2 looked only at the tokens of %s." % SOFTHSM_DEFAULT_CONF
    return ""


class Settings:
    """The TAVRO_SIGN_* settings, checked; a Failure names the first fault."""

    def __init__(self):
        # The build's own settings first, refused as configure refuses them
        # (ReleaseLocks.cmake), in the same words, before a token is asked.
        self.publisher = env("TAVRO_SIGN_PUBLISHER", "")
        given_ca = env("TAVRO_SIGN_PUBLISHER_CA", "")
        if given_ca and not re.fullmatch("[0-9a-fA-F]{64}", given_ca):
            raise Failure("TAVRO_PUBLISHER_CA must be 64 hexadecimal digits (the SHA-256 of the CA's "
                          "SubjectPublicKeyInfo), not '%s'" % given_ca)
        if given_ca and not self.publisher:
            raise Failure("TAVRO_PUBLISHER_CA pins the CA of the publisher's certificate: it needs TAVRO_PUBLISHER")
        self.publisher_ca = given_ca.lower()
        self.manifest_public = env("TAVRO_SIGN_MANIFEST_PUBLIC", "")
        if self.manifest_public:
            manifest_key.build_keys(self.manifest_public)
        pkcs11_set = env("TAVRO_SIGN_PKCS11_MODULE", "") + env("TAVRO_SIGN_KEY", "")
        self.pkcs12 = env("TAVRO_SIGN_PKCS12", "")
        if self.pkcs12 and pkcs11_set:
            raise Failure("Both TAVRO_SIGN_PKCS12 and a PKCS#11 key (TAVRO_SIGN_PKCS11_MODULE, TAVRO_SIGN_KEY) are "
                          "set: unset the one not meant.")
        password_set = "TAVRO_SIGN_PASSWORD" in os.environ
        if pkcs11_set:
            self.route = "pkcs11"
            self.module, self.key, self.cert = env("TAVRO_SIGN_PKCS11_MODULE", ""), env("TAVRO_SIGN_KEY", ""), \
                env("TAVRO_SIGN_CERT", "")
            self.chain = env("TAVRO_SIGN_CHAIN", "")
            if not self.module:
                raise Failure("TAVRO_SIGN_KEY is set but TAVRO_SIGN_PKCS11_MODULE is not: set it to the PKCS#11 "
                              "module (.so) of the token or key service.")
            if not os.path.isfile(self.module):
                raise Failure("TAVRO_SIGN_PKCS11_MODULE names %s, which does not exist." % self.module)
            if not self.key:
                raise Failure("TAVRO_SIGN_PKCS11_MODULE is set but TAVRO_SIGN_KEY is not: set it to the pkcs11: URI "
                              "of the private key.")
            if not self.key.startswith("pkcs11:"):
                raise Failure("TAVRO_SIGN_KEY must be a pkcs11: URI (pkcs11:token=...;object=...;type=private), not "
                              "%s." % self.key)
            if not self.cert:
                raise Failure("No certificate: set TAVRO_SIGN_CERT to its pkcs11: URI on the token, or to a PEM "
                              "file.")
            if not self.cert.startswith("pkcs11:") and not os.path.isfile(self.cert):
                raise Failure("TAVRO_SIGN_CERT names %s, which does not exist." % self.cert)
            if self.chain and not os.path.isfile(self.chain):
                raise Failure("TAVRO_SIGN_CHAIN names %s, which does not exist." % self.chain)
            if env("TAVRO_SIGN_PASSWORD_FILE") or password_set:
                raise Failure("TAVRO_SIGN_PASSWORD and TAVRO_SIGN_PASSWORD_FILE are for a PKCS#12 file: the token's "
                              "PIN comes from TAVRO_SIGN_PIN_FILE, or from the token's own prompt.")
            self.secret_file, self.secret_name = env("TAVRO_SIGN_PIN_FILE", ""), "TAVRO_SIGN_PIN_FILE"
            self.key_text = "%s through %s" % (self.key, self.module)
            self.cert_text = self.cert
        elif self.pkcs12:
            self.route = "pkcs12"
            if not os.path.isfile(self.pkcs12):
                raise Failure("TAVRO_SIGN_PKCS12 names %s, which does not exist." % self.pkcs12)
            if env("TAVRO_SIGN_PASSWORD_FILE") and password_set:
                raise Failure("Both TAVRO_SIGN_PASSWORD_FILE and TAVRO_SIGN_PASSWORD are set: unset one (the file is "
                              "the safer).")
            if not env("TAVRO_SIGN_PASSWORD_FILE") and not password_set:
                raise Failure("No password for %s: set TAVRO_SIGN_PASSWORD_FILE to a file holding it (or "
                              "TAVRO_SIGN_PASSWORD to the password)." % self.pkcs12)
            self.secret_file, self.secret_name = env("TAVRO_SIGN_PASSWORD_FILE", ""), "TAVRO_SIGN_PASSWORD_FILE"
            self.key_text = self.cert_text = self.pkcs12
        else:
            raise Failure("No signing key: set TAVRO_SIGN_PKCS11_MODULE, TAVRO_SIGN_KEY and TAVRO_SIGN_CERT for a key "
                          "in a token or key service (PKCS#11), or TAVRO_SIGN_PKCS12 and TAVRO_SIGN_PASSWORD_FILE for "
                          "a PKCS#12 file (.p12/.pfx).")
        self.name = env("TAVRO_SIGN_NAME", "")
        if not self.name:
            raise Failure("No program name: set TAVRO_SIGN_NAME to the name Windows should show for this program "
                          "(make release sets the web installer's).")
        self.cafile = env("TAVRO_SIGN_CAFILE") or SYSTEM_ROOTS
        self.tsa_cafile = env("TAVRO_SIGN_TSA_CAFILE") or SYSTEM_ROOTS
        if not os.path.isfile(self.cafile):
            raise Failure("TAVRO_SIGN_CAFILE names %s, which does not exist." % self.cafile)
        if not os.path.isfile(self.tsa_cafile):
            raise Failure("TAVRO_SIGN_TSA_CAFILE names %s, which does not exist." % self.tsa_cafile)
        self.timestamp_url = env("TAVRO_SIGN_TIMESTAMP_URL", "")
        seconds = env("TAVRO_SIGN_TIMESTAMP_SECONDS", "30")
        if not re.fullmatch("[1-9][0-9]*", seconds):
            raise Failure("TAVRO_SIGN_TIMESTAMP_SECONDS must be a whole number of seconds, not %s." % seconds)
        self.timestamp_seconds = int(seconds)
        if shutil.which("osslsigncode") is None:
            raise Failure("osslsigncode is not installed (make setup installs it).")
        self.prompts = self.route == "pkcs11" and not self.secret_file

    def secret(self):
        """The password or PIN: the file's first line without its line end
        (LF or CR LF); None when the token is to ask."""
        if self.secret_file:
            try:
                with open(self.secret_file, "rb") as f:
                    line = f.readline()
            except OSError:
                raise Failure("%s names %s, which cannot be read." % (self.secret_name, self.secret_file)) from None
            line = line.rstrip(b"\n")
            line = line[:-1] if line.endswith(b"\r") else line
            if not line and self.route == "pkcs11":
                raise Failure("%s names %s, whose first line is empty: it must hold the token's PIN."
                              % (self.secret_name, self.secret_file))
            return line
        if "TAVRO_SIGN_PASSWORD" in os.environ:
            return os.environ["TAVRO_SIGN_PASSWORD"].encode()
        return None


class Scratch:
    """A private temporary directory; its write failures name it."""

    def __init__(self):
        base = env("TMPDIR") or "/tmp"
        try:
            self.dir = tempfile.mkdtemp(prefix="tavro-sign.", dir=base)
        except OSError as error:
            raise Failure(self.full_text(base, error)) from None

    @staticmethod
    def full_text(where, error):
        return ("The temporary directory %s cannot take the signing's scratch files (%s): free space there or set "
                "TMPDIR to another directory; nothing was written." % (where, error.strerror or error))

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data, mode=0o600):
        try:
            fd = os.open(self.path(name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
            with os.fdopen(fd, "wb") as f:
                f.write(data)
        except OSError as error:
            raise Failure(self.full_text(self.dir, error)) from None
        return self.path(name)

    def has_room_for(self, size):
        stat = os.statvfs(self.dir)
        return stat.f_bavail * stat.f_frsize > size + (64 << 10)


def scratch_pe():
    """A header-only PE image: enough for osslsigncode, never run."""
    image = bytearray(312)
    for at, data in ((0, b"MZ"), (60, b"\x40"), (64, b"PE\0\0\x4c\x01"), (84, b"\xe0\x00\x02\x01"), (88, b"\x0b\x01"),
                     (180, b"\x10")):
        image[at:at + len(data)] = data
    return bytes(image)


def mismatch_text(settings):
    return ("The private key %s and the certificate %s do not belong together (the certificate names another key); "
            "nothing was written." % (settings.key_text, settings.cert_text))


def sign(settings, scratch, unsigned, secret_path):
    """Signing comes first, so whatever osslsigncode can open is accepted and
    a token asks for its PIN once; what the signature holds is checked after."""
    if settings.route == "pkcs12":
        key_args = ["-pkcs12", settings.pkcs12]
    else:
        key_args = ["-pkcs11module", settings.module, "-key", settings.key]
        key_args += ["-pkcs11cert" if settings.cert.startswith("pkcs11:") else "-certs", settings.cert]
        if settings.chain:
            key_args += ["-ac", settings.chain]
    if secret_path:
        key_args += ["-readpass", secret_path]
    info = ["-i", env("TAVRO_SIGN_INFO_URL")] if env("TAVRO_SIGN_INFO_URL") else []
    signed = scratch.path("signed.exe")
    command = ["osslsigncode", "sign"] + key_args + ["-h", "sha256", "-n", settings.name] + info + \
        ["-in", unsigned, "-out", signed]
    seconds = PROMPT_SECONDS if settings.prompts else TOKEN_SECONDS
    try:
        # The token's prompt needs the terminal: stdin stays ours.
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                                timeout=seconds)
    except subprocess.TimeoutExpired:
        if settings.route == "pkcs11":
            raise Failure("The token did not answer within %d s (%s); nothing was written." % (seconds,
                                                                                              settings.key_text))
        raise Failure("osslsigncode did not sign within %d s; nothing was written." % seconds) from None
    if result.returncode == 0:
        return signed
    log = result.stdout
    said = log.__contains__
    if not scratch.has_room_for(2 * os.path.getsize(unsigned)):
        raise Failure(Scratch.full_text(scratch.dir, OSError(28, os.strerror(28))))
    if said("key values mismatch") or said("consistency of a private key"):
        raise Failure(mismatch_text(settings))
    if settings.route == "pkcs12":
        if said("mac verify failure"):
            raise Failure("Cannot open %s with the password given (wrong password)." % settings.pkcs12)
        if said("Failed to extract PKCS#12 data"):
            raise Failure("%s is not a PKCS#12 file." % settings.pkcs12)
    else:
        module = settings.module
        if said("Unable to load module"):
            if not loads_as_pkcs11(module):
                raise Failure("TAVRO_SIGN_PKCS11_MODULE names %s, which is not a PKCS#11 module." % module)
            raise Failure("The PKCS#11 module %s did not start. %s" % (
                module, softhsm_cause(module) or "Check the configuration its maker describes (for a key service, "
                "its configuration file and credentials)."))
        if said("PIN incorrect"):
            if settings.secret_file:
                raise Failure("The token refused the PIN in %s (wrong PIN; a token locks after a few)."
                              % settings.secret_file)
            raise Failure("The token refused the PIN entered (wrong PIN; a token locks after a few).")
        if said("No PIN code was entered"):
            raise Failure("No PIN for the token: set TAVRO_SIGN_PIN_FILE to a file holding it, or run this from a "
                          "terminal, where the token asks for it.")
        hint = softhsm_cause(module)
        # libp11 says the same of a label no token has as of an object the
        # token lacks.
        if said("No matching initialized token") and not hint:
            for name, uri in (("TAVRO_SIGN_KEY", settings.key), ("TAVRO_SIGN_CERT", settings.cert)):
                missing = manifest_key.missing_token(module, uri, name)
                if missing:
                    raise Failure(missing + " Nothing was written.")
        hint = " " + hint if hint else ""
        if said("The certificate was not found at"):
            raise Failure("No certificate at %s through %s: check that the token is there and that the URI names the "
                          "certificate.%s" % (settings.cert, module, hint))
        if said("The private key was not found at"):
            raise Failure("No private key at %s through %s: check that the token is there and that the URI names the "
                          "key.%s" % (settings.key, module, hint))
    tool_lines(log)
    raise Failure("osslsigncode could not sign %s with %s." % (unsigned, settings.key_text))


def openssl_date(text):
    return datetime.datetime.strptime(text, "%b %d %H:%M:%S %Y %Z").replace(tzinfo=datetime.timezone.utc)


class Signer:
    """The certificate that signed, as the signature holds it."""

    def __init__(self, scratch, signed):
        self.scratch = scratch
        signature, self.certificates, self.pem = (scratch.path(n) for n in ("signature.pem", "certificates.pem",
                                                                            "signer.pem"))
        run("osslsigncode", "extract-signature", "-pem", "-in", signed, "-out", signature)
        run("openssl", "pkcs7", "-in", signature, "-print_certs", "-out", self.certificates)
        run("openssl", "smime", "-verify", "-noverify", "-nosigs", "-inform", "PEM", "-in", signature, "-signer",
            self.pem, "-out", "/dev/null")
        self.subject = self.x509("-subject", "-nameopt", "RFC2253,-esc_msb").stdout.strip()[len("subject="):]
        self.not_before = self.x509("-startdate").stdout.strip().split("=", 1)[1]
        self.not_after = self.x509("-enddate").stdout.strip().split("=", 1)[1]

    def x509(self, *args, check=True):
        return run("openssl", "x509", "-in", self.pem, "-noout", *args, check=check)

    def valid_for(self, seconds):
        return self.x509("-checkend", str(seconds), check=False).returncode == 0

    def publisher(self):
        """The publisher as Windows names the signer, and as an installer built
        with TAVRO_PUBLISHER compares it: the common name, else the
        organisational unit, the organisation, the e-mail address."""
        fields = {}
        for line in self.x509("-subject", "-nameopt", "multiline,utf8,-esc_msb").stdout.splitlines()[1:]:
            field = re.match(r" *(\w+) *= (.*)$", line)
            if field:
                fields.setdefault(field.group(1), field.group(2))
        for field in ("commonName", "organizationalUnitName", "organizationName", "emailAddress"):
            if fields.get(field):
                return fields[field]
        return ""


def certificates_in(path):
    with open(path, "rb") as f:
        blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", f.read(), re.S)
    return [x509.load_pem_x509_certificate(block) for block in blocks]


def key_identifier(certificate, extension):
    with contextlib.suppress(x509.ExtensionNotFound):
        value = certificate.extensions.get_extension_for_class(extension).value
        return getattr(value, "key_identifier", None) or getattr(value, "digest", None)
    return None


def chain_cas(settings, signer):
    """The CAs above the signer, issuing CA first, root last, each as
    (subject, the SHA-256 of its SubjectPublicKeyInfo, as TAVRO_PUBLISHER_CA
    names it), from the certificates the signature holds and the roots of
    TAVRO_SIGN_CAFILE; the chain itself was verified already."""
    pool = certificates_in(signer.certificates) + certificates_in(settings.cafile)
    current, cas = certificates_in(signer.pem)[0], []
    while current.issuer != current.subject and len(cas) < 10:
        wanted = key_identifier(current, x509.AuthorityKeyIdentifier)
        issuer = next((c for c in pool if c.subject == current.issuer and
                       (wanted is None or key_identifier(c, x509.SubjectKeyIdentifier) in (None, wanted))), None)
        if issuer is None:
            break
        spki = issuer.public_key().public_bytes(serialization.Encoding.DER,
                                                serialization.PublicFormat.SubjectPublicKeyInfo)
        cas.append((issuer.subject.rfc4514_string(), hashlib.sha256(spki).hexdigest()))
        current = issuer
    return cas


def check_signer(settings, signer):
    subject = signer.subject
    # Windows accepts an Authenticode signature only from a certificate for
    # code signing; a TLS certificate would sign here and be refused there.
    if "Code Signing" not in signer.x509("-ext", "extendedKeyUsage", check=False).stdout:
        raise Failure("The certificate in %s is not for code signing (it needs extendedKeyUsage codeSigning)."
                      % settings.cert_text)
    if not signer.valid_for(0):
        raise Failure("The certificate of %s expired on %s; nothing was written. It needs renewing."
                      % (subject, signer.not_after))
    if openssl_date(signer.not_before) > datetime.datetime.now(datetime.timezone.utc):
        raise Failure("The certificate of %s is not valid before %s; nothing was written."
                      % (subject, signer.not_before))
    chain = run("openssl", "verify", "-CAfile", settings.cafile, "-untrusted", signer.certificates, signer.pem,
                check=False)
    if chain.returncode != 0:
        reasons = re.findall(r"^error \d+ at \d+ depth lookup: (.*)$", chain.stdout, re.M)
        hint = "A certificate from a private CA needs TAVRO_SIGN_CAFILE naming that CA."
        if settings.route == "pkcs11":
            hint += " Intermediate certificates the token does not hold go in TAVRO_SIGN_CHAIN."
        raise Failure("The certificate of %s does not chain to a root in %s (%s); nothing was written. %s"
                      % (subject, settings.cafile, reasons[0] if reasons else "no chain", hint))
    if not signer.valid_for(WARN_DAYS * 86400):
        warn("The certificate of %s expires on %s, within %d days: renew it before the next release."
             % (subject, signer.not_after, WARN_DAYS))
    publisher = signer.publisher()
    if settings.publisher and publisher != settings.publisher:
        sentence = ('The certificate names the publisher "%s", but this build runs only setups signed by "%s" '
                    '(TAVRO_PUBLISHER): setups signed with it would not run; nothing was written.'
                    % (publisher, settings.publisher))
        # The installer compares the characters as they are: two names that
        # look the same may still differ.
        if unicodedata.normalize("NFC", publisher) == unicodedata.normalize("NFC", settings.publisher):
            sentence += (" The two look alike but differ in Unicode normalisation: the certificate's is in %s, "
                         "TAVRO_PUBLISHER in %s; give TAVRO_PUBLISHER as the certificate writes it."
                         % (normal_form(publisher), normal_form(settings.publisher)))
        raise Failure(sentence)
    cas = chain_cas(settings, signer)
    # The name alone is any CA's to give: a build with TAVRO_PUBLISHER_CA
    # runs only a setup whose chain holds that CA's key.
    if settings.publisher_ca and settings.publisher_ca not in [digest for _, digest in cas]:
        raise Failure("The certificate's chain holds no CA whose key TAVRO_PUBLISHER_CA names (%s): setups signed "
                      "with it would not run; nothing was written. Its CAs: %s."
                      % (settings.publisher_ca, "; ".join("%s, %s" % ca for ca in cas)))
    return publisher, cas


def say_cas(cas):
    """The values TAVRO_PUBLISHER_CA may take for this certificate: its
    issuing CA's and its root's (the dry run says them before any release)."""
    for role, (name, digest) in zip(("Issuing CA", "Root"), (cas[0], cas[-1]) if cas else ()):
        print("%s: %s, TAVRO_PUBLISHER_CA=%s" % (role, name, digest))


def normal_form(text):
    return ("composed form (NFC)" if unicodedata.is_normalized("NFC", text) else
            "decomposed form (NFD)" if unicodedata.is_normalized("NFD", text) else "a mixed form")


def time_stamp(settings, scratch, signed):
    """The stamped file. A server that accepts and never answers would hold
    the release for good."""
    url = settings.timestamp_url
    if not url:
        warn("No time-stamp server (TAVRO_SIGN_TIMESTAMP_URL): the signature stops counting when the certificate "
             "expires.")
        return signed
    stamped = scratch.path("stamped.exe")
    try:
        result = subprocess.run(["osslsigncode", "add", "-h", "sha256", "-ts", url, "-in", signed, "-out", stamped],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                errors="replace", timeout=settings.timestamp_seconds)
    except subprocess.TimeoutExpired:
        raise Failure("The time-stamp server %s did not answer within %d s (TAVRO_SIGN_TIMESTAMP_SECONDS); nothing "
                      "was written." % (url, settings.timestamp_seconds)) from None
    if result.returncode != 0:
        if not scratch.has_room_for(2 * os.path.getsize(signed)):
            raise Failure(Scratch.full_text(scratch.dir, OSError(28, os.strerror(28))))
        said = result.stdout
        if "Connection refused" in said:
            raise Failure("The time-stamp server %s refused the connection: nothing listens there (is it running, and "
                          "on that port?); nothing was written." % url)
        if "BIO_lookup" in said:
            raise Failure("The time-stamp server %s cannot be reached: its host name does not resolve; nothing was "
                          "written." % url)
        status = re.search(r"code=(\d+), reason=(.*)$", said, re.M)
        if status:
            raise Failure("The time-stamp server %s answered HTTP status %s (%s), not a time stamp; nothing was "
                          "written." % (url, status.group(1), status.group(2).strip()))
        tool_lines(said)
        raise Failure("The time-stamp server %s gave no time stamp; nothing was written." % url)
    return stamped


def verify(settings, final):
    # osslsigncode exits 0 when only the time stamp fails to verify; its
    # output says so.
    result = run("osslsigncode", "verify", "-in", final, "-CAfile", settings.cafile, "-TSA-CAfile",
                 settings.tsa_cafile, check=False)
    if result.returncode != 0:
        # The chain passed already, and the file was signed a moment ago: a
        # signature that fails is one the certificate's key did not make
        # (a token's key and certificate that osslsigncode cannot compare).
        if "Signature verification: failed" in result.stdout.splitlines():
            raise Failure(mismatch_text(settings))
        tool_lines(result.stdout)
        raise Failure("The signed file does not verify against %s; nothing was written." % settings.cafile)
    if settings.timestamp_url and "Timestamp Server Signature verification: ok" not in result.stdout.splitlines():
        raise Failure("The time stamp from %s does not verify against %s; nothing was written. A time-stamp server "
                      "under a private CA needs TAVRO_SIGN_TSA_CAFILE naming that CA."
                      % (settings.timestamp_url, settings.tsa_cafile))


def place(final, unsigned, signed):
    """The signed file under its name with its SHA256SUMS line, as one step."""
    directory = os.path.dirname(signed) or "."
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        raise Failure("%s cannot be made (%s); nothing was written." % (directory, error.strerror)) from None
    with release_files.locked(directory):
        placing = None
        try:
            placing = release_files.temporary_beside(signed)
            shutil.copyfile(final, placing)
            shutil.copymode(unsigned, placing)
        except OSError as error:
            if placing:
                os.remove(placing)
            raise Failure("The signed file could not be written into %s (%s); nothing was written: the files there "
                          "are as they were." % (directory, error.strerror or error)) from None
        release_files.replace(directory, {os.path.basename(signed): placing}, "The signed file")


def main(args):
    global quiet
    release_files.end_on_signals()
    quiet = args == ["--check-publisher"]
    check_only = args == ["--check"] or quiet
    if not check_only and (len(args) != 2 or "" in args):
        raise Failure("usage: sign-release.py UNSIGNED_EXE SIGNED_EXE, or sign-release.py --check")
    if not check_only:
        unsigned, signed = args
        if not os.path.isfile(unsigned):
            raise Failure("%s does not exist; build it first (make build)." % unsigned)
    settings = Settings()
    scratch = Scratch()
    try:
        secret = settings.secret()
        secret_path = scratch.write("secret", secret) if secret is not None else None
        if check_only:
            unsigned = scratch.write("scratch.exe", scratch_pe(), 0o644)
        signed_scratch = sign(settings, scratch, unsigned, secret_path)
        signer = Signer(scratch, signed_scratch)
        publisher, cas = check_signer(settings, signer)
        final = time_stamp(settings, scratch, signed_scratch)
        verify(settings, final)
        url = settings.timestamp_url
        if quiet:
            return
        if check_only and settings.manifest_public:
            manifest = manifest_key.TokenKey(settings.manifest_public)
            number, count = manifest.check(settings.manifest_public)
        if check_only:
            print("Key: " + settings.key_text)
            print("Signer: %s, valid until %s" % (signer.subject, signer.not_after))
            print("Publisher: " + publisher)
            print("Chain: verifies against " + settings.cafile)
            say_cas(cas)
            if url:
                print("Time stamp: %s answered within %d s, verified against %s"
                      % (url, settings.timestamp_seconds, settings.tsa_cafile))
            else:
                print("Time stamp: no server set")
            if settings.manifest_public:
                print("Manifest key: %s, key %d of the %d in %s (TAVRO_MANIFEST_KEY)"
                      % (manifest.text, number, count, settings.manifest_public))
            print("Ready to sign. Nothing was written.")
            return
        unsigned_sha256 = release_files.sha256_of(unsigned)
        place(final, unsigned, signed)
    finally:
        shutil.rmtree(scratch.dir, ignore_errors=True)
    print("Unsigned: %s (%s)" % (unsigned, unsigned_sha256))
    print("Signed: " + signed)
    print("SHA-256: " + release_files.sha256_of(signed))
    print("Signer: %s, valid until %s" % (signer.subject, signer.not_after))
    print("Publisher: " + publisher)
    say_cas(cas)
    print("Time stamp: " + ("present, from %s, verified against %s" % (url, settings.tsa_cafile) if url else "none"))
    print("Checksums: %s/SHA256SUMS" % (os.path.dirname(signed) or "."))


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except Failure as failure:
        release_files.fail("sign-release", str(failure))

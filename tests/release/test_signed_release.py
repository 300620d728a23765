"""scripts/sign-release.py on a copy of the shipped file, and its dry run
(--check), with throwaway CAs, keys, a SoftHSM2 token and a time-stamp server
made here (no key is kept anywhere). Every server listens on loopback."""
import hashlib
import os
import pty
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
import bed  # noqa: E402
from bed import SOFTHSM, run, usage  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SIGN = os.path.join(SOURCE, "scripts", "sign-release.py")
SHIPPED_CHECKS = os.path.join(SOURCE, "tests", "hardening", "test_shipped_exe.py")
SHIPPED = os.environ.get("TAVRO_SHIPPED_EXE", "")
WINE_RUN = os.environ.get("TAVRO_WINE_RUN", "")
WEB_INSTALLER = "TAVRO Static Module Web Installer"
PASSWORD = "throwaway pass"
PIN = "271828"
TOKEN = "tavro-test"
NO_TIMESTAMP = ("sign-release: warning: No time-stamp server (TAVRO_SIGN_TIMESTAMP_URL): the signature stops "
                "counting when the certificate expires.\n")

work = None


def path(name):
    return os.path.join(work, name)


def write(name, data):
    with open(path(name), "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return path(name)


def read(file):
    with open(file, "rb") as f:
        return f.read()


def sha256(file):
    return run("sha256sum", file).stdout[:64]


def pkcs12(name, key_and_cert, ca, *options):
    out = path(name + ".p12")
    run("openssl", "pkcs12", "-export", "-inkey", key_and_cert[0], "-in", key_and_cert[1], "-certfile", ca.cert,
        "-out", out, "-passout", "pass:" + PASSWORD, *options)
    return out


def not_after(cert):
    return run("openssl", "x509", "-in", cert, "-noout", "-enddate").stdout.strip().split("=", 1)[1]


def silent_server():
    """A loopback port that accepts connections and never answers."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    held = []
    threading.Thread(target=lambda: [held.append(listener.accept()) for _ in iter(int, 1)], daemon=True).start()
    return "http://127.0.0.1:%d/" % listener.getsockname()[1]


def closed_port():
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return "http://127.0.0.1:%d/" % port


def environment(settings):
    """This environment with exactly these TAVRO_SIGN_* settings (None drops
    one), no proxy, and a temporary directory of the run's own."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAVRO_SIGN_") and "proxy" not in k.lower()}
    env.update({k: v for k, v in settings.items() if v is not None})
    env["TMPDIR"] = tempfile.mkdtemp(dir=work)
    env["SOFTHSM2_CONF"] = path("softhsm2.conf")
    return env


def sign(args, settings):
    """Runs the script; returns its result and the temporary directory it had."""
    env = environment(settings)
    result = run(SIGN, *args, env=env, check=False)
    return result, env["TMPDIR"]


def setUpModule():
    global work, unsigned, ca, other_ca, tsa, pkcs12_settings, token_settings, password_file
    work = tempfile.mkdtemp(prefix="tavro-signing-")
    unsigned = path("unsigned.exe")
    shutil.copyfile(SHIPPED, unsigned)
    ca, other_ca = bed.Authority(work, "Throwaway CA"), bed.Authority(work, "Throwaway Other CA")
    tsa = bed.TimeStampServer(work, bed.Authority(work, "Throwaway TSA CA"))
    password_file = write("password", PASSWORD + "\n")
    pkcs12_settings = {"TAVRO_SIGN_PKCS12": pkcs12("signer", ca.issue("Code Signer", usage("codeSigning")), ca),
                       "TAVRO_SIGN_PASSWORD_FILE": password_file, "TAVRO_SIGN_CAFILE": ca.cert,
                       "TAVRO_SIGN_NAME": WEB_INSTALLER, "TAVRO_SIGN_TIMESTAMP_URL": tsa.url,
                       "TAVRO_SIGN_TSA_CAFILE": tsa.authority.cert}
    token_settings = make_token()


def make_token():
    """A SoftHSM2 token holding a code-signing key and certificate issued under
    an intermediate CA the token does not hold, and a TLS server's."""
    global intermediate, token_signer
    token = bed.Token(work, TOKEN, PIN)
    intermediate = bed.Authority(work, "Throwaway Intermediate CA", parent=ca)
    token_signer = intermediate.issue("Token Signer", usage("codeSigning"))
    for label, (key, cert), object_id in (("signer", token_signer, "01"),
                                          ("tls", intermediate.issue("Token TLS", usage("serverAuth")), "02")):
        token.import_key(label, object_id, key)
        token.write_certificate(label, object_id, cert)
    return {"TAVRO_SIGN_PKCS11_MODULE": SOFTHSM, "TAVRO_SIGN_KEY": token_uri("signer", "private"),
            "TAVRO_SIGN_CERT": token_uri("signer", "cert"), "TAVRO_SIGN_CHAIN": intermediate.cert,
            "TAVRO_SIGN_PIN_FILE": write("pin", PIN + "\n"), "TAVRO_SIGN_CAFILE": ca.cert,
            "TAVRO_SIGN_NAME": WEB_INSTALLER, "TAVRO_SIGN_TIMESTAMP_URL": tsa.url,
            "TAVRO_SIGN_TSA_CAFILE": tsa.authority.cert}


def token_uri(label, kind):
    return "pkcs11:token=%s;object=%s;type=%s" % (TOKEN, label, kind)


def tearDownModule():
    tsa.shutdown()
    shutil.rmtree(work, ignore_errors=True)


def key_hash(cert):
    """TAVRO_PUBLISHER_CA for a CA: the SHA-256 of its SubjectPublicKeyInfo."""
    key = run("openssl", "x509", "-in", cert, "-noout", "-pubkey").stdout.encode()
    return hashlib.sha256(subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=key,
                                         stdout=subprocess.PIPE, check=True).stdout).hexdigest()


def subject(cert):
    return run("openssl", "x509", "-in", cert, "-noout", "-subject", "-nameopt", "RFC2253").stdout.strip()[8:]


class SignedFileChecks:
    """What a signed shipped file must be, whichever key signed it."""

    def test_script_signs_and_names_the_file_its_sha256_and_checksums(self):
        self.assertEqual((self.signing.returncode, self.signing.stderr), (0, ""))
        self.assertEqual(self.signing.stdout.splitlines(), [
            "Unsigned: %s (%s)" % (unsigned, sha256(unsigned)), "Signed: " + self.signed,
            "SHA-256: " + sha256(self.signed), "Signer: %s, valid until %s" % (subject(self.cert), not_after(self.cert)),
            "Publisher: " + self.publisher,
            "Issuing CA: %s, TAVRO_PUBLISHER_CA=%s" % (subject(self.issuer.cert), key_hash(self.issuer.cert)),
            "Root: %s, TAVRO_PUBLISHER_CA=%s" % (subject(ca.cert), key_hash(ca.cert)),
            "Time stamp: present, from %s, verified against %s" % (tsa.url, tsa.authority.cert),
            "Checksums: %s/SHA256SUMS" % os.path.dirname(self.signed)])
        directory = os.path.dirname(self.signed)
        self.assertEqual(run("sha256sum", "-c", "SHA256SUMS", cwd=directory).stdout,
                         os.path.basename(self.signed) + ": OK\n")

    def test_signature_and_time_stamp_verify_against_their_own_cas_only(self):
        verified = run("osslsigncode", "verify", "-in", self.signed, "-CAfile", ca.cert,
                       "-TSA-CAfile", tsa.authority.cert, check=False)
        self.assertEqual(verified.returncode, 0, verified.stdout)
        for line in ("Message digest algorithm  : SHA256", "\tText description: " + WEB_INSTALLER,
                     "Timestamp Server Signature verification: ok", "Signature verification: ok"):
            self.assertIn(line + "\n", verified.stdout)
        self.assertNotEqual(run("osslsigncode", "verify", "-in", self.signed, "-CAfile", other_ca.cert,
                                "-TSA-CAfile", tsa.authority.cert, check=False).returncode, 0)

    def test_signed_file_passes_every_shipped_file_check(self):
        result = run(sys.executable, SHIPPED_CHECKS, env=dict(os.environ, TAVRO_SHIPPED_EXE=self.signed), check=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("OK", result.stderr)

    def test_signed_file_runs_its_self_test(self):
        self.assertEqual(subprocess.run([WINE_RUN, self.signed, "--self-test"], timeout=120).returncode, 0)

    def test_signing_adds_a_certificate_table_and_changes_two_header_fields(self):
        before, after = read(unsigned), read(self.signed)
        image = pefile.PE(self.signed, fast_load=True)
        header = image.OPTIONAL_HEADER.get_file_offset()
        checksum = range(header + 64, header + 68)
        security_entry = range(header + 96 + 4 * 8, header + 96 + 5 * 8)
        table = image.OPTIONAL_HEADER.DATA_DIRECTORY[4]
        self.assertEqual((table.VirtualAddress, table.VirtualAddress + table.Size), (len(before), len(after)))
        changed = {i for i in range(len(before)) if before[i] != after[i]}
        self.assertTrue(changed)
        self.assertLessEqual(changed, set(checksum) | set(security_entry))
        self.assertEqual(image.OPTIONAL_HEADER.CheckSum, image.generate_checksum())
        # Removing the signature gives back the reproducible build exactly.
        removed = path(self.__class__.__name__ + "-removed.exe")
        run("osslsigncode", "remove-signature", "-in", self.signed, "-out", removed)
        self.assertEqual(read(removed), before)


def check_refusals(test, base, cases):
    """Each row refused alike by signing and by the dry run: the sentence
    ends stderr, nothing on stdout, no temporary file left; neither touches
    the signed file there before nor SHA256SUMS."""
    out_dir = path("refused")
    out = os.path.join(out_dir, "signed.exe")
    for changes, sentence in cases:
        settings = dict(base, **changes)
        for args in ((unsigned, out), ("--check",)):
            with test.subTest(changes=sorted(changes), mode=args[0]):
                os.makedirs(out_dir, exist_ok=True)
                write("refused/signed.exe", b"stale")
                write("refused/SHA256SUMS", "%s  other.txt\n%s  signed.exe\n" % ("1" * 64, "0" * 64))
                result, tmp = sign(args, settings)
                test.assertEqual((result.returncode, result.stdout), (1, ""))
                test.assertTrue(result.stderr.endswith(sentence), result.stderr)
                test.assertEqual(os.listdir(tmp), [])
                test.assertEqual(read(out), b"stale")
                test.assertEqual(len(read(os.path.join(out_dir, "SHA256SUMS")).splitlines()), 2)
                test.assertEqual(sorted(os.listdir(out_dir)), ["SHA256SUMS", "signed.exe"])


class Pkcs12Release(SignedFileChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cert = os.path.join(ca.dir, "Code-Signer.pem")
        cls.publisher = "Code Signer"
        cls.issuer = ca
        cls.signed = path("release/TAVRO-Static-Module-Installer.exe")
        cls.signing, _ = sign((unsigned, cls.signed), pkcs12_settings)

    def test_keys_and_settings_accepted(self):
        crlf = write("password-crlf", PASSWORD + "\r\nsecond line\r\n")
        legacy = pkcs12("legacy", (os.path.join(ca.dir, "Code-Signer.key"), self.cert), ca, "-legacy")
        expiring_signer = ca.issue("Expiring Signer", usage("codeSigning"), days=10)
        expiring = pkcs12("expiring", expiring_signer, ca)
        setup = "TAVRO Static Module Setup"
        # Changes to the settings, what stderr says, lines the verified signature shows.
        cases = [
            # RC2-40 encryption, as OpenSSL 1.1 and many exporters write it.
            ({"TAVRO_SIGN_PKCS12": legacy}, "", []),
            ({"TAVRO_SIGN_PASSWORD_FILE": crlf}, "", []),
            ({"TAVRO_SIGN_PASSWORD_FILE": None, "TAVRO_SIGN_PASSWORD": PASSWORD}, "", []),
            ({"TAVRO_SIGN_NAME": setup, "TAVRO_SIGN_INFO_URL": "https://tavro.example/"}, "",
             ["\tText description: " + setup, "\tURL description: https://tavro.example/"]),
            ({"TAVRO_SIGN_TIMESTAMP_URL": None}, NO_TIMESTAMP, ["Timestamp is not available"]),
            # The build's TAVRO_PUBLISHER, as make release passes it.
            ({"TAVRO_SIGN_PUBLISHER": "Code Signer"}, "", []),
            ({"TAVRO_SIGN_PKCS12": expiring},
             "sign-release: warning: The certificate of CN=Expiring Signer expires on %s, within 30 days: renew "
             "it before the next release.\n" % not_after(expiring_signer[1]), []),
        ]
        for changes, stderr, shown in cases:
            settings = dict(pkcs12_settings, **changes)
            with self.subTest(changes=sorted(changes)):
                out = path("accepted/signed.exe")
                result, _ = sign((unsigned, out), settings)
                self.assertEqual((result.returncode, result.stderr), (0, stderr))
                verified = run("osslsigncode", "verify", "-in", out, "-CAfile", ca.cert, "-TSA-CAfile",
                               tsa.authority.cert).stdout
                for line in shown:
                    self.assertIn(line + "\n", verified)
                result, tmp = sign(("--check",), settings)
                self.assertEqual((result.returncode, result.stderr), (0, stderr))
                self.assertEqual(os.listdir(tmp), [])

    def test_dry_run_says_what_it_checked_and_writes_nothing(self):
        scratch = tempfile.mkdtemp(dir=work)
        env = environment(pkcs12_settings)
        result = run(SIGN, "--check", env=env, cwd=scratch)
        self.assertEqual(result.stdout.splitlines(), [
            "Key: " + pkcs12_settings["TAVRO_SIGN_PKCS12"],
            "Signer: CN=Code Signer, valid until " + not_after(self.cert),
            "Publisher: Code Signer",
            "Chain: verifies against " + ca.cert,
            "Issuing CA: CN=Throwaway CA, TAVRO_PUBLISHER_CA=" + key_hash(ca.cert),
            "Root: CN=Throwaway CA, TAVRO_PUBLISHER_CA=" + key_hash(ca.cert),
            "Time stamp: %s answered within 30 s, verified against %s" % (tsa.url, tsa.authority.cert),
            "Ready to sign. Nothing was written."])
        self.assertEqual((os.listdir(scratch), os.listdir(env["TMPDIR"])), ([], []))

    def test_signing_in_place_replaces_the_input_only_once_signed(self):
        os.makedirs(path("in-place"))
        target = path("in-place/TAVRO-Static-Module-Installer.exe")
        shutil.copyfile(unsigned, target)
        refused, _ = sign((target, target), dict(pkcs12_settings, TAVRO_SIGN_PASSWORD_FILE=None,
                                                 TAVRO_SIGN_PASSWORD="wrong"))
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(read(target), read(unsigned))
        # The same file, named another way.
        result, _ = sign((target, path("in-place/./TAVRO-Static-Module-Installer.exe")), pkcs12_settings)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        removed = path("in-place-removed.exe")
        run("osslsigncode", "remove-signature", "-in", target, "-out", removed)
        self.assertEqual(read(removed), read(unsigned))
        self.assertEqual(sorted(os.listdir(path("in-place"))), ["SHA256SUMS", "TAVRO-Static-Module-Installer.exe"])

    def test_refusals(self):
        tls = pkcs12("tls", ca.issue("TLS Server", usage("serverAuth")), ca)
        expired = pkcs12("expired", ca.issue("Expired Signer", usage("codeSigning"), days=-1, starts=-30), ca)
        early = pkcs12("early", ca.issue("Early Signer", usage("codeSigning"), days=60, starts=2), ca)
        expired_cert = os.path.join(ca.dir, "Expired-Signer.pem")
        missing = path("missing.p12")
        junk = write("junk.p12", "not a key\n")
        both = write("both-password", PASSWORD + "\n")
        hanging, unreachable = silent_server(), closed_port()
        cases = [
            ({"TAVRO_SIGN_PKCS12": None},
             "sign-release: No signing key: set TAVRO_SIGN_PKCS11_MODULE, TAVRO_SIGN_KEY and TAVRO_SIGN_CERT for a "
             "key in a token or key service (PKCS#11), or TAVRO_SIGN_PKCS12 and TAVRO_SIGN_PASSWORD_FILE for a "
             "PKCS#12 file (.p12/.pfx).\n"),
            ({"TAVRO_SIGN_PASSWORD_FILE": None},
             "sign-release: No password for %s: set TAVRO_SIGN_PASSWORD_FILE to a file holding it (or "
             "TAVRO_SIGN_PASSWORD to the password).\n" % pkcs12_settings["TAVRO_SIGN_PKCS12"]),
            ({"TAVRO_SIGN_PASSWORD": PASSWORD, "TAVRO_SIGN_PASSWORD_FILE": both},
             "sign-release: Both TAVRO_SIGN_PASSWORD_FILE and TAVRO_SIGN_PASSWORD are set: unset one (the file is "
             "the safer).\n"),
            ({"TAVRO_SIGN_PKCS12": missing},
             "sign-release: TAVRO_SIGN_PKCS12 names %s, which does not exist.\n" % missing),
            ({"TAVRO_SIGN_PASSWORD_FILE": None, "TAVRO_SIGN_PASSWORD": "wrong"},
             "sign-release: Cannot open %s with the password given (wrong password).\n"
             % pkcs12_settings["TAVRO_SIGN_PKCS12"]),
            ({"TAVRO_SIGN_PKCS12": junk}, "sign-release: %s is not a PKCS#12 file.\n" % junk),
            ({"TAVRO_SIGN_NAME": None},
             "sign-release: No program name: set TAVRO_SIGN_NAME to the name Windows should show for this program "
             "(make release sets the web installer's).\n"),
            ({"TAVRO_SIGN_PKCS12": tls},
             "sign-release: The certificate in %s is not for code signing (it needs extendedKeyUsage "
             "codeSigning).\n" % tls),
            ({"TAVRO_SIGN_PUBLISHER": "Someone Else"},
             'sign-release: The certificate names the publisher "Code Signer", but this build runs only setups '
             'signed by "Someone Else" (TAVRO_PUBLISHER): setups signed with it would not run; nothing was '
             'written.\n'),
            # The certificate's own fault is named, with or without a CA file.
            ({"TAVRO_SIGN_PKCS12": expired},
             "sign-release: The certificate of CN=Expired Signer expired on %s; nothing was written. It needs "
             "renewing.\n" % not_after(expired_cert)),
            ({"TAVRO_SIGN_PKCS12": expired, "TAVRO_SIGN_CAFILE": None},
             "sign-release: The certificate of CN=Expired Signer expired on %s; nothing was written. It needs "
             "renewing.\n" % not_after(expired_cert)),
            ({"TAVRO_SIGN_PKCS12": early},
             "sign-release: The certificate of CN=Early Signer is not valid before %s; nothing was written.\n"
             % run("openssl", "x509", "-in", os.path.join(ca.dir, "Early-Signer.pem"), "-noout",
                   "-startdate").stdout.strip().split("=", 1)[1]),
            # A home-made CA is not among the system's roots.
            ({"TAVRO_SIGN_CAFILE": None},
             "sign-release: The certificate of CN=Code Signer does not chain to a root in "
             "/etc/ssl/certs/ca-certificates.crt (self-signed certificate in certificate chain); nothing was "
             "written. A certificate from a private CA needs TAVRO_SIGN_CAFILE naming that CA.\n"),
            ({"TAVRO_SIGN_CAFILE": other_ca.cert},
             "sign-release: The certificate of CN=Code Signer does not chain to a root in %s (self-signed "
             "certificate in certificate chain); nothing was written. A certificate from a private CA needs "
             "TAVRO_SIGN_CAFILE naming that CA.\n" % other_ca.cert),
            # A time-stamp server that cannot be reached, that never answers,
            # or whose stamp does not verify stops the release rather than
            # dropping the stamp.
            ({"TAVRO_SIGN_TIMESTAMP_URL": unreachable},
             "sign-release: The time-stamp server %s refused the connection: nothing listens there (is it running, "
             "and on that port?); nothing was written.\n" % unreachable),
            ({"TAVRO_SIGN_TIMESTAMP_URL": hanging, "TAVRO_SIGN_TIMESTAMP_SECONDS": "2"},
             "sign-release: The time-stamp server %s did not answer within 2 s (TAVRO_SIGN_TIMESTAMP_SECONDS); "
             "nothing was written.\n" % hanging),
            ({"TAVRO_SIGN_TSA_CAFILE": None},
             "sign-release: The time stamp from %s does not verify against /etc/ssl/certs/ca-certificates.crt; "
             "nothing was written. A time-stamp server under a private CA needs TAVRO_SIGN_TSA_CAFILE naming that "
             "CA.\n" % tsa.url),
        ]
        check_refusals(self, pkcs12_settings, cases)


def echoing(terminal):
    """Whether the terminal still echoes, after waiting (up to a bound) for the
    prompt's reader to turn echo off: the prompt is written before that."""
    deadline = time.monotonic() + 60
    while termios.tcgetattr(terminal)[3] & termios.ECHO and time.monotonic() < deadline:
        time.sleep(0.01)
    return bool(termios.tcgetattr(terminal)[3] & termios.ECHO)


def sign_at_terminal(args, settings, answer):
    """Runs the script on a terminal of its own and types `answer` when the
    token asks for its PIN; returns the exit code and what the terminal showed."""
    env = environment(settings)
    pid, terminal = pty.fork()
    if pid == 0:
        os.execve(SIGN, [SIGN] + list(args), env)
    shown, answered = b"", False
    while True:
        ready, _, _ = select.select([terminal], [], [], 120)
        if not ready:
            os.kill(pid, 9)
            break
        try:
            data = os.read(terminal, 4096)
        except OSError:  # the terminal's far end closed
            data = b""
        if not data:
            break
        shown += data
        if not answered and ("PIN for %s:" % TOKEN).encode() in shown and not echoing(terminal):
            os.write(terminal, answer.encode() + b"\n")
            answered = True
    _, status = os.waitpid(pid, 0)
    os.close(terminal)
    return os.waitstatus_to_exitcode(status), shown.decode()


class TokenRelease(SignedFileChecks, unittest.TestCase):
    """Signed through PKCS#11 with a key SoftHSM2 holds."""

    @classmethod
    def setUpClass(cls):
        cls.cert = token_signer[1]
        cls.publisher = "Token Signer"
        cls.issuer = intermediate
        cls.signed = path("token-release/TAVRO-Static-Module-Installer.exe")
        cls.signing, _ = sign((unsigned, cls.signed), token_settings)

    def test_certificate_from_a_file(self):
        chain = write("token-signer-chain.pem", read(token_signer[1]) + read(intermediate.cert))
        out = path("token-file/signed.exe")
        result, _ = sign((unsigned, out), dict(token_settings, TAVRO_SIGN_CERT=chain, TAVRO_SIGN_CHAIN=None))
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        run("osslsigncode", "verify", "-in", out, "-CAfile", ca.cert, "-TSA-CAfile", tsa.authority.cert)

    def test_pin_typed_at_the_token_prompt(self):
        out = path("token-prompt/signed.exe")
        code, shown = sign_at_terminal((unsigned, out), dict(token_settings, TAVRO_SIGN_PIN_FILE=None), PIN)
        self.assertEqual(code, 0, shown)
        self.assertIn("Enter PKCS#11 token PIN for %s:" % TOKEN, shown)
        self.assertNotIn(PIN, shown)
        run("osslsigncode", "verify", "-in", out, "-CAfile", ca.cert, "-TSA-CAfile", tsa.authority.cert)

    def test_dry_run_says_what_it_checked(self):
        result, tmp = sign(("--check",), token_settings)
        self.assertEqual(result.stdout.splitlines(), [
            "Key: %s through %s" % (token_settings["TAVRO_SIGN_KEY"], SOFTHSM),
            "Signer: CN=Token Signer, valid until " + not_after(token_signer[1]),
            "Publisher: Token Signer",
            "Chain: verifies against " + ca.cert,
            "Issuing CA: CN=Throwaway Intermediate CA, TAVRO_PUBLISHER_CA=" + key_hash(intermediate.cert),
            "Root: CN=Throwaway CA, TAVRO_PUBLISHER_CA=" + key_hash(ca.cert),
            "Time stamp: %s answered within 30 s, verified against %s" % (tsa.url, tsa.authority.cert),
            "Ready to sign. Nothing was written."])
        self.assertEqual((result.stderr, os.listdir(tmp)), ("", []))

    def test_refusals(self):
        wrong_pin = write("wrong-pin", "000000\n")
        not_a_module = write("not-a-module.so", "not a module\n")
        cases = [
            ({"TAVRO_SIGN_PIN_FILE": wrong_pin},
             "sign-release: The token refused the PIN in %s (wrong PIN; a token locks after a few).\n" % wrong_pin),
            ({"TAVRO_SIGN_KEY": token_uri("nothing", "private")},
             "sign-release: No private key at %s through %s: check that the token is there and that the URI names "
             "the key.\n" % (token_uri("nothing", "private"), SOFTHSM)),
            ({"TAVRO_SIGN_CERT": token_uri("nothing", "cert")},
             "sign-release: No certificate at %s through %s: check that the token is there and that the URI names "
             "the certificate.\n" % (token_uri("nothing", "cert"), SOFTHSM)),
            ({"TAVRO_SIGN_KEY": token_uri("tls", "private"), "TAVRO_SIGN_CERT": token_uri("tls", "cert")},
             "sign-release: The certificate in %s is not for code signing (it needs extendedKeyUsage "
             "codeSigning).\n" % token_uri("tls", "cert")),
            ({"TAVRO_SIGN_CHAIN": None},
             "sign-release: The certificate of CN=Token Signer does not chain to a root in %s (unable to get local "
             "issuer certificate); nothing was written. A certificate from a private CA needs TAVRO_SIGN_CAFILE "
             "naming that CA. Intermediate certificates the token does not hold go in TAVRO_SIGN_CHAIN.\n"
             % ca.cert),
            # No PIN file and no terminal for the token to ask at.
            ({"TAVRO_SIGN_PIN_FILE": None},
             "sign-release: No PIN for the token: set TAVRO_SIGN_PIN_FILE to a file holding it, or run this from a "
             "terminal, where the token asks for it.\n"),
            ({"TAVRO_SIGN_PIN_FILE": None, "TAVRO_SIGN_PASSWORD": PIN},
             "sign-release: TAVRO_SIGN_PASSWORD and TAVRO_SIGN_PASSWORD_FILE are for a PKCS#12 file: the token's PIN "
             "comes from TAVRO_SIGN_PIN_FILE, or from the token's own prompt.\n"),
            ({"TAVRO_SIGN_PKCS11_MODULE": not_a_module},
             "sign-release: TAVRO_SIGN_PKCS11_MODULE names %s, which is not a PKCS#11 module.\n" % not_a_module),
            ({"TAVRO_SIGN_PKCS12": pkcs12_settings["TAVRO_SIGN_PKCS12"]},
             "sign-release: Both TAVRO_SIGN_PKCS12 and a PKCS#11 key (TAVRO_SIGN_PKCS11_MODULE, TAVRO_SIGN_KEY) are "
             "set: unset the one not meant.\n"),
        ]
        check_refusals(self, token_settings, cases)

if __name__ == "__main__":
    unittest.main(verbosity=2)

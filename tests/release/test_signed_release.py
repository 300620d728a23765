"""scripts/sign-release.sh on a copy of the shipped file, with a throwaway CA
and code-signing certificate made here (no key is kept anywhere)."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SIGN = os.path.join(SOURCE, "scripts", "sign-release.sh")
SHIPPED_CHECKS = os.path.join(SOURCE, "tests", "hardening", "test_shipped_exe.py")
SHIPPED = os.environ.get("TAVRO_SHIPPED_EXE", "")
WINE_RUN = os.environ.get("TAVRO_WINE_RUN", "")
PASSWORD = "throwaway pass"
NO_KEY = ("sign-release: No signing key: set TAVRO_SIGN_PKCS12 to the PKCS#12 file (.p12/.pfx) with the "
          "code-signing key and certificate, and TAVRO_SIGN_PASSWORD_FILE to a file holding its password "
          "(or TAVRO_SIGN_PASSWORD to the password).\n")

work = None


def run(*command, env=None, check=True):
    return subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=check)


def make_ca(name):
    key, cert = os.path.join(work, name + ".key"), os.path.join(work, name + ".pem")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
        "-subj", "/CN=Throwaway %s" % name, "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign")
    return key, cert


def make_signer(name, ca, usage):
    """A PKCS#12 file with a certificate for `usage` issued by `ca`."""
    key, csr, cert = (os.path.join(work, name + ext) for ext in (".key", ".csr", ".pem"))
    extensions = os.path.join(work, name + ".ext")
    with open(extensions, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n" % usage)
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=" + name)
    run("openssl", "x509", "-req", "-in", csr, "-CA", ca[1], "-CAkey", ca[0], "-set_serial", "2", "-days", "2",
        "-extfile", extensions, "-out", cert)
    p12 = os.path.join(work, name + ".p12")
    run("openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-certfile", ca[1], "-out", p12,
        "-passout", "pass:" + PASSWORD)
    return p12


def sign(out, **settings):
    """Runs the script with exactly these TAVRO_SIGN_* settings."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAVRO_SIGN_")}
    env.update(settings)
    return run(SIGN, unsigned, out, env=env, check=False)


def setUpModule():
    global work, ca, other_ca, signer, tls_signer, unsigned, signed, signing
    work = tempfile.mkdtemp(prefix="tavro-signing-")
    unsigned = os.path.join(work, "unsigned.exe")
    shutil.copyfile(SHIPPED, unsigned)
    ca, other_ca = make_ca("CA"), make_ca("Other CA")
    signer = make_signer("Code Signer", ca, "codeSigning")
    tls_signer = make_signer("TLS Server", ca, "serverAuth")
    password_file = os.path.join(work, "password")
    with open(password_file, "w") as f:
        f.write(PASSWORD + "\n")
    signed = os.path.join(work, "release", "TAVRO-Static-Module-Installer.exe")
    signing = sign(signed, TAVRO_SIGN_PKCS12=signer, TAVRO_SIGN_PASSWORD_FILE=password_file,
                   TAVRO_SIGN_CAFILE=ca[1])


def tearDownModule():
    shutil.rmtree(work, ignore_errors=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class SignedRelease(unittest.TestCase):
    def test_script_signs_and_names_the_file_and_its_sha256(self):
        self.assertEqual(signing.returncode, 0, signing.stderr)
        lines = signing.stdout.splitlines()
        self.assertEqual(lines[1:], ["Signed: " + signed, "SHA-256: " + run("sha256sum", signed).stdout[:64]])

    def test_signature_verifies_against_the_signing_ca_only(self):
        verified = run("osslsigncode", "verify", "-in", signed, "-CAfile", ca[1], check=False)
        self.assertEqual(verified.returncode, 0, verified.stdout)
        self.assertIn("Message digest algorithm  : SHA256\n", verified.stdout)
        self.assertIn("Signature verification: ok\n", verified.stdout)
        self.assertNotEqual(
            run("osslsigncode", "verify", "-in", signed, "-CAfile", other_ca[1], check=False).returncode, 0)

    def test_signed_file_passes_every_shipped_file_check(self):
        result = run(sys.executable, SHIPPED_CHECKS, env=dict(os.environ, TAVRO_SHIPPED_EXE=signed), check=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("OK", result.stderr)

    def test_signed_file_runs_its_self_test(self):
        self.assertEqual(subprocess.run([WINE_RUN, signed, "--self-test"], timeout=120).returncode, 0)

    def test_signing_adds_a_certificate_table_and_changes_two_header_fields(self):
        before, after = read(unsigned), read(signed)
        image = pefile.PE(signed, fast_load=True)
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
        removed = os.path.join(work, "removed.exe")
        run("osslsigncode", "remove-signature", "-in", signed, "-out", removed)
        self.assertEqual(read(removed), before)

    def test_refusals_leave_no_signed_file(self):
        out = os.path.join(work, "refused", "signed.exe")
        missing = os.path.join(work, "missing.p12")
        cases = [
            ({}, NO_KEY),
            ({"TAVRO_SIGN_PKCS12": signer}, "sign-release: No password for %s: set TAVRO_SIGN_PASSWORD_FILE to a "
             "file holding it (or TAVRO_SIGN_PASSWORD to the password).\n" % signer),
            ({"TAVRO_SIGN_PKCS12": missing, "TAVRO_SIGN_PASSWORD": PASSWORD},
             "sign-release: TAVRO_SIGN_PKCS12 names %s, which does not exist.\n" % missing),
            ({"TAVRO_SIGN_PKCS12": signer, "TAVRO_SIGN_PASSWORD": "wrong"},
             "sign-release: Cannot open %s with the password given (wrong password or not a PKCS#12 file).\n"
             % signer),
            ({"TAVRO_SIGN_PKCS12": tls_signer, "TAVRO_SIGN_PASSWORD": PASSWORD, "TAVRO_SIGN_CAFILE": ca[1]},
             "sign-release: The certificate in %s is not for code signing (it needs extendedKeyUsage "
             "codeSigning).\n" % tls_signer),
            # A time-stamp server that cannot be reached (nothing listens on
            # the discard port) stops the release rather than dropping the stamp.
            ({"TAVRO_SIGN_PKCS12": signer, "TAVRO_SIGN_PASSWORD": PASSWORD, "TAVRO_SIGN_CAFILE": ca[1],
              "TAVRO_SIGN_TIMESTAMP_URL": "http://127.0.0.1:9/"},
             "sign-release: osslsigncode could not sign %s.\n" % unsigned),
            # A home-made CA is not among the system's roots.
            ({"TAVRO_SIGN_PKCS12": signer, "TAVRO_SIGN_PASSWORD": PASSWORD},
             "sign-release: The signed file does not verify against /etc/ssl/certs/ca-certificates.crt; nothing "
             "was written. (A certificate from a private CA needs TAVRO_SIGN_CAFILE naming that CA.)\n"),
        ]
        for settings, sentence in cases:
            with self.subTest(settings=sorted(settings)):
                # An older signed file must not survive a failed run.
                os.makedirs(os.path.dirname(out), exist_ok=True)
                with open(out, "wb") as f:
                    f.write(b"stale")
                result = sign(out, **settings)
                self.assertEqual(result.returncode, 1)
                self.assertTrue(result.stderr.endswith(sentence), result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""The shipped file built with TAVRO_PUBLISHER runs a downloaded setup only
when it carries a valid Authenticode signature by that publisher. A
throwaway PKI is made here: a CA added to the Wine prefix's trusted roots,
another that is not, code-signing certificates (the publisher's, another
name's, an expired one) and the bed's time-stamp services (openssl ts, its
clock set back with faketime) that osslsigncode asks over http on loopback.
Every row publishes its file with its correct SHA-256 value."""
import functools
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
import bed  # noqa: E402

PUBLISHER = os.environ.get("TAVRO_TEST_PUBLISHER", "")
TRUST_ROOT = os.environ.get("TAVRO_TRUST_ROOT", "")
SETUP_NAME = "TAVRO-Static-Module-Setup-1.2.3.4.exe"
REFUSAL = "The downloaded installer is not signed by %s. It will not be executed." % PUBLISHER
# The expired certificate was valid for the first five months of 2025; the
# time-stamp service says it signed in March 2025.
EXPIRED_FROM, EXPIRED_UNTIL, STAMPED_AT = "2025-01-01 00:00:00", "2025-05-31 00:00:00", "2025-03-01 12:00:00"

# The root's revocation list is served here, inside the bed; each path asked
# for is noted.
CRL_PORT = 8082
crl_asked = []
work = None
crl_server = None
signers = {}
tsas = {}
display = None


def sign(signer, stamped=False, authority="tsa", at=STAMPED_AT):
    """The sample setup signed by one of the certificates made below, with a
    time stamp from one of the two services at `at` when asked for."""
    out = os.path.join(work, "signed-%d.exe" % len(os.listdir(work)))
    key, chain = signers[signer]
    command = ["osslsigncode", "sign", "-certs", chain, "-key", key, "-h", "sha256", "-n", "TAVRO Test Setup",
               "-in", bed.SAMPLE_SETUP, "-out", out]
    if stamped:
        tsas[authority].at = at
        command[2:2] = ["-ts", tsas[authority].url]
    bed.run(*command)
    with open(out, "rb") as f:
        return f.read()


class RevocationLists(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        crl_asked.append(self.path)
        super().do_GET()


def with_code_byte_changed(data):
    image = pefile.PE(data=data)
    text = next(s for s in image.sections if s.Name.rstrip(b"\0") == b".text")
    at = text.PointerToRawData + 64
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


def setUpModule():
    global work, display, crl_server
    work = tempfile.mkdtemp(prefix="publisher-", dir=bed.BED or None)
    # Roots back-dated, so that they cover the expired certificate's months too.
    root = bed.Authority(work, "TAVRO Test Root", since="2024-12-01 00:00:00")
    stranger = bed.Authority(work, "Untrusted Test Root", since="2024-12-01 00:00:00")
    code_signing = bed.usage("codeSigning")
    # Two of the publisher's certificates name where the CA lists what it
    # revoked, over http on loopback; the CA revokes one of them.
    listed = code_signing + "crlDistributionPoints=URI:http://127.0.0.1:%d/root.crl\n" % CRL_PORT
    # Two that other checks refuse name lists of their own (one each: Wine
    # keeps what it fetched), which no row may ask for.
    unchecked = code_signing + "crlDistributionPoints=URI:http://127.0.0.1:%d/%%s.crl\n" % CRL_PORT
    for name, subject, ca, when in (("publisher", PUBLISHER, root, {}),
                                    ("other", "Someone Else", root, {"usage": unchecked % "other"}),
                                    ("untrusted", PUBLISHER, stranger, {"usage": unchecked % "untrusted"}),
                                    ("expired", PUBLISHER, root, {"starts": EXPIRED_FROM, "days": EXPIRED_UNTIL}),
                                    ("listed", PUBLISHER, root, {"usage": listed}),
                                    ("revoked", PUBLISHER, root, {"usage": listed})):
        key, cert = ca.issue(subject, when.pop("usage", code_signing), label=name, **when)
        chain = os.path.join(work, name + "-chain.pem")
        with open(chain, "w") as out:
            for part in (cert, ca.cert):
                with open(part) as f:
                    out.write(f.read())
        signers[name] = key, chain
    root.revoke(os.path.join(root.dir, "revoked.pem"))
    crls = os.path.join(work, "crls")
    os.makedirs(crls)
    root.write_crl(os.path.join(crls, "root.crl"))
    crl_server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", CRL_PORT), functools.partial(RevocationLists, directory=crls))
    threading.Thread(target=crl_server.serve_forever, daemon=True).start()
    for authority, ca in (("tsa", root), ("stranger-tsa", stranger)):
        tsas[authority] = bed.TimeStampServer(work, ca, since="2024-12-15 00:00:00")
    display = bed.Display()
    bed.start_wine()
    subprocess.run([bed.WINE_RUN, TRUST_ROOT, "add", bed.winpath(root.cert)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120 * bed.SLOWDOWN)
    global root_cert
    root_cert = root.cert


def tearDownModule():
    # Checked: the prefix outlives this run, and a root left trusted there
    # would let a later run's throwaway publisher pass for free.
    subprocess.run([bed.WINE_RUN, TRUST_ROOT, "remove", bed.winpath(root_cert)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120 * bed.SLOWDOWN)
    for tsa in tsas.values():
        tsa.shutdown()
    crl_server.shutdown()
    display.close()
    shutil.rmtree(work, ignore_errors=True)


class PublisherSignature(unittest.TestCase):
    maxDiff = None

    def test_only_the_publishers_valid_signature_runs(self):
        unsigned = bed.sample_setup_bytes()
        signed = sign("publisher")
        # What a refused row's log gives as the detail.
        expired = "certificate chain errors 0x00000001 (not time valid)"
        rows = [
            ("signed by the publisher", signed, None),
            ("a code byte changed after signing", with_code_byte_changed(signed),
             "WinVerifyTrust result 0x80096010 (digest mismatch: changed after signing)"),
            ("unsigned", unsigned, "WinVerifyTrust result 0x800B0100 (no signature)"),
            ("another name under the same CA", sign("other"), 'a signature by "Someone Else"'),
            ("a CA that is not trusted", sign("untrusted"), "certificate chain errors 0x00000020 (untrusted root)"),
            ("expired, without a time stamp", sign("expired"), expired),
            ("expired, time-stamped within its validity", sign("expired", stamped=True), None),
            ("expired, time-stamped after it expired", sign("expired", stamped=True, at="2025-07-01 12:00:00"),
             expired),
            ("expired, time-stamped by an untrusted authority",
             sign("expired", stamped=True, authority="stranger-tsa"), expired),
            ("listed by its CA, not revoked", sign("listed"), None),
            ("revoked by its CA", sign("revoked"), "certificate chain errors 0x00000004 (revoked)"),
        ]
        for name, data, refusal in rows:
            runs = refusal is None
            with self.subTest(name):
                bed.reset_site()
                bed.publish_release(data)
                user = bed.UserProfile()
                del crl_asked[:]
                code = user.run(bed.INSTALLER, "--download-test")
                # Revocation is asked only of a signer that passes every other check.
                self.assertEqual([path for path in crl_asked if path != "/root.crl"], [])
                if runs:
                    self.assertEqual((code, user.files()), (0, sorted([SETUP_NAME, "TAVRO.Installer.log"])))
                    self.assertEqual(user.log_messages()[-1], "Installer verified successfully.")
                else:
                    self.assertEqual((code, user.files()), (1, ["TAVRO.Installer.log"]))
                    self.assertEqual(user.log_messages(), [
                        "Checking the TAVRO release manifest.",
                        "Downloading TAVRO Static Module 1.2.3.4.",
                        "Installer signature verification failed.",
                        "Detail: %s checking the signature of https://%s/releases/setup.exe." % (refusal, bed.HOST),
                    ])

    def test_the_window_names_the_publisher_it_wanted(self):
        bed.reset_site()
        bed.publish_release(bed.sample_setup_bytes())
        user = bed.UserProfile()
        window = bed.start_window_attempt(user, bed.INSTALLER)
        self.assertEqual(bed.drive("wait-messagebox", bed.WINDOW_WAIT)["text"], REFUSAL)
        bed.drive("dismiss-messagebox", bed.WINDOW_WAIT)
        bed.drive("close")
        self.assertEqual(bed.window_attempt_exit_code(window), 0)
        self.assertEqual(user.files(), ["TAVRO.Installer.log"])
        self.assertEqual(user.log_messages()[-3:-1], ["Installer signature verification failed.",
                                                      "Installation attempt failed: " + REFUSAL])


if __name__ == "__main__":
    unittest.main(verbosity=2)

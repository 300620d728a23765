"""The shipped file built with TAVRO_PUBLISHER runs a downloaded setup only
when it carries a valid Authenticode signature by that publisher. A
throwaway PKI is made here: a CA added to the Wine prefix's trusted roots,
another that is not, code-signing certificates (the publisher's, another
name's, an expired one) and a time-stamp service (openssl ts, its clock set
back with faketime) that osslsigncode asks over http on loopback. Every row
publishes its file with its correct SHA-256 value."""
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402

PUBLISHER = os.environ.get("TAVRO_TEST_PUBLISHER", "")
TRUST_ROOT = os.environ.get("TAVRO_TRUST_ROOT", "")
SETUP_NAME = "TAVRO-Static-Module-Setup-1.2.3.4.exe"
REFUSAL = "The downloaded installer is not signed by %s. It will not be executed." % PUBLISHER
TSA_PORT = 8090
# The expired certificate was valid for the first five months of 2025; the
# time-stamp service says it signed in March 2025.
EXPIRED_FROM, STAMPED_AT = "2025-01-01 00:00:00", "2025-03-01 12:00:00"

SERIALS = {}
STAMP = {}
work = None
tsa = None
display = None


def run(*command, when=None):
    if when is not None:
        command = ("faketime", when) + command
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=True)


def path(name):
    return os.path.join(work, name)


def make_ca(name, subject):
    # Back-dated, so that it covers the expired certificate's months too.
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path(name + ".key"),
        "-out", path(name + ".pem"), "-days", "3650", "-subj", "/CN=" + subject,
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
        when="2024-12-01 00:00:00")


def make_certificate(name, subject, ca, usage="codeSigning", when=None, days=30):
    with open(path(name + ".ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,%s\n"
                % usage)
    run("openssl", "req", "-utf8", "-newkey", "rsa:2048", "-nodes", "-keyout", path(name + ".key"), "-out",
        path(name + ".csr"), "-subj", "/O=%s/CN=%s" % (subject, subject))
    run("openssl", "x509", "-req", "-in", path(name + ".csr"), "-CA", path(ca + ".pem"), "-CAkey",
        path(ca + ".key"), "-set_serial", str(SERIALS.setdefault(name, len(SERIALS) + 2)), "-days", str(days), "-extfile",
        path(name + ".ext"), "-out", path(name + ".pem"), when=when)
    with open(path(name + "-chain.pem"), "w") as chain:
        for part in (name, ca):
            with open(path(part + ".pem")) as f:
                chain.write(f.read())


class TimeStampService(http.server.BaseHTTPRequestHandler):
    """RFC 3161 over http: openssl ts answers as STAMP["authority"] (a
    certificate made below), its clock at STAMP["at"]."""

    def log_message(self, *args):
        pass

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        with open(path("query.tsq"), "wb") as f:
            f.write(query)
        run("openssl", "ts", "-reply", "-config", path("tsa.cnf"), "-section", STAMP["authority"],
            "-queryfile", path("query.tsq"), "-out", path("reply.tsr"), when=STAMP["at"])
        with open(path("reply.tsr"), "rb") as f:
            reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)


def start_time_stamp_service():
    with open(path("tsa.cnf"), "w") as f:
        for authority, ca in (("tsa", "root"), ("stranger-tsa", "stranger")):
            f.write("[ %s ]\nserial = %s\ncrypto_device = builtin\nsigner_cert = %s\ncerts = %s\n"
                    "signer_key = %s\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
                    "accuracy = secs:1\nordering = yes\ntsa_name = yes\ness_cert_id_chain = no\n"
                    "ess_cert_id_alg = sha256\n"
                    % (authority, path("tsa.serial"), path(authority + ".pem"), path(ca + ".pem"),
                       path(authority + ".key")))
    with open(path("tsa.serial"), "w") as f:
        f.write("01\n")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", TSA_PORT), TimeStampService)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def sign(signer, stamped=False, authority="tsa", at=STAMPED_AT):
    STAMP.update(authority=authority, at=at)
    out = path("signed-%d.exe" % len(os.listdir(work)))
    command = ["osslsigncode", "sign", "-certs", path(signer + "-chain.pem"), "-key", path(signer + ".key"),
               "-h", "sha256", "-n", "TAVRO Test Setup", "-in", harness.SAMPLE_SETUP, "-out", out]
    if stamped:
        command[2:2] = ["-ts", "http://127.0.0.1:%d" % TSA_PORT]
    run(*command)
    with open(out, "rb") as f:
        return f.read()


def with_code_byte_changed(data):
    image = pefile.PE(data=data)
    text = next(s for s in image.sections if s.Name.rstrip(b"\0") == b".text")
    at = text.PointerToRawData + 64
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


def setUpModule():
    global work, tsa, display
    work = tempfile.mkdtemp(prefix="publisher-", dir=harness.BED or None)
    make_ca("root", "TAVRO Test Root")
    make_ca("stranger", "Untrusted Test Root")
    make_certificate("publisher", PUBLISHER, "root")
    make_certificate("other", "Someone Else", "root")
    make_certificate("untrusted", PUBLISHER, "stranger")
    make_certificate("expired", PUBLISHER, "root", when=EXPIRED_FROM, days=150)
    for authority, ca in (("tsa", "root"), ("stranger-tsa", "stranger")):
        make_certificate(authority, "Test Time Stamps", ca, usage="timeStamping", when="2024-12-15 00:00:00",
                         days=3650)
    tsa = start_time_stamp_service()
    display = harness.Display()
    harness.start_wine()
    subprocess.run([harness.WINE_RUN, TRUST_ROOT, "add", harness.winpath(path("root.pem"))], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120 * harness.SLOWDOWN)


def tearDownModule():
    # Checked: the prefix outlives this run, and a root left trusted there
    # would let a later run's throwaway publisher pass for free.
    subprocess.run([harness.WINE_RUN, TRUST_ROOT, "remove", harness.winpath(path("root.pem"))], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120 * harness.SLOWDOWN)
    tsa.shutdown()
    display.close()
    shutil.rmtree(work, ignore_errors=True)


class PublisherSignature(unittest.TestCase):
    def test_only_the_publishers_valid_signature_runs(self):
        unsigned = harness.sample_setup_bytes()
        signed = sign("publisher")
        rows = [
            ("signed by the publisher", signed, True),
            ("a code byte changed after signing", with_code_byte_changed(signed), False),
            ("unsigned", unsigned, False),
            ("another name under the same CA", sign("other"), False),
            ("a CA that is not trusted", sign("untrusted"), False),
            ("expired, without a time stamp", sign("expired"), False),
            ("expired, time-stamped within its validity", sign("expired", stamped=True), True),
            ("expired, time-stamped after it expired", sign("expired", stamped=True, at="2025-07-01 12:00:00"),
             False),
            ("expired, time-stamped by an untrusted authority",
             sign("expired", stamped=True, authority="stranger-tsa"), False),
        ]
        for name, data, runs in rows:
            with self.subTest(name):
                harness.reset_site()
                harness.publish_release(data)
                user = harness.UserProfile()
                code = user.run(harness.INSTALLER, "--download-test")
                if runs:
                    self.assertEqual((code, user.files()), (0, sorted([SETUP_NAME, "TAVRO.Installer.log"])))
                    self.assertEqual(user.log_messages()[-1], "Installer verified successfully.")
                else:
                    self.assertEqual((code, user.files()), (1, ["TAVRO.Installer.log"]))
                    self.assertEqual(user.log_messages(), [
                        "Checking the TAVRO release manifest.",
                        "Downloading TAVRO Static Module 1.2.3.4.",
                        "Installer signature verification failed.",
                    ])

    def test_the_window_names_the_publisher_it_wanted(self):
        harness.reset_site()
        harness.publish_release(harness.sample_setup_bytes())
        user = harness.UserProfile()
        window = harness.start_window_attempt(user, harness.INSTALLER)
        self.assertEqual(harness.drive("wait-messagebox", harness.WINDOW_WAIT)["text"], REFUSAL)
        harness.drive("dismiss-messagebox", harness.WINDOW_WAIT)
        harness.drive("close")
        self.assertEqual(harness.window_attempt_exit_code(window), 0)
        self.assertEqual(user.files(), ["TAVRO.Installer.log"])
        self.assertEqual(user.log_messages()[-2:], ["Installer signature verification failed.",
                                                    "Installation attempt failed: " + REFUSAL])


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""The built installer's --download-test mode against the local release site."""
import hashlib
import json
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
import bed  # noqa: E402

SETUP_NAME = "TAVRO-Static-Module-Setup-1.2.3.4.exe"
MANIFEST_URL = "https://%s%s" % (bed.HOST, bed.MANIFEST_PATH)
INSTALLER_BYTES = os.urandom(700 * 1024 + 13)


def setUpModule():
    bed.start_wine()


class DownloadTestMode(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        bed.reset_site()
        self.user = bed.UserProfile()

    def run_attempt(self):
        return self.user.run(bed.INSTALLER, "--download-test")

    def assert_attempt_fails(self, rules, **release):
        """On a fresh site with these rules, a fresh user's attempt fails and
        leaves nothing but the log; returns that user."""
        bed.reset_site()
        bed.publish_release(INSTALLER_BYTES, **release)
        bed.set_rules(rules)
        user = bed.UserProfile()
        self.assertEqual(user.run(bed.INSTALLER, "--download-test"), 1)
        self.assertEqual(user.files(), ["TAVRO.Installer.log"])
        return user

    def test_verified_download_keeps_the_file_and_logs_three_lines(self):
        bed.publish_release(INSTALLER_BYTES)
        self.assertEqual(self.run_attempt(), 0)
        with open(os.path.join(self.user.working_dir, SETUP_NAME), "rb") as f:
            self.assertEqual(f.read(), INSTALLER_BYTES)
        self.assertEqual(self.user.files(), sorted([SETUP_NAME, "TAVRO.Installer.log"]))
        self.assertEqual(self.user.log_messages(), [
            "Checking the TAVRO release manifest.",
            "Downloading TAVRO Static Module 1.2.3.4.",
            "Installer verified successfully.",
        ])
        log = self.user.log_bytes()
        self.assertFalse(log.startswith(b"\xef\xbb\xbf"))
        self.assertEqual(log.count(b"\r\n"), 3)
        self.assertNotIn(b"\r\r", log)

        seen = bed.requests()
        self.assertEqual([(r["method"], r["path"], r["port"]) for r in seen],
                         [("GET", "/updates/tavro-update.txt", 443), ("GET", "/releases/setup.exe", 443)])
        for request in seen:
            headers = {k.lower(): v for k, v in request["headers"].items()}
            self.assertEqual(headers["user-agent"], "TAVRO Static Module Installer/1.0")
            self.assertEqual(headers["host"], bed.HOST)
            self.assertNotIn("accept", headers)
            self.assertNotIn("content-length", headers)

    def test_one_session_carries_the_manifest_and_the_installer(self):
        # Windows keeps connections per session: a second one would cost a
        # second TCP and TLS handshake (Wine pools across sessions, so only
        # the count of sessions shows it).
        bed.publish_release(INSTALLER_BYTES)
        bed.set_rules({"/releases/setup.exe": {"sequence": [{"cut": 300000}, {}]}})
        traced = subprocess.run(self.user.command(bed.INSTALLER, "--download-test"), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120 * bed.SLOWDOWN,
                                env=dict(os.environ, WINEDEBUG="trace+winhttp"))
        self.assertEqual(traced.returncode, 0)
        self.assertEqual([r["path"] for r in bed.requests()], ["/updates/tavro-update.txt"] + 2 * ["/releases/setup.exe"])
        self.assertEqual(traced.stderr.count(b':WinHttpOpen L"TAVRO Static Module Installer/1.0"'), 1)

    def test_runs_append_to_one_log(self):
        bed.publish_release(INSTALLER_BYTES)
        self.assertEqual(self.run_attempt(), 0)
        bed.publish_release(INSTALLER_BYTES, sha="0" * 64)
        self.assertEqual(self.run_attempt(), 1)
        self.assertEqual(self.user.log_messages(), [
            "Checking the TAVRO release manifest.",
            "Downloading TAVRO Static Module 1.2.3.4.",
            "Installer verified successfully.",
            "Checking the TAVRO release manifest.",
            "Downloading TAVRO Static Module 1.2.3.4.",
            "Installer SHA-256 verification failed.",
            "Detail: SHA-256 %s computed where the manifest names %s." % (
                hashlib.sha256(INSTALLER_BYTES).hexdigest(), "0" * 64),
        ])
        # The failed run deleted only its own download: the first run's
        # verified copy stays.
        self.assertEqual(self.user.files(), sorted([SETUP_NAME, "TAVRO.Installer.log"]))
        with open(os.path.join(self.user.working_dir, SETUP_NAME), "rb") as f:
            self.assertEqual(f.read(), INSTALLER_BYTES)

    def test_manifest_errors_fetch_no_installer(self):
        for status, reason in ((404, "not found"), (500, "internal server error")):
            rules = {bed.MANIFEST_PATH: {"status": status}}
            with self.subTest(rules=rules):
                user = self.assert_attempt_fails(rules)
                self.assertEqual(user.log_messages(), [
                    "Checking the TAVRO release manifest.",
                    "Detail: HTTP status %d (%s) requesting %s." % (status, reason, MANIFEST_URL)])
                self.assertEqual([r["path"] for r in bed.requests()], ["/updates/tavro-update.txt"])

    def test_refused_installer_urls_are_never_requested(self):
        for url in ("http://%s/releases/setup.exe" % bed.HOST, "https://127.0.0.1/releases/setup.exe",
                    "https://www.%s.evil.test/releases/setup.exe" % bed.HOST):
            with self.subTest(url=url):
                self.assert_attempt_fails({}, url=url)
                self.assertEqual([r["path"] for r in bed.requests()], ["/updates/tavro-update.txt"])

    def test_version_that_names_another_directory_is_refused(self):
        bed.publish_release(INSTALLER_BYTES, version="..\\..\\..\\escaped")
        self.assertEqual(self.run_attempt(), 1)
        self.assertEqual(self.user.files(), ["TAVRO.Installer.log"])
        self.assertEqual(sorted(os.listdir(self.user.local_app_data)), ["TAVRO"])
        self.assertFalse(any("escaped" in name for name in os.listdir(os.path.dirname(self.user.local_app_data))))
        self.assertEqual(self.user.log_messages(), [
            "Checking the TAVRO release manifest.",
            'Detail: key version "..\\..\\..\\escaped" (16 characters) in %s.' % MANIFEST_URL])

    def test_installer_cut_short_is_deleted(self):
        bed.publish_release(INSTALLER_BYTES)
        # Cut, and the rest refused: the attempt ends with the drop.
        bed.set_rules({"/releases/setup.exe": {"sequence": [{"cut": 300000}, {"status": 416}]}})
        self.assertEqual(self.run_attempt(), 1)
        self.assertEqual(self.user.files(), ["TAVRO.Installer.log"])
        setup_url = "https://%s/releases/setup.exe" % bed.HOST
        self.assertEqual(self.user.log_messages(), [
            "Checking the TAVRO release manifest.",
            "Downloading TAVRO Static Module 1.2.3.4.",
            "Detail: the body ended at 300000 of %d bytes reading %s; resumed 1 time, then: HTTP status 416"
            " (range not satisfiable) requesting %s." % (len(INSTALLER_BYTES), setup_url, setup_url),
        ])

    def test_non_latin1_version_keeps_the_log_whole(self):
        bed.publish_release(INSTALLER_BYTES, version="1.2\u0416")
        self.assertEqual(self.run_attempt(), 0)
        self.assertEqual(self.user.log_messages(), [
            "Checking the TAVRO release manifest.",
            "Downloading TAVRO Static Module 1.2?.",
            "Installer verified successfully.",
        ])
        self.assertIn("TAVRO-Static-Module-Setup-1.2\u0416.exe", self.user.files())

    def test_in_host_redirects_are_followed(self):
        bed.publish_release(INSTALLER_BYTES, url_path="/releases/moved.exe",
                                url="https://%s/releases/setup.exe" % bed.HOST)
        bed.set_rules({"/releases/setup.exe": {"redirect": "https://www.%s/releases/moved.exe" % bed.HOST}})
        self.assertEqual(self.run_attempt(), 0)
        self.assertEqual(self.user.files(), sorted([SETUP_NAME, "TAVRO.Installer.log"]))
        self.assertEqual([(r["path"], r["headers"]["Host"]) for r in bed.requests()], [
            (bed.MANIFEST_PATH, bed.HOST), ("/releases/setup.exe", bed.HOST),
            ("/releases/moved.exe", "www." + bed.HOST)])

    def test_redirect_to_a_foreign_host_is_refused_before_any_request(self):
        # A foreign release whose hash matches its own bytes.
        foreign = b"foreign payload"
        foreign_manifest = "version=6.6.6\ninstallerUrl=https://%s/foreign/setup.exe\ninstallerSha256=%s\n" % (
            bed.HOST, bed.sha256(foreign))
        for path, target in ((bed.MANIFEST_PATH, "/foreign/tavro-update.txt"),
                             ("/releases/setup.exe", "/releases/setup.exe")):
            with self.subTest(path=path):
                bed.reset_site()
                bed.publish_release(INSTALLER_BYTES)
                bed.publish("/foreign/setup.exe", foreign)
                bed.publish("/foreign/tavro-update.txt", foreign_manifest)
                bed.set_rules({path: {"redirect": "https://%s%s" % (bed.HOSTILE_HOST, target)}})
                user = bed.UserProfile()
                self.assertEqual(user.run(bed.INSTALLER, "--download-test"), 1)
                self.assertEqual(user.files(), ["TAVRO.Installer.log"])
                expected = [bed.MANIFEST_PATH] + ([path] if path != bed.MANIFEST_PATH else [])
                self.assertEqual([r.get("path") for r in bed.requests()], expected)
                self.assertNotIn(bed.HOSTILE_HOST, json.dumps(bed.requests()))

    def test_a_drop_resumes_from_nginx(self):
        # nginx answers the Range itself; a relay in front of it drops the
        # first connection halfway through the installer.
        nginx = bed.start_nginx(os.path.join(bed.BED, "nginx"), port=5443)
        relay = bed.CuttingRelay(5443, len(INSTALLER_BYTES) // 2)
        try:
            bed.publish_release(INSTALLER_BYTES, url="https://%s:%d/releases/setup.exe" % (bed.HOST, relay.port))
            self.assertEqual(self.run_attempt(), 0)
        finally:
            nginx.terminate()
            nginx.wait()
        self.assertEqual(self.user.files(), sorted([SETUP_NAME, "TAVRO.Installer.log"]))
        log = self.user.log_messages()
        self.assertEqual(log[:2] + log[3:], ["Checking the TAVRO release manifest.",
                                             "Downloading TAVRO Static Module 1.2.3.4.",
                                             "Installer verified successfully."])
        resumed_at = int(re.fullmatch(r"Download resumed at (\d+) bytes\.", log[2]).group(1))
        self.assertTrue(0 < resumed_at < len(INSTALLER_BYTES), resumed_at)
        # The rest came again, not the whole file: about one file in all.
        self.assertEqual(relay.connections, 2)
        self.assertLess(relay.sent, len(INSTALLER_BYTES) * 11 // 10)

    def test_endless_manifest_fails_and_leaves_no_file(self):
        # The stall rules need a minute with the shipped file's real limits;
        # transfer_tests and attempt_tests prove them with shortened ones.
        self.assert_attempt_fails({bed.MANIFEST_PATH: {"endless": 1}})

    def test_the_shipped_limits_wait_for_a_slow_server(self):
        # Headers after 7 s: the shipped file waits a minute for them; a
        # build with the test tree's shortened limits (2 s) would fail here.
        bed.publish_release(INSTALLER_BYTES)
        bed.set_rules({bed.MANIFEST_PATH: {"wait_ms": 7000}})
        self.assertEqual(self.run_attempt(), 0)
        self.assertIn(SETUP_NAME, self.user.files())

    def test_trickling_servers_end_the_attempt_within_the_limits(self):
        # Three attempts at once, each served another trickle: header bytes
        # one a second, a chunk-size line that never ends (both for the
        # manifest), and the setup's TLS handshake relayed a byte at a time.
        # The server gives up after 150 s; the shipped file's limit is 60 s.
        bed.publish_release(INSTALLER_BYTES, url="https://%s:7443/releases/setup.exe" % bed.HOST)
        bed.set_rules({bed.MANIFEST_PATH: {"sequence": [
            {"trickle_headers": 1000}, {"endless_chunk_size": 1000}, {}]}})
        users = [bed.UserProfile() for _ in range(3)]
        start = time.monotonic()
        attempts = [subprocess.Popen(user.command(bed.INSTALLER, "--download-test"), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL) for user in users]
        codes = [attempt.wait(timeout=300 * bed.SLOWDOWN) for attempt in attempts]
        elapsed = time.monotonic() - start
        print("trickled attempts ended after %.1f s" % elapsed, file=sys.stderr)
        self.assertEqual(codes, [1, 1, 1])
        self.assertLess(elapsed, 100 + 20 * bed.SLOWDOWN)
        # Each: its first line(s) and the detail of the limit that ended it.
        self.assertEqual(sorted(len(user.log_messages()) for user in users), [2, 2, 3])
        for user in users:
            self.assertEqual(user.files(), ["TAVRO.Installer.log"])
        seen = bed.requests()
        self.assertEqual(sum(1 for r in seen if r.get("path") == bed.MANIFEST_PATH), 3)
        self.assertEqual(sum(1 for r in seen if r.get("relayed")), 1)

    def test_two_attempts_at_once_both_verify(self):
        bed.publish_release(INSTALLER_BYTES)
        # Slow enough that the two downloads overlap.
        bed.set_rules({"/releases/setup.exe": {"delay_ms": 200, "chunk": 65536}})
        attempts = [subprocess.Popen(self.user.command(bed.INSTALLER, "--download-test"),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for _ in range(2)]
        self.assertEqual([attempt.wait(timeout=120) for attempt in attempts], [0, 0])
        with open(os.path.join(self.user.working_dir, SETUP_NAME), "rb") as f:
            self.assertEqual(f.read(), INSTALLER_BYTES)
        self.assertEqual(self.user.files(), sorted([SETUP_NAME, "TAVRO.Installer.log"]))
        self.assertEqual(sorted(r["path"] for r in bed.requests()),
                         sorted([bed.MANIFEST_PATH, "/releases/setup.exe"] * 2))
        self.assertEqual(self.user.log_messages().count("Installer verified successfully."), 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)

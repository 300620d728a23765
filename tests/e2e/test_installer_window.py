"""The installer window under Wine on a virtual display, worked by the
window driver against the local release site."""
import hashlib
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
import bed  # noqa: E402
from bed import drive  # noqa: E402

CAPTION = "TAVRO Static Module Installer"
READY = "Download and install the current release."
CHECKING = "Checking the latest TAVRO Static Module release..."
DOWNLOADING = "Downloading the verified TAVRO installer..."
DOWNLOAD_FAILED = "The download could not be completed. Check the internet connection and try again."
SETUP_NAME = "TAVRO-Static-Module-Setup-1.2.3.4.exe"
MANIFEST_URL = "https://%s%s" % (bed.HOST, bed.MANIFEST_PATH)
WAIT = 30000 * bed.SLOWDOWN  # ms; every wait is bounded

display = None


def setUpModule():
    global display
    display = bed.Display()
    bed.start_wine()


def tearDownModule():
    display.close()


class InstallerWindow(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        bed.reset_site()
        self.user = bed.UserProfile()
        self.process = None

    def tearDown(self):
        # Whatever a failed test left open must not be found by the next one.
        if self.process and self.process.poll() is None:
            subprocess.run([bed.WINE_RUN, "--kill"])
            self.process.kill()
            self.process.wait()
            bed.start_wine()

    def start(self):
        self.process = subprocess.Popen(self.user.command(bed.INSTALLER), stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        drive("wait-window", WAIT)

    def exit_code(self):
        return self.process.wait(timeout=60 * bed.SLOWDOWN)

    def ran_file(self):
        path = os.path.join(self.user.working_dir, "sample-setup-ran.txt")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def assert_failed_state(self, sentence, wait=WAIT):
        box = drive("wait-messagebox", wait)
        self.assertEqual(box["caption"], CAPTION)
        self.assertEqual(box["text"], sentence)
        self.assertEqual(box["owner_ok"], "1")
        state = drive("state")
        self.assertEqual(state["status"], sentence)
        self.assertEqual(state["button"], "Try again")
        # The box is modal: the window (not the button) is disabled under it.
        drive("dismiss-messagebox", WAIT)
        drive("wait-button", WAIT, "Try again", 1)
        return drive("state")

    def test_ready_state(self):
        self.start()
        state = drive("state")
        self.assertEqual(state["title"], CAPTION)
        self.assertEqual(state["class"], "TAVROStaticModuleBootstrapperWindow")
        self.assertEqual(state["style"].lower(), "0x14ca0000")  # caption, system menu, minimize box; visible
        self.assertEqual(state["window_rect"].split(",")[2:], ["540", "225"])
        self.assertEqual((state["status"], state["button"], state["button_enabled"]), (READY, "Install TAVRO", "1"))
        self.assertEqual((state["progress"], state["progress_min"], state["progress_max"]), ("0", "0", "100"))
        self.assertEqual([state["child%d" % i] for i in range(int(state["children"]))], [
            "Static,24,20,470,28,0,TAVRO Static Module",
            "Static,24,58,470,40,0," + READY,
            "msctls_progress32,24,104,470,20,0,",
            "Button,338,140,156,32,1,Install TAVRO",
        ])
        # Text drawn in the small GUI font, not the larger system font.
        ink = drive("ink")
        if ink.get("covered") == "0":
            title_height = int(ink["ink0"].split(",")[3])
            self.assertLessEqual(title_height, 10, ink)
        bed.screenshot("ready")
        drive("close")
        drive("wait-gone", WAIT)
        self.assertEqual(self.exit_code(), 0)
        self.assertEqual(self.user.log_messages(), [])

    def test_successful_click_starts_the_verified_setup_once(self):
        setup = bed.sample_setup_bytes()
        bed.publish_release(setup)
        # The server holds each answer until the test has seen the state it
        # shows: the manifest before it answers, the setup halfway.
        bed.set_rules({"/updates/tavro-update.txt": {"hold": "manifest"},
                           "/releases/setup.exe": {"hold": "setup", "hold_at": len(setup) // 2}})
        self.start()
        drive("click")
        # The click is posted; wait until the window has handled it.
        drive("wait-button", WAIT, "Downloading...", 0)
        self.assertEqual(drive("state")["status"], CHECKING)
        bed.release("manifest")
        drive("wait-status", WAIT, DOWNLOADING)
        drive("wait-progress-between", WAIT, 20, 80)
        state = drive("state")
        self.assertEqual((state["button"], state["button_enabled"]), ("Downloading...", "0"))
        bed.screenshot("running")
        bed.release("setup")
        drive("wait-gone", 2 * WAIT)
        self.assertEqual(self.exit_code(), 0)
        self.assertEqual(self.ran_file(), b"ran args=[]\r\n")
        self.assertEqual(self.user.log_messages(), [
            "Checking the TAVRO release manifest.",
            "Downloading TAVRO Static Module 1.2.3.4.",
            "Installer verified successfully.",
            "TAVRO Setup started.",
        ])
        self.assertIn(SETUP_NAME, self.user.files())

    def test_a_dropped_download_goes_on_where_it_was(self):
        setup = bed.sample_setup_bytes()
        bed.publish_release(setup)
        # The first answer drops halfway; the rest waits until the test has
        # seen the bar stay where it was.
        bed.set_rules({"/releases/setup.exe": {"sequence": [{"cut": len(setup) // 2}, {"hold": "rest"}]}})
        self.start()
        drive("click")
        self.assertTrue(bed.wait_until(
            lambda: [r.get("path") for r in bed.requests()].count("/releases/setup.exe") == 2))
        self.assertGreaterEqual(int(drive("state")["progress"]), 45)
        bed.release("rest")
        drive("wait-gone", 2 * WAIT)
        self.assertEqual(self.exit_code(), 0)
        self.assertEqual(self.ran_file(), b"ran args=[]\r\n")
        log = self.user.log_messages()
        self.assertEqual(log[2], "Download resumed at %d bytes." % (len(setup) // 2))
        self.assertEqual(log[3:], ["Installer verified successfully.", "TAVRO Setup started."])

    def test_try_again_goes_on_from_the_kept_bytes_and_closing_lets_them_go(self):
        setup = bed.sample_setup_bytes()
        cut = len(setup) * 4 // 5
        bed.publish_release(setup)
        kept = lambda: [name for name in self.user.files() if name.endswith(".partial")]  # noqa: E731
        for close in (True, False):
            with self.subTest("closing" if close else "trying again"):
                bed.reset_site()
                bed.publish_release(setup)
                # Cut at 80 %, and the one resume refused: the attempt fails.
                bed.set_rules({"/releases/setup.exe": {"sequence": [{"cut": cut}, {"status": 503}, {}]}})
                self.start()
                drive("click")
                self.assert_failed_state(DOWNLOAD_FAILED)
                self.assertEqual(len(kept()), 1)
                if close:
                    drive("close")
                    drive("wait-gone", WAIT)
                    self.assertEqual(self.exit_code(), 0)
                    self.assertEqual(kept(), [])
                    continue
                drive("click")
                drive("wait-gone", 2 * WAIT)
                self.assertEqual(self.exit_code(), 0)
                asked = [r["headers"].get("Range") for r in bed.requests() if r.get("path") == "/releases/setup.exe"]
                self.assertEqual(asked, [None, "bytes=%d-" % cut, "bytes=%d-" % cut])
                self.assertEqual(self.user.log_messages()[-3:], [
                    "Download resumed at %d bytes." % cut, "Installer verified successfully.", "TAVRO Setup started."])
                self.assertEqual(kept(), [])
                self.assertEqual(self.ran_file(), b"ran args=[]\r\n")

    def test_failures_show_message_and_try_again_starts_afresh(self):
        installer = os.urandom(200000)
        wrong = "ab" * 32
        cases = [
            ("manifest 404", None, "The TAVRO server returned an unexpected response.", [
                "Checking the TAVRO release manifest.",
                "Installation attempt failed: The TAVRO server returned an unexpected response.",
                "Detail: HTTP status 404 (not found) requesting %s." % MANIFEST_URL]),
            ("hash mismatch", dict(sha=wrong),
             "The downloaded installer did not match the official SHA-256 value. It will not be executed.", [
                 "Checking the TAVRO release manifest.",
                 "Downloading TAVRO Static Module 1.2.3.4.",
                 "Installer SHA-256 verification failed.",
                 "Installation attempt failed: The downloaded installer did not match the official SHA-256 value."
                 " It will not be executed.",
                 "Detail: SHA-256 %s computed where the manifest names %s." % (
                     hashlib.sha256(installer).hexdigest(), wrong)]),
            ("foreign installer host", dict(url="https://downloads.example.net/setup.exe"),
             "The release URL is not hosted on the official TAVRO domain.", [
                 "Checking the TAVRO release manifest.",
                 "Installation attempt failed: The release URL is not hosted on the official TAVRO domain.",
                 'Detail: key installerUrl "https://downloads.example.net/setup.exe" (39 characters) in %s.'
                 % MANIFEST_URL]),
        ]
        self.start()
        expected_log = []
        for name, release, sentence, lines in cases:
            with self.subTest(name):
                bed.reset_site()
                if release is not None:
                    bed.publish_release(installer, **release)
                drive("click")
                state = self.assert_failed_state(sentence)
                if name == "hash mismatch":
                    self.assertEqual(state["progress"], "100")  # left where it was
                expected_log += lines
                self.assertEqual(self.user.log_messages(), expected_log)
                self.assertEqual(self.user.files(), ["TAVRO.Installer.log"])

        # The picture of a failure, taken with its message box open.
        bed.reset_site()
        drive("click")
        drive("wait-messagebox", WAIT)
        bed.screenshot("failed")
        drive("dismiss-messagebox", WAIT)
        drive("wait-button", WAIT, "Try again", 1)
        expected_log += ["Checking the TAVRO release manifest.",
                         "Installation attempt failed: The TAVRO server returned an unexpected response.",
                         "Detail: HTTP status 404 (not found) requesting %s." % MANIFEST_URL]

        # After a hash failure the bar stood at 100; a new attempt starts at 0.
        bed.publish_release(installer, sha=wrong)
        drive("click")
        drive("wait-messagebox", WAIT)
        drive("dismiss-messagebox", WAIT)
        self.assertEqual(drive("wait-button", WAIT, "Try again", 1)["button"], "Try again")
        self.assertEqual(drive("state")["progress"], "100")
        bed.publish_release(installer, sha=wrong)
        bed.set_rules({"/updates/tavro-update.txt": {"hold": "manifest"}})
        drive("click")
        drive("wait-button", WAIT, "Downloading...", 0)
        state = drive("state")
        self.assertEqual((state["status"], state["progress"], state["button"], state["button_enabled"]),
                         (CHECKING, "0", "Downloading...", "0"))
        bed.release("manifest")
        drive("wait-messagebox", WAIT)
        drive("dismiss-messagebox", WAIT)
        drive("close")
        drive("wait-gone", WAIT)
        self.assertEqual(self.exit_code(), 0)

    def test_a_trickling_server_fails_the_attempt_within_the_limits(self):
        # Header bytes one a second, for longer than the shipped file's
        # one-minute limit: the attempt ends at that limit, not the server's.
        bed.publish_release(os.urandom(1000))
        bed.set_rules({"/updates/tavro-update.txt": {"trickle_headers": 1000}})
        self.start()
        drive("click")
        start = time.monotonic()
        self.assert_failed_state(DOWNLOAD_FAILED, wait=150000 * bed.SLOWDOWN)
        elapsed = time.monotonic() - start
        print("trickled attempt failed after %.1f s" % elapsed, file=sys.stderr)
        self.assertLess(elapsed, 100 + 20 * bed.SLOWDOWN)
        self.assertEqual(self.user.log_messages(), [
            "Checking the TAVRO release manifest.",
            "Installation attempt failed: " + DOWNLOAD_FAILED,
            "Detail: no response headers within 60 s requesting %s." % MANIFEST_URL,
        ])
        drive("close")
        drive("wait-gone", WAIT)
        self.assertEqual(self.exit_code(), 0)

    def test_shell_refusing_the_file_leaves_it_and_fails(self):
        not_a_program = b"This verified file is text, not a program.\r\n" * 100
        bed.publish_release(not_a_program)
        self.start()
        drive("click")
        # The shell reports the file it cannot start in a box of its own,
        # owned by the window, before the installer shows its message.
        shell_box = drive("wait-messagebox", WAIT)
        self.assertNotEqual(shell_box["caption"], CAPTION)
        drive("dismiss-messagebox", WAIT)
        state = self.assert_failed_state("Windows could not start the verified TAVRO Setup file.")
        self.assertEqual(state["progress"], "100")
        self.assertEqual(self.user.log_messages(), [
            "Checking the TAVRO release manifest.",
            "Downloading TAVRO Static Module 1.2.3.4.",
            "Installer verified successfully.",
            "Installation attempt failed: Windows could not start the verified TAVRO Setup file.",
            "Detail: ShellExecuteEx code 11 starting %s." % bed.winpath(os.path.join(self.user.working_dir, SETUP_NAME)),
        ])
        with open(os.path.join(self.user.working_dir, SETUP_NAME), "rb") as f:
            self.assertEqual(f.read(), not_a_program)
        drive("close")
        drive("wait-gone", WAIT)
        self.assertEqual(self.exit_code(), 0)

    def test_closing_during_an_attempt_ends_with_exit_code_zero(self):
        setup = os.urandom(2 * 1024 * 1024)
        bed.publish_release(setup)
        # Half the setup, and then nothing until the window has been closed.
        bed.set_rules({"/releases/setup.exe": {"hold": "setup", "hold_at": len(setup) // 2}})
        self.start()
        drive("click")
        drive("wait-progress-between", WAIT, 40, 60)
        drive("close")
        drive("wait-gone", WAIT)
        self.assertEqual(self.exit_code(), 0)
        self.assertIsNone(self.ran_file())
        self.assertEqual(self.user.log_messages(), [
            "Checking the TAVRO release manifest.",
            "Downloading TAVRO Static Module 1.2.3.4.",
        ])
        # The ended process left its partial file; the next attempt sweeps it.
        self.assertEqual([name.endswith(".partial") for name in self.user.files()], [True, False])
        bed.set_rules({})
        self.assertEqual(self.user.run(bed.INSTALLER, "--download-test"), 0)
        self.assertEqual(self.user.files(), sorted([SETUP_NAME, "TAVRO.Installer.log"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""A DLL planted beside the installer is never loaded: the installer limits
DLL loading to System32 first thing and delay-loads every DLL that is not a
known DLL. Run inside the test bed. Wine is told to prefer a DLL found beside
the program, as Windows does; a control program that imports winhttp.dll the
ordinary way shows that the planted copy would be taken."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
import bed  # noqa: E402

PLANTED_DLL = os.environ.get("TAVRO_PLANTED_DLL", "")
CONTROL = os.environ.get("TAVRO_PLAIN_IMPORT", "")
PLANTED = ("winhttp.dll", "bcrypt.dll", "comctl32.dll")


display = None


def setUpModule():
    global display
    os.environ["WINEDLLOVERRIDES"] = "winhttp,bcrypt,comctl32=n,b;mscoree,mshtml="
    # Before Wine's desktop starts, so that it draws on this display.
    display = bed.Display()
    bed.start_wine()


def tearDownModule():
    display.close()


class DllPlanting(unittest.TestCase):
    def setUp(self):
        self.downloads = tempfile.mkdtemp(prefix="downloads-", dir=bed.BED or None)
        for name in PLANTED:
            shutil.copy(PLANTED_DLL, os.path.join(self.downloads, name))
        self.installer = os.path.join(self.downloads, "TAVRO-Static-Module-Installer.exe")
        shutil.copy(bed.INSTALLER, self.installer)

    def marks(self):
        return sorted(n.lower() for n in os.listdir(self.downloads) if n.endswith("-was-loaded.txt"))

    def test_control_program_takes_the_planted_dll(self):
        control = os.path.join(self.downloads, "plain_import.exe")
        shutil.copy(CONTROL, control)
        subprocess.run([bed.WINE_RUN, control], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120)
        self.assertEqual(self.marks(), ["winhttp.dll-was-loaded.txt"])

    def test_installer_self_test_ignores_planted_dlls(self):
        result = subprocess.run([bed.WINE_RUN, self.installer, "--self-test"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=120)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(self.marks(), [])

    def test_installer_window_ignores_planted_dlls(self):
        # A whole attempt in the window, up to the start of the verified setup.
        bed.reset_site()
        bed.publish_release(bed.sample_setup_bytes())
        user = bed.UserProfile()
        window = bed.start_window_attempt(user, self.installer)
        self.assertEqual(bed.window_attempt_exit_code(window), 0)
        self.assertTrue(os.path.exists(os.path.join(user.working_dir, "sample-setup-ran.txt")))
        self.assertEqual(self.marks(), [])

    def test_installer_download_ignores_planted_dlls(self):
        bed.reset_site()
        bed.publish_release(os.urandom(100000))
        user = bed.UserProfile()
        self.assertEqual(user.run(self.installer, "--download-test"), 0)
        self.assertEqual(self.marks(), [])


class LoadedOnlyWhenNeeded(unittest.TestCase):
    """Each mode loads, of the delay-loaded DLLs, only those it uses: the
    self-test cracks URLs (winhttp) and neither downloads, hashes nor shows
    a window."""

    def loaded(self, *args):
        bed.reset_site()
        bed.publish_release(os.urandom(100000))
        user = bed.UserProfile()
        trace = os.path.join(user.local_app_data, "loaddll.txt")
        env = dict(os.environ, WINEDEBUG="+loaddll", WINEDLLOVERRIDES="mscoree,mshtml=")
        with open(trace, "wb") as out:
            code = subprocess.run(user.command(bed.INSTALLER, *args), env=env, stdout=out, stderr=out,
                                  timeout=120).returncode
        with open(trace, encoding="utf-8", errors="replace") as f:
            names = set(m.lower() for m in re.findall(r'Loaded L"[^"]*\\\\([^"\\\\]+)"', f.read()))
        return code, sorted(names & set(PLANTED))

    def test_each_mode_loads_what_it_uses(self):
        for args, expected in ((("--self-test",), ["winhttp.dll"]),
                               (("--download-test",), ["bcrypt.dll", "winhttp.dll"])):
            with self.subTest(args=args):
                self.assertEqual(self.loaded(*args), (0, expected))


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""The manifest tool (tavro-manifest.exe) and the installer under test agree:
each manifest the tool writes or accepts, the installer's --download-test
verifies on the local release site; each one it refuses, the installer
fails on; and the tool's live check, run against the published site, says
what the installer did: the sentence it shows, or the verified file."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
import bed  # noqa: E402

TOOL = os.environ.get("TAVRO_MANIFEST_TOOL", "")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MANIFEST_SCRIPT = os.path.join(SOURCE, "scripts", "manifest.py")
HOST = bed.HOST
SETUP_BYTES = os.urandom(40 * 1024 + 5)
SETUP_PATH = "/releases/setup.exe"
URL = "https://%s%s" % (HOST, SETUP_PATH)
INCOMPLETE = "The TAVRO release manifest is incomplete."
BAD_VERSION = "The TAVRO release manifest names an invalid version."
NOT_HTTPS = "The release URL must use HTTPS."
FOREIGN = "The release URL is not hosted on the official TAVRO domain."
INVALID = "The release URL is invalid."
MISMATCH = "The downloaded installer did not match the official SHA-256 value. It will not be executed."
FETCH_FAILED = "The download could not be completed. Check the internet connection and try again."
INSTALLER_SAYS = " The installer would say: "
LIVE_CHECKED = "Checked https://%s/updates/tavro-update.txt with the installer's own code.\n" % HOST


def says(reason, sentence):
    """The tool's line for a refusal: its reason, then the installer's own sentence."""
    return "tavro-manifest: refused: %s%s%s\n" % (reason, INSTALLER_SAYS, sentence)


# version, installerUrl, the tool's refusal (None: written and verified).
WRITE_CASES = [
    ("1.2.3.4", URL, None),
    ("1.2.3.4", "https://www.%s%s" % (HOST, SETUP_PATH), None),
    ("2.0 beta", "https://%s:443%s?from=site" % (HOST.upper(), SETUP_PATH), None),
    ("1.2.3.4", "http://%s%s" % (HOST, SETUP_PATH),
     says('installerUrl = "http://%s%s".' % (HOST, SETUP_PATH), NOT_HTTPS)),
    ("1.2.3.4", "https://evil.example" + SETUP_PATH,
     says('installerUrl = "https://evil.example%s".' % SETUP_PATH, FOREIGN)),
    ("1.2.3.4", "https://%s.evil.example%s" % (HOST, SETUP_PATH),
     says('installerUrl = "https://%s.evil.example%s".' % (HOST, SETUP_PATH), FOREIGN)),
    ("1.2.3.4", "releases/setup.exe", says('installerUrl = "releases/setup.exe".', INVALID)),
    ("1.2.3.4", "", says("installerUrl is empty.", INCOMPLETE)),
    ("", URL, says("version is empty.", INCOMPLETE)),
    ("..\\..\\escaped", URL, says('version = "..\\..\\escaped".', BAD_VERSION)),
    ("1.2:3", URL, says('version = "1.2:3".', BAD_VERSION)),
    ("1.2\t3", URL, says('version = "1.2\t3".', BAD_VERSION)),
    # TAVRO-Static-Module-Setup-<version>.exe would pass 255 characters.
    ("9" * 226, URL, says('version = "%s".' % ("9" * 226), BAD_VERSION)),
    # Written without the fragment, which the installer would not send.
    ("1.2.3.4", URL + "#v1", None),
]


def compose(version, url, sha):
    return ("version=%s\ninstallerUrl=%s\ninstallerSha256=%s\n" % (version, url, sha)).encode("utf-8")


GOOD = compose("1.2.3.4", URL, bed.sha256(SETUP_BYTES))
# Manifest bytes, and why the tool's check refuses them (None: accepted).
CHECK_CASES = [
    ("good", GOOD, None),
    ("fragment", compose("1.2.3.4", URL + "#v1", bed.sha256(SETUP_BYTES)), None),
    ("upper-case hash", compose("1.2.3.4", URL, bed.sha256(SETUP_BYTES).upper()), None),
    ("wrong hash", compose("1.2.3.4", URL, "0" * 64),
     says('installerSha256 = "%s" but the setup file\'s SHA-256 is %s.' % ("0" * 64, bed.sha256(SETUP_BYTES)),
          MISMATCH)),
    ("BOM", b"\xef\xbb\xbf" + GOOD,
     says("The manifest starts with a byte order mark; save it as UTF-8 without one.", INCOMPLETE)),
    ("not UTF-8", GOOD + b"# caf\xe9\n", says("The manifest is not well-formed UTF-8.", INCOMPLETE)),
    ("missing key", b"\n".join(GOOD.split(b"\n")[:2]) + b"\n", says("installerSha256 is missing.", INCOMPLETE)),
    ("wrong host", GOOD.replace(URL.encode(), b"https://evil.example" + SETUP_PATH.encode()),
     says('installerUrl = "https://evil.example%s".' % SETUP_PATH, FOREIGN)),
    ("above the cap", GOOD + b"#" * (65536 - len(GOOD)) + b"\n",
     says("The manifest is 65537 bytes, more than the 65536 the installer reads.", FETCH_FAILED)),
]


def setUpModule():
    bed.start_wine()


class ManifestToolAgreesWithInstaller(unittest.TestCase):
    def setUp(self):
        self.setup_file = os.path.join(bed.BED, "setup.exe")
        with open(self.setup_file, "wb") as f:
            f.write(SETUP_BYTES)

    def tool(self, *args):
        result = subprocess.run([bed.WINE_RUN, TOOL] + list(args), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=120)
        return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")

    def live(self):
        """The tool's live check, with a temporary directory of its own: exit
        code, stdout, stderr, and what it left in that directory."""
        temp = tempfile.mkdtemp(prefix="temp-", dir=bed.BED)
        line = "set TEMP=%s&& set TMP=%s&& %s live" % (bed.winpath(temp), bed.winpath(temp),
                                                     bed.winpath(TOOL))
        result = subprocess.run([bed.WINE_RUN, "cmd", "/c", line], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=120 * bed.SLOWDOWN)
        return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8"), os.listdir(temp)

    def installer_verifies(self, manifest, version, why):
        """Publishes the setup and this manifest on a fresh site; true when a
        fresh user's attempt verifies the setup. The live check says so too,
        or gives the installer's sentence that the tool's refusal `why` quotes."""
        bed.reset_site()
        bed.publish(SETUP_PATH, SETUP_BYTES)
        bed.publish(bed.MANIFEST_PATH, manifest)
        user = bed.UserProfile()
        code = user.run(bed.INSTALLER, "--download-test")
        self.assertIn(code, (0, 1))
        if code == 0:
            setup_name = "TAVRO-Static-Module-Setup-%s.exe" % version
            with open(os.path.join(user.working_dir, setup_name), "rb") as f:
                self.assertEqual(f.read(), SETUP_BYTES)
            self.assertEqual(self.live(), (0, LIVE_CHECKED + "Users get %s, verified: SHA-256 %s, %d bytes.\n" % (
                setup_name, bed.sha256(SETUP_BYTES), len(SETUP_BYTES)), "", []))
        else:
            self.assertEqual(user.files(), ["TAVRO.Installer.log"])
            # The same sentence, and under it the same detail line as the user's log.
            detail = "".join(line.encode("latin-1").decode("utf-8") + "\n" for line in user.log_messages()
                             if line.startswith("Detail: "))
            self.assertEqual(self.live(), (1, LIVE_CHECKED + "Users see: %s" % why.split(INSTALLER_SAYS)[1] + detail,
                                           "", []))
        return code == 0

    def test_written_manifests_and_the_installer_agree(self):
        out = os.path.join(bed.BED, "tavro-update.txt")
        for version, url, why in WRITE_CASES:
            with self.subTest(version=version, url=url):
                with open(out, "wb") as f:
                    f.write(b"older manifest")
                code, stdout, stderr = self.tool("write", bed.winpath(self.setup_file), version, url,
                                                 bed.winpath(out))
                expected = compose(version, url.split("#")[0], bed.sha256(SETUP_BYTES))
                if why is None:
                    self.assertEqual((code, stderr), (0, ""))
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), expected)
                    self.assertIn(expected.decode("utf-8"), stdout)
                    self.assertTrue(self.installer_verifies(expected, version, why))
                else:
                    self.assertEqual((code, stdout), (1, ""))
                    self.assertEqual(stderr, why)
                    self.assertFalse(os.path.exists(out))
                    self.assertFalse(self.installer_verifies(expected, version, why))

    def test_checked_manifests_and_the_installer_agree(self):
        manifest = os.path.join(bed.BED, "checked.txt")
        for name, data, why in CHECK_CASES:
            with self.subTest(name):
                with open(manifest, "wb") as f:
                    f.write(data)
                code, stdout, stderr = self.tool("check", bed.winpath(manifest), bed.winpath(self.setup_file))
                if why is None:
                    self.assertEqual((code, stderr), (0, ""))
                    self.assertTrue(stdout.startswith("Accepted "), stdout)
                else:
                    self.assertEqual((code, stdout), (1, ""))
                    self.assertEqual(stderr, why)
                self.assertEqual(self.installer_verifies(data, "1.2.3.4", why), why is None)

    def test_script_keeps_the_manifest_listed_in_sha256sums(self):
        out_dir = tempfile.mkdtemp(dir=bed.BED)
        out, sums = os.path.join(out_dir, "tavro-update.txt"), os.path.join(out_dir, "SHA256SUMS")
        signed_line = "%s  TAVRO-Static-Module-Installer.exe\n" % ("1" * 64)
        with open(sums, "w") as f:
            f.write(signed_line)
        # version, whether the manifest is written and listed
        for version, listed in (("1.2.3.4", True), ("1:2", False)):
            with self.subTest(version=version):
                result = subprocess.run([MANIFEST_SCRIPT, "--tool", TOOL, "--wine-run", bed.WINE_RUN, "write",
                                         self.setup_file, version, URL, out],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        timeout=120 * bed.SLOWDOWN)
                self.assertEqual((result.returncode, os.path.exists(out)), (0 if listed else 1, listed))
                manifest_line = "%s  tavro-update.txt\n" % bed.sha256(compose(version, URL, bed.sha256(
                    SETUP_BYTES))) if listed else ""
                with open(sums) as f:
                    self.assertEqual(f.read(), signed_line + manifest_line)


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""The keyed file built with a mirror host (mirror.example): when the
official host gives no verified manifest or no good installer, the mirror
gives them, held to the same signature, sequence, size and SHA-256."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bed  # noqa: E402
from test_signed_manifest import SETUP, fields, signed  # noqa: E402

MIRRORED = os.environ["TAVRO_MIRROR_EXE"]
M, S = bed.MANIFEST_PATH, "/releases/setup.exe"
OFFICIAL, MIRROR = "https://" + bed.HOST, "https://" + bed.MIRROR_HOST
OTHER = bytes(b ^ 0x5A for b in SETUP)  # as long as the setup, other bytes
SETUP_NAME = "TAVRO-Static-Module-Setup-2.1.0.exe"
CHECKING, DOWNLOADING = "Checking the TAVRO release manifest.", "Downloading TAVRO Static Module 2.1.0."
VERIFIED = "Installer verified successfully."
REFUSED, NO_NAME = "WinHTTP error 12029 (cannot connect)", "WinHTTP error 12007 (name not resolved)"
STATUS_503 = "HTTP status 503 (service unavailable)"


def no_manifest(cause, host=bed.HOST):
    return "No verified release manifest from %s: %s requesting https://%s%s." % (host, cause, host, M)


def no_installer(cause, host=bed.HOST):
    return "Installer not taken from %s: %s requesting https://%s%s." % (host, cause, host, S)


def mirrored_manifest(sequence=7):
    return signed(fields(sequence) + "installerMirror1=%s%s\n" % (MIRROR, S))


MISMATCH = "SHA-256 %s computed where the manifest names %s." % (bed.sha256(OTHER), bed.sha256(SETUP))
# The official host's faults: the address its names resolve to (None: as
# the bed made them, "": no name) and its rules.
FAULTS = {
    "none": (None, {}),
    "refused": ("127.0.0.4", {}),
    "no name": ("", {}),
    "503": (None, {M: {"status": 503}, S: {"status": 503}}),
    "silent": (None, {M: {"silent": 1}, S: {"silent": 1}}),
    "cut": (None, {S: {"cut": 1000, "norange": 1}}),
    "other bytes": (None, {}),
}
CUT = "the body ended at 1000 of %d bytes reading %s%s" % (len(SETUP), OFFICIAL, S)
CUT_INSTALLER = "Installer not taken from %s: %s; resumed 3 times, the last: %s." % (bed.HOST, CUT, CUT)


def set_up_site(fault, official_manifest=None, mirror_manifest=None, mirror_setup=SETUP):
    """Both sites with the setup and its manifest, the official host with
    the fault; mirror_manifest "" publishes none on the mirror."""
    address, rules = FAULTS[fault]
    bed.reset_site()
    manifest = mirrored_manifest()
    other = fault == "other bytes"
    bed.publish(S, OTHER if other else SETUP)
    # Other bytes: a manifest signed by a stranger, which does not verify.
    bed.publish(M, official_manifest or (signed(fields(7), "stranger") if other else manifest))
    if mirror_setup is not None:
        bed.publish(S, mirror_setup, bed.MIRROR)
    if mirror_manifest != "":
        bed.publish(M, mirror_manifest or manifest, bed.MIRROR)
    bed.set_rules(rules)
    if address is not None:
        bed.point_official_at(address or None)


def setUpModule():
    bed.start_wine()


class Mirrors(unittest.TestCase):
    maxDiff = None

    def attempt(self, fault, official_manifest=None, mirror_manifest=None, mirror_setup=SETUP, user=None):
        set_up_site(fault, official_manifest, mirror_manifest, mirror_setup)
        user = user or bed.UserProfile()
        return user.run(MIRRORED, "--download-test"), user

    def test_each_fault_of_the_official_host_is_passed_over(self):
        taken = "Release manifest taken from %s."
        downloaded = "Installer downloaded from %s."
        official, mirror = bed.HOST, bed.MIRROR_HOST
        rows = [
            # fault, log between the first and the last line, what each host saw
            ("none", [taken % official, DOWNLOADING, downloaded % official], [M, S], []),
            # A host that gave no answer is asked for the setup last.
            ("refused", [no_manifest(REFUSED), taken % mirror, DOWNLOADING, downloaded % mirror], [], [M, S]),
            ("no name", [no_manifest(NO_NAME), taken % mirror, DOWNLOADING, downloaded % mirror], [], [M, S]),
            ("503", [no_manifest(STATUS_503), taken % mirror, DOWNLOADING, no_installer(STATUS_503),
                     downloaded % mirror], [M, S], [M, S]),
            ("silent", [no_manifest("no response headers within 15 s"), taken % mirror, DOWNLOADING,
                        downloaded % mirror], [M], [M, S]),
            ("cut", [taken % official, DOWNLOADING] + ["Download resumed at 0 bytes."] * 3 +
             [CUT_INSTALLER, downloaded % mirror], [M] + [S] * 4, [S]),
            ("other bytes", [no_manifest("a signature that none of the build's 2 keys verifies").replace(
                " requesting", " in"), taken % mirror, DOWNLOADING, "Installer SHA-256 verification failed.",
                "Installer not taken from %s: %s" % (official, MISMATCH), downloaded % mirror], [M, S], [M, S]),
        ]
        for fault, log, official_saw, mirror_saw in rows:
            with self.subTest(fault):
                code, user = self.attempt(fault)
                self.assertEqual(code, 0)
                self.assertEqual(user.log_messages(), [CHECKING] + log + [VERIFIED])
                self.assertEqual([r["path"] for r in bed.requests()], official_saw)
                self.assertEqual([r["path"] for r in bed.requests(bed.MIRROR)], mirror_saw)
                # Only the verified file is left, with the setup's bytes.
                self.assertEqual(user.files(), [SETUP_NAME, "TAVRO.Installer.log", "TAVRO.Installer.sequence"])
                with open(os.path.join(user.working_dir, SETUP_NAME), "rb") as f:
                    self.assertEqual(f.read(), SETUP)

    def test_a_rolled_back_manifest_on_the_mirror_is_refused(self):
        user = bed.UserProfile()
        self.assertEqual(self.attempt("none", official_manifest=mirrored_manifest(9), user=user)[0], 0)
        code, user = self.attempt("refused", mirror_manifest=mirrored_manifest(8), user=user)
        self.assertEqual(code, 1)
        self.assertEqual(user.log_messages()[-2:], [
            no_manifest(REFUSED),
            "Detail: %s requesting %s%s; sequence 8 below 9, the highest this installer accepted or was built with "
            "in %s%s." % (REFUSED, OFFICIAL, M, MIRROR, M)])
        self.assertEqual([r["path"] for r in bed.requests(bed.MIRROR)], [M])

    def test_every_host_failing(self):
        # No manifest anywhere: each host's cause in the detail.
        code, user = self.attempt("503", mirror_manifest="")
        self.assertEqual(code, 1)
        self.assertEqual(user.log_messages(), [CHECKING, no_manifest(STATUS_503), "Detail: %s requesting %s%s; "
                         "HTTP status 404 (not found) requesting %s%s." % (STATUS_503, OFFICIAL, M, MIRROR, M)])
        self.assertEqual(user.files(), ["TAVRO.Installer.log"])
        # A manifest, and no good installer anywhere: nothing is left.
        code, user = self.attempt("503", official_manifest=None, mirror_setup=OTHER)
        self.assertEqual(code, 1)
        self.assertEqual(user.log_messages()[-3:], [
            no_installer(STATUS_503), "Installer SHA-256 verification failed.",
            "Detail: %s requesting %s%s; %s" % (STATUS_503, OFFICIAL, S, MISMATCH)])
        self.assertEqual(user.files(), ["TAVRO.Installer.log", "TAVRO.Installer.sequence"])


class Publishing(unittest.TestCase):
    maxDiff = None
    TOOL = os.path.join(os.path.dirname(MIRRORED), "tavro-manifest.exe")

    def tool(self, *args):
        result = bed.run(bed.WINE_RUN, self.TOOL, *args, check=False)
        return result.returncode, result.stdout.splitlines(), result.stderr

    def test_mirror_lines_written_and_every_host_checked(self):
        setup = os.path.join(bed.BED, "setup.exe")
        out = os.path.join(bed.BED, "written.txt")
        with open(setup, "wb") as f:
            f.write(SETUP)
        code, _, stderr = self.tool("write", bed.winpath(setup), "2.1.0", OFFICIAL + S, bed.winpath(out), MIRROR + S)
        self.assertEqual(code, 0, stderr)
        with open(out, encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines()[-1], "installerMirror1=%s%s" % (MIRROR, S))
        code, lines, _ = self.tool("fields")
        self.assertEqual((code, lines[-4:]), (0, ["signature signed signature", "installerMirror1 optional url",
                                                  "installerMirror2 optional url", "installerMirror3 optional url"]))
        code, _, stderr = self.tool("write", bed.winpath(setup), "2.1.0", OFFICIAL + S, bed.winpath(out),
                                    "https://%s%s" % (bed.HOSTILE_HOST, S))
        self.assertEqual((code, stderr.strip()), (1, 'tavro-manifest: refused: installerMirror1 = "https://%s%s" '
                         "The installer would say: The release URL is not hosted on the official TAVRO domain."
                         % (bed.HOSTILE_HOST, S)))
        # check-live: what each host serves, and which one differs.
        same = ["%s: the manifest, verified, sequence 7." % bed.HOST,
                "%s: the same manifest as %s." % (bed.MIRROR_HOST, bed.HOST),
                "%s%s: the signed setup, %d bytes, SHA-256 as signed." % (OFFICIAL, S, len(SETUP)),
                "%s%s: the signed setup, %d bytes, SHA-256 as signed." % (MIRROR, S, len(SETUP))]
        set_up_site("none")
        code, lines, _ = self.tool("live")
        self.assertEqual((code, lines[-4:]), (0, same))
        bed.publish(S, OTHER, bed.MIRROR)
        code, lines, _ = self.tool("live")
        self.assertEqual((code, lines[-1]), (1, "%s%s: differs: SHA-256 %s where the manifest names %s."
                                             % (MIRROR, S, bed.sha256(OTHER), bed.sha256(SETUP))))
        bed.publish(M, mirrored_manifest(8), bed.MIRROR)
        code, lines, _ = self.tool("live")
        self.assertEqual((code, lines[-3]), (1, "%s: differs: another manifest than %s's (%d bytes), verified, "
                                             "sequence 8." % (bed.MIRROR_HOST, bed.HOST, len(mirrored_manifest(8)))))


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""The shipped file built with TAVRO_MANIFEST_KEY (two throwaway keys, the
current and the next, and a floor of 5) runs only what a current release
manifest signed by one of them names; the keyless shipped file reads the
same manifests as it always did."""
import base64
import datetime
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
import bed  # noqa: E402

KEYED = os.environ["TAVRO_SIGNED_MANIFEST_EXE"]
KEYS = os.environ["TAVRO_TEST_MANIFEST_KEYS"]
SETUP = os.urandom(300000)
SETUP_URL = "https://%s/releases/setup.exe" % bed.HOST
MANIFEST_URL = "https://%s%s" % (bed.HOST, bed.MANIFEST_PATH)
UNVERIFIED = "Detail: %%s in %s." % MANIFEST_URL


def der_integers(signature):
    """r and s of a DER ECDSA-Sig-Value."""
    values, at = [], 2
    for _ in range(2):
        length = signature[at + 1]
        values.append(int.from_bytes(signature[at + 2:at + 2 + length], "big"))
        at += 2 + length
    return values


def signed(text, key="current"):
    """The manifest text followed by its signature line, made by openssl with
    one of the keys (or a stranger's, made once)."""
    path = os.path.join(KEYS, key + ".key")
    if not os.path.exists(path):
        bed.run("openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", path)
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", path], input=text.encode(), stdout=subprocess.PIPE,
                         check=True).stdout
    r, s = der_integers(der)
    return text + "signature=" + base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big")).decode() + "\n"


def fields(sequence, days=30, size=len(SETUP), data=SETUP, origin=MANIFEST_URL):
    expires = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
    return ("origin=%s\nversion=2.1.0\ninstallerUrl=%s\ninstallerSha256=%s\nexpires=%s\nsequence=%d\n"
            "installersize=%d\n" % (origin, SETUP_URL, bed.sha256(data), expires.strftime("%Y-%m-%dT%H:%M:%SZ"),
                                    sequence, size))


def fingerprint(key):
    """What installers keep of the key: SHA-256 of its SubjectPublicKeyInfo."""
    return bed.sha256(subprocess.run(["openssl", "ec", "-in", os.path.join(KEYS, key + ".key"), "-pubout", "-outform",
                                      "der"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout)


def setUpModule():
    bed.start_wine()


class SignedManifest(unittest.TestCase):
    maxDiff = None

    def attempt(self, manifest, user=None, rules=None, installer=KEYED):
        bed.reset_site()
        bed.publish("/releases/setup.exe", SETUP)
        bed.publish(bed.MANIFEST_PATH, manifest)
        bed.set_rules(rules or {})
        user = user or bed.UserProfile()
        return user.run(installer, "--download-test"), user

    def test_only_a_current_manifest_signed_by_a_build_key(self):
        checking, downloading = "Checking the TAVRO release manifest.", "Downloading TAVRO Static Module 2.1.0."
        rows = [
            ("signed by the current key", signed(fields(7)), 0, [checking, downloading, "Installer verified successfully."]),
            ("signed by the next key", signed(fields(7), "next"), 0,
             [checking, downloading, "Installer verified successfully."]),
            ("signed by no key of the build", signed(fields(7), "stranger"), 1,
             [checking, UNVERIFIED % "a signature that none of the build's 2 keys verifies"]),
            ("not signed", fields(7), 1, [checking, UNVERIFIED % 'no "signature=" line last']),
            ("signed for another place", signed(fields(7, origin=MANIFEST_URL.replace("updates", "beta"))), 1,
             [checking, UNVERIFIED % 'origin "%s", not %s' % (MANIFEST_URL.replace("updates", "beta"), MANIFEST_URL)]),
            ("below the build's floor", signed(fields(4)), 1,
             [checking, UNVERIFIED % "sequence 4 below 5, the highest this installer accepted or was built with"]),
            ("expired", signed(fields(7, days=-2)), 1, None),
        ]
        for name, manifest, code, log in rows:
            with self.subTest(name):
                result, user = self.attempt(manifest)
                self.assertEqual(result, code)
                messages = user.log_messages()
                if log is None:
                    self.assertRegex(messages[-1], r"^Detail: expires \S+, [12] days ago by this computer's clock in ")
                else:
                    self.assertEqual(messages, log)
                if code != 0:
                    # Nothing beyond the manifest was asked for.
                    self.assertEqual([r["path"] for r in bed.requests()], [bed.MANIFEST_PATH])
                    self.assertEqual(user.files(), ["TAVRO.Installer.log"])

    def test_a_replayed_older_manifest_is_refused(self):
        user = bed.UserProfile()
        self.assertEqual(self.attempt(signed(fields(9)), user)[0], 0)
        with open(os.path.join(user.working_dir, "TAVRO.Installer.sequence"), "rb") as f:
            self.assertEqual(f.read(), b"9 %s\r\n" % fingerprint("current").encode())
        self.assertEqual(self.attempt(signed(fields(8)), user)[0], 1)
        self.assertEqual(user.log_messages()[-1], UNVERIFIED % (
            "sequence 8 below 9, the highest this installer accepted or was built with"))
        self.assertEqual(self.attempt(signed(fields(9)), user)[0], 0)

    def test_the_installer_is_held_to_the_signed_size(self):
        short = SETUP[:1000]
        # Announced longer than signed: refused before a byte is written.
        code, user = self.attempt(signed(fields(7, size=1000, data=short)))
        self.assertEqual(code, 1)
        self.assertEqual(user.log_messages()[-1], "Detail: a body of %d bytes where 1000 were required requesting "
                         "%s." % (len(SETUP), SETUP_URL))
        # Without a length, the download stops at the signed size.
        code, user = self.attempt(signed(fields(7, size=1000, data=short)),
                                  rules={"/releases/setup.exe": {"nolength": 1}})
        self.assertEqual(code, 0)
        with open(os.path.join(user.working_dir, "TAVRO-Static-Module-Setup-2.1.0.exe"), "rb") as f:
            self.assertEqual(f.read(), short)

    def test_a_keyless_installer_reads_a_signed_manifest_as_before(self):
        code, user = self.attempt(signed(fields(7)), installer=bed.INSTALLER)
        self.assertEqual(code, 0)
        self.assertEqual(user.log_messages()[-1], "Installer verified successfully.")


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""The installer under test behind the user's proxy: the Wine prefix's
Internet settings name the bed's tinyproxy directly or through a
configuration script served over http on loopback."""
import os
import re
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bed"))
import bed  # noqa: E402

SETUP_NAME = "TAVRO-Static-Module-Setup-1.2.3.4.exe"
INSTALLER_BYTES = os.urandom(300 * 1024 + 7)
PROXY = "127.0.0.1:3128"
PAC_URL = "http://127.0.0.1:8080/%s"
SILENT_SCRIPT = "http://127.0.0.1:8081/proxy.pac"  # the bed's server that never answers
CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"

display = None


def connection_settings(flags, proxy="", bypass="", script=""):
    """The binary DefaultConnectionSettings value the Internet settings
    dialog writes: a header, then the proxy, the bypass list and the
    configuration script's URL, each as a length and its bytes."""
    value = struct.pack("<III", 0x46, 0, flags)
    for text in (proxy, bypass, script):
        value += struct.pack("<I", len(text)) + text.encode("ascii")
    return value + bytes(32)


DIRECT, FIXED, SCRIPT, DETECT = 1, 2, 4, 8


def set_user_settings(value):
    """Writes the current user's Internet settings (None: removes them)."""
    if value is None:
        command = ["reg", "delete", CONNECTIONS, "/v", "DefaultConnectionSettings", "/f"]
    else:
        command = ["reg", "add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
                   "/d", value.hex(), "/f"]
    subprocess.run([bed.WINE_RUN] + command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=120 * bed.SLOWDOWN)


def publish_script(name, answer):
    with open(os.path.join(bed.BED, "pac", name), "w") as f:
        f.write('function FindProxyForURL(url, host) { return "%s"; }\n' % answer)


def proxy_connects(log="proxy.log"):
    """The CONNECT targets the proxy was asked for, in order."""
    with open(os.path.join(bed.BED, log), encoding="utf-8", errors="replace") as f:
        return re.findall(r"Request \(file descriptor \d+\): CONNECT (\S+)", f.read())


def paths_seen():
    """The paths the site was asked for, each with whether it came through a
    proxy: through the tunnel Wine's request line names the whole URL."""
    prefix = "https://%s:443" % bed.HOST
    return [(r["path"][len(prefix):], True) if r["path"].startswith(prefix) else (r["path"], False)
            for r in bed.requests() if "path" in r]


def silent_script_connections():
    """How often the script server that never answers was connected to."""
    try:
        with open(os.path.join(bed.BED, "silent-script.log")) as f:
            return len(f.readlines())
    except FileNotFoundError:
        return 0


def clear_proxy_logs():
    for log in ("proxy.log", "proxy-auth.log"):
        # Truncated, not removed: the proxy keeps it open.
        open(os.path.join(bed.BED, log), "w").close()


def setUpModule():
    global display
    display = bed.Display()
    bed.start_wine()
    set_user_settings(None)


def tearDownModule():
    set_user_settings(None)
    display.close()


class BehindAProxy(unittest.TestCase):
    def setUp(self):
        bed.reset_site()
        clear_proxy_logs()
        publish_script("proxy.pac", "PROXY " + PROXY)
        publish_script("direct.pac", "DIRECT")
        bed.publish_release(INSTALLER_BYTES)

    def attempt(self, settings):
        """One --download-test with these user settings: its exit code and
        what it left in the working directory."""
        set_user_settings(settings)
        user = bed.UserProfile()
        code = user.run(bed.INSTALLER, "--download-test")
        return code, user.files()

    def test_the_users_proxy_is_used_and_nothing_else_changes(self):
        official = "%s:443" % bed.HOST
        verified = sorted([SETUP_NAME, "TAVRO.Installer.log"])
        rows = [
            # name, settings, through the proxy
            ("fixed proxy", connection_settings(DIRECT | FIXED, PROXY), True),
            ("fixed proxy for https", connection_settings(DIRECT | FIXED, "http=127.0.0.1:9;https=" + PROXY), True),
            ("script names the proxy", connection_settings(DIRECT | SCRIPT, script=PAC_URL % "proxy.pac"), True),
            # DIRECT is the script's answer: a stale fixed proxy beside it is not used.
            ("script says DIRECT", connection_settings(DIRECT | SCRIPT | FIXED, "127.0.0.1:9",
                                                       script=PAC_URL % "direct.pac"), False),
            ("official host bypassed", connection_settings(DIRECT | FIXED, PROXY, "<local>;" + bed.HOST), False),
            ("nothing set: automatic detection finds nothing", None, False),
            ("direct", connection_settings(DIRECT), False),
            ("script server never answers", connection_settings(DIRECT | SCRIPT, script=SILENT_SCRIPT), False),
        ]
        for name, settings, proxied in rows:
            with self.subTest(name):
                bed.reset_site()
                bed.publish_release(INSTALLER_BYTES)
                clear_proxy_logs()
                asked_before = silent_script_connections()
                self.assertEqual(self.attempt(settings), (0, verified))
                # A discovery that failed is not tried again by the same
                # attempt: the script server that never answers is asked once,
                # for the manifest.
                asked = silent_script_connections() - asked_before
                self.assertEqual(asked, 1 if settings and SILENT_SCRIPT.encode() in settings else 0)
                # Wine keeps the tunnel for the second request: one CONNECT
                # may carry both.
                self.assertEqual(set(proxy_connects()), {official} if proxied else set())
                self.assertEqual(paths_seen(), [(bed.MANIFEST_PATH, proxied), ("/releases/setup.exe", proxied)])

    def test_failures_behind_a_proxy_leave_nothing(self):
        official = "%s:443" % bed.HOST
        hostile = "https://%s/releases/setup.exe" % bed.HOSTILE_HOST
        fixed = connection_settings(DIRECT | FIXED, PROXY)
        rows = [
            # name, settings, site rules, wrong-name certificate on 443,
            # CONNECTs (open proxy, signing-in proxy), paths the site saw
            ("proxy down", connection_settings(DIRECT | FIXED, "127.0.0.1:9"), {}, False, [], [], []),
            ("proxy asks for a sign-in", connection_settings(DIRECT | FIXED, "127.0.0.1:3129"), {}, False,
             [], [official], []),
            ("wrong-name certificate", fixed, {}, True, [official], [], []),
            ("redirect to a foreign host", fixed, {"/releases/setup.exe": {"redirect": hostile}}, False,
             [official], [], [(bed.MANIFEST_PATH, True), ("/releases/setup.exe", True)]),
        ]
        for name, settings, rules, wrong_name, connects, signing_in, paths in rows:
            with self.subTest(name):
                bed.reset_site()
                bed.publish_release(INSTALLER_BYTES)
                bed.set_rules(rules)
                bed.present_wrong_name(wrong_name)
                clear_proxy_logs()
                try:
                    self.assertEqual(self.attempt(settings), (1, ["TAVRO.Installer.log"]))
                finally:
                    bed.present_wrong_name(False)
                self.assertEqual((proxy_connects(), proxy_connects("proxy-auth.log")), (connects, signing_in))
                self.assertEqual(paths_seen(), paths)

    def test_window_verifies_through_the_proxy(self):
        bed.publish_release(bed.sample_setup_bytes())
        set_user_settings(connection_settings(DIRECT | FIXED, PROXY))
        user = bed.UserProfile()
        window = bed.start_window_attempt(user, bed.INSTALLER)
        self.assertEqual(bed.window_attempt_exit_code(window), 0)
        self.assertTrue(os.path.exists(os.path.join(user.working_dir, "sample-setup-ran.txt")))
        self.assertEqual(set(proxy_connects()), {"%s:443" % bed.HOST})
        self.assertEqual(paths_seen(), [(bed.MANIFEST_PATH, True), ("/releases/setup.exe", True)])


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""README.md's "Publishing a release", walked with its own commands against
the local stand-in of the release site, for the pinned and keyed build that
the test trees make (a publisher name with spaces, a non-ASCII letter,
quotes and a "$"; the test manifest keys): a key generated on a SoftHSM2
token, a certificate for its request from the README's own private-CA
commands written back there, the current manifest key put on the same
token, make release-check, make release and make sign-setup with a time
stamp from make timestamp-server, make manifest signing on the token,
sha256sum -c, the site served; then the pinned installer and make
check-live must agree on the release and on two setups they must refuse;
make manifest-refresh, and make release's floor. And the faults the road
once had, one row each."""
import base64
import concurrent.futures
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unicodedata
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bed"))
import bed  # noqa: E402
import test_signed_release as signing  # noqa: E402
from test_publisher_signature import with_code_byte_changed  # noqa: E402

SOURCE = signing.SOURCE
BUILD = os.environ.get("TAVRO_PUBLISHER_BUILD", "")
PUBLISHER = os.environ.get("TAVRO_TEST_PUBLISHER", "")
WINE_RUN = os.path.join(BUILD, "test-i686", "wine-run")
SETUP_NAME = "TAVRO-Static-Module-Setup-2.1.0.exe"
URL = "https://%s/releases/%s?sig=$abc`id`" % (bed.HOST, SETUP_NAME)
MANIFEST_URL = "https://%s%s" % (bed.HOST, bed.MANIFEST_PATH)
RELEASE = os.path.join(BUILD, "release")
TOKEN, PIN = "Code Signing", "24680"
KEY, CERT = "pkcs11:token=Code%20Signing;object=tavro;type=private", "pkcs11:token=Code%20Signing;object=tavro;type=cert"
# The build's two manifest keys (current, next) and the token's copy of the
# current one; a key made on the token that the build does not know.
MANIFEST_KEYS = os.environ.get("TAVRO_TEST_MANIFEST_KEYS", "")
MANIFEST_KEY = "pkcs11:token=Code%20Signing;object=tavro-manifest;type=private"
NEXT_KEY = "pkcs11:token=Code%20Signing;object=tavro-manifest-next;type=private"
STRANGER_KEY = "pkcs11:token=Code%20Signing;object=stranger;type=private"
UNVERIFIED = "The TAVRO release manifest could not be verified. It will not be used."
REFUSED = "Users see: The downloaded installer is not signed by %s. It will not be executed.\n" % PUBLISHER
CHECKED = ("Publisher whose signature this build requires of a setup: %s\n"
           "Checked https://%s/updates/tavro-update.txt with the installer's own code.\n" % (PUBLISHER, bed.HOST))
settings = {}


def readme_commands(containing):
    """The README's sh block that holds `containing`, as written there."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        return next(b for b in re.findall(r"^```sh\n(.*?)^```$", f.read(), re.M | re.S) if containing in b)


def make(*args, **variables):
    """make TARGET VAR=value... for the pinned tree, with the signing
    settings; its output through files, which Wine's helpers cannot hold."""
    env = make_environment()
    env.update(settings, **variables)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(["make", "--no-print-directory", "-C", SOURCE, "BUILD=" + BUILD] + list(args), env=env,
                              stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=900 * bed.SLOWDOWN).returncode
        out.seek(0)
        err.seek(0)
        return code, out.read().decode(), err.read().decode()


def setUpModule():
    global work, ca_cert, ca_hash, impostor, untrusted, time_stamps
    work = signing.work = tempfile.mkdtemp(prefix="rehearsal-", dir=bed.BED)
    token = bed.Token(work, TOKEN, PIN)
    settings["SOFTHSM2_CONF"] = token.conf
    pin = signing.write("pin", PIN + "\n")
    # The key is made on the token and never leaves it.
    token.generate_key("tavro", "01")
    # The README's rehearsal files, in the folder it gives them.
    os.makedirs(signing.path("rehearsal"))
    request = signing.path("rehearsal/tavro.csr")
    bed.run("openssl", "req", "-new", "-engine", "pkcs11", "-keyform", "engine", "-key", KEY, "-passin",
            "file:" + pin, "-utf8", "-subj", "/CN=" + PUBLISHER, "-out", request, env=token.env)
    bed.run("sh", "-ec", readme_commands("code-signing.ext"), cwd=work)
    ca_cert = signing.path("rehearsal/ca.pem")
    token.write_certificate("tavro", "01", signing.path("rehearsal/issued.pem"))
    token.import_key("tavro-manifest", "02", signing.write("current.key", signing.read(
        os.path.join(MANIFEST_KEYS, "current.key"))))
    token.generate_key("stranger", "03", "EC:prime256v1")
    token.import_key("tavro-manifest-next", "04", signing.write("next.key", signing.read(
        os.path.join(MANIFEST_KEYS, "next.key"))))
    # The manifest this tree signed in an earlier run: each run starts from
    # none, so make release keeps the tree's floor.
    os.makedirs(RELEASE, exist_ok=True)
    for name in ("tavro-update.txt", "SHA256SUMS"):
        if os.path.exists(os.path.join(RELEASE, name)):
            os.remove(os.path.join(RELEASE, name))
    # The time-stamp service as the README starts it; it prints the settings.
    said = signing.path("timestamp-server.out")
    with open(said, "w") as out:
        time_stamps = subprocess.Popen(["make", "--no-print-directory", "-C", SOURCE, "BUILD=" + BUILD,
                                        "timestamp-server"], stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT, env=make_environment())
    assert bed.wait_until(lambda: "TAVRO_SIGN_TSA_CAFILE=" in signing.read(said).decode() or
                          time_stamps.poll() is not None) and time_stamps.poll() is None, signing.read(said)
    settings.update(re.findall(r"^export (\w+)=(.*)$", signing.read(said).decode(), re.M))
    settings.update(TAVRO_SIGN_PKCS11_MODULE=bed.SOFTHSM, TAVRO_SIGN_KEY=KEY, TAVRO_SIGN_CERT=CERT,
                    TAVRO_SIGN_PIN_FILE=pin, TAVRO_SIGN_CAFILE=ca_cert,
                    TAVRO_SIGN_NAME="TAVRO Static Module Web Installer", TAVRO_SIGN_MANIFEST_KEY=MANIFEST_KEY,
                    XDG_STATE_HOME=signing.path("state"))
    # The same name under another CA that the installers' prefix trusts too:
    # only the pin refuses it.
    impostor_ca = bed.Authority(work, "Impostor CA")
    impostor = impostor_ca.issue(PUBLISHER, bed.usage("codeSigning"))
    # And under a CA the prefix does not trust.
    untrusted = bed.Authority(work, "Untrusted CA").issue(PUBLISHER, bed.usage("codeSigning"))
    for ca, name in ((ca_cert, "Rehearsal Code Signing CA"), (impostor_ca.cert, "Impostor CA")):
        code, out, err = make("trust-root", "CA=" + ca)
        assert code == 0, err
        assert out.endswith("(make manifest's and make check-live's) trusts as a root: CN=%s\n" % name), out
    # The tree, its installer and its tool pinned to this run's CA (an
    # earlier run left its own).
    ca_hash = signing.key_hash(ca_cert)
    code, out, err = make("build", "manifest-tool", "TAVRO_PUBLISHER_CA=" + ca_hash)
    assert code == 0, err
    bed.WINE_RUN = WINE_RUN
    # A setup signed by the pinned publisher, for the tables.
    subprocess.run([signing.SIGN, bed.SAMPLE_SETUP, signing.path("signed-setup/" + SETUP_NAME)],
                   env=dict(os.environ, **settings), stdout=subprocess.DEVNULL, check=True, timeout=300 * bed.SLOWDOWN)


def tearDownModule():
    time_stamps.terminate()
    time_stamps.wait(timeout=60)
    shutil.rmtree(work, ignore_errors=True)


def make_environment():
    """Not the make (and jobserver) this test may run under."""
    return {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}


def signed_manifest(setup, sequence, size=None, key=None, days=20, more=""):
    """A manifest naming the setup (of its size, or another), expiring `days`
    ahead, with `more` lines, signed with the current key's file (or another
    key file)."""
    expires = (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)).strftime(
        "%Y-%m-%dT%H:%M:%SZ")
    text = ("origin=%s\nversion=2.1.0\ninstallerUrl=%s\ninstallerSha256=%s\nexpires=%s\nsequence=%d\n"
            "installersize=%d\n%s" % (MANIFEST_URL, URL, bed.sha256(setup), expires, sequence,
                                      len(setup) if size is None else size, more)).encode()
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key or os.path.join(MANIFEST_KEYS, "current.key")],
                         input=text, stdout=subprocess.PIPE, check=True).stdout
    r_length = der[3]
    r, s = der[4:4 + r_length], der[6 + r_length:]
    return text + b"signature=" + base64.b64encode(int.from_bytes(r, "big").to_bytes(32, "big") +
                                                 int.from_bytes(s, "big").to_bytes(32, "big")) + b"\n"


def bed_manifest():
    with open(os.path.join(bed.DOCROOT, bed.MANIFEST_PATH.lstrip("/")), encoding="utf-8") as f:
        return f.read()


def installer_and_live_check(setup, manifest=None):
    """Publishes the setup under a signed manifest naming its hash (the one
    given, or one signed here); what a user's pinned installer and make
    check-live then say."""
    bed.reset_site()
    bed.publish("/releases/" + SETUP_NAME, setup)
    bed.publish(bed.MANIFEST_PATH, manifest or signed_manifest(setup, 1))
    user = bed.UserProfile()
    code = user.run(os.path.join(BUILD, "TAVRO-Static-Module-Installer.exe"), "--download-test")
    live, out, err = make("check-live")
    # The attempt's last message with its detail lines; what the tool says,
    # after what make says it runs.
    messages = user.log_messages()
    outcome = messages[max(i for i, line in enumerate(messages) if not line.startswith("Detail: ")):]
    return code, outcome, (live, out[out.find("Publisher whose "):],
                                           [line for line in err.splitlines() if not re.match(r"make(\[\d\])?: \*\*\* ", line)])


class Rehearsal(unittest.TestCase):
    def test_the_whole_road(self):
        # No release yet: nothing served.
        bed.reset_site()
        # The pin its certificate passes (a wrong one: Refusals), and the values it may take.
        code, out, err = make("release-check", "TAVRO_PUBLISHER=" + PUBLISHER, "TAVRO_PUBLISHER_CA=" + ca_hash)
        self.assertEqual((code, out.splitlines()[-1]), (0, "Ready to sign. Nothing was written."), err)
        self.assertIn("Publisher: %s\n" % PUBLISHER, out)
        cas = ("Issuing CA: CN=Rehearsal Code Signing CA, TAVRO_PUBLISHER_CA=%s\nRoot: CN=Rehearsal Code Signing CA, "
               "TAVRO_PUBLISHER_CA=%s\n" % (ca_hash, ca_hash))
        self.assertIn(cas, out)
        self.assertIn("Manifest key: %s through %s, key 1 of the 2 in %s/keys.pem (TAVRO_MANIFEST_KEY)\n"
                      % (MANIFEST_KEY, bed.SOFTHSM, MANIFEST_KEYS), out)
        # Two at once: the second waits for the first.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            runs = list(pool.map(lambda _: make("release", "TAVRO_PUBLISHER=" + PUBLISHER), range(2)))
        for code, out, err in runs:
            self.assertEqual(code, 0, err)
            self.assertIn("Publisher whose signature this build requires of a setup: %s\n" % PUBLISHER, out)
            self.assertIn("No manifest has been signed yet: TAVRO_MANIFEST_FLOOR stays as this build has it.\n", out)
            self.assertIn(cas, out)
            # What the build requires, said before it is signed.
            self.assertRegex(out, r"\nManifest this build requires: signed by one of the 2 keys in %s/keys\.pem "
                             r"\(TAVRO_MANIFEST_KEY; SHA-256 of each SubjectPublicKeyInfo: [0-9a-f]{64}, [0-9a-f]{64}\), "
                             r"any sequence \(TAVRO_MANIFEST_FLOOR\), expiring at most 90 days ahead "
                             r"\(TAVRO_MANIFEST_MAX_DAYS\)\nCA pin of this build: TAVRO_PUBLISHER_CA=%s\n"
                             r"Mirror hosts of this build: none \(no TAVRO_MIRROR_HOSTS\)\n"
                             r"Log this build requires: none \(no TAVRO_LOG_KEY\)\n"
                             % (re.escape(MANIFEST_KEYS), ca_hash))
        signed = signing.path("signed/" + SETUP_NAME)
        code, out, err = make("sign-setup", "SETUP=" + bed.SAMPLE_SETUP, "SIGNED=" + signed)
        self.assertEqual(code, 0, err)
        code, out, err = make("manifest", "SETUP=" + signed, "VERSION=2.1.0", "URL=" + URL)
        self.assertEqual(code, 0, err)
        setup = signing.read(signed)
        with open(os.path.join(RELEASE, "tavro-update.txt"), "rb") as f:
            manifest = f.read()
        self.assertRegex(manifest.decode(), r"\Aorigin=%s\nversion=2\.1\.0\ninstallerUrl=%s\ninstallerSha256=%s\nexpires=(\S+)\n"
                         r"sequence=1\ninstallersize=%d\nsignature=[A-Za-z0-9+/]{86}==\n\Z"
                         % (re.escape(MANIFEST_URL), re.escape(URL), signing.sha256(signed), len(setup)))
        expires = re.search(r"^expires=(.*)$", manifest.decode(), re.M).group(1)
        # Nothing live yet; 30 days ahead.
        self.assertRegex(out, r"(?m)^The live manifest %s could not be fetched: HTTP status 404 \(not found\) requesting "
                         r"%s\. The sequence goes on from the record\.\n" % (re.escape(MANIFEST_URL),
                                                                           re.escape(MANIFEST_URL)))
        self.assertRegex(out, r"\nSigned with the manifest key %s through %s\.\nSigned: sequence 1, expires %s \(in "
                         r"30 days\), installersize %d; verified as this build's installers verify it "
                         r"\(TAVRO_MANIFEST_KEY\)\.\n\Z" % (re.escape(MANIFEST_KEY), re.escape(bed.SOFTHSM), expires,
                                                           len(setup)))
        self.assertEqual(bed.run("sha256sum", "-c", "SHA256SUMS", cwd=RELEASE).stdout,
                         "TAVRO-Static-Module-Installer.exe: OK\ntavro-update.txt: OK\n")
        self.assertEqual(sorted(os.listdir(RELEASE)), ["SHA256SUMS", "TAVRO-Static-Module-Installer.exe",
                                                       "tavro-update.txt"])
        users_get = CHECKED + "Users get %s, verified: SHA-256 %s, %d bytes.\n" % (SETUP_NAME, bed.sha256(setup),
                                                                                   len(setup))
        self.assertEqual(installer_and_live_check(setup, manifest), (0, ["Installer verified successfully."], (
            0, users_get + "The manifest is signed (sequence 1) and expires %s, in 30 days.\n" % expires, [])))
        # Re-signed for a scheduled job: a new expiry and the next sequence, nothing else changed.
        code, out, err = make("manifest-refresh")
        self.assertEqual(code, 0, err)
        with open(os.path.join(RELEASE, "tavro-update.txt"), "rb") as f:
            refreshed = f.read()
        renewed = re.search(r"^expires=(.*)$", refreshed.decode(), re.M).group(1)
        self.assertEqual(refreshed.split(b"\n")[:4] + refreshed.split(b"\n")[6:7],
                         manifest.split(b"\n")[:4] + manifest.split(b"\n")[6:7])
        self.assertEqual(refreshed.split(b"\n")[5], b"sequence=2")
        self.assertIn("The live manifest %s has sequence 1, signed by key 1 of this build.\nRe-signed %s/tavro-update.txt: "
                      "expires=%s, sequence=2, everything else as it was.\n" % (MANIFEST_URL, RELEASE, renewed), out)
        # Published as the README publishes it, the setup being there; then rotated: the next key signs, and
        # the user who took sequence 2 from the current key takes 3 from it.
        user, published = bed.UserProfile(), "Published: %s serves the manifest just uploaded.\n" % MANIFEST_URL
        for sequence, changes in ((2, {}), (3, {"TAVRO_SIGN_MANIFEST_KEY": NEXT_KEY})):
            if changes:
                code, out, err = make("manifest-refresh", **changes)
                self.assertEqual(code, 0, err)
            code, out, err = make("publish", "DEST=" + bed.DOCROOT)
            self.assertEqual((code, err), (0, ""))
            self.assertIn("Setup: %s/releases/%s is there already, with the manifest's SHA-256.\nManifest: uploaded as "
                          "%s/updates/.tavro-update.txt.new, then renamed to %s/updates/tavro-update.txt (sequence %d).\n"
                          % (bed.DOCROOT, SETUP_NAME, bed.DOCROOT, bed.DOCROOT, sequence), out)
            self.assertTrue(out.endswith("The manifest is signed (sequence %d) and expires %s, in 30 days.\n%s" % (
                sequence, re.search(r"^expires=(.*)$", bed_manifest(), re.M).group(1), published)), out)
            self.assertEqual(user.run(os.path.join(BUILD, "TAVRO-Static-Module-Installer.exe"), "--download-test"), 0)
        # A copy of an older manifest is not put back over a newer one.
        older = signing.write("older.txt", refreshed)
        code, out, err = make("publish", "DEST=" + bed.DOCROOT, "MANIFEST=" + older)
        self.assertEqual((code, err.splitlines()[:1]), (2, [
            "publish: %s/updates/tavro-update.txt holds a manifest of sequence 3, above this one's 2: a later release "
            "was published from elsewhere. Take that machine's manifest and its record of sequences "
            "($XDG_STATE_HOME/tavro/manifest-sequences) before publishing from here; nothing was uploaded."
            % bed.DOCROOT]))
        # The next release takes the last signed sequence as its floor.
        code, out, err = make("-n", "release")
        self.assertIn("TAVRO_MANIFEST_FLOOR=3, the last sequence a manifest key signed (read from %s).\n"
                      % signing.path("state/tavro/manifest-sequences"), out)
        self.assertIn("'-DTAVRO_MANIFEST_FLOOR=3'", out)
        impostor_signed = signing.path("impostor.exe")
        bed.run("osslsigncode", "sign", "-certs", impostor[1], "-key", impostor[0], "-h", "sha256", "-in",
                    bed.SAMPLE_SETUP, "-out", impostor_signed)
        of = " checking the signature of https://%s/releases/%s?..." % (bed.HOST, SETUP_NAME)
        for name, refused, cause in (
                ("changed after signing", with_code_byte_changed(setup),
                 "WinVerifyTrust result 0x80096010 (digest mismatch: changed after signing)"),
                ("another CA's key under the same name", signing.read(impostor_signed),
                 "a signer whose chain holds no CA with the key TAVRO_PUBLISHER_CA names")):
            with self.subTest(name):
                self.assertEqual(installer_and_live_check(refused), (
                    1, ["Installer signature verification failed.", "Detail: " + cause + of],
                    (2, CHECKED + REFUSED + "Detail: %s%s\n" % (cause, of), [])))
        # A setup of another size than the signed one: the download is held to that size, and the
        # detail line says so where the sentence cannot.
        detail = "Detail: a body of %d bytes where %d were required requesting https://%s/releases/%s?..." % (
            len(setup) + 4096, len(setup), bed.HOST, SETUP_NAME)
        code, outcome, live = installer_and_live_check(setup + b"\0" * 4096, refreshed)
        self.assertEqual((code, outcome[-1:], live), (1, [detail], (
            2, CHECKED + "Users see: The TAVRO server returned an unexpected response.\n%s\n" % detail, [])))


def full_directory(name, files):
    """A directory holding these files, with no room for more: a tmpfs of
    their size, in the bed's own mount namespace."""
    directory = signing.path(name)
    os.makedirs(directory)
    pages = sum(len(data) // 4096 + 1 for data in files.values()) or 1
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % (4 * pages), "tmpfs", directory], check=True)
    for file, data in files.items():
        signing.write(os.path.join(name, file), data)
    return directory


def listing(directory):
    return {name: signing.read(os.path.join(directory, name)) for name in os.listdir(directory)
            if os.path.isfile(os.path.join(directory, name))}


def holding_lock(directory, command):
    """The command, run while another process holds the publishing lock on
    `directory`: it is let go once the command has said something on stderr
    (60 s at most), which then comes out as the command's own."""
    said = signing.path("said-while-locked")
    script = (': >"$0"; exec 9<"$1"; flock 9; shift; "$@" 9<&- 2>"$0" & n=0; '
              'until [ -s "$0" ] || [ $n = 600 ]; do sleep 0.1; n=$((n + 1)); done; flock -u 9; '
              'wait $!; status=$?; cat "$0" >&2; exit $status')
    return ["sh", "-c", script, said, directory] + command


def while_time_stamps_served(tree, command):
    """The command, run while make timestamp-server's service runs from
    `tree`; the service ends after it."""
    script = ('service=$1 tree=$2 said=$3; shift 3; "$service" "$tree/timestamp-service" 0 >"$said" 2>&1 & tsa=$!; '
              'until grep -qs TAVRO_SIGN_TSA_CAFILE "$said" || ! kill -0 $tsa 2>/dev/null; do sleep 0.1; done; '
              '"$@"; status=$?; kill $tsa; wait $tsa; exit $status')
    return ["sh", "-c", script, "sh", os.path.join(SOURCE, "tests", "bed", "timestamp_service.py"), tree,
            signing.path("time-stamps-of-" + os.path.basename(tree))] + command


def while_live(manifest, command):
    """The command, run while the site serves `manifest` (a file) as the live
    manifest; the one it served before comes back after."""
    script = ('live=$1/updates/tavro-update.txt; mkdir -p "${live%/*}"; if [ -f "$live" ]; then mv "$live" '
              '"$live.before"; fi; cp "$2" "$live"; shift 2; "$@"; status=$?; rm "$live"; if [ -f "$live.before" ]; '
              'then mv "$live.before" "$live"; fi; exit $status')
    return ["sh", "-c", script, "sh", bed.DOCROOT, manifest] + command


def at_once(first, second, command):
    """The command run twice at once, for the manifests `first` and `second`
    (directories), while the record's lock is held until both say they wait
    for it (60 s at most); fails, saying so, when both got the same sequence."""
    script = ('one=$1 two=$2; shift 2; lock=$XDG_STATE_HOME/tavro/manifest-sequences.lock; mkdir -p "${lock%/*}"; '
              'exec 9>"$lock"; flock 9; "$@" "$one/tavro-update.txt" >/dev/null 2>"$one.err" 9>&- & a=$!; '
              '"$@" "$two/tavro-update.txt" >/dev/null 2>"$two.err" 9>&- & b=$!; n=0; '
              'until [ "$(cat "$one.err" "$two.err" 2>/dev/null | grep -c "holds the record")" = 2 ] || [ $n = 600 ]; '
              'do sleep 0.1; n=$((n + 1)); done; exec 9>&-; '
              'wait $a; sa=$?; wait $b; sb=$?; '
              'if [ $sa != 0 ] || [ $sb != 0 ]; then cat "$one.err" "$two.err" >&2; exit 1; fi; '
              'x=$(sed -n "s/^sequence=//p" "$one/tavro-update.txt"); '
              'y=$(sed -n "s/^sequence=//p" "$two/tavro-update.txt"); '
              'if [ "$x" = "$y" ]; then echo "both signed sequence $x" >&2; exit 1; fi')
    return ["sh", "-c", script, "sh", first, second] + command


def manifest_directory(name, data, listed=None):
    """A directory holding a manifest and its SHA256SUMS line (of `listed`,
    else of the manifest), as make manifest leaves them."""
    os.makedirs(signing.path(name))
    signing.write(name + "/SHA256SUMS", "%s  tavro-update.txt\n" % bed.sha256(listed or data))
    signing.write(name + "/tavro-update.txt", data)
    return signing.path(name)


def run_row(command, changes):
    """A row's command with the signing settings, `changes` applied (None:
    unset)."""
    env = {k: v for k, v in dict(os.environ, **settings).items() if k not in ("MAKEFLAGS", "MAKELEVEL")}
    env.update({k: v for k, v in changes.items() if v is not None})
    for k in (k for k, v in changes.items() if v is None):
        del env[k]
    return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=300 * bed.SLOWDOWN)


def without_make_lines(stderr):
    return "".join(line + "\n" for line in stderr.splitlines() if not re.match(r"make(\[\d+\])?: \*\*\* ", line))


def configure_said(stderr):
    """The sentence of CMake's error, unwrapped."""
    found = re.search(r"^CMake Error at [^\n]*\(message\):\n(.*?)\nCall Stack", stderr, re.M | re.S)
    return " ".join(found.group(1).split()) if found else stderr


class Messages(unittest.TestCase):
    def test_each_cause_is_named_in_the_same_words_wherever_it_is_met(self):
        sign, manifest = signing.SIGN, os.path.join(SOURCE, "scripts", "manifest.py")
        tool = ["--tool", os.path.join(BUILD, "tavro-manifest.exe"), "--wine-run", WINE_RUN]
        configure = ["make", "--no-print-directory", "-C", SOURCE, "configure", "BUILD=" + BUILD]
        keys_pem = os.path.join(MANIFEST_KEYS, "keys.pem")
        os.makedirs(signing.path("key-files"))

        def public(name, *generate):
            key = signing.path("key-files/%s.key" % name)
            bed.run("openssl", *generate, "-out", key)
            return signing.write("key-files/%s.pem" % name, bed.run("openssl", "pkey", "-in", key, "-pubout").stdout)
        p384 = public("p384", "ecparam", "-name", "secp384r1", "-genkey", "-noout")
        rsa = public("rsa", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048")
        ed25519 = public("ed25519", "genpkey", "-algorithm", "ED25519")
        third = public("third", "ecparam", "-name", "prime256v1", "-genkey", "-noout")
        three = signing.write("key-files/three.pem", signing.read(keys_pem) + signing.read(third))
        garbage = signing.write("key-files/garbage.pem", "not a key\n")
        private = signing.path("current.key")
        setup = signing.read(signing.path("signed-setup/" + SETUP_NAME))
        good = signed_manifest(setup, 1)
        stranger_key = manifest_directory("refresh-stranger-key", good)
        edited = manifest_directory("refresh-edited", good.replace(b"version=2.1.0", b"version=2.1.1"), good)
        not_p256 = "TAVRO_MANIFEST_KEY (%s) holds a key that is not an ECDSA P-256 public key (openssl ec -in key.pem " \
                   "-pubout gives one)"
        count = "TAVRO_MANIFEST_KEY (%s) must hold one or two PEM public keys (-----BEGIN PUBLIC KEY-----), the current " \
                "and the next; it holds %d"
        ca = "TAVRO_PUBLISHER_CA must be 64 hexadecimal digits (the SHA-256 of the CA's SubjectPublicKeyInfo), not 'abc'"
        wrong_token = MANIFEST_KEY.replace("Code%20Signing", "Wrong%20Label")
        closed = signing.closed_port()
        # The build's own settings: the dry run says what configure says.
        pairs = [
            ("no such file", "/no/such.pem", "TAVRO_MANIFEST_KEY names /no/such.pem, which is not a file"),
            ("a P-384 key", p384, not_p256 % p384),
            ("an RSA key", rsa, not_p256 % rsa),
            ("an Ed25519 key", ed25519, not_p256 % ed25519),
            ("no key at all", garbage, count % (garbage, 0)),
            ("three keys", three, count % (three, 3)),
            ("a private key", private, "TAVRO_MANIFEST_KEY (%s) holds a private key: the build takes public keys only, "
             "and the private key stays on the token (openssl pkey -in key.pem -pubout gives its public key)" % private),
        ]
        not_a_host = "TAVRO_MIRROR_HOSTS holds '%s', which is not a host name in lower case (letters, digits, " \
                     "hyphens, at least one dot: mirror.example.org)"
        pairs += [
            ("mirror hosts without a key", "", "TAVRO_MIRROR_HOSTS needs TAVRO_MANIFEST_KEY: without a signed "
             "manifest, whoever runs a mirror would decide what the installer runs", "mirror.example"),
            ("four mirror hosts", keys_pem, "TAVRO_MIRROR_HOSTS names 4 hosts: at most 3, in the order they are asked",
             "a.example b.example;c.example d.example"),
            ("a mirror host in capitals", keys_pem, not_a_host % "Mirror.example", "Mirror.example"),
            ("a mirror host without a dot", keys_pem, not_a_host % "mirror", "a.example mirror"),
            ("the official host as a mirror", keys_pem, "TAVRO_MIRROR_HOSTS names www.%s, which is the official host "
             "(TAVRO_OFFICIAL_HOST); a mirror is another host" % bed.HOST, "www." + bed.HOST),
            ("a mirror host twice", keys_pem, "TAVRO_MIRROR_HOSTS names m.example twice", "m.example m.example"),
        ]
        # Note keys as signed notes write them: name+keyid+base64(type || key).
        note_key = lambda name, kind: "%s+0a1b2c3d+%s" % (name, base64.b64encode(bytes([kind]) + bytes(32)).decode())
        log, w1, w2 = note_key("x.example/log", 1), note_key("w1.example", 4), note_key("w2.example", 4)
        log_lock = lambda witnesses, quorum: ["TAVRO_LOG_KEY=" + log, "TAVRO_LOG_WITNESSES=" + witnesses,
                                              "TAVRO_LOG_QUORUM=%d" % quorum]
        pairs += [
            ("a log without a manifest key", "", "TAVRO_LOG_KEY requires a signed manifest: it needs "
             "TAVRO_MANIFEST_KEY", log_lock(w1, 1)),
            ("witnesses without a log key", keys_pem, "TAVRO_LOG_WITNESSES and TAVRO_LOG_QUORUM are the witnesses of "
             "a transparency log: they need TAVRO_LOG_KEY", ["TAVRO_LOG_WITNESSES=" + w1]),
            ("a witness's key as the log's", keys_pem, "TAVRO_LOG_KEY holds '%s', which is not an Ed25519 note key "
             "(type 0x01) (name+8 hex digits+base64 of the type byte and the 32-byte Ed25519 key, as signed notes "
             "write a verifier key)" % w1, ["TAVRO_LOG_KEY=" + w1, "TAVRO_LOG_WITNESSES=" + w2]),
            ("a witness twice", keys_pem, "TAVRO_LOG_WITNESSES names the witness w1.example twice: each counts once "
             "towards TAVRO_LOG_QUORUM", log_lock(w1 + " " + w1, 1)),
            ("a quorum above the witnesses", keys_pem, "TAVRO_LOG_QUORUM must be a whole number from 1 to the 2 "
             "witnesses of TAVRO_LOG_WITNESSES, not '3'", log_lock(w1 + " " + w2, 3)),
        ]
        rows = []
        for cause, key_file, sentence, *more in pairs:
            if more:
                extra = more[0] if isinstance(more[0], list) else ["TAVRO_MIRROR_HOSTS=" + more[0]]
                rows.append((cause, configure + ["TAVRO_MANIFEST_KEY=" + key_file] + extra, {}, sentence, None))
                continue
            rows += [(cause, [sign, "--check"], {"TAVRO_SIGN_MANIFEST_PUBLIC": key_file}, "sign-release: %s\n" % sentence,
                      None),
                     (cause, configure + ["TAVRO_MANIFEST_KEY=" + key_file], {}, sentence, None)]
        # cause, command, settings changed, what it says (configure: CMake's
        # sentence), a directory that must keep its files
        rows += [
            ("a pin that is no SHA-256", [sign, "--check"],
             {"TAVRO_SIGN_PUBLISHER_CA": "abc", "TAVRO_SIGN_PUBLISHER": PUBLISHER}, "sign-release: %s\n" % ca, None),
            ("a pin that is no SHA-256", configure + ["TAVRO_PUBLISHER_CA=abc", "TAVRO_MANIFEST_FLOOR=7"], {}, ca, None),
            ("a pin that is no SHA-256", configure[:-2] + ["release", "BUILD=" + BUILD, "TAVRO_PUBLISHER_CA=abc"], {},
             "sign-release: %s\n" % ca, RELEASE),
            ("a manifest key not in the build", [manifest] + tool + ["refresh", stranger_key + "/tavro-update.txt"],
             {"TAVRO_SIGN_MANIFEST_KEY": STRANGER_KEY},
             "manifest: The manifest key %s through %s is not one of the 2 public keys in %s (TAVRO_MANIFEST_KEY): "
             "this build's installers would refuse every manifest it signs. Nothing was written: %s/tavro-update.txt "
             "and its SHA256SUMS line are as they were.\n" % (STRANGER_KEY, bed.SOFTHSM, keys_pem, stranger_key),
             stranger_key),
            ("a manifest edited after signing", [manifest] + tool + ["refresh", edited + "/tavro-update.txt"], {},
             "manifest: %s/tavro-update.txt was changed after it was signed: its SHA-256 is not the one SHA256SUMS "
             "beside it lists, and no key of this build verifies its signature (TAVRO_MANIFEST_KEY, %s). Sign the "
             "release again with make manifest; nothing was written.\n" % (edited, keys_pem), edited),
            ("a signing key that is not the certificate's", [sign, "--check"], {"TAVRO_SIGN_KEY": STRANGER_KEY},
             "sign-release: The private key %s through %s and the certificate %s do not belong together (the "
             "certificate names another key); nothing was written.\n" % (STRANGER_KEY, bed.SOFTHSM, CERT), None),
            ("a token label no token has", [sign, "--check"], {"TAVRO_SIGN_KEY": KEY.replace("Code%20Signing",
                                                                                           "Wrong%20Label")},
             'sign-release: No token labelled "Wrong Label" through %s (its tokens: "Code Signing"): check the token= '
             'label in TAVRO_SIGN_KEY. Nothing was written.\n' % bed.SOFTHSM, None),
            ("a token label no token has", [sign, "--check"],
             {"TAVRO_SIGN_MANIFEST_PUBLIC": keys_pem, "TAVRO_SIGN_MANIFEST_KEY": wrong_token},
             'sign-release: No token labelled "Wrong Label" through %s (its tokens: "Code Signing"): check the token= '
             'label in TAVRO_SIGN_MANIFEST_KEY.\n' % bed.SOFTHSM, None),
            ("a time-stamp service that refuses the connection", [sign, "--check"], {"TAVRO_SIGN_TIMESTAMP_URL": closed},
             "sign-release: The time-stamp server %s refused the connection: nothing listens there (is it running, "
             "and on that port?); nothing was written.\n" % closed, None),
        ]
        for cause, command, changes, sentence, kept in rows:
            with self.subTest(cause, command=command[-2:]):
                before = listing(BUILD), kept and listing(kept)
                result = run_row(command, changes)
                said = (configure_said(result.stderr) if "configure" in command else
                        without_make_lines(result.stderr) if command[0] == "make" else result.stderr)
                self.assertEqual((result.returncode != 0, said), (True, sentence))
                # Refused, it leaves the tree (its cache) and the published files as they were.
                self.assertEqual((listing(BUILD), kept and listing(kept)), before)


class Refusals(unittest.TestCase):
    def test_each_fault_is_named_and_leaves_the_old_files_whole(self):
        sign, manifest = signing.SIGN, os.path.join(SOURCE, "scripts", "manifest.py")
        tool = ["--tool", os.path.join(BUILD, "tavro-manifest.exe"), "--wine-run", WINE_RUN]
        unsigned = os.path.join(BUILD, "TAVRO-Static-Module-Installer.exe")
        old = {"TAVRO-Static-Module-Installer.exe": b"old", "SHA256SUMS": "%s  TAVRO-Static-Module-Installer.exe\n"
               % bed.sha256(b"old")}
        old_manifest = {"tavro-update.txt": b"old", "SHA256SUMS": "%s  tavro-update.txt\n" % bed.sha256(b"old")}
        gone = signing.write("gone.conf", "directories.tokendir = %s\n" % signing.path("gone"))
        full_tmp, full_out = full_directory("full-tmp", {}), full_directory("full-out", old)
        full_site = full_directory("full-site", old_manifest)
        missing = signing.path("no-such-setup.exe")
        closed = signing.closed_port()
        # The pinned tool writes a manifest only for a setup its publisher signed.
        signed = signing.path("signed-setup/" + SETUP_NAME)
        impostor_signed = signing.path("impostor-setup.exe")
        bed.run("osslsigncode", "sign", "-certs", impostor[1], "-key", impostor[0], "-h", "sha256", "-in",
                bed.SAMPLE_SETUP, "-out", impostor_signed)
        make_command = ["make", "--no-print-directory", "-C", SOURCE]
        keys_pem = os.path.join(MANIFEST_KEYS, "keys.pem")
        setup = signing.read(signed)
        manifest_directory("stranger", signed_manifest(setup, 1))
        stranger = signing.path("stranger.key")
        bed.run("openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", stranger)
        os.makedirs(signing.path("stranger-signed"))
        stranger_signed = signing.write("stranger-signed/tavro-update.txt", signed_manifest(b"setup", 1, key=stranger))
        os.makedirs(signing.path("twice"))
        twice = signing.write("twice/tavro-update.txt", signed_manifest(b"setup", 1, more="InstallerUrl=https://x/\n"))
        expired = signing.write("expired.txt", signed_manifest(b"setup", 1, days=-1))
        kept_manifest = manifest_directory("kept", signed_manifest(setup, 1))
        live_7 = signing.write("live-7.txt", signed_manifest(setup, 7))
        for name in ("lost", "below", "untrusted", "first", "second"):
            os.makedirs(signing.path(name))
        clean_locked, clean_served = signing.path("clean-locked"), signing.path("clean-served")
        for tree in (clean_locked, clean_served):
            os.makedirs(tree)
            signing.write(os.path.join(tree, "CMakeCache.txt"), "TAVRO_OFFICIAL_HOST:STRING=%s\n" % bed.HOST)
        untrusted_signed = signing.path("untrusted-setup.exe")
        bed.run("osslsigncode", "sign", "-certs", untrusted[1], "-key", untrusted[0], "-h", "sha256", "-in",
                bed.SAMPLE_SETUP, "-out", untrusted_signed)
        # Live: a manifest that expires within 14 days.
        bed.reset_site()
        bed.publish("/releases/" + SETUP_NAME, signing.read(signed))
        bed.publish(bed.MANIFEST_PATH, signed_manifest(signing.read(signed), 1, days=10))
        # command, settings changed, exit code, the end of stderr (a pattern), a directory that must keep its files
        e = re.escape
        pinned = e("%s/ is pinned to the publisher \"%s\": its installer runs only setups signed by that name, "
                   % (BUILD, PUBLISHER))
        other_name = (r'sign-release: The certificate names the publisher "%s", but this build runs only setups signed '
                      r'by "Someone Else Ltd" \(TAVRO_PUBLISHER\): setups signed with it would not run; nothing was '
                      r'written\.\n' % e(PUBLISHER))
        rows = [
            (make_command + ["-n", "release", "CMAKE_FLAGS=-DTAVRO_PUBLISHER=Example Software Ltd"], {}, 2,
             r"TAVRO_PUBLISHER was given in CMAKE_FLAGS, where the shell splits it at its spaces: give it as a make "
             r'variable of its own, make TAVRO_PUBLISHER="Example Software Ltd"\.  Stop\.\n', None),
            (make_command + ["configure", "BUILD=" + signing.path("tab"), "TAVRO_PUBLISHER=A\tB"], {}, 2,
             r"TAVRO_PUBLISHER holds the control character U\+0009: a certificate's name has none", None),
            ([sign, "--check"], {"SOFTHSM2_CONF": None}, 1,
             r"No certificate at %s through %s: check that the token is there and that the URI names the certificate"
             r"\. SOFTHSM2_CONF is not set, so SoftHSM2 looked only at the tokens of /etc/softhsm/softhsm2\.conf\.\n"
             % (e(CERT), e(bed.SOFTHSM)), None),
            ([sign, "--check"], {"SOFTHSM2_CONF": gone}, 1,
             r"The PKCS#11 module %s did not start\. The token folder %s \(directories\.tokendir in %s\) does not "
             r"exist\.\n" % (e(bed.SOFTHSM), e(signing.path("gone")), e(gone)), None),
            ([sign, "--check"], {"TAVRO_SIGN_CERT": impostor[1]}, 1,
             r"The private key %s through %s and the certificate %s do not belong together \(the certificate names "
             r"another key\); nothing was written\.\n" % (e(KEY), e(bed.SOFTHSM), e(impostor[1])), None),
            ([sign, "--check"], {"TAVRO_SIGN_PIN_FILE": signing.write("empty-pin", "")}, 1,
             r"TAVRO_SIGN_PIN_FILE names %s, whose first line is empty: it must hold the token's PIN\.\n"
             % e(signing.path("empty-pin")), None),
            ([sign, "--check"], {"TMPDIR": full_tmp}, 1,
             r"The temporary directory %s/tavro-sign\.\w+ cannot take the signing's scratch files \(No space left on "
             r"device\): free space there or set TMPDIR to another directory; nothing was written\.\n" % e(full_tmp),
             full_tmp),
            ([sign, unsigned, os.path.join(full_out, "TAVRO-Static-Module-Installer.exe")], {}, 1,
             r"The signed file could not be written into %s \(No space left on device\); nothing was written: the "
             r"files there are as they were\.\n" % e(full_out), full_out),
            ([manifest] + tool + ["write", signed, "2.1.0", URL, full_site + "/tavro-update.txt"], {}, 1,
             r"^tavro-manifest: The manifest cannot be written to %s/tavro-update\.txt \(.+\)\.\n" % e(full_site),
             full_site),
            # A file it cannot read is no refusal, and is named as given.
            ([manifest] + tool + ["write", missing, "2.1.0", URL, signing.path("site/tavro-update.txt")], {}, 1,
             r"^tavro-manifest: The setup file %s cannot be read \(.+\)\.\n" % e(missing), None),
            # Signing refused for another publisher's name leaves build/ pinned as it was.
            (make_command + ["release", "BUILD=" + BUILD, "TAVRO_PUBLISHER=Someone Else Ltd"], {}, 2, other_name,
             BUILD),
            (make_command + ["sign-setup", "BUILD=" + BUILD, "TAVRO_PUBLISHER=Someone Else Ltd", "SETUP=" + signed,
                             "SIGNED=" + signing.path("resigned.exe")], {}, 2, other_name, BUILD),
            # No manifest for a setup that the pinned installer refuses.
            (make_command + ["manifest", "BUILD=" + BUILD, "SETUP=" + impostor_signed, "VERSION=2.1.0", "URL=" + URL,
                             "MANIFEST=" + signing.path("refused/tavro-update.txt")], {}, 2,
             r'tavro-manifest: refused: The setup file %s is signed by "%s" under no CA whose key TAVRO_PUBLISHER_CA '
             r"names: this build's installers refuse it\. The installer would say: %s" % (
                 e(impostor_signed), e(PUBLISHER), e(REFUSED[len("Users see: "):])), None),
            # A root the tool's prefix does not trust (make clean removes the prefix): make trust-root is named.
            (make_command + ["manifest", "BUILD=" + BUILD, "SETUP=" + untrusted_signed, "VERSION=2.1.0", "URL=" + URL,
                             "MANIFEST=" + signing.path("untrusted/tavro-update.txt")], {}, 2,
             r"tavro-manifest: refused: The setup file %s is signed under a root that the Wine prefix of this tool "
             r"does not trust \(certificate chain errors 0x[0-9A-F]{8} \([a-z ,]+\)\): a setup signed under a private "
             r"CA needs make trust-root CA=<its certificate> first\. The installer would say: %s" % (
                 e(untrusted_signed), e(REFUSED[len("Users see: "):])), None),
            # Refused names: bytes that are not UTF-8, a tab; build/ keeps the name it had.
            (make_command + ["configure", "BUILD=" + BUILD, os.fsdecode(b"TAVRO_PUBLISHER=Caf\xe9 Ltd")], {}, 2,
             r"TAVRO_PUBLISHER is not UTF-8 text \(byte 4, 0xE9, starts no UTF-8 character\): a certificate's name "
             r"is, so no signature could ever match it\.", BUILD),
            (make_command + ["configure", "BUILD=" + BUILD, "TAVRO_PUBLISHER=A\tB"], {}, 2,
             r"TAVRO_PUBLISHER holds the control character U\+0009", BUILD),
            # A refused setting leaves build/ as it was (Messages: each such refusal, with a floor given beside one).
            (make_command + ["configure", "BUILD=" + BUILD, "TAVRO_MANIFEST_KEY=/no/such.pem"], {}, 2,
             r"TAVRO_MANIFEST_KEY names /no/such\.pem, which is not a file", BUILD),
            # A pin the certificate's chain does not hold is refused before build/ is configured for it.
            (make_command + ["release", "BUILD=" + BUILD, "TAVRO_PUBLISHER_CA=" + "0" * 64], {}, 2,
             r"\Asign-release: The certificate's chain holds no CA whose key TAVRO_PUBLISHER_CA names \(0{64}\): setups "
             r"signed with it would not run; nothing was written\. Its CAs: CN=Rehearsal Code Signing CA, "
             r"[0-9a-f]{64}\.\n(make\S*: \*\*\* .*\n)*\Z", (BUILD, RELEASE)),
            # A tree configured once more with the CA pin links what the pin adds.
            (["sh", "-c", 'make --no-print-directory -C "$0" build "BUILD=$1" "TAVRO_PUBLISHER=$2" >/dev/null && '
              'make --no-print-directory -C "$0" build "BUILD=$1" "TAVRO_PUBLISHER=$2" "TAVRO_PUBLISHER_CA=$3" '
              '>/dev/null', SOURCE, signing.path("pinned-later"), PUBLISHER, ca_hash], {}, 0, r"\A\Z", None),
            # A release that fails once built puts build/ back: it and build/release/ agree, the floor given gone.
            (make_command + ["release", "BUILD=" + BUILD, "TAVRO_MANIFEST_FLOOR=7"], {"TAVRO_SIGN_TIMESTAMP_URL": closed},
             2, r"sign-release: The time-stamp server %s refused the connection: nothing listens there \(is it running, "
             r"and on that port\?\); nothing was written\.\n(make\S*: \*\*\* .*\n)*make release failed: %s/ is "
             r"configured and built again as it was before it, so that it agrees with %s/release/ and keeps no setting "
             r"of this run\.\n"
             % (e(closed), e(BUILD), e(BUILD)), (BUILD, RELEASE)),
            # make clean leaves a running rehearsal alone.
            (holding_lock(clean_locked, make_command + ["clean", "BUILD=" + clean_locked]), {}, 2,
             r"^A publishing run \(make release or another of: release sign-setup manifest check-manifest check-live "
             r"manifest-refresh publish trust-root\) holds %s/: make clean would remove the files it works on\. Nothing was "
             r"removed\.\n(make\S*: \*\*\* .*\n)*\Z" % e(clean_locked), clean_locked),
            (while_time_stamps_served(clean_served, make_command + ["clean", "BUILD=" + clean_served]), {}, 2,
             r"^make timestamp-server runs from %s/timestamp-service/, whose CA make release and make sign-setup "
             r"verify its time stamps against \(TAVRO_SIGN_TSA_CAFILE\): stop it \(Ctrl-C where it runs\) first\. "
             r"Nothing was removed\.\n(make\S*: \*\*\* .*\n)*\Z" % e(clean_served), clean_served),
            ([sign, "--check"], {"TAVRO_SIGN_PUBLISHER": unicodedata.normalize("NFD", PUBLISHER)}, 1,
             r"nothing was written\. The two look alike but differ in Unicode normalisation: the certificate's is in "
             r"composed form \(NFC\), TAVRO_PUBLISHER in decomposed form \(NFD\); give TAVRO_PUBLISHER as the "
             r"certificate writes it\.\n", None),
            # make test on a pinned build/ stops before it builds anything.
            (make_command + ["-n", "test", "BUILD=" + BUILD], {}, 2,
             r"\*\*\* %sand make test runs it with unsigned sample setups\. Run make build TAVRO_PUBLISHER= first, or "
             r"give it a tree of its own: make test BUILD=another-directory\.  Stop\.\n" % pinned, None),
            # The usage, a wait that says so, in-bed.sh --help, signed/ kept out of git.
            (make_command + ["sign-setup", "BUILD=" + BUILD], {}, 2,
             r"^usage: make sign-setup SETUP=setup\.exe SIGNED=signed/setup\.exe\n", None),
            (holding_lock(BUILD, make_command + ["sign-setup", "BUILD=" + BUILD]), {}, 2,
             r"^Another publishing run \(make sign-setup or another of: release sign-setup manifest "
             r"check-manifest check-live manifest-refresh publish trust-root\) holds %s/: waiting for it to end \(at most 15 minutes\)\.\n"
             r"usage: make sign-setup " % e(BUILD), None),
            # make check-manifest checks a signed manifest alone.
            (make_command + ["check-manifest", "BUILD=" + BUILD,
                             "MANIFEST=" + signing.write("alone.txt", signed_manifest(setup, 1))], {}, 0, r"\A\Z", None),
            ([os.path.join(SOURCE, "tests", "bed", "in-bed.sh"), "--help"], {"TAVRO_IN_BED": None}, 0, r"\A\Z", None),
            (["sh", "-c", '"$0" --help | grep -q "wine-run build/TAVRO-Static-Module-Installer.exe --download-test" || '
              'echo "in-bed.sh --help names no wine-run line" >&2', os.path.join(SOURCE, "tests", "bed", "in-bed.sh")],
             {"TAVRO_IN_BED": None}, 0, r"\A\Z", None),
            (["git", "-C", SOURCE, "check-ignore", "-q", "signed/" + SETUP_NAME], {}, 0, r"\A\Z", None),
            (["git", "-C", SOURCE, "check-ignore", "-q", "rehearsal/ca.key"], {}, 0, r"\A\Z", None),
            # The manifest key must be on the token, and one of the build's.
            ([sign, "--check"], {"TAVRO_SIGN_MANIFEST_PUBLIC": keys_pem,
                                 "TAVRO_SIGN_MANIFEST_KEY": MANIFEST_KEY.replace("tavro-manifest", "gone")}, 1,
             r"^sign-release: No manifest key at %s through %s: check that the token is there and that the URI "
             r"names the key\.\n\Z" % (e(MANIFEST_KEY.replace("tavro-manifest", "gone")), e(bed.SOFTHSM)), None),
            ([sign, "--check"], {"TAVRO_SIGN_MANIFEST_PUBLIC": keys_pem, "TAVRO_SIGN_MANIFEST_KEY": STRANGER_KEY}, 1,
             r"^sign-release: The manifest key %s through %s is not one of the 2 public keys in %s "
             r"\(TAVRO_MANIFEST_KEY\): this build's installers would refuse every manifest it signs\.\n\Z"
             % (e(STRANGER_KEY), e(bed.SOFTHSM), e(keys_pem)), None),
            # A certificate under a CA other than the pinned one.
            ([sign, "--check"], {"TAVRO_SIGN_PUBLISHER_CA": "0" * 64, "TAVRO_SIGN_PUBLISHER": PUBLISHER}, 1,
             r"^sign-release: The certificate's chain holds no CA whose key TAVRO_PUBLISHER_CA names \(0{64}\): "
             r"setups signed with it would not run; nothing was written\. Its CAs: CN=Rehearsal Code Signing CA, "
             r"[0-9a-f]{64}\.\n\Z", None),
            # No manifest that the build's own check refuses: signed by a key it does not take.
            ([manifest] + tool + ["write", signed, "2.1.0", URL, signing.path("stranger/tavro-update.txt")],
             {"TAVRO_SIGN_MANIFEST_KEY": STRANGER_KEY}, 1,
             r"^manifest: The manifest key %s through %s is not one of the 2 public keys in %s \(TAVRO_MANIFEST_KEY\): "
             r"this build's installers would refuse every manifest it signs\. Nothing was written: %s/tavro-update\.txt "
             r"and its SHA256SUMS line are as they were\.\n\Z" % (e(STRANGER_KEY), e(bed.SOFTHSM), e(keys_pem),
                                                                e(signing.path("stranger"))), signing.path("stranger")),
            # Nor when the token cannot be reached: the manifest users may have stays.
            ([manifest] + tool + ["write", signed, "2.1.0", URL, kept_manifest + "/tavro-update.txt"],
             {"TAVRO_SIGN_PKCS11_MODULE": "/no/such.so"}, 1,
             r"^manifest: TAVRO_SIGN_PKCS11_MODULE names /no/such\.so, which does not exist\. Nothing was written: "
             r"%s/tavro-update\.txt and its SHA256SUMS line are as they were\.\n\Z" % e(kept_manifest), kept_manifest),
            # Two signers at once (here two outputs; two clones that share the record alike) take turns.
            (at_once(signing.path("first"), signing.path("second"), [manifest] + tool + ["write", signed, "2.1.0", URL]),
             {"XDG_STATE_HOME": signing.path("state-at-once")}, 0, r"\A\Z", None),
            # A record lost with the manifest: signed above the live one, or, named, below it, logged.
            (while_live(live_7, [manifest] + tool + ["write", signed, "2.1.0", URL, signing.path("lost/tavro-update.txt")]),
             {"XDG_STATE_HOME": signing.path("state-lost")}, 0,
             r"\Amanifest: warning: the live manifest has sequence 7, above 0, the last sequence signed here \(read "
             r"from %s\): the record is behind \(lost, or not shared with the machine that signed it\); signing 8\.\n\Z"
             % e(signing.path("state-lost/tavro/manifest-sequences")), None),
            # make check-live says when users get a sequence below the record's (8, just above).
            (while_live(live_7, [manifest] + tool + ["live"]), {"XDG_STATE_HOME": signing.path("state-lost")}, 0,
             r"\Amanifest: warning: the live manifest has sequence 7, below 8, the last sequence signed \(read from "
             r"%s\): users get an older manifest than the last one signed, and installers that took a later one refuse "
             r"it\. Publish the manifest signed last\.\n\Z" % e(signing.path("state-lost/tavro/manifest-sequences")), None),
            (while_live(live_7, [manifest] + tool + ["--sequence-override", "3", "write", signed, "2.1.0", URL,
                                                     signing.path("below/tavro-update.txt")]),
             {"XDG_STATE_HOME": signing.path("state-below")}, 0,
             r"\Amanifest: warning: SEQUENCE_OVERRIDE=3: signing sequence 3 for %s/tavro-update\.txt \(the live "
             r"manifest's: 7; the last signed: 0, read from %s\)\.\n\Z"
             % (e(signing.path("below")), e(signing.path("state-below/tavro/manifest-sequences"))), None),
            # Re-signed is only what a key of the build signed.
            # A signed size that is not the setup's.
            (make_command + ["check-manifest", "BUILD=" + BUILD, "SETUP=" + signed,
                             "MANIFEST=" + signing.write("short.txt", signed_manifest(signing.read(signed), 1, 1000))],
             {}, 2, r"^tavro-manifest: refused: installersize = 1000 but the setup file is %d bytes\. The installer "
             r"would say: The TAVRO server returned an unexpected response\.\n" % len(signing.read(signed)), None),
            ([manifest] + tool + ["live"], {}, 0,
             r"^tavro-manifest: warning: the live manifest expires in 10 days: run make manifest-refresh and publish "
             r"the manifest it writes before then, or users will see: The TAVRO release manifest has expired\. Check "
             r"that this computer's date and time are correct, then try again\.\n\Z", None),
            ([manifest] + tool + ["refresh", stranger_signed], {}, 1,
             r"^manifest: %s is not signed by a key of this build \(TAVRO_MANIFEST_KEY, %s\): make manifest-refresh "
             r"re-signs only a manifest that make manifest signed; nothing was written\.\n"
             % (e(stranger_signed), e(keys_pem)), os.path.dirname(stranger_signed)),
            ([manifest] + tool + ["refresh", twice], {}, 1,
             r"^manifest: %s gives installerurl= twice: installers refuse it, and it is not a manifest that make "
             r"manifest signed; nothing was written\.\n" % e(twice), os.path.dirname(twice)),
            ([os.path.join(SOURCE, "scripts", "publish.py")] + tool + [expired, signing.path("expired-site")], {}, 1,
             r"^publish: %s expired at \S+: users would refuse it\. Run make manifest-refresh first; nothing was "
             r"uploaded\.\n\Z" % e(expired), None),
            ([WINE_RUN, "--boot"], {"TAVRO_WINE_WAIT_SECONDS": "2"}, 124,
             r"^wine-run: the wineserver of %s still runs after 2 s: another command \(a test, make demo, a server "
             r"started with --start-server\) is using this prefix\. Let it end, or end it with: %s --kill\n"
             % (e(os.path.join(BUILD, "test-i686", "wineprefix")), e(WINE_RUN)), None),
        ]
        for command, changes, code, stderr, kept in rows:
            with self.subTest(command=command[-3:], changes=changes):
                kept = () if kept is None else kept if isinstance(kept, tuple) else (kept,)
                before = [listing(directory) for directory in kept]
                if command[0] == WINE_RUN:
                    subprocess.run([WINE_RUN, "--start-server"], check=True)
                    self.addCleanup(subprocess.run, [WINE_RUN, "--kill"])
                result = run_row(command, changes)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertRegex(" ".join(result.stderr.split()) if "configure" in command else result.stderr, stderr)
                self.assertNotIn("Z:\\", result.stderr + result.stdout)
                for directory, was in zip(kept, before):
                    if directory != full_site:
                        self.assertEqual(listing(directory), was, directory)
                    else:
                        # Refused, a manifest takes its older one and line along, or both stay.
                        self.assertIn(listing(directory), (was, {}))


if __name__ == "__main__":
    unittest.main(verbosity=2)

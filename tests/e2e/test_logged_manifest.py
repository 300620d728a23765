"""The shipped file built with manifest keys and the log lock (the test log's
key, three witnesses, two required) runs only a signed manifest that is in
the log its witnesses have seen. Publishing goes through the publisher's own
code (scripts/transparency_log.py, the log key on its SoftHSM2 token, the
bed's witnesses over the add-checkpoint protocol); the monitor
(scripts/monitor.py) reads the log from the official host as anyone can."""
import os
import re
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bed"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts"))
sys.path.insert(0, HERE)
import bed  # noqa: E402
import log_key  # noqa: E402
import log_tree  # noqa: E402
import monitor  # noqa: E402
import signed_note  # noqa: E402
import test_signed_manifest as signing  # noqa: E402
import transparency_log  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey  # noqa: E402
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat  # noqa: E402

LOGGED = os.environ["TAVRO_LOGGED_EXE"]
KEYS = os.environ["TAVRO_TEST_LOG_KEYS"]
CACHE = monitor.cache_reader(LOGGED)
WITNESSES = ["witness1.example", "witness2.example", "witness3.example"]
PROOF_PATH = "/updates/tavro-update.proof"
PROOF_URL = "https://%s%s" % (bed.HOST, PROOF_PATH)
UNVERIFIED = "Detail: %%s in %s." % PROOF_URL
CHECKING, DOWNLOADING = "Checking the TAVRO release manifest.", "Downloading TAVRO Static Module 2.1.0."
PUBLISHER = os.path.join(bed.BED, "publisher")
SCRIPTS = os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts")
MONITOR = [sys.executable, os.path.join(SCRIPTS, "monitor.py"), "--tool", LOGGED]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def start_witnesses(state):
    """The bed's three witnesses on 127.0.0.1:7101..7103, their state in
    `state`; the processes."""
    processes = []
    for number, name in enumerate(WITNESSES, 1):
        process = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(HERE), "bed", "witness.py"),
                                    os.path.join(state, name), str(7100 + number), name,
                                    os.path.join(KEYS, name + ".key"), CACHE("TAVRO_LOG_KEY")],
                                   stdout=subprocess.PIPE, text=True)
        assert process.stdout.readline() == "listening\n"
        processes.append(process)
    return processes


def stop(processes):
    for process in processes:
        process.kill()
        process.wait()
        process.stdout.close()


def witness_answers(state, name):
    with open(os.path.join(state, name, "requests.log"), encoding="utf-8") as f:
        return [line.strip() for line in f]


def serve_log(directory):
    """The log's files on the official host under /log/, as make publish puts them."""
    shutil.rmtree(os.path.join(bed.DOCROOT, "log"), ignore_errors=True)
    shutil.copytree(directory, os.path.join(bed.DOCROOT, "log"),
                    ignore=shutil.ignore_patterns(".lock", "witnesses.json"))


def release(sequence):
    return signing.signed(signing.fields(sequence)).encode()


def proof_text(entries, index, note):
    hashes = [log_tree.leaf_hash(e) for e in entries]
    return ("c2sp.org/tlog-proof@v1\nindex %d\n" % index + "".join(
        signed_note.b64(h) + "\n" for h in log_tree.inclusion_path(index, hashes))).encode() + b"\n" + note


def signed_checkpoint(entries, key, origin=None, name=None):
    """The checkpoint of `entries` for `origin` (the log's own) signed by
    `key`: the LogKey, or a stranger's Ed25519 key under `name`."""
    origin = origin or (key.name if isinstance(key, log_key.LogKey) else name)
    text = signed_note.checkpoint_text(origin, len(entries), log_tree.root([log_tree.leaf_hash(e) for e in entries]))
    if isinstance(key, log_key.LogKey):
        return text + b"\n" + signed_note.signature_line(key.name, signed_note.ED25519, key.public, key.sign(text))
    public = key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    return text + b"\n" + signed_note.signature_line(name, signed_note.ED25519, public, key.sign(text))


def setUpModule():
    os.environ.update(SOFTHSM2_CONF=os.path.join(KEYS, "softhsm2.conf"),
                      TAVRO_SIGN_PKCS11_MODULE=bed.SOFTHSM, TAVRO_SIGN_LOG_TOKEN="Test Log",
                      TAVRO_SIGN_LOG_KEY_ID="4c", TAVRO_SIGN_LOG_PIN_FILE=os.path.join(KEYS, "pin"),
                      TAVRO_LOG_DIR=os.path.join(PUBLISHER, "log"), TAVRO_LOG_WITNESS_URLS=" ".join(
                          "%s=http://127.0.0.1:%d" % (name, 7101 + i) for i, name in enumerate(WITNESSES)))
    bed.start_wine()


class LoggedManifest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        # Three releases published the publisher's way; each witness is
        # asked from the size it last cosigned.
        shutil.rmtree(PUBLISHER, ignore_errors=True)
        cls.state = os.path.join(PUBLISHER, "witnesses")
        cls.witnesses = start_witnesses(cls.state)
        cls.manifests, cls.proofs, cls.said = [], [], []
        for sequence in (6, 7, 8):
            manifest = release(sequence)
            path = os.path.join(PUBLISHER, "tavro-update.proof")
            cls.said.append(transparency_log.log_manifest(CACHE, manifest, path))
            with open(path, "rb") as f:
                cls.proofs.append(f.read())
            cls.manifests.append(manifest)

    @classmethod
    def tearDownClass(cls):
        stop(cls.witnesses)

    def attempt(self, manifest, proof, user=None):
        bed.reset_site()
        bed.publish("/releases/setup.exe", signing.SETUP)
        bed.publish(bed.MANIFEST_PATH, manifest)
        if proof is not None:
            bed.publish(PROOF_PATH, proof)
        user = user or bed.UserProfile()
        return user.run(LOGGED, "--download-test"), user

    def test_the_third_release_installs_with_its_proof_on_the_manifests_connection(self):
        self.assertEqual(self.said[2], "Logged as entry 2 of 3 in %s/log, cosigned by 3 of 3 witnesses.\n" % bed.HOST)
        for name in WITNESSES:
            self.assertEqual(witness_answers(self.state, name)[:3], ['{"status": 200, "old": "old %d"}' % n
                                                                     for n in range(3)])
        code, user = self.attempt(self.manifests[2], self.proofs[2])
        self.assertEqual(code, 0)
        self.assertEqual(user.log_messages(), [CHECKING, DOWNLOADING, "Installer verified successfully."])
        seen = [r for r in bed.requests() if "path" in r]
        self.assertEqual([r["path"] for r in seen], [bed.MANIFEST_PATH, PROOF_PATH, "/releases/setup.exe"])
        self.assertEqual(seen[0]["client"], seen[1]["client"])
        self.assertLessEqual(len(self.proofs[2]), 2048)

    def test_each_proof_fault_refuses_the_manifest_before_its_sequence_is_kept(self):
        proof = self.proofs[2]
        head, _, note = proof.partition(b"\n\n")
        lines = note.split(b"\n")
        one_witness = b"\n".join(lines[:-3]) + b"\n"  # the log's line and witness1's
        entries = self.manifests
        stranger = Ed25519PrivateKey.generate()
        signer = log_key.LogKey(CACHE("TAVRO_LOG_KEY"))
        origin = "%s/log" % bed.HOST
        not_in_tree = "the manifest not in the checkpoint's tree: index %s: an inclusion path that leads to another root"
        rows = [
            ("no proof", self.manifests[2], None,
             "Detail: HTTP status 404 (not found) requesting %s." % PROOF_URL),
            ("the second release's proof", self.manifests[2], self.proofs[1], UNVERIFIED % (not_in_tree % "1 of 2")),
            ("the third's proof for the second", self.manifests[1], proof, UNVERIFIED % (not_in_tree % "2 of 3")),
            ("one hash changed", self.manifests[2], proof.replace(head.split(b"\n")[2], signed_note.b64(
                bytes(32)).encode()), UNVERIFIED % (not_in_tree % "2 of 3")),
            ("cosigned by one witness", self.manifests[2], head + b"\n\n" + one_witness,
             UNVERIFIED % "cosignatures by 1 of the build's 3 witnesses, fewer than the 2 required"),
            ("signed by another key under the log's name", self.manifests[2],
             proof_text(entries, 2, signed_checkpoint(entries, stranger, name=origin)),
             UNVERIFIED % ('no checkpoint signature by the log key "%s"' % origin)),
            ("a checkpoint of another log", self.manifests[2],
             proof_text(entries, 2, signed_checkpoint(entries, signer, "other.example/log")),
             UNVERIFIED % ('checkpoint origin "other.example/log", not "%s"' % origin)),
            ("a checkpoint changed after the log signed it", self.manifests[2],
             proof.replace(b"\n3\n", b"\n4\n", 1),
             UNVERIFIED % ('a checkpoint signature that the log key does not verify: "%s"' % origin)),
        ]
        for name, manifest, row_proof, detail in rows:
            with self.subTest(name):
                code, user = self.attempt(manifest, row_proof)
                self.assertEqual(code, 1)
                self.assertEqual(user.log_messages(), [CHECKING, detail])
                # Nothing beyond the proof asked for, no sequence kept.
                self.assertEqual([r["path"] for r in bed.requests() if "path" in r], [bed.MANIFEST_PATH, PROOF_PATH])
                self.assertEqual(user.files(), ["TAVRO.Installer.log"])

    def test_make_manifest_logs_what_it_signs_and_writes_the_proof(self):
        # make manifest's road (scripts/manifest.py and the logged build's
        # tool): the manifest key on a token beside the log's.
        work = os.path.join(PUBLISHER, "make-manifest")
        token = bed.Token(work, "Manifest", "135790")
        for name in os.listdir(os.path.join(KEYS, "token")):
            shutil.copytree(os.path.join(KEYS, "token", name), os.path.join(work, "tokens", name))
        token.import_key("manifest", "02", shutil.copy(os.path.join(signing.KEYS, "current.key"), work))
        with open(os.path.join(work, "pin"), "w") as f:
            f.write("135790\n")
        setup = os.path.join(work, "setup.exe")
        with open(setup, "wb") as f:
            f.write(signing.SETUP)
        out = os.path.join(work, "release", "tavro-update.txt")
        env = dict(os.environ, SOFTHSM2_CONF=token.conf, TAVRO_SIGN_PIN_FILE=os.path.join(work, "pin"),
                   TAVRO_SIGN_MANIFEST_KEY=token.uri("manifest", "private"), XDG_STATE_HOME=os.path.join(work, "state"))
        bed.reset_site()
        tool = os.path.join(os.path.dirname(LOGGED), "tavro-manifest.exe")
        written = subprocess.run([sys.executable, os.path.join(SCRIPTS, "manifest.py"), "--tool", tool, "--wine-run",
                                  bed.WINE_RUN, "write", setup, "2.1.0", signing.SETUP_URL, out], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300 * bed.SLOWDOWN)
        self.assertEqual(written.returncode, 0, written.stderr)
        # What make release says of this build before it signs it.
        locks = subprocess.run([sys.executable, os.path.join(SCRIPTS, "manifest.py"), "--tool", tool, "locks"],
                               stdout=subprocess.PIPE, text=True, check=True).stdout
        with open(os.path.join(KEYS, "log.vkey"), encoding="ascii") as f:
            self.assertIn("\nLog this build requires: %s (TAVRO_LOG_KEY), cosigned by 2 of the 3 witnesses "
                          "witness1.example, witness2.example, witness3.example (TAVRO_LOG_QUORUM, "
                          "TAVRO_LOG_WITNESSES)\n" % f.read().strip(), locks)
        self.assertRegex(written.stdout, r"Logged as entry \d+ of \d+ in %s/log, cosigned by 3 of 3 witnesses\.\n$"
                         % re.escape(bed.HOST))
        with open(out, "rb") as f:
            manifest = f.read()
        with open(os.path.join(work, "release", "tavro-update.proof"), "rb") as f:
            proof = f.read()
        with open(os.path.join(work, "release", "SHA256SUMS"), encoding="utf-8") as f:
            self.assertIn("%s  tavro-update.proof\n" % bed.sha256(proof), f.read())
        # make publish's road: the log under /log/ and the proof beside the
        # manifest, and the live check with the logged build's own code.
        bed.reset_site()
        published = subprocess.run([sys.executable, os.path.join(SCRIPTS, "publish.py"), "--tool", tool, "--wine-run",
                                    bed.WINE_RUN, out, bed.DOCROOT, setup], env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, timeout=300 * bed.SLOWDOWN)
        self.assertEqual(published.returncode, 0, published.stdout + published.stderr)
        self.assertIn("Published: https://%s%s serves the manifest just uploaded.\n" % (bed.HOST, bed.MANIFEST_PATH),
                      published.stdout)
        served = {name: read(os.path.join(bed.DOCROOT, *name.split("/"))) for name in ("log/checkpoint", PROOF_PATH[1:])}
        self.assertEqual(served, {"log/checkpoint": read(os.path.join(os.environ["TAVRO_LOG_DIR"], "checkpoint")),
                                  PROOF_PATH[1:]: proof})
        user = bed.UserProfile()
        self.assertEqual(user.run(LOGGED, "--download-test"), 0)
        self.assertEqual(user.log_messages()[-1], "Installer verified successfully.")

    def test_a_fork_is_refused_by_the_witnesses_and_caught_by_the_monitor(self):
        directory = os.environ["TAVRO_LOG_DIR"]
        serve_log(directory)
        watched = subprocess.run(MONITOR, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual((watched.returncode, watched.stderr), (0, ""))
        self.assertIn("3 entries, cosigned by witness1.example, witness2.example, witness3.example; 3 logged since "
                      "the last check:\n  entry 0: version=2.1.0, sequence=6, expires=", watched.stdout)
        # The publisher's fourth release, cosigned by every witness.
        fourth = release(9)
        transparency_log.log_manifest(CACHE, fourth, os.path.join(PUBLISHER, "fourth.proof"))
        serve_log(directory)
        # Whoever holds the manifest key and the log key makes a tree of its
        # own for one user: the first three and a release of its own.
        entries = self.manifests + [release(10)]
        signer = log_key.LogKey(CACHE("TAVRO_LOG_KEY"))
        note = signed_checkpoint(entries, signer)
        hashes = [log_tree.leaf_hash(e) for e in entries]
        for name, public in transparency_log.settings(CACHE)[1]:
            line, why = transparency_log.cosign(name, public, os.environ["TAVRO_LOG_WITNESS_URLS"].split()[
                WITNESSES.index(name)].split("=", 1)[1], 3, hashes, note)
            self.assertEqual((line, why), (None, "HTTP 422: not consistent with the tree held"))
            self.assertEqual(witness_answers(self.state, name)[-2:], ['{"status": 409, "old": "old 3"}',
                                                                     '{"status": 422, "old": "old 4"}'])
        code, user = self.attempt(entries[3], proof_text(entries, 3, note))
        self.assertEqual(code, 1)
        self.assertEqual(user.log_messages(), [CHECKING, UNVERIFIED % (
            "cosignatures by 0 of the build's 3 witnesses, fewer than the 2 required")])
        # Witnesses that lost their state (or lie) cosign it, and the user
        # takes it; the monitor, which kept the public tree, sees the fork.
        stop(self.witnesses)
        lying = start_witnesses(os.path.join(PUBLISHER, "lying"))
        try:
            lines = b"".join(transparency_log.cosign(name, public, "http://127.0.0.1:%d" % (7101 + i), 3, hashes,
                                                     note)[0] for i, (name, public) in
                             enumerate(transparency_log.settings(CACHE)[1]))
        finally:
            stop(lying)
            type(self).witnesses = start_witnesses(self.state)
        code, user = self.attempt(entries[3], proof_text(entries, 3, note + lines))
        self.assertEqual(code, 0)
        serve_log(directory)
        watched = subprocess.run(MONITOR, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(watched.returncode, 0, watched.stderr)
        self.assertIn("4 entries", watched.stdout)
        shutil.rmtree(os.path.join(bed.DOCROOT, "log"))
        fork = os.path.join(PUBLISHER, "fork")
        log_tree.write_tiles(fork, entries)
        with open(os.path.join(fork, "checkpoint"), "wb") as f:
            f.write(note + lines)
        serve_log(fork)
        watched = subprocess.run(MONITOR, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual((watched.returncode, watched.stdout), (1, ""))
        self.assertEqual(watched.stderr, "monitor: FORK: the log at https://%s/log/ (4 entries) does not hold the tree "
                         "of 4 entries this monitor kept last time: it has shown another history. Find out who holds "
                         "the log key; do not sign again until then.\n" % bed.HOST)
        # A release logged openly by someone else: in the tree the witnesses
        # hold, and listed by the monitor as not the publisher's.
        stranger = release(11)
        with open(transparency_log.record_path(directory), encoding="utf-8") as f:
            record = f.read()
        transparency_log.log_manifest(CACHE, stranger, os.path.join(PUBLISHER, "stranger.proof"))
        with open(transparency_log.record_path(directory), "w", encoding="utf-8") as f:
            f.write(record)
        serve_log(directory)
        watched = subprocess.run(MONITOR, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(watched.returncode, 1)
        self.assertIn("  entry 4: version=2.1.0, sequence=11, expires=", watched.stdout)
        self.assertIn("  <-- NOT SIGNED BY THIS PUBLISHER", watched.stdout)
        self.assertEqual(watched.stderr, "monitor: ALERT: 1 entry of the log (4) is not in the publisher's record of "
                         "what it logged (%s): a manifest signed with the manifest key by someone else, which "
                         "installers take. Revoke the key (README, rotation) now.\n"
                         % transparency_log.record_path(directory))


if __name__ == "__main__":
    unittest.main(verbosity=2)

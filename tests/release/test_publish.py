"""make publish's upload through an OpenSSH server in the bed, over a link
the test cuts or stalls, into the docroot nginx serves with the README's
cache headers; a reader meanwhile fetches the manifest again and again."""
import contextlib
import http.client
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bed"))
import bed  # noqa: E402

SOURCE, SSH = os.path.dirname(os.path.dirname(HERE)), os.path.join(bed.BED, "ssh")
PUBLISH = [SOURCE + "/scripts/publish.py", "--tool", os.environ.get("TAVRO_MANIFEST_TOOL", ""),
           "--wine-run", bed.WINE_RUN]
DEST, SETUP = "root@%s:%s" % (bed.HOST, bed.DOCROOT), "releases/TAVRO-Static-Module-Setup-%s.exe"
SSHD = ("ListenAddress 127.0.0.1:22\nHostKey {0}/host\nAuthorizedKeysFile {0}/authorized_keys\nPidFile {0}/pid\n"
        "StrictModes no\nUsePAM no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n")
# The key's forced command logs what the server ran, and how it ended.
LOGGED = 'echo "+ $SSH_ORIGINAL_COMMAND" >>{0}/ran; sh -c "$SSH_ORIGINAL_COMMAND"; s=$?; echo "= $s" >>{0}/ran; exit $s'
CLIENT = ("Host {h}\n HostKeyAlias {h}\n Port {p}\n IdentityFile {s}/client\n IdentitiesOnly yes\n BatchMode yes\n"
          " GlobalKnownHostsFile /dev/null\n UserKnownHostsFile {s}/{k}\n")


class Link:
    """A relay to sshd that cuts each connection, or stalls it, once `limit`
    bytes have gone up it."""

    def __init__(self):
        self.limit, self.stall, self.reached = None, False, threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            client, server = self.listener.accept()[0], socket.create_connection(("127.0.0.1", 22))
            bed.forward_in_background(server, client)
            threading.Thread(target=self.up, args=(client, server, self.limit), daemon=True).start()

    def up(self, client, server, limit, passed=0):
        with contextlib.suppress(OSError):  # a client killed with bytes unread resets its end
            while data := client.recv(65536):
                room = len(data) if limit is None else max(0, limit - passed)
                server.sendall(data[:room])
                passed += min(room, len(data))
                if room < len(data):
                    self.reached.set()
                    if not self.stall:
                        break
        for end in (client, server):
            with contextlib.suppress(OSError):
                end.shutdown(socket.SHUT_RDWR)  # also wakes the thread reading the other way
            end.close()


def served(path, method="GET"):
    connection = http.client.HTTPSConnection(bed.HOST, 443, timeout=30)
    with contextlib.closing(connection):
        connection.request(method, path)
        answer = connection.getresponse()
        return answer.status, answer.read(), answer.getheader("Cache-Control")


def read_manifests(stop, known, wrong):
    """Each answer must be a whole manifest of this test whose setup is there."""
    while not stop.wait(0.01):
        status, body, _ = served(bed.MANIFEST_PATH)
        setup = re.search(rb"^installerUrl=https://[^/]+(/[^?\n]*)", body, re.M)
        if status != 200 or body not in known or served(setup.group(1).decode(), "HEAD")[0] != 200:
            wrong.append((status, body[:200]))


def text(path):
    with open(path) as f:
        return f.read()


def server_ran():
    """What the server ran since the last call, in short, and the exit codes."""
    with open(os.path.join(SSH, "ran"), "r+") as f:
        lines = f.read().splitlines()
        f.truncate(0)
    kinds = (("if [ -e ", "look"), ('if [ "$(sha256sum', "rename"), ("mkdir -p ", "mkdir"),
             ("rsync --server ", "rsync "))
    ran = [(next(kind for start, kind in kinds if run[2:].startswith(start)), run, int(end[2:]))
           for run, end in zip(lines[::2], lines[1::2])]
    return [(kind + re.sub(r".*/docroot[^/]*/", "", run) * (kind == "rsync "), code) for kind, run, code in ran]


def server_busy(listener):
    """Whether a connection the server took, or what it ran, still goes on (a
    cut connection's command may start after the connection has ended)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):  # ended meanwhile
            if int(pid) != listener and re.match(r"sshd|rsync\0--server|.*%s/ran" % re.escape(SSH),
                                                 text("/proc/%s/cmdline" % pid), re.S):
                return True
    return False


def write(name, data):
    with open(os.path.join(SSH, name), "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    os.chmod(f.name, 0o600)
    return f.name


class Publish(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        if text("/proc/self/uid_map").split()[2::3] == ["1"]:
            self.skipTest("sshd cannot run here: this bed's user namespace maps root alone (emulated i386), and "
                          "sshd drops privileges to a user of its own")
        os.makedirs(SSH)
        if not os.path.isdir("/run/sshd"):
            subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run"], check=True)
            os.mkdir("/run/sshd", 0o755)
        for key in ("host", "client"):
            bed.run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(SSH, key))
        self.link = Link()
        port = self.link.listener.getsockname()[1]
        write("known_hosts", "%s %s\n" % (bed.HOST, " ".join(text(SSH + "/host.pub").split()[:2])))
        forced = LOGGED.format(SSH).replace('"', '\\"')
        write("authorized_keys", 'command="%s" %s' % (forced, text(SSH + "/client.pub")))
        write("sshd_config", SSHD.format(SSH))
        write("ran", "")
        write("config", CLIENT.format(h=bed.HOST, p=port, s=SSH, k="known_hosts"))
        write("trusting", CLIENT.format(h=bed.HOST, p=port, s=SSH, k="none") + " StrictHostKeyChecking accept-new\n")
        self.sshd = sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-f", SSH + "/sshd_config", "-E",
                                             SSH + "/sshd.log"])
        cache = re.search(r"^```nginx\n(.*?)^```$", text(SOURCE + "/README.md"), re.M | re.S).group(1)
        nginx = bed.start_nginx(os.path.join(bed.BED, "nginx"), extra=cache)
        self.addCleanup(lambda: (sshd.kill(), nginx.kill()))
        self.assertTrue(bed.wait_until(lambda: os.path.exists(SSH + "/pid")))
        bed.start_wine()  # its helpers, which would hold the live check's output open

    def publish(self, manifest, setup, config="config", dest=DEST, stop_when_stalled=False):
        run = subprocess.Popen(PUBLISH + [manifest, dest] + ([setup] if setup else []), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True,
                               env=dict(os.environ, TAVRO_PUBLISH_SSH="ssh -F %s/%s" % (SSH, config)))
        if stop_when_stalled:
            self.assertTrue(self.link.reached.wait(60 * bed.SLOWDOWN))
            os.killpg(run.pid, signal.SIGTERM)
        out, err = run.communicate(timeout=300 * bed.SLOWDOWN)
        self.assertTrue(bed.wait_until(lambda: not server_busy(self.sshd.pid)))
        return run.returncode, out, err

    def test_the_host_serves_the_old_release_or_the_new_one_whole(self):
        def release(version, setup):
            url = "https://%s/%s?sig=$abc" % (bed.HOST, SETUP % version)
            return ("version=%s\ninstallerUrl=%s\ninstallerSha256=%s\n" % (version, url, bed.sha256(setup))).encode()
        a, b, c = os.urandom(100000), os.urandom(3 << 20), os.urandom(50000)
        A, B, C = release("2.1.0", a), release("2.2.0", b), release("3.0.0", c)
        padded, a_as_c = B + b"# " + b"x" * 60000 + b"\n", release("2.1.0", c)
        # Installers take the last of two values of a key.
        twice = C.replace(b"installerSha256=", b"installerSha256=%s\ninstallerSha256=" % bed.sha256(a).encode())
        paths = {data: write(bed.sha256(data), data) for data in (a, b, c, A, B, C, padded, a_as_c, twice)}
        new, look = ("rsync updates/.tavro-update.txt.new", 0), [("look", 0), ("mkdir", 0)]
        with self.subTest("the first release"):
            self.assertEqual(self.publish(paths[A], paths[a]), (0, (
                "Publishing {m} to {d}, which https://{h}/ serves.\nSetup: uploaded {s} as {d}/{a} (100000 bytes).\n"
                "Manifest: uploaded as {d}/updates/.tavro-update.txt.new, then renamed to "
                "{d}/updates/tavro-update.txt.\n"
                "Checked https://{h}/updates/tavro-update.txt with the installer's own code.\nUsers get {n}, verified: "
                "SHA-256 {x}, 100000 bytes.\nPublished: https://{h}/updates/tavro-update.txt serves the manifest just "
                "uploaded.\n").format(m=paths[A], d=DEST, h=bed.HOST, s=paths[a], a=SETUP % "2.1.0", x=bed.sha256(a),
                                      n=os.path.basename(SETUP % "2.1.0")), ""))
            self.assertEqual(server_ran(), look + [("rsync " + SETUP % "2.1.0", 0), new, ("rename", 0)])
            self.assertEqual((served(bed.MANIFEST_PATH, "HEAD")[2], served("/" + SETUP % "2.1.0", "HEAD")[2]),
                             ("no-cache", "public, max-age=31536000, immutable"))
        e, setup_b, kept = re.escape, "rsync " + SETUP % "2.2.0", "the live manifest was not changed"
        # what, manifest, setup, link (bytes up, stalled), ssh config, docroot, exit code, stderr, served after,
        # what the server ran, the setups on the host afterwards
        for what, manifest, setup, (limit, stall), config, dest, code, stderr, after, ran, setups in (
                ("a link cut while the setup travels", B, b, (1 << 20, False), "config", DEST, 1,
                 r"The setup could not be uploaded to %s/%s \(rsync: .+\): %s\.\n"
                 % (e(DEST), e(SETUP % "2.2.0"), kept),
                 A, look + [(setup_b, 13)], ["2.1.0"]),
                ("a run stopped while the setup travels", B, b, (1 << 20, True), "config", DEST, 143,
                 r"stopped by signal 15 while uploading the setup; %s\.\n" % kept, A, look + [(setup_b, 13)],
                 ["2.1.0"]),
                ("the same again, whole", B, b, (None, False), "config", DEST, 0, "", B,
                 look + [(setup_b, 0), new, ("rename", 0)], ["2.1.0", "2.2.0"]),
                ("a link cut while the manifest travels", padded, None, (50000, False), "config", DEST, 1,
                 r"The manifest could not be uploaded to %s/updates/\.tavro-update\.txt\.new \(rsync: .+\): %s\.\n"
                 % (e(DEST), kept), B, look + [(new[0], 13)], ["2.1.0", "2.2.0"]),
                ("a rollback: the older setup, which is there", A, None, (None, False), "config", DEST, 0, "", A,
                 look + [new, ("rename", 0)], ["2.1.0", "2.2.0"]),
                ("a setup that is not the one the manifest names", C, a, (None, False), "config", DEST, 1,
                 r"The setup file %s is not the one %s names" % (e(paths[a]), e(paths[C])), A, [], ["2.1.0", "2.2.0"]),
                ("a manifest naming two SHA-256 values, the setup the first", twice, a, (None, False), "config", DEST,
                 1, r"The setup file %s is not the one %s names" % (e(paths[a]), e(paths[twice])), A, [],
                 ["2.1.0", "2.2.0"]),
                ("a setup neither there nor given", C, None, (None, False), "config", DEST, 1,
                 r"%s/%s is not there, and no SETUP= was given to upload it: a manifest goes up only after the setup "
                 r"it names; nothing was uploaded\.\n" % (e(DEST), e(SETUP % "3.0.0")), A, look[:1],
                 ["2.1.0", "2.2.0"]),
                ("another file under a published setup's name", a_as_c, c, (None, False), "config", DEST, 1,
                 r"%s/%s already holds another file \(SHA-256 %s\): caches keep a published setup as immutable under "
                 % (e(DEST), e(SETUP % "2.1.0"), bed.sha256(a)), A, look[:1], ["2.1.0", "2.2.0"]),
                ("a host key known to no one", C, c, (None, False), "trusting", DEST, 1, r"%s could not be read \(Host "
                 r"key verification failed\.\): nothing was uploaded\.\n" % e(DEST), A, [], ["2.1.0", "2.2.0"]),
                ("a docroot that the host does not serve", C, c, (None, False), "config", DEST + "-elsewhere", 1,
                 r"https://%s/updates/tavro-update\.txt still serves a manifest naming SHA-256 %s, not the manifest "
                 r"just uploaded: a cache in front of the host \(a CDN\) holds the old one"
                 % (e(bed.HOST), bed.sha256(a)),
                 A, look + [("rsync " + SETUP % "3.0.0", 0), new, ("rename", 0)], ["2.1.0", "2.2.0"])):
            with self.subTest(what):
                self.link.limit, self.link.stall = limit, stall
                self.link.reached.clear()
                stop, wrong = threading.Event(), []
                reader = threading.Thread(target=read_manifests, args=(stop, {A, B, padded}, wrong))
                reader.start()
                try:
                    result = self.publish(paths[manifest], setup and paths[setup], config, dest, stall)
                finally:
                    stop.set()
                    reader.join()
                self.assertEqual((wrong, served(bed.MANIFEST_PATH)[1]), ([], after))
                self.assertEqual({os.path.relpath(os.path.join(d, n), bed.DOCROOT): os.stat(os.path.join(d, n)).st_mode
                                  & 0o777 for d, _, names in os.walk(bed.DOCROOT) for n in names},
                                 {"updates/tavro-update.txt": 0o644, **{SETUP % v: 0o644 for v in setups}})
                self.assertEqual((result[0], server_ran()), (code, ran), result[2])
                self.assertRegex(result[2], r"\Apublish: " + stderr if stderr else r"\A\Z")


if __name__ == "__main__":
    unittest.main(verbosity=2)

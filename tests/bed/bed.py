"""The test bed, for every Python test: the release site, the proxies and
Wine inside the bed's namespace (in-bed.sh starts them), the installer run
as a user would run it, and the throwaway PKI the signing tests need:
authorities, an RFC 3161 time-stamp service and a SoftHSM2 token."""
import datetime
import hashlib
import http.server
import json
import sys
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

BED = os.environ.get("TAVRO_BED_DIR", "")
DOCROOT = os.path.join(BED, "docroot")
WINE_RUN = os.environ.get("TAVRO_WINE_RUN", "")
INSTALLER = os.environ.get("TAVRO_INSTALLER", "")
HOST = os.environ.get("TAVRO_OFFICIAL_HOST", "tavro.example")
# A foreign host the bed serves too (tests/bed/in-bed.sh).
HOSTILE_HOST = "evil.example"
# A mirror host with a site of its own (tests/bed/in-bed.sh); a site's
# files, rules and logs carry its suffix.
MIRROR_HOST = "mirror.example"
MIRROR = "-mirror"
MANIFEST_PATH = "/updates/tavro-update.txt"
# How much longer everything takes where 32-bit Wine runs under QEMU's
# emulation (tests/bed/with-i386.sh): one process start alone takes seconds.
SLOWDOWN = 4 if (os.environ.get("TAVRO_WINE_ARCH") == "win32"
                 and os.environ.get("TAVRO_I386_READY") == "emulated") else 1
LOG_LINE = re.compile(rb"^(\d{4})-([1-9]|1[0-2])-([1-9]|[12]\d|3[01]) ([0-9]|1\d|2[0-3]):([0-9]|[1-5]\d):([0-9]|[1-5]\d) ")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def winpath(path):
    """The Wine (drive Z:) form of a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def reset_site():
    for site in ("", MIRROR):
        shutil.rmtree(DOCROOT + site, ignore_errors=True)
        os.makedirs(DOCROOT + site)
    for name in os.listdir(BED):
        if name in ("rules.json", "requests.log", "sent.log", "rules-mirror.json", "requests-mirror.log",
                    "sent-mirror.log") or name.startswith("release-"):
            os.remove(os.path.join(BED, name))
    # The official names as the bed made them.
    original = os.path.join(BED, "hosts.original")
    if os.path.exists(original):
        with open(original, "rb") as f:
            data = f.read()
        with open(os.path.join(BED, "hosts"), "wb") as f:
            f.write(data)


def point_official_at(address):
    """Where the official names resolve from now on (until reset_site): an
    address where nothing listens (127.0.0.4) makes the official host refuse
    every connection, None leaves it without a name. The bed's hosts file is
    rewritten in place, which every later lookup reads."""
    path = os.path.join(BED, "hosts")
    original = os.path.join(BED, "hosts.original")
    if not os.path.exists(original):
        shutil.copyfile(path, original)
    with open(original, encoding="utf-8") as f:
        lines = [line for line in f.read().splitlines() if not line.endswith(" www." + HOST)]
    if address:
        lines.insert(1, "%s %s www.%s" % (address, HOST, HOST))
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def present_wrong_name(on):
    """While on, the site's port 443 presents the certificate for another
    name to every client, whatever name it asks for."""
    path = os.path.join(BED, "wrong-name")
    if on:
        open(path, "w").close()
    elif os.path.exists(path):
        os.remove(path)


def release(name):
    """Lets the server go on with the answers that a "hold" rule of this name
    holds back."""
    open(os.path.join(BED, "release-" + name), "w").close()


def publish(url_path, data, site=""):
    path = os.path.join(DOCROOT + site, url_path.lstrip("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def publish_release(installer, version="1.2.3.4", url_path="/releases/setup.exe", sha=None, url=None):
    publish(url_path, installer)
    url = url or "https://%s%s" % (HOST, url_path)
    manifest = "version=%s\ninstallerUrl=%s\ninstallerSha256=%s\n" % (version, url, sha or sha256(installer))
    publish(MANIFEST_PATH, manifest)


def set_rules(rules, site=""):
    with open(os.path.join(BED, "rules%s.json" % site), "w", encoding="utf-8") as f:
        json.dump(rules, f)


def requests(site=""):
    """What the release server (or the mirror's) saw, in order."""
    try:
        with open(os.path.join(BED, "requests%s.log" % site), encoding="utf-8") as f:
            return [json.loads(line) for line in f]
    except FileNotFoundError:
        return []


class UserProfile:
    """A LOCALAPPDATA of its own for one test."""

    def __init__(self):
        self.local_app_data = tempfile.mkdtemp(prefix="lad-", dir=BED or None)
        self.working_dir = os.path.join(self.local_app_data, "TAVRO", "Installer")
        self.log_path = os.path.join(self.working_dir, "TAVRO.Installer.log")

    def log_bytes(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def log_messages(self):
        """The log's messages without their time stamps; checks every stamp."""
        data = self.log_bytes()
        if not data:
            return []
        assert data.endswith(b"\r\n"), data
        messages = []
        for line in data[:-2].split(b"\r\n"):
            match = LOG_LINE.match(line)
            assert match, line
            messages.append(line[match.end():].decode("latin-1"))
        return messages

    def files(self):
        return sorted(os.listdir(self.working_dir)) if os.path.isdir(self.working_dir) else []

    def command(self, program, *args):
        """A Wine command line that runs the program with this LOCALAPPDATA
        (Wine sets LOCALAPPDATA itself, so it is set through cmd)."""
        line = "set LOCALAPPDATA=%s&& %s" % (winpath(self.local_app_data), winpath(program))
        if args:
            line += " " + " ".join(args)
        return [WINE_RUN, "cmd", "/c", line]

    def run(self, program, *args, timeout=120 * SLOWDOWN):
        return subprocess.run(self.command(program, *args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode


def wait_until(condition, seconds=60 * SLOWDOWN):
    """Waits for a state the test cannot be told of (what a server saw):
    true once `condition()` is, false when `seconds` pass first."""
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.05)
    return True


# nginx beside the Python site: a real server that honours Range itself.
NGINX_CONF = """daemon off;
user root;
master_process off;
worker_processes 1;
pid {scratch}/nginx.pid;
error_log {scratch}/nginx-error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    default_type application/octet-stream;
    client_body_temp_path {scratch}/nginx-body;
    proxy_temp_path {scratch}/nginx-proxy;
    fastcgi_temp_path {scratch}/nginx-fastcgi;
    uwsgi_temp_path {scratch}/nginx-uwsgi;
    scgi_temp_path {scratch}/nginx-scgi;
{servers}}}
"""
NGINX_SERVER = """    server {{
        listen 127.0.0.1:{port} ssl;
        server_name {host} www.{host};
        ssl_certificate {certs}/official.pem;
        ssl_certificate_key {certs}/official.key;
        root {docroot};
        {extra}
    }}
"""


def start_nginx(scratch, port=443, no_ranges_port=4443, extra=""):
    """nginx in one process, serving the bed's docroot with the official
    certificate on `port` (with `extra` in its server block), and on
    `no_ranges_port` as a server that ignores Range; returns the process
    once it takes connections."""
    os.makedirs(scratch, exist_ok=True)
    conf = os.path.join(scratch, "nginx.conf")
    with open(conf, "w") as f:
        servers = "".join(NGINX_SERVER.format(port=p, host=HOST, certs=os.path.join(BED, "certs"), docroot=DOCROOT,
                                              extra=more)
                          for p, more in ((port, extra), (no_ranges_port, "max_ranges 0;")))
        f.write(NGINX_CONF.format(scratch=scratch, servers=servers))
    server = subprocess.Popen(["nginx", "-p", scratch, "-e", os.path.join(scratch, "nginx-error.log"), "-c", conf],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)

    def listening():
        if server.poll() is not None:
            return True
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", no_ranges_port)) == 0

    if not wait_until(listening, 30) or server.poll() is not None:
        server.kill()
        with open(os.path.join(scratch, "nginx-error.log"), errors="replace") as f:
            raise RuntimeError("nginx did not start: " + f.read())
    return server


def forward_in_background(source, target):
    """Passes what `source` sends on to `target`, in a thread of its own,
    until either end closes."""
    def forward():
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                target.sendall(data)
        except OSError:
            pass

    threading.Thread(target=forward, daemon=True).start()


class CuttingRelay:
    """A TCP relay on loopback to `port` (TLS passes through it untouched)
    that drops its first connection once `cut` bytes of the server's side
    have passed; `sent` counts what the server sent through it in all."""

    def __init__(self, port, cut):
        self.target, self.cut, self.sent, self.connections = port, cut, 0, 0
        self.lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            client, _ = self.listener.accept()
            with self.lock:
                self.connections += 1
                first = self.connections == 1
            threading.Thread(target=self.relay, args=(client, first), daemon=True).start()

    def relay(self, client, first):
        upstream = socket.create_connection(("127.0.0.1", self.target))
        forward_in_background(client, upstream)
        passed = 0
        try:
            while True:
                data = upstream.recv(65536)
                if not data:
                    break
                if first and passed + len(data) >= self.cut:
                    data = data[:self.cut - passed]
                with self.lock:
                    self.sent += len(data)
                client.sendall(data)
                passed += len(data)
                if first and passed >= self.cut:
                    break
        except OSError:
            pass
        for end in (client, upstream):
            try:
                end.shutdown(socket.SHUT_RDWR)
                end.close()
            except OSError:
                pass


def start_wine():
    """Starts Wine's background processes (services, desktop) once, detached
    from any pipe: started by a command whose output a test reads, they would
    inherit that pipe and hold it open."""
    subprocess.run([WINE_RUN, "--start-server"], check=True)
    subprocess.run([WINE_RUN, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120 * SLOWDOWN)


class Display:
    """A private X display (Xvfb) for window tests."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        os.environ["DISPLAY"] = self.name

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)


DRIVER = os.environ.get("TAVRO_WINDOW_DRIVER", "")
SAMPLE_SETUP = os.environ.get("TAVRO_SAMPLE_SETUP", "")
SCREENSHOTS = os.environ.get("TAVRO_SCREENSHOT_DIR", "")


def sample_setup_bytes():
    """The sample setup, which leaves sample-setup-ran.txt where it runs."""
    with open(SAMPLE_SETUP, "rb") as f:
        return f.read()


def drive(*args, expect_ok=True):
    """Runs one window-driver command; returns its key=value output. A
    command's own wait (its first number, in ms) is bounded by the driver."""
    waits = [a for a in args if isinstance(a, int)]
    # Files, not pipes: the driver may be the process that starts Wine's
    # desktop (explorer.exe), which inherits its output and keeps it open;
    # reading a pipe would then wait for ever.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run([WINE_RUN, DRIVER] + [str(a) for a in args], stdout=out, stderr=err,
                              timeout=(waits[0] if waits else 0) / 1000 + 120 * SLOWDOWN).returncode
        out.seek(0)
        err.seek(0)
        result = subprocess.CompletedProcess(args, code, out.read(), err.read())
    values = {}
    for line in result.stdout.decode("utf-8").splitlines():
        key, _, value = line.partition("=")
        values[key] = value.replace("\\n", "\n").replace("\\r", "\r").replace("\\t", "\t").replace("\\\\", "\\")
    values["exit"] = result.returncode
    if expect_ok and result.returncode != 0:
        raise AssertionError("window driver %s failed: %r %s" % (args, values, result.stderr.decode()))
    return values


WINDOW_WAIT = 30000 * SLOWDOWN  # ms


def start_window_attempt(user, installer):
    """Starts the installer's window for this user and presses its button;
    returns the process."""
    process = subprocess.Popen(user.command(installer), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    drive("wait-window", WINDOW_WAIT)
    # Posted to the window as the button would: a posted BM_CLICK can be lost
    # while Wine's desktop is still activating the new window.
    drive("click", "command")
    return process


def window_attempt_exit_code(process):
    """Waits until the window of a started attempt is gone; its exit code."""
    drive("wait-gone", 2 * WINDOW_WAIT)
    return process.wait(timeout=WINDOW_WAIT / 1000)


def screenshot(name, whole_screen=False):
    """Saves a PNG of the installer window (and its message box) under the
    build tree; returns its path."""
    if not SCREENSHOTS:
        return None
    os.makedirs(SCREENSHOTS, exist_ok=True)
    bmp = os.path.join(BED, name + ".bmp")
    png = os.path.join(SCREENSHOTS, name + ".png")
    drive("screenshot" if whole_screen else "screenshot-window", winpath(bmp))
    subprocess.run([sys.executable, BMP_TO_PNG, bmp, png], check=True, stdout=subprocess.DEVNULL)
    return png


BMP_TO_PNG = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "driver", "bmp_to_png.py")


# The throwaway PKI: nothing of it outlives the directory a test gives it.

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"


def run(*command, env=None, check=True, cwd=None, when=None):
    """Runs a tool, its clock at `when` ("YYYY-MM-DD hh:mm:ss", faketime)
    when given. Bounded: a tool that hangs fails its test instead of holding
    the run."""
    if when is not None:
        command = ("faketime", when) + command
    return subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, check=check, timeout=180)


def stamp(day):
    """An openssl time: `day` days from now, or a "YYYY-MM-DD hh:mm:ss" as it stands."""
    if isinstance(day, str):
        return datetime.datetime.strptime(day, "%Y-%m-%d %H:%M:%S").strftime("%Y%m%d%H%M%SZ")
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=day)
    return moment.strftime("%Y%m%d%H%M%SZ")


def usage(purpose):
    """The extensions of a leaf certificate for one extended key usage."""
    return "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,%s\n" % purpose


class Authority:
    """A throwaway CA in `directory` that issues certificates for given dates
    (openssl ca). A root made `since` a date is valid from then for ten years;
    otherwise from now for 400 days."""

    def __init__(self, directory, name, parent=None, since=None):
        self.dir = os.path.join(directory, name.replace(" ", "-"))
        os.makedirs(self.dir)
        self.key, self.cert = os.path.join(self.dir, "ca.key"), os.path.join(self.dir, "ca.pem")
        self.config = os.path.join(self.dir, "ca.cnf")
        with open(self.config, "w") as f:
            f.write("[ca]\ndefault_ca = own\n[own]\ndatabase = %s/index.txt\nnew_certs_dir = %s\nserial = %s/serial\n"
                    "default_md = sha256\npolicy = anything\nunique_subject = no\n[anything]\ncommonName = supplied\n"
                    % (self.dir, self.dir, self.dir))
        open(os.path.join(self.dir, "index.txt"), "w").close()
        with open(os.path.join(self.dir, "serial"), "w") as f:
            f.write("1000\n")
        if parent is None:
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", self.cert,
                "-days", "3650" if since else "400", "-utf8", "-subj", "/CN=" + name,
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                when=since)
        else:
            self.key, self.cert = parent.issue(name, "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n",
                                               days=300)

    def issue(self, name, extensions, days=60, starts=0, label=None):
        """Key and certificate files for `name` (kept under `label`, else the
        name), valid from `starts` to `days` (days from now, or dates)."""
        base = os.path.join(self.dir, (label or name).replace(" ", "-"))
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", base + ".key", "-out", base + ".csr",
            "-utf8", "-subj", "/CN=" + name)
        return base + ".key", self.certify(base + ".csr", extensions, days, starts)

    def revoke(self, cert):
        run("openssl", "ca", "-batch", "-config", self.config, "-cert", self.cert, "-keyfile", self.key,
            "-revoke", cert)

    def write_crl(self, path):
        """The CA's revocation list, DER, as a CRL distribution point serves it."""
        run("openssl", "ca", "-batch", "-gencrl", "-crldays", "30", "-config", self.config, "-cert", self.cert,
            "-keyfile", self.key, "-out", path + ".pem")
        run("openssl", "crl", "-in", path + ".pem", "-outform", "der", "-out", path)

    def certify(self, request, extensions, days=60, starts=0):
        """The certificate file for a certificate request."""
        base = os.path.splitext(request)[0]
        with open(base + ".ext", "w") as f:
            f.write(extensions)
        run("openssl", "ca", "-batch", "-utf8", "-config", self.config, "-cert", self.cert, "-keyfile", self.key,
            "-notext", "-in", request, "-out", base + ".pem", "-startdate", stamp(starts), "-enddate", stamp(days),
            "-extfile", base + ".ext")
        return base + ".pem"


class TimeStampServer(http.server.ThreadingHTTPServer):
    """An RFC 3161 service over http on loopback: openssl ts answers each
    query as a time-stamping certificate of `authority` (valid from `since`
    for ten years, else from now), its clock at `at` when that is set."""

    def __init__(self, directory, authority, port=0, since=None):
        self.dir = directory
        self.authority = authority
        self.signer = authority.issue("Time Stamps", usage("timeStamping"), starts=since or 0,
                                      days="2034-01-01 00:00:00" if since else 300)
        self.at = None
        serial = os.path.join(directory, "tsa-%s.serial" % os.path.basename(authority.dir))
        with open(serial, "w") as f:
            f.write("01\n")
        self.config = serial[:-len(".serial")] + ".cnf"
        with open(self.config, "w") as f:
            f.write("[tsa]\ndefault_tsa = own\n[own]\nserial = %s\nsigner_digest = sha256\n"
                    "default_policy = 1.2.3.4.1\ndigests = sha256\naccuracy = secs:1\ness_cert_id_alg = sha256\n"
                    % serial)
        super().__init__(("127.0.0.1", port), TimeStampHandler)
        self.url = "http://127.0.0.1:%d/" % self.server_address[1]
        threading.Thread(target=self.serve_forever, daemon=True).start()


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        server = self.server
        query = self.rfile.read(int(self.headers["Content-Length"]))
        with tempfile.TemporaryDirectory(dir=server.dir) as scratch:
            with open(os.path.join(scratch, "query"), "wb") as f:
                f.write(query)
            run("openssl", "ts", "-reply", "-config", server.config, "-queryfile", os.path.join(scratch, "query"),
                "-signer", server.signer[1], "-inkey", server.signer[0], "-chain", server.authority.cert,
                "-out", os.path.join(scratch, "reply"), when=server.at)
            with open(os.path.join(scratch, "reply"), "rb") as f:
                reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)


class Token:
    """A SoftHSM2 token of its own in `directory` (SOFTHSM2_CONF names it in
    `env`), reached through PKCS#11 as a USB token or a key service would be."""

    def __init__(self, directory, label, pin):
        self.label, self.pin = label, pin
        os.makedirs(os.path.join(directory, "tokens"))
        self.conf = os.path.join(directory, "softhsm2.conf")
        with open(self.conf, "w") as f:
            f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                    % os.path.join(directory, "tokens"))
        self.env = dict(os.environ, SOFTHSM2_CONF=self.conf)
        run("softhsm2-util", "--init-token", "--free", "--label", label, "--pin", pin, "--so-pin", "000000",
            env=self.env)

    def tool(self, *args):
        return run("pkcs11-tool", "--module", SOFTHSM, "--token-label", self.label, "--login", "--pin", self.pin,
                   *args, env=self.env)

    def generate_key(self, label, object_id, key_type="rsa:3072"):
        """A key made on the token, which it never leaves: RSA, or another
        type pkcs11-tool names (EC:prime256v1)."""
        self.tool("--keypairgen", "--key-type", key_type, "--label", label, "--id", object_id)

    def import_key(self, label, object_id, key):
        run("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", key, "-out", key + ".p8")
        run("softhsm2-util", "--import", key + ".p8", "--token", self.label, "--label", label, "--id", object_id,
            "--pin", self.pin, env=self.env)

    def write_certificate(self, label, object_id, cert):
        run("openssl", "x509", "-in", cert, "-outform", "der", "-out", cert + ".der")
        self.tool("--write-object", cert + ".der", "--type", "cert", "--id", object_id, "--label", label)

    def uri(self, label, kind):
        return "pkcs11:token=%s;object=%s;type=%s" % (self.label.replace(" ", "%20"), label, kind)

"""Helpers for end-to-end tests that run the built installer under Wine
inside the test bed (tests/bed/in-bed.sh)."""
import hashlib
import json
import sys
import os
import re
import shutil
import subprocess
import tempfile

BED = os.environ.get("TAVRO_BED_DIR", "")
DOCROOT = os.path.join(BED, "docroot")
WINE_RUN = os.environ.get("TAVRO_WINE_RUN", "")
INSTALLER = os.environ.get("TAVRO_INSTALLER", "")
HOST = os.environ.get("TAVRO_OFFICIAL_HOST", "tavro.example")
# A foreign host the bed serves too (tests/bed/in-bed.sh).
HOSTILE_HOST = "evil.example"
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
    shutil.rmtree(DOCROOT, ignore_errors=True)
    os.makedirs(DOCROOT)
    for name in os.listdir(BED):
        if name in ("rules.json", "requests.log") or name.startswith("release-"):
            os.remove(os.path.join(BED, name))


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


def publish(url_path, data):
    path = os.path.join(DOCROOT, url_path.lstrip("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def publish_release(installer, version="1.2.3.4", url_path="/releases/setup.exe", sha=None, url=None):
    publish(url_path, installer)
    url = url or "https://%s%s" % (HOST, url_path)
    manifest = "version=%s\ninstallerUrl=%s\ninstallerSha256=%s\n" % (version, url, sha or sha256(installer))
    publish(MANIFEST_PATH, manifest)


def set_rules(rules):
    with open(os.path.join(BED, "rules.json"), "w", encoding="utf-8") as f:
        json.dump(rules, f)


def requests():
    """What the release server saw, in order."""
    try:
        with open(os.path.join(BED, "requests.log"), encoding="utf-8") as f:
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

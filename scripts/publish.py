#!/usr/bin/python3
"""Puts a release on the official host so that no user ever reads a
half-written manifest, or one whose setup is not there yet, then checks
what users get:

  publish.py [--tool EXE] [--wine-run RUNNER] MANIFEST DEST [SETUP]

DEST is the directory the official host serves as https://<host>/, as
[user@]host:directory (over ssh, TAVRO_PUBLISH_SSH, "ssh" unless set) or a
local directory. In order:

1. the host's copies are read: the setup at the path of the manifest's
   installerUrl (its SHA-256) and updates/tavro-update.txt. A setup of that
   name with other bytes is refused (caches keep a versioned setup as
   immutable), so is a live manifest with a higher sequence (a later release
   published from elsewhere), and a setup that is neither there nor given;
2. the setup, when the host lacks it, goes there with rsync, which writes a
   temporary name and renames it once whole;
3. the manifest goes to updates/.tavro-update.txt.new, then one command on
   the host renames it over updates/tavro-update.txt (rename(2): a reader
   gets the old file or the new one) only while the setup there has the
   manifest's SHA-256;
4. the live check (manifest.py live, what make check-live runs): users must
   get the setup this manifest names, and the sequence it carries.

A failure says on stderr which step failed and what the host serves now;
the exit code is then 1 (make exits 2)."""
import datetime
import os
import re
import shlex
import subprocess
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import manifest_lines  # noqa: E402
import release_files  # noqa: E402
from release_files import Failure  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
USAGE = "usage: make publish DEST=[user@]host:/docroot [SETUP=file] [MANIFEST=file]"
MANIFEST_PATH = "updates/tavro-update.txt"
UPLOADED_PATH = "updates/.tavro-update.txt.new"
# Never trust a host key on first use; a host or link that stops answering
# ends the run instead of holding a scheduled job for ever.
SSH_OPTIONS = ["-o", "StrictHostKeyChecking=yes", "-o", "ConnectTimeout=30", "-o", "ServerAliveInterval=15",
               "-o", "ServerAliveCountMax=4"]
RSYNC = ["rsync", "--perms", "--chmod=D755,F644", "--timeout=60"]
# Where a run stopped by a signal was: what the host serves then.
stage = "before anything was uploaded; the host is as it was"


def official_host(tool):
    """The official host the tool (and so the build) was made for."""
    try:
        with open(os.path.join(os.path.dirname(tool), "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
            found = re.search(r"^TAVRO_OFFICIAL_HOST:[A-Z]*=(.*)$", f.read(), re.M)
    except OSError:
        found = None
    if not found:
        raise Failure("%s has no CMakeCache.txt naming its official host beside it." % tool)
    return found.group(1)


class Names:
    """The names of the fields publishing reads, as the tool built beside
    the installer lists them (folded, as installers read them)."""

    def __init__(self, wine_run, tool):
        try:
            self.table = manifest_lines.ask_table(wine_run, tool)
            self.url, self.sha256, self.expires, self.sequence, self.signature = (
                manifest_lines.name_of(self.table, rule).translate(manifest_lines.FOLD)
                for rule in ("url", "sha256", "utctime", "sequence", "signature"))
        except ValueError as error:
            raise Failure("The manifest tool %s could not list the manifest's fields (%s); nothing was uploaded."
                          % (tool, error)) from None

    def of(self, data):
        return manifest_lines.fields(self.table, data)

    def sequence_of(self, fields):
        value = fields.get(self.sequence, "")
        return int(value) if value.isascii() and value.isdigit() else None


def setup_path(url, host, shown):
    """The installerUrl's path under the docroot, as the host maps it."""
    parts = urllib.parse.urlsplit(url)
    path = urllib.parse.unquote(parts.path)
    segments = path.split("/")[1:]
    if parts.scheme != "https" or parts.hostname not in (host, "www." + host):
        raise Failure("%s names its setup at %s, which is not on the official host %s: nothing was uploaded."
                      % (shown, url, host))
    if not segments or any(s in ("", ".", "..") for s in segments) or "\0" in path:
        raise Failure("%s names its setup at %s, whose path is no file under the docroot: nothing was uploaded."
                      % (shown, url))
    return "/".join(segments)


class Destination:
    """The docroot: a directory on a host reached over ssh, or a local one.
    Commands are POSIX sh, run there."""

    def __init__(self, dest):
        host, colon, directory = dest.partition(":")
        self.remote = bool(colon) and "/" not in host and host != ""
        self.shown = dest
        self.host, self.directory = (host, directory or ".") if self.remote else ("", dest)
        self.ssh = shlex.split(os.environ.get("TAVRO_PUBLISH_SSH") or "ssh") + SSH_OPTIONS

    def path(self, relative):
        return self.directory.rstrip("/") + "/" + relative

    def where(self, relative):
        """The path as the user names it, with its host."""
        return (self.host + ":" if self.remote else "") + self.path(relative)

    def run(self, command):
        """The command's exit code, output and last line of stderr."""
        code, out, said = run(self.ssh + ["--", self.host, command] if self.remote else ["sh", "-c", command], 600)
        return code, out, said[-1]

    def upload(self, source, relative, *options):
        """rsync to the path; the reason it failed, or None."""
        target = self.path(relative)
        code, _, said = run(RSYNC + list(options) + (["-e", " ".join(shlex.quote(w) for w in self.ssh), source,
                                                      self.host + ":" + target] if self.remote else [source, target]),
                            24 * 3600)
        return "; ".join(said[-2:]) if code else None


def run(words, seconds):
    """Exit code, output and the lines of stderr (at least one) of a command
    that the ssh and rsync time-outs should end long before `seconds`."""
    try:
        result = subprocess.run(words, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=seconds)
    except subprocess.TimeoutExpired:
        return 124, b"", ["%s did not end within %d s" % (words[0], seconds)]
    said = result.stderr.decode("utf-8", errors="replace").strip().splitlines()
    return result.returncode, result.stdout, said or ["exit code %d" % result.returncode]


def look(dest, relative):
    """What the host holds: the SHA-256 of the setup (None: no such file)
    and the bytes of the live manifest (b"": none)."""
    setup, manifest = shlex.quote(dest.path(relative)), shlex.quote(dest.path(MANIFEST_PATH))
    code, out, said = dest.run("if [ -e %s ]; then sha256sum < %s; else echo absent; fi && "
                               "if [ -e %s ]; then cat -- %s; fi" % (setup, setup, manifest, manifest))
    first, _, rest = out.partition(b"\n")
    if code != 0 or not re.fullmatch(rb"absent|[0-9a-f]{64}  -", first):
        raise Failure("%s could not be read (%s): nothing was uploaded." % (dest.shown, said))
    return (None if first == b"absent" else first[:64].decode()), rest


def check_pair(names, manifest, fields, shown, setup):
    """The manifest must name this setup, and not have expired."""
    if setup:
        try:
            digest = release_files.sha256_of(setup)
        except OSError as error:
            raise Failure("The setup file %s cannot be read (%s): nothing was uploaded." % (setup, error.strerror))
        if digest != fields[names.sha256].lower():
            raise Failure("The setup file %s is not the one %s names (its SHA-256 is %s, the manifest's %s): "
                          "nothing was uploaded." % (setup, shown, digest, fields[names.sha256]))
    expires = fields.get(names.expires)
    signed = any(key == names.signature for key, _, _ in manifest_lines.entries(manifest))
    if expires and signed:
        try:
            moment = datetime.datetime.strptime(expires, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
        except ValueError:
            moment = None
        if moment is None or moment <= datetime.datetime.now(datetime.timezone.utc):
            raise Failure("%s expired at %s: users would refuse it. Run make manifest-refresh first; nothing was "
                          "uploaded." % (shown, expires))


def publish(tool, wine_run, shown, dest_text, setup):
    global stage
    host = official_host(tool)
    try:
        with open(shown, "rb") as f:
            manifest = f.read()
    except OSError as error:
        raise Failure("The manifest %s cannot be read (%s)." % (shown, error.strerror)) from None
    names = Names(wine_run, tool)
    fields = names.of(manifest)
    if not fields.get(names.url) or not re.fullmatch(r"[0-9a-fA-F]{64}", fields.get(names.sha256, "")):
        raise Failure("%s names no installerUrl and installerSha256: it is not a manifest that make manifest wrote; "
                      "nothing was uploaded." % shown)
    relative = setup_path(fields[names.url], host, shown)
    check_pair(names, manifest, fields, shown, setup)
    dest = Destination(dest_text)
    sequence = names.sequence_of(fields)
    print("Publishing %s to %s, which https://%s/ serves." % (shown, dest.shown, host))

    held, live = look(dest, relative)
    live_sequence = names.sequence_of(names.of(live)) if live else None
    if sequence is not None and live_sequence is not None and (
            live_sequence > sequence or (live_sequence == sequence and live != manifest)):
        than = "above" if live_sequence > sequence else "the same as"
        raise Failure("%s holds a manifest of sequence %d, %s this one's %d: a later release was published from "
                      "elsewhere. Take that machine's manifest and its record of sequences "
                      "($XDG_STATE_HOME/tavro/manifest-sequences) before publishing from here; nothing was uploaded."
                      % (dest.where(MANIFEST_PATH), live_sequence, than, sequence))
    wanted = fields[names.sha256].lower()
    if held is not None and held != wanted:
        raise Failure("%s already holds another file (SHA-256 %s): caches keep a published setup as immutable under "
                      "its name, so a changed setup needs a name of its own (a new version in its URL); nothing was "
                      "uploaded." % (dest.where(relative), held))
    if held is None and not setup:
        raise Failure("%s is not there, and no SETUP= was given to upload it: a manifest goes up only after the "
                      "setup it names; nothing was uploaded." % dest.where(relative))

    directories = sorted({os.path.dirname(relative), os.path.dirname(MANIFEST_PATH)})
    code, _, said = dest.run("mkdir -p -- " + " ".join(shlex.quote(dest.path(d)) for d in directories))
    if code != 0:
        raise Failure("The directories for the release could not be made in %s (%s): nothing was uploaded."
                      % (dest.shown, said))
    if held is None:
        stage = "while uploading the setup; the live manifest was not changed"
        failed = dest.upload(setup, relative)
        if failed:
            raise Failure("The setup could not be uploaded to %s (%s): the live manifest was not changed."
                          % (dest.where(relative), failed))
        print("Setup: uploaded %s as %s (%d bytes)." % (setup, dest.where(relative), os.path.getsize(setup)))
    else:
        print("Setup: %s is there already, with the manifest's SHA-256." % dest.where(relative))

    stage = "while uploading the manifest; the live manifest was not changed"
    failed = dest.upload(shown, UPLOADED_PATH, "--ignore-times")
    if failed:
        raise Failure("The manifest could not be uploaded to %s (%s): the live manifest was not changed."
                      % (dest.where(UPLOADED_PATH), failed))
    stage = "while the manifest was being renamed into place; the live manifest is the old one or the new one"
    setup_there, uploaded, final = (shlex.quote(dest.path(p)) for p in (relative, UPLOADED_PATH, MANIFEST_PATH))
    code, _, said = dest.run('if [ "$(sha256sum < %s)" = "%s  -" ]; then mv -f -- %s %s; else exit 3; fi'
                             % (setup_there, wanted, uploaded, final))
    if code == 3:
        raise Failure("%s no longer has the manifest's SHA-256: the manifest was not put in place, the live one "
                      "was not changed." % dest.where(relative))
    if code != 0:
        raise Failure("The manifest could not be renamed into place on %s (%s): the live manifest is the old one "
                      "or the new one, whole; make check-live says which." % (dest.shown, said))
    print("Manifest: uploaded as %s, then renamed to %s%s." % (
        dest.where(UPLOADED_PATH), dest.where(MANIFEST_PATH), "" if sequence is None else " (sequence %d)" % sequence))
    stage = "during the live check; the new manifest is in place"
    return live_check(tool, wine_run, host, wanted, sequence)


def live_check(tool, wine_run, host, wanted, sequence):
    """What make check-live says; users must get this manifest's setup and
    sequence."""
    result = subprocess.run([os.path.join(HERE, "manifest.py"), "--tool", tool, "--wine-run", wine_run, "live"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    sys.stdout.write(result.stdout)
    sys.stdout.flush()
    sys.stderr.write(result.stderr)
    if result.returncode != 0:
        raise Failure("The live check (above) failed: users see that now, with the manifest just uploaded in place.")
    got = re.search(r"^Users get .*, verified: SHA-256 ([0-9a-f]{64}), ", result.stdout, re.M)
    signed = re.search(r"^The manifest is signed \(sequence (\d+)\)", result.stdout, re.M)
    serves = "sequence %s" % signed.group(1) if signed else "a manifest naming SHA-256 %s" % (got and got.group(1))
    if not got or got.group(1) != wanted or (sequence is not None and (not signed or int(signed.group(1)) != sequence)):
        raise Failure("https://%s/%s still serves %s, not the manifest just uploaded: a cache in front of the host "
                      "(a CDN) holds the old one, or the host serves another directory than the one published to. "
                      "Purge the manifest's URL there, then run make check-live." % (host, MANIFEST_PATH, serves))
    print("Published: https://%s/%s serves the manifest just uploaded." % (host, MANIFEST_PATH))
    return 0


def main(args):
    release_files.end_on_signals()
    tool = os.path.join(SOURCE, "build", "tavro-manifest.exe")
    wine_run = os.path.join(SOURCE, "build", "test-i686", "wine-run")
    while args[:1] in (["--tool"], ["--wine-run"]) and len(args) > 1:
        if args[0] == "--tool":
            tool = args[1]
        else:
            wine_run = args[1]
        args = args[2:]
    if len(args) not in (2, 3) or not args[0] or not args[1]:
        print(USAGE, file=sys.stderr)
        return 2
    try:
        return publish(tool, wine_run, args[0], args[1], args[2] if len(args) == 3 else "")
    except SystemExit as stop:
        if isinstance(stop.code, int) and stop.code > 128:
            print("publish: stopped by signal %d %s." % (stop.code - 128, stage), file=sys.stderr)
        raise


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Failure as failure:
        release_files.fail("publish", str(failure))

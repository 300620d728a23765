#!/usr/bin/python3
"""Writes or checks the release manifest with the manifest tool built beside
the installer (build/tavro-manifest.exe, same official host), under Wine, and
tells what users get from the official host now:

  manifest.py [--tool EXE] [--wine-run RUNNER] [--sequence-override N] write SETUP VERSION URL OUT [MIRROR...]
  manifest.py [--tool EXE] [--wine-run RUNNER] check MANIFEST [SETUP]
  manifest.py [--tool EXE] [--wine-run RUNNER] live
  manifest.py [--tool EXE] [--wine-run RUNNER] [--sequence-override N] refresh OUT
  manifest.py [--tool EXE] [--wine-run RUNNER] floor OUT
  manifest.py [--tool EXE] locks

Values reach the tool as they are given: as arguments, never through a
shell. OUT and its SHA256SUMS line change together: a written manifest is
listed, a refused one removes an older one at OUT with its line; a fault of
the signing (the token, the build's keys) leaves both as they were. The
tool's output names the files as they were given here, not in Wine's form.

A build with TAVRO_MANIFEST_KEY (read from the CMakeCache.txt beside the
tool, which was built from it) gets a signed manifest: the tool writes the
origin= line first (where installers take it from) and the three keys,
write adds expires= (DAYS ahead), sequence= (one above the last signed)
and installersize=, then the signature line made on the token
(manifest_key.py), and keeps it only when the tool, with that build's own
check, accepts it. refresh re-signs the manifest at OUT, which a key of the
build signed, with a new expires and the next sequence. floor says which
sequence was last signed (make release builds with it as
TAVRO_MANIFEST_FLOOR); locks says what the build requires of a manifest
and its CA pin. The last sequence each manifest key signed is kept in
$XDG_STATE_HOME/tavro/manifest-sequences (~/.local/state/...), outside the
build tree, so that make clean cannot make the next manifest repeat one
that users already took; it is chosen and kept under that record's lock.
Sequences climb across keys and output files (an installer that carries two
keys compares a manifest with the highest it accepted from either), and
above the live manifest's, which the tool fetches first: a lost record does
not sign below what users took. --sequence-override signs N instead,
logged beside the record. Each MIRROR (a URL of the same setup on a mirror
host, a build with TAVRO_MIRROR_HOSTS) becomes an installerMirror line in
the signed part."""
import base64
import contextlib
import datetime
import fcntl
import hashlib
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import manifest_key  # noqa: E402
import manifest_lines  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402
import release_files  # noqa: E402
from release_files import Failure  # noqa: E402
import transparency_log  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USAGE = ("usage: make manifest SETUP=file VERSION=text URL=https://... [MIRRORS=\"https://... https://...\"] "
         "[MANIFEST=out] [SEQUENCE_OVERRIDE=N]\n"
         "       make check-manifest MANIFEST=file SETUP=file (SETUP optional in a build with TAVRO_MANIFEST_KEY)\n"
         "       make check-live\n"
         "       make manifest-refresh [MANIFEST=file] [SEQUENCE_OVERRIDE=N]")
# How far ahead a signed manifest expires: 30 days, or a day less than a
# build's TAVRO_MANIFEST_MAX_DAYS of 30 or fewer (half of a maximum of 1), so
# that a user whose clock is a little behind still takes it.
DAYS = 30
# A manifest is written or checked within seconds even where i386 is
# emulated; the live check downloads the whole setup, under the installer's
# own stall limits.
TOOL_SECONDS, LIVE_SECONDS = 300, 1800
# Another signer holds the record while it signs on its token (whose PIN
# prompt may wait) and checks under Wine.
RECORD_WAIT_SECONDS = 900


def winpath(path):
    """The Wine (drive Z:) form of a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_tool(wine_run, tool, args, paths, seconds=TOOL_SECONDS):
    """Runs the tool; returns its exit code, stdout and stderr, each Wine
    path of `paths` (Wine form -> as shown) written back as given."""
    environment = dict(os.environ, LC_ALL="C.UTF-8")
    try:
        result = subprocess.run([wine_run, tool] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=environment, timeout=seconds)
    except subprocess.TimeoutExpired:
        raise Failure("The manifest tool did not end within %d s: is a Wine process of this build hanging? (%s "
                      "--kill ends them)" % (seconds, wine_run)) from None
    out, err = (stream.decode("utf-8", errors="replace") for stream in (result.stdout, result.stderr))
    for wine, shown in sorted(paths.items(), key=lambda item: -len(item[0])):
        out, err = out.replace(wine, shown), err.replace(wine, shown)
    return result.returncode, out, err


def write(wine_run, tool, setup, version, url, out, *mirrors, override=None):
    directory = os.path.dirname(out) or "."
    name = os.path.basename(out)
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        raise Failure("%s cannot be made (%s)." % (directory, error.strerror)) from None
    with release_files.locked(directory):
        try:
            scratch = release_files.temporary_beside(out)
        except OSError as error:
            raise Failure("The manifest could not be written into %s (%s); nothing was written: the files there are "
                          "as they were." % (directory, error.strerror)) from None
        try:
            code, stdout, stderr = run_tool(wine_run, tool, ["write", winpath(setup), version, url, winpath(scratch)]
                                            + list(mirrors),
                                            {winpath(scratch): out, winpath(setup): setup})
            sys.stderr.write(stderr)
            keys_path, max_days, floor = build_settings(tool)
            if code != 0:
                # The manifest asked for is refused: an older one at OUT goes
                # with it, so that nobody uploads it for the new release.
                release_files.replace(directory, {name: None}, "The manifest")
            elif keys_path:
                # The tool wrote the three keys; the signed fields follow
                # them. A fault from here on is the signing's (the token,
                # the build's keys), not the manifest's: the one at OUT,
                # still what users may get, stays as it was.
                with open(scratch, "rb") as f:
                    signed_part = f.read()
                table = field_table(wine_run, tool)
                live = live_sequence(wine_run, tool)
                with kept_unless_signed(out), sequence_lock():
                    sequence = next_sequence(table, out, floor, live, override)
                    signed_part = manifest_lines.with_values(signed_part, {
                        field_of(table, "utctime"): expires_text(max_days), field_of(table, "sequence"): str(sequence),
                        field_of(table, "size"): str(os.path.getsize(setup))})
                    code, said = sign_into(wine_run, tool, keys_path, out, scratch, signed_part, sequence, setup)
                if code == 0:
                    release_files.replace(directory, transparency_log.with_proof({name: scratch}, scratch),
                                          "The manifest")
                    stdout += said
                else:
                    print(kept_text(out), file=sys.stderr)
                    stdout = ""
            else:
                release_files.replace(directory, {name: scratch}, "The manifest")
        finally:
            for path in (scratch, transparency_log.proof_scratch(scratch)):
                if os.path.exists(path):
                    os.remove(path)
    sys.stdout.write(stdout)
    return code


@contextlib.contextmanager
def kept_unless_signed(out):
    """A failure while signing says that the manifest at `out` is as it was."""
    try:
        yield
    except Failure as failure:
        raise Failure("%s %s" % (failure, kept_text(out)[len("manifest: "):])) from None


def kept_text(out):
    if os.path.exists(out):
        return "manifest: Nothing was written: %s and its SHA256SUMS line are as they were." % out
    return "manifest: Nothing was written."


def cache_value(tool, setting, default=""):
    """A setting of the CMake tree the tool was built in."""
    try:
        with open(os.path.join(os.path.dirname(tool), "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
            for line in f:
                name, _, value = line.rstrip("\n").partition("=")
                if name.split(":")[0] == setting:
                    return value
    except FileNotFoundError:
        pass
    return default


def build_settings(tool):
    """The manifest settings the tool was built with: key file (empty:
    unsigned manifests), maximum days ahead, floor."""
    return (cache_value(tool, "TAVRO_MANIFEST_KEY"), int(cache_value(tool, "TAVRO_MANIFEST_MAX_DAYS", "90")),
            int(cache_value(tool, "TAVRO_MANIFEST_FLOOR", "0")))


TABLE = {}


def field_table(wine_run, tool):
    """The manifest's fields as the tool built beside the installer lists
    them; asked once a run."""
    if tool not in TABLE:
        try:
            TABLE[tool] = manifest_lines.ask_table(wine_run, tool, TOOL_SECONDS)
        except ValueError as error:
            raise Failure("The manifest tool %s could not list the manifest's fields (%s); nothing was written."
                          % (tool, error)) from None
    return TABLE[tool]


def field_of(table, rule):
    try:
        return manifest_lines.name_of(table, rule)
    except ValueError as error:
        raise Failure("%s; nothing was written." % error) from None


def state_file():
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "tavro", "manifest-sequences")


def recorded_sequences():
    """Key fingerprint -> the last sequence that key signed; an earlier
    record's lines, one per output path, count as well."""
    sequences = {}
    try:
        with open(state_file(), encoding="utf-8") as f:
            for line in f:
                number, _, where = line.rstrip("\n").partition("  ")
                if number.isdigit():
                    sequences[where] = int(number)
    except FileNotFoundError:
        pass
    return sequences


def key_fingerprint(key):
    """SHA-256 (hex) of the key's SubjectPublicKeyInfo, as installers keep it."""
    return hashlib.sha256(key.public_bytes(serialization.Encoding.DER,
                                           serialization.PublicFormat.SubjectPublicKeyInfo)).hexdigest()


@contextlib.contextmanager
def sequence_lock():
    """The record's lock, held from the choice of a sequence to its record:
    two signers at once (two output files, or two clones that share the
    record) take turns, and never sign the same number."""
    path = state_file()
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        lock = open(path + ".lock", "w")
    except OSError as error:
        raise Failure("The manifest's sequence could not be kept in %s (%s); nothing was written." % (
            path, error.strerror or error)) from None
    with lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print("manifest: another signer holds the record %s (make manifest or make manifest-refresh, here or in "
                  "a clone that shares it): waiting for it to end (at most 15 minutes)." % path, file=sys.stderr,
                  flush=True)
            deadline = time.monotonic() + RECORD_WAIT_SECONDS
            while True:
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    if time.monotonic() > deadline:
                        raise Failure("Another signer has held the record %s for 15 minutes; nothing was written."
                                      % path) from None
                    time.sleep(0.1)
        yield


def record_sequence(fingerprint, sequence):
    """Keeps `sequence` as the last the key signed, on disk before the
    manifest is placed: a failure later skips a number, never repeats one.
    The caller holds sequence_lock."""
    path = state_file()
    try:
        sequences = recorded_sequences()
        sequences[fingerprint] = max(sequence, sequences.get(fingerprint, 0))
        fresh = release_files.temporary_beside(path)
        with open(fresh, "w", encoding="utf-8") as f:
            f.write("".join("%d  %s\n" % (n, where) for where, n in sorted(sequences.items())))
            f.flush()
            os.fsync(f.fileno())
        os.replace(fresh, path)
        directory = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY)
        os.fsync(directory)
        os.close(directory)
    except OSError as error:
        raise Failure("The manifest's sequence could not be kept in %s (%s); nothing was written." % (
            path, error.strerror or error)) from None


def live_sequence(wine_run, tool):
    """The sequence of the manifest users get now, when a key of this build
    signed it (the record may be behind it: lost, or not shared with the
    machine that signed it); None when it cannot be had. Said either way."""
    code, stdout, stderr = run_tool(wine_run, tool, ["live-sequence"], {})
    sys.stderr.write(stderr)
    line = stdout.strip() or ("The live manifest's sequence could not be asked for (the manifest tool exited %d)."
                              % code)
    found = re.match(r"The live manifest \S+ has sequence ([0-9]{1,18}),", line) if code == 0 else None
    print(line if found else line + " The sequence goes on from the record.")
    return int(found.group(1)) if found else None


def next_sequence(table, out, floor, live, override):
    """One above the last signed (record, the manifest at `out`), at least
    the build's floor, and above the live manifest's; or the sequence an
    override names, which may be at or below the live one, never at or below
    one signed here, never below the floor."""
    recorded, where = last_sequence(table, out)
    if override is not None:
        if override <= recorded:
            raise Failure("SEQUENCE_OVERRIDE=%d is not above %d, the last sequence signed (read from %s): no sequence "
                          "is signed twice." % (override, recorded, where))
        if override < floor:
            raise Failure("SEQUENCE_OVERRIDE=%d is below %d, the floor of this build (TAVRO_MANIFEST_FLOOR): its "
                          "installers would refuse it." % (override, floor))
        said = "SEQUENCE_OVERRIDE=%d: signing sequence %d for %s (the live manifest's: %s; the last signed: %d, " \
               "read from %s)" % (override, override, out, "none read" if live is None else live, recorded, where)
        print("manifest: warning: " + said + ".", file=sys.stderr)
        log_override(said)
        return override
    sequence = max(recorded, floor - 1) + 1
    if live is not None and live >= sequence:
        print("manifest: warning: the live manifest has sequence %d, above %d, the last sequence signed here (read "
              "from %s): the record is behind (lost, or not shared with the machine that signed it); signing %d."
              % (live, recorded, where, live + 1), file=sys.stderr)
        return live + 1
    return sequence


def log_override(said):
    """A line in the override log beside the record, for whoever reads the
    record later and wonders."""
    path = state_file() + ".log"
    moment = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    try:
        with open(path, "a", encoding="utf-8") as f:
            f.write("%s  %s\n" % (moment, said))
    except OSError as error:
        raise Failure("The override could not be logged in %s (%s); nothing was written." % (
            path, error.strerror or error)) from None


def split_signed(data):
    """A signed manifest's signed part and signature, as the installer cuts
    them; None when the last line is no signature line."""
    end = len(data.rstrip(b" \t\r\n"))
    start = data.rfind(b"\n", 0, end) + 1
    if not data[start:end].startswith(b"signature="):
        return None
    try:
        signature = base64.b64decode(data[start + len(b"signature="):end], validate=True)
    except ValueError:
        return None
    return (data[:start], signature) if len(signature) == 64 else None


def signed_sequence(table, path):
    """The sequence of the signed manifest at `path`; 0 when there is none
    (or no tool to read it with: `table` None)."""
    try:
        with open(path, "rb") as f:
            parts = split_signed(f.read())
    except OSError:
        return 0
    given = manifest_lines.values(parts[0], field_of(table, "sequence")) if parts and table else []
    return int(given[0]) if len(given) == 1 and given[0].isascii() and given[0].isdigit() and len(given[0]) <= 18 else 0


def last_sequence(table, out):
    """The last sequence signed, by any manifest key for any output, or in
    the signed manifest at `out`; and where it was read."""
    kept, here = max(recorded_sequences().values(), default=0), signed_sequence(table, out)
    if here > kept:
        return here, out
    return kept, state_file()


def seconds_ahead(max_days):
    return min(DAYS, max_days - 1) * 86400 if max_days > 1 else 43200


def check_signed(wine_run, tool, data, scratch, shown, setup=None):
    """Writes the signed manifest to `scratch` and has the tool check it with
    the build's own rules; its exit code and output."""
    with open(scratch, "wb") as f:
        f.write(data)
    args, paths = ["check", winpath(scratch)], {winpath(scratch): shown}
    if setup:
        args.append(winpath(setup))
        paths[winpath(setup)] = setup
    return run_tool(wine_run, tool, args, paths)


def signed_lines(stdout):
    return "".join(line + "\n" for line in stdout.splitlines() if line.startswith("Signed: "))


def sign_into(wine_run, tool, keys_path, out, scratch, signed_part, sequence, setup=None):
    """Signs, checks and keeps the sequence for the signing key (under
    sequence_lock, which the caller holds); the tool's exit code and what to
    print. The manifest is left at `scratch` for the caller to place."""
    token = manifest_key.TokenKey(keys_path)
    keys = manifest_key.build_keys(keys_path)
    signature = token.sign(signed_part)
    number = manifest_key.verifying_key(keys, signed_part, signature)
    if number is None:
        raise Failure(token.not_in_build(keys, keys_path))
    data = signed_part + manifest_key.signature_line(signature)
    code, stdout, stderr = check_signed(wine_run, tool, data, scratch, out, setup)
    sys.stderr.write(stderr)
    logged = ""
    if code == 0:
        record_sequence(key_fingerprint(keys[number - 1]), sequence)
        # A build with the log lock takes it only once it is logged and
        # cosigned, with its proof placed beside it.
        logged = transparency_log.log_manifest(lambda setting: cache_value(tool, setting), data,
                                               transparency_log.proof_scratch(scratch))
    return code, "Signed with the manifest key %s.\n%s%s" % (token.text, signed_lines(stdout), logged)


def expires_text(max_days):
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=seconds_ahead(max_days))
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def refresh(wine_run, tool, out, override=None):
    keys_path, max_days, floor = build_settings(tool)
    if not keys_path:
        raise Failure("make manifest-refresh re-signs a signed manifest: this build has no TAVRO_MANIFEST_KEY, and "
                      "its installers take the manifest at %s as it is." % out)
    directory = os.path.dirname(out) or "."
    with release_files.locked(directory):
        try:
            with open(out, "rb") as f:
                data = f.read()
        except OSError as error:
            raise Failure("The manifest %s cannot be read (%s)." % (out, error.strerror)) from None
        parts = split_signed(data)
        # Only what a key of this build signed is signed again.
        if parts is None or manifest_key.verifying_key(manifest_key.build_keys(keys_path), *parts) is None:
            listed = listed_sha256(directory, os.path.basename(out))
            if parts is not None and listed and listed != hashlib.sha256(data).hexdigest():
                raise Failure("%s was changed after it was signed: its SHA-256 is not the one SHA256SUMS beside it "
                              "lists, and no key of this build verifies its signature (TAVRO_MANIFEST_KEY, %s). Sign "
                              "the release again with make manifest; nothing was written." % (out, keys_path))
            raise Failure("%s is not signed by a key of this build (TAVRO_MANIFEST_KEY, %s): make manifest-refresh "
                          "re-signs only a manifest that make manifest signed; nothing was written." % (out, keys_path))
        signed_part = parts[0]
        table = field_table(wine_run, tool)
        origin, renewed = field_of(table, "origin"), (field_of(table, "utctime"), field_of(table, "sequence"))
        repeated = manifest_lines.repeated(signed_part)
        if repeated:
            raise Failure("%s gives %s= twice: installers refuse it, and it is not a manifest that make manifest "
                          "signed; nothing was written." % (out, repeated))
        # Installers take the origin from the first line as it stands.
        if not signed_part.startswith(origin.encode() + b"="):
            raise Failure("%s has no %s= line first: installers refuse it; sign the release again with make "
                          "manifest. Nothing was written." % (out, origin))
        for name in renewed:
            count = len(manifest_lines.values(signed_part, name))
            if count != 1:
                raise Failure("%s has %d %s= lines: it is not a manifest that make manifest signed; nothing was "
                              "written." % (out, count, name))
        live = live_sequence(wine_run, tool)
        scratch = release_files.temporary_beside(out)
        try:
            with kept_unless_signed(out), sequence_lock():
                sequence = next_sequence(table, out, floor, live, override)
                fields = dict(zip(renewed, (expires_text(max_days), str(sequence))))
                signed_part = manifest_lines.with_values(signed_part, fields)
                code, said = sign_into(wine_run, tool, keys_path, out, scratch, signed_part, sequence)
            if code == 0:
                release_files.replace(directory, transparency_log.with_proof({os.path.basename(out): scratch},
                                                                             scratch), "The manifest")
            else:
                print(kept_text(out), file=sys.stderr)
        finally:
            for path in (scratch, transparency_log.proof_scratch(scratch)):
                if os.path.exists(path):
                    os.remove(path)
    if code == 0:
        sys.stdout.write("Re-signed %s: %s, everything else as it was.\n%s" % (
            out, ", ".join("%s=%s" % item for item in fields.items()), said))
    return code


def listed_sha256(directory, name):
    """The SHA-256 that SHA256SUMS in `directory` lists for `name`, or None."""
    try:
        with open(os.path.join(directory, release_files.SUMS), encoding="utf-8", errors="replace") as f:
            for line in f.read().splitlines():
                if line[66:] == name:
                    return line[:64]
    except OSError:
        pass
    return None


def locks_of(tool):
    """What the build beside the tool requires of a manifest and of the
    signer's chain, for make release to say before it signs."""
    keys_path, max_days, floor = build_settings(tool)
    if keys_path:
        keys = manifest_key.build_keys(keys_path)
        print("Manifest this build requires: signed by one of the %d keys in %s (TAVRO_MANIFEST_KEY; SHA-256 of each "
              "SubjectPublicKeyInfo: %s), %s (TAVRO_MANIFEST_FLOOR), expiring at most %d days ahead "
              "(TAVRO_MANIFEST_MAX_DAYS)" % (len(keys), keys_path, ", ".join(key_fingerprint(k) for k in keys),
                                            "sequence at least %d" % floor if floor else "any sequence", max_days))
    else:
        print("Manifest this build requires: any, unsigned (no TAVRO_MANIFEST_KEY)")
    pin = cache_value(tool, "TAVRO_PUBLISHER_CA")
    print("CA pin of this build: " + ("TAVRO_PUBLISHER_CA=" + pin.lower() if pin else "none (no TAVRO_PUBLISHER_CA)"))
    mirrors = cache_value(tool, "TAVRO_MIRROR_HOSTS").split()
    print("Mirror hosts of this build: " + (" ".join(mirrors) + " (TAVRO_MIRROR_HOSTS)" if mirrors
                                            else "none (no TAVRO_MIRROR_HOSTS)"))
    log_key = cache_value(tool, "TAVRO_LOG_KEY")
    if log_key:
        witnesses = cache_value(tool, "TAVRO_LOG_WITNESSES").split()
        print("Log this build requires: %s (TAVRO_LOG_KEY), cosigned by %s of the %d witnesses %s "
              "(TAVRO_LOG_QUORUM, TAVRO_LOG_WITNESSES)" % (
                  log_key, cache_value(tool, "TAVRO_LOG_QUORUM", "1"), len(witnesses),
                  ", ".join(w.split("+")[0] for w in witnesses)))
    else:
        print("Log this build requires: none (no TAVRO_LOG_KEY)")
    return 0


def floor_of(wine_run, tool, out):
    """The sentence make release prints and reads its floor from."""
    table = None
    if os.path.exists(tool) and os.path.exists(wine_run):
        table = field_table(wine_run, tool)
    elif os.path.exists(out):
        print("%s is not read: %s is not built yet, so the floor is the record's alone." % (out, tool))
    sequence, where = last_sequence(table, out)
    if sequence == 0:
        print("No manifest has been signed yet: TAVRO_MANIFEST_FLOOR stays as this build has it.")
    else:
        print("TAVRO_MANIFEST_FLOOR=%d, the last sequence a manifest key signed (read from %s)." % (sequence, where))
    return 0


def live_below_record(stdout):
    """A warning when users get a manifest below the last one signed here."""
    found = re.search(r"^The manifest is signed \(sequence ([0-9]+)\)", stdout, re.M)
    recorded = max(recorded_sequences().values(), default=0)
    if found and int(found.group(1)) < recorded:
        print("manifest: warning: the live manifest has sequence %s, below %d, the last sequence signed (read from "
              "%s): users get an older manifest than the last one signed, and installers that took a later one refuse "
              "it. Publish the manifest signed last." % (found.group(1), recorded, state_file()), file=sys.stderr)


def main(args):
    release_files.end_on_signals()
    tool = os.path.join(SOURCE, "build", "tavro-manifest.exe")
    wine_run = os.path.join(SOURCE, "build", "test-i686", "wine-run")
    override = None
    while args[:1] in (["--tool"], ["--wine-run"], ["--sequence-override"]) and len(args) > 1:
        if args[0] == "--tool":
            tool = args[1]
        elif args[0] == "--wine-run":
            wine_run = args[1]
        elif not re.fullmatch("[1-9][0-9]{0,17}", args[1]):
            raise Failure("SEQUENCE_OVERRIDE must be a positive whole number of at most 18 digits, not '%s'."
                          % args[1])
        else:
            override = int(args[1])
        args = args[2:]
    mode = args[0] if args else ""
    if mode == "write" and len(args) >= 5 and args[1] and args[4]:
        return write(wine_run, tool, *args[1:], override=override)
    if mode == "check" and len(args) == 3 and args[1] and args[2]:
        code, stdout, stderr = run_tool(wine_run, tool, ["check", winpath(args[1]), winpath(args[2])],
                                        {winpath(args[1]): args[1], winpath(args[2]): args[2]})
    elif mode == "check" and len(args) in (2, 3) and args[1] and args[2:] in ([], [""]) and build_settings(tool)[0]:
        # A signed manifest is checked alone (a re-signed one, or one
        # downloaded back), as the tool does without a setup file.
        code, stdout, stderr = run_tool(wine_run, tool, ["check", winpath(args[1])], {winpath(args[1]): args[1]})
    elif mode == "live" and len(args) == 1:
        code, stdout, stderr = run_tool(wine_run, tool, ["live"], {}, LIVE_SECONDS)
        if code == 0:
            live_below_record(stdout)
    elif mode == "refresh" and len(args) == 2 and args[1]:
        return refresh(wine_run, tool, args[1], override)
    elif mode == "floor" and len(args) == 2 and args[1]:
        return floor_of(wine_run, tool, args[1])
    elif mode == "locks" and len(args) == 1:
        return locks_of(tool)
    else:
        print(USAGE, file=sys.stderr)
        return 2
    sys.stdout.write(stdout)
    sys.stderr.write(stderr)
    return code


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Failure as failure:
        release_files.fail("manifest", str(failure))

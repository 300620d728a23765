"""The published files of one directory (the signed installer, the
manifest) and the SHA256SUMS beside them, which `sha256sum -c SHA256SUMS`
checks. A file and its line change together: under a lock on the directory,
every new file and the new SHA256SUMS are written in full under temporary
names first, then take their final names; if any step fails, the names that
had already moved get their old files back. So the final names hold the
whole old set or the whole new set, and no temporary file stays."""
import contextlib
import fcntl
import hashlib
import os
import signal
import sys
import tempfile
import time

SUMS = "SHA256SUMS"
LOCK_SECONDS = 60


class Failure(Exception):
    """A sentence for the user; the run ends with it."""


def end_on_signals():
    """A terminated or hung-up run unwinds like a failed one, so that its
    temporary files go."""
    def stop(number, _frame):
        raise SystemExit(128 + number)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, stop)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


@contextlib.contextmanager
def locked(directory):
    """Holds the directory's lock: a second run that writes there waits for
    this one (at most LOCK_SECONDS) instead of mixing its files in. Under
    make's lock on the same directory it is held already."""
    held = os.environ.get("TAVRO_PUBLISHING_LOCK")
    if held and os.path.realpath(held) == os.path.realpath(directory):
        yield
        return
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        deadline = time.monotonic() + LOCK_SECONDS
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise Failure("Another run has been writing into %s for over %d s (make release or make manifest "
                                  "at the same time?); nothing was written there." % (directory, LOCK_SECONDS))
                time.sleep(0.1)
        yield
    finally:
        os.close(fd)


def _sum_lines(directory, changes):
    """SHA256SUMS's lines with those of the changed names replaced: a line is
    64 hex digits, two spaces and the name."""
    lines = {}
    try:
        with open(os.path.join(directory, SUMS), encoding="utf-8") as f:
            for line in f.read().splitlines():
                lines[line[66:]] = line
    except FileNotFoundError:
        pass
    for name, source in changes.items():
        lines.pop(name, None)
        if source is not None:
            lines[name] = "%s  %s" % (sha256_of(source), name)
    return [lines[name] for name in sorted(lines, key=lambda n: n.encode("utf-8"))]


def temporary_beside(final):
    """A new empty file in final's directory, for its next content."""
    fd, path = tempfile.mkstemp(dir=os.path.dirname(final) or ".", prefix="." + os.path.basename(final) + ".")
    os.close(fd)
    return path


def replace(directory, changes, what):
    """Gives each name of `changes` the file at its temporary path (which
    moves), or removes it where the path is None, and SHA256SUMS its lines,
    as one step; the caller holds the lock. `what` names the files in a
    failure's sentence."""
    made = []        # temporary files of ours still to remove
    saved = {}       # final name -> hard link to its old file
    placed = []      # final names changed so far
    try:
        lines = _sum_lines(directory, changes)
        steps = dict(changes)
        if lines:
            sums = temporary_beside(os.path.join(directory, SUMS))
            made.append(sums)
            with open(sums, "w", encoding="utf-8") as f:
                f.write("\n".join(lines) + "\n")
                f.flush()
                os.fsync(f.fileno())
            os.chmod(sums, 0o644)
            steps[SUMS] = sums
        else:
            steps[SUMS] = None
        for name, source in steps.items():
            final = os.path.join(directory, name)
            if source is not None:
                made.append(source)
                with open(source, "rb") as f:
                    os.fsync(f.fileno())
            if os.path.lexists(final):
                backup = final + ".old." + str(os.getpid())
                os.link(final, backup)
                made.append(backup)
                saved[name] = backup
        for name, source in steps.items():
            final = os.path.join(directory, name)
            if source is not None:
                os.replace(source, final)
            elif os.path.lexists(final):
                os.remove(final)
            placed.append(name)
    except OSError as error:
        for name in placed:
            final = os.path.join(directory, name)
            with contextlib.suppress(OSError):
                if name in saved:
                    os.replace(saved[name], final)
                else:
                    os.remove(final)
        raise Failure("%s could not be written into %s (%s); nothing was written: the files there are as they were."
                      % (what, directory, error.strerror or error)) from None
    finally:
        for path in made:
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)


def fail(program, sentence):
    print("%s: %s" % (program, sentence), file=sys.stderr)
    sys.exit(1)

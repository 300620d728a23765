#!/usr/bin/python3
"""The log's monitor (make monitor), scheduled by the publisher like the
refresh: it fetches the log's checkpoint and tiles as anyone can, and holds
them to what the publisher meant to publish.

  monitor.py --tool EXE [URL]

URL is where the log is served (default https://<official host>/log/, or
TAVRO_LOG_URL). The build's log key and witnesses come from the
CMakeCache.txt beside the tool. It checks that the checkpoint is signed by
the log key and cosigned by TAVRO_LOG_QUORUM of the witnesses; that the
entries and level-0 tiles are the tree the checkpoint names; that this tree
still holds the one it kept last time (a log that forked, or was rewritten,
is caught here); and lists every entry logged since. An entry that is not
in the publisher's record of what it logged (transparency_log.py) is a
manifest someone else signed: it fails loudly, exit code 1. The checkpoint
is kept (monitor-checkpoint beside the log's directory) only when all
passed."""
import datetime
import os
import re
import sys
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import log_tree  # noqa: E402
import manifest_lines  # noqa: E402
import signed_note  # noqa: E402
import transparency_log  # noqa: E402
from release_files import Failure  # noqa: E402

FETCH_SECONDS = 30


def cache_reader(tool):
    cache = os.path.join(os.path.dirname(os.path.abspath(tool)), "CMakeCache.txt")
    try:
        with open(cache, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        raise Failure("%s cannot be read: make monitor checks the log of the build beside the tool." % cache) from None

    def value(name):
        found = re.search(r"^%s:[A-Z]*=(.*)$" % name, text, re.M)
        return found.group(1) if found else ""
    return value


def fetcher(url):
    def read(path):
        try:
            with urllib.request.urlopen(url.rstrip("/") + "/" + path, timeout=FETCH_SECONDS) as answer:
                return answer.read()
        except urllib.error.HTTPError as error:
            if error.code == 404:
                return None
            raise Failure("%s/%s answered HTTP %d." % (url.rstrip("/"), path, error.code)) from None
        except (OSError, ValueError) as error:
            raise Failure("%s/%s could not be fetched (%s)." % (url.rstrip("/"), path,
                                                                getattr(error, "reason", error))) from None
    return read


def describe(entry):
    """What a log line may say of a manifest: its version and sequence."""
    fields = {name: value for name, value, _ in manifest_lines.entries(entry)}
    shown = ", ".join("%s=%s" % (k, fields[k][:40]) for k in ("version", "sequence", "expires") if k in fields)
    return shown or "%d bytes, no version line" % len(entry)


def monitor(tool, url):
    cache = cache_reader(tool)
    lock = transparency_log.settings(cache)
    if lock is None:
        raise Failure("This build has no TAVRO_LOG_KEY: there is no log to monitor.")
    key_text, witnesses, quorum = lock
    log_name, log_public = signed_note.parse_verifier_key(key_text, signed_note.ED25519)
    url = url or os.environ.get("TAVRO_LOG_URL") or "https://%s/log/" % cache("TAVRO_OFFICIAL_HOST")
    read = fetcher(url)
    note = read("checkpoint")
    if note is None:
        raise Failure("%s serves no checkpoint." % url)
    parts = signed_note.split_note(note)
    checkpoint = parts and signed_note.parse_checkpoint(parts[0])
    if not checkpoint or signed_note.signed_by(note, log_name, signed_note.ED25519, log_public) is None:
        raise Failure("The checkpoint at %s is not signed by the log key %s." % (url, log_name))
    origin, size, root = checkpoint
    cosigners = [name for name, public in witnesses
                 if signed_note.signed_by(note, name, signed_note.COSIGNATURE, public) is not None]
    if origin != log_name or len(cosigners) < quorum:
        raise Failure("The checkpoint at %s (origin %s, %d entries) is cosigned by %d of the build's %d witnesses, "
                      "fewer than %d: installers refuse its proofs." % (url, origin, size, len(cosigners),
                                                                        len(witnesses), quorum))
    entries = log_tree.entries_from(read, size)
    if entries is None:
        raise Failure("%s does not serve the %d entries its checkpoint names." % (url, size))
    hashes = [log_tree.leaf_hash(e) for e in entries]
    if log_tree.root(hashes) != root:
        raise Failure("The entries at %s are not the tree of its checkpoint (%d entries): the log serves a tree "
                      "its checkpoint does not name." % (url, size))
    for start in range(0, size, log_tree.WIDTH):
        width = min(log_tree.WIDTH, size - start)
        tile = read(log_tree.tile_path(0, start // log_tree.WIDTH, width))
        if tile != b"".join(hashes[start:start + width]):
            raise Failure("%s serves a level-0 tile %s that is not the hashes of its entries." % (
                url, log_tree.tile_path(0, start // log_tree.WIDTH, width)))
    directory = transparency_log.log_directory()
    kept_path = os.path.join(os.path.dirname(os.path.abspath(directory)), "monitor-checkpoint")
    kept_size = 0
    if os.path.exists(kept_path):
        with open(kept_path, "rb") as f:
            kept = signed_note.parse_checkpoint(f.read())
        kept_size = kept[1]
        # A log holds every tree it showed before: one that does not has
        # shown someone else another history.
        if kept_size > size or log_tree.root(hashes[:kept_size]) != kept[2]:
            raise Failure("FORK: the log at %s (%d entries) does not hold the tree of %d entries this monitor kept "
                          "last time: it has shown another history. Find out who holds the log key; do not sign "
                          "again until then." % (url, size, kept_size))
    try:
        with open(transparency_log.record_path(directory), encoding="utf-8") as f:
            record = set(f.read().split())
    except FileNotFoundError:
        record = set()
    lines, strangers = [], []
    for index in range(kept_size, size):
        known = hashes[index].hex() in record
        lines.append("  entry %d: %s%s" % (index, describe(entries[index]),
                                          "" if known else "  <-- NOT SIGNED BY THIS PUBLISHER"))
        if not known:
            strangers.append(index)
    print("The log %s at %s: %d entries, cosigned by %s; %d logged since the last check:" % (
        origin, url, size, ", ".join(cosigners), size - kept_size))
    print("\n".join(lines) if lines else "  (none)")
    if strangers:
        raise Failure("ALERT: %d entr%s of the log (%s) %s not in the publisher's record of what it logged (%s): a "
                      "manifest signed with the manifest key by someone else, which installers take. Revoke the key "
                      "(README, rotation) now." % (
                          len(strangers), "y" if len(strangers) == 1 else "ies", ", ".join(map(str, strangers)),
                          "is" if len(strangers) == 1 else "are", transparency_log.record_path(directory)))
    with open(kept_path + ".new", "wb") as f:
        f.write(parts[0])
    os.replace(kept_path + ".new", kept_path)
    print("Checked %s." % datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"))


def main(args):
    if len(args) not in (2, 3) or args[0] != "--tool":
        print("usage: monitor.py --tool EXE [URL]", file=sys.stderr)
        return 2
    try:
        monitor(args[1], args[2] if len(args) == 3 else "")
    except Failure as failure:
        print("monitor: %s" % failure, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

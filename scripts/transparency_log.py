#!/usr/bin/python3
"""The transparency log of every manifest the publisher signs, for a build
with TAVRO_LOG_KEY (read from the CMakeCache.txt beside the manifest tool):
each signed manifest is appended (log_tree.py), the new checkpoint signed
with the log key (log_key.py), every witness of the build asked to cosign
it (C2SP tlog-witness add-checkpoint, with the consistency proof from the
size that witness last cosigned), and the offline proof users get written
beside the manifest (c2sp.org/tlog-proof: index, inclusion path, the
cosigned checkpoint). Settings come from the environment:
  TAVRO_LOG_DIR           the log's files, which make publish puts on the
                          official host under /log/ (default
                          $XDG_STATE_HOME/tavro/log: outside the build tree,
                          which make clean empties; the log only grows)
  TAVRO_LOG_WITNESS_URLS  where each witness of the build takes
                          add-checkpoint: "name=https://... name=..."
and those of log_key.py. The publisher's own record of what it logged
(the SHA-256 of each entry, one a line: logged-manifests beside the log)
is what make monitor holds the public log to."""
import fcntl
import json
import os
import re
import sys
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import log_key  # noqa: E402
import log_tree  # noqa: E402
import signed_note  # noqa: E402
from release_files import Failure  # noqa: E402

PROOF_NAME = "tavro-update.proof"
WITNESS_SECONDS = 30


def proof_scratch(scratch):
    """Where log_manifest writes the proof of the manifest at `scratch`."""
    return scratch + ".proof"


def with_proof(changes, scratch):
    """The files release_files.replace places: the proof too, under its
    fixed name, when the manifest at `scratch` was logged."""
    if os.path.exists(proof_scratch(scratch)):
        return dict(changes, **{PROOF_NAME: proof_scratch(scratch)})
    return changes


def log_directory():
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.environ.get("TAVRO_LOG_DIR") or os.path.join(state, "tavro", "log")


def record_path(directory):
    return os.path.join(os.path.dirname(os.path.abspath(directory)), "logged-manifests")


def settings(cache_value):
    """The build's log lock from its cache: (log key, [(name, key)], quorum),
    or None for a build without one."""
    key = cache_value("TAVRO_LOG_KEY")
    if not key:
        return None
    witnesses = [signed_note.parse_verifier_key(w, signed_note.COSIGNATURE)
                 for w in cache_value("TAVRO_LOG_WITNESSES").split()]
    return key, witnesses, int(cache_value("TAVRO_LOG_QUORUM") or "1")


def witness_urls(names):
    urls = dict(pair.split("=", 1) for pair in os.environ.get("TAVRO_LOG_WITNESS_URLS", "").split() if "=" in pair)
    missing = [name for name in names if name not in urls]
    if missing:
        raise Failure("TAVRO_LOG_WITNESS_URLS names no URL for the witness%s %s of this build (TAVRO_LOG_WITNESSES): "
                      "give name=https://... for each." % ("es" if len(missing) > 1 else "", ", ".join(missing)))
    return urls


def held_sizes(directory):
    try:
        with open(os.path.join(directory, "witnesses.json"), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


def ask_witness(url, old, hashes, note):
    """(status, body) of one add-checkpoint request."""
    body = ("old %d\n" % old + "".join(signed_note.b64(h) + "\n" for h in
                                       log_tree.consistency_proof(old, hashes))).encode() + b"\n" + note
    request = urllib.request.Request(url.rstrip("/") + "/add-checkpoint", data=body, method="POST")
    try:
        with urllib.request.urlopen(request, timeout=WITNESS_SECONDS) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()
    except (OSError, ValueError) as error:
        return None, str(getattr(error, "reason", error)).encode()


def cosign(name, public, url, old, hashes, note):
    """The witness's cosignature line for the note, or (None, why). A 409
    names the size the witness holds: asked once more from there."""
    status, answer = ask_witness(url, old, hashes, note)
    if status == 409 and re.fullmatch(rb"\d+\n?", answer) and int(answer) <= len(hashes):
        old = int(answer)
        status, answer = ask_witness(url, old, hashes, note)
    if status != 200:
        why = "no answer (%s)" % answer.decode(errors="replace") if status is None else "HTTP %d: %s" % (
            status, answer.decode(errors="replace").strip())
        return None, why
    if not answer.endswith(b"\n") or signed_note.signed_by(note + answer, name, signed_note.COSIGNATURE, public) is None:
        return None, "an answer that is not its cosignature of the checkpoint"
    return answer, None


def log_manifest(cache_value, manifest, proof_path):
    """Appends the signed manifest's bytes to the log, gets its checkpoint
    cosigned and writes the proof to `proof_path`; what to print. A build
    without a log lock: nothing is done."""
    lock = settings(cache_value)
    if lock is None:
        return ""
    key_text, witnesses, quorum = lock
    signer = log_key.LogKey(key_text)
    urls = witness_urls([name for name, _ in witnesses])
    directory = log_directory()
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, ".lock"), "w") as lock_file:
        fcntl.flock(lock_file, fcntl.LOCK_EX)
        checkpoint = None
        if os.path.exists(os.path.join(directory, "checkpoint")):
            with open(os.path.join(directory, "checkpoint"), "rb") as f:
                parts = signed_note.split_note(f.read())
            checkpoint = parts and signed_note.parse_checkpoint(parts[0])
            if not checkpoint or checkpoint[0] != signer.name:
                raise Failure("%s/checkpoint is not a checkpoint of the log %s: TAVRO_LOG_DIR names another log's "
                              "files." % (directory, signer.name))
        entries = log_tree.entries_from(log_tree.read_local(directory), checkpoint[1] if checkpoint else 0)
        if entries is None or checkpoint and log_tree.root([log_tree.leaf_hash(e) for e in entries]) != checkpoint[2]:
            raise Failure("The log in %s does not hold the tree its checkpoint names: nothing was appended." % directory)
        # The publisher's own record first: an entry it cannot account for
        # is what the monitor looks for.
        with open(record_path(directory), "a", encoding="utf-8") as f:
            f.write(log_tree.leaf_hash(manifest).hex() + "\n")
        entries.append(manifest)
        index = len(entries) - 1
        log_tree.write_tiles(directory, entries)
        hashes = [log_tree.leaf_hash(e) for e in entries]
        text = signed_note.checkpoint_text(signer.name, len(entries), log_tree.root(hashes))
        note = text + b"\n" + signed_note.signature_line(signer.name, signed_note.ED25519, signer.public,
                                                         signer.sign(text))
        held = held_sizes(directory)
        lines, refusals = b"", []
        for name, public in witnesses:
            line, why = cosign(name, public, urls[name], held.get(name, 0), hashes, note)
            if line is None:
                refusals.append("%s (%s): %s" % (name, urls[name], why))
                continue
            lines += line
            held[name] = len(entries)
        with open(os.path.join(directory, "witnesses.json.new"), "w", encoding="utf-8") as f:
            json.dump(held, f)
        os.replace(os.path.join(directory, "witnesses.json.new"), os.path.join(directory, "witnesses.json"))
        with open(os.path.join(directory, "checkpoint.new"), "wb") as f:
            f.write(note + lines)
        os.replace(os.path.join(directory, "checkpoint.new"), os.path.join(directory, "checkpoint"))
    cosigned = len(witnesses) - len(refusals)
    if cosigned < quorum:
        raise Failure("The log's checkpoint of %d entries was cosigned by %d of the build's %d witnesses, fewer than "
                      "the %d its installers require (TAVRO_LOG_QUORUM): %s. The manifest is logged, but no proof was "
                      "written; once the witnesses answer, sign again." % (
                          len(entries), cosigned, len(witnesses), quorum, "; ".join(refusals)))
    proof = ("c2sp.org/tlog-proof@v1\nindex %d\n" % index + "".join(
        signed_note.b64(h) + "\n" for h in log_tree.inclusion_path(index, hashes))).encode() + b"\n" + note + lines
    with open(proof_path, "wb") as f:
        f.write(proof)
    said = "Logged as entry %d of %d in %s, cosigned by %d of %d witnesses%s.\n" % (
        index, len(entries), signer.name, cosigned, len(witnesses),
        " (refused: %s)" % "; ".join(refusals) if refusals else "")
    return said

"""The transparency log's tree: RFC 6962 hashing, inclusion and consistency
proofs, and its files in the C2SP tlog-tiles layout (static files any web
server serves):

  checkpoint                    the signed note of the latest tree
  tile/entries/<N>[.p/<W>]      the entries, 256 a bundle, each a 2-byte
                                big-endian length and the bytes
  tile/<L>/<N>[.p/<W>]          the hashes of level L (subtrees of 256**L
                                leaves), 256 a tile, 32 bytes each

N is written in groups of three digits, all but the last with an "x" in
front (1234067: x001/x234/067); a partial tile of W < 256 items has ".p/W".
Only the publisher writes it, under its directory's lock."""
import hashlib
import os

WIDTH = 256


def leaf_hash(data):
    return hashlib.sha256(b"\x00" + data).digest()


def node_hash(left, right):
    return hashlib.sha256(b"\x01" + left + right).digest()


def split(n):
    """The largest power of two below n (n > 1)."""
    k = 1
    while k * 2 < n:
        k *= 2
    return k


def root(hashes):
    """MTH of the leaf hashes (RFC 6962, 2.1); SHA-256 of nothing for none."""
    if not hashes:
        return hashlib.sha256(b"").digest()
    if len(hashes) == 1:
        return hashes[0]
    k = split(len(hashes))
    return node_hash(root(hashes[:k]), root(hashes[k:]))


def inclusion_path(index, hashes):
    """PATH(m, D[n]) (RFC 6962, 2.1.1): the leaf's sibling first."""
    if len(hashes) <= 1:
        return []
    k = split(len(hashes))
    if index < k:
        return inclusion_path(index, hashes[:k]) + [root(hashes[k:])]
    return inclusion_path(index - k, hashes[k:]) + [root(hashes[:k])]


def consistency_proof(old_size, hashes):
    """PROOF(m, D[n]) (RFC 6962, 2.1.2); empty for an old size of 0 or n."""
    def subproof(m, leaves, whole):
        n = len(leaves)
        if m == n:
            return [] if whole else [root(leaves)]
        k = split(n)
        if m <= k:
            return subproof(m, leaves[:k], whole) + [root(leaves[k:])]
        return subproof(m - k, leaves[k:], False) + [root(leaves[:k])]
    if old_size == 0 or old_size == len(hashes):
        return []
    return subproof(old_size, hashes, True)


def tile_name(number):
    digits = "%d" % number
    digits = "0" * (-len(digits) % 3) + digits
    groups = [digits[i:i + 3] for i in range(0, len(digits), 3)]
    return "/".join(["x" + g for g in groups[:-1]] + [groups[-1]])


def tile_path(level, number, width):
    """The path of a tile under the log's directory; level "entries" for a bundle."""
    path = "tile/%s/%s" % (level, tile_name(number))
    return path if width == WIDTH else "%s.p/%d" % (path, width)


def level_hashes(hashes):
    """The hashes of each level: level 0 the leaves, level L the roots of
    the complete subtrees of 256**L leaves."""
    levels = [list(hashes)]
    while len(levels[-1]) >= WIDTH:
        below = levels[-1]
        levels.append([root(below[i:i + WIDTH]) for i in range(0, len(below) - len(below) % WIDTH, WIDTH)])
    return levels


def tiles(entries):
    """{path: bytes} of every tile of a log of these entries, partial ones
    at their widths; full tiles never change once written."""
    files = {}
    for start in range(0, len(entries), WIDTH):
        bundle = entries[start:start + WIDTH]
        files[tile_path("entries", start // WIDTH, len(bundle))] = b"".join(
            len(e).to_bytes(2, "big") + e for e in bundle)
    for level, hashes in enumerate(level_hashes([leaf_hash(e) for e in entries])):
        for start in range(0, len(hashes), WIDTH):
            chunk = hashes[start:start + WIDTH]
            files[tile_path(level, start // WIDTH, len(chunk))] = b"".join(chunk)
    return files


def read_bundle(data):
    """The entries of an entry bundle; None when it is malformed."""
    entries, at = [], 0
    while at < len(data):
        if at + 2 > len(data):
            return None
        length = int.from_bytes(data[at:at + 2], "big")
        if at + 2 + length > len(data):
            return None
        entries.append(data[at + 2:at + 2 + length])
        at += 2 + length
    return entries


def entries_from(read, size):
    """The first `size` entries, each bundle got through read(path) (bytes,
    or None when missing); None when a bundle is missing or malformed."""
    entries = []
    for start in range(0, size, WIDTH):
        width = min(WIDTH, size - start)
        bundle = read(tile_path("entries", start // WIDTH, width))
        if bundle is None and width < WIDTH:
            # A bundle that filled up since: its first entries are these.
            bundle = read(tile_path("entries", start // WIDTH, WIDTH))
        got = read_bundle(bundle) if bundle is not None else None
        if got is None or len(got) < width:
            return None
        entries += got[:width]
    return entries


def read_local(directory):
    def read(path):
        try:
            with open(os.path.join(directory, path), "rb") as f:
                return f.read()
        except OSError:
            return None
    return read


def write_tiles(directory, entries):
    """Writes the tiles of the log of `entries`, each renamed into place;
    partial tiles a full one replaced are removed."""
    for path, data in tiles(entries).items():
        full = os.path.join(directory, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full + ".new", "wb") as f:
            f.write(data)
        os.replace(full + ".new", full)

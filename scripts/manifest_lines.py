"""A release manifest's lines, read the way the installer reads them, and
its fields as the manifest tool lists them (tavro-manifest fields: the
table the installer itself checks against), so that the publishing side
knows no field name or rule of its own.

A line is "name=value": blanks (space, tab, CR) around both are dropped,
the name's letters A to Z are folded to lower case, and a blank line, a
line starting with "#" or one without a name before "=" is no entry."""

import subprocess

FOLD = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")
BLANKS = " \t\r\n"


class Field:
    def __init__(self, name, signed_only, rule):
        self.name, self.signed_only, self.rule = name, signed_only, rule


def parse_table(text):
    """The fields of `tavro-manifest fields` output ("name
    signed|always|optional rule" a line: optional ones are signed fields a
    manifest may leave out), in the order a manifest gives them."""
    fields = []
    for line in text.splitlines():
        words = line.split()
        if len(words) != 3 or words[1] not in ("signed", "always", "optional"):
            raise ValueError("the manifest tool listed a field as %r" % line)
        fields.append(Field(words[0], words[1] != "always", words[2]))
    if not fields:
        raise ValueError("the manifest tool listed no field")
    return fields


def ask_table(wine_run, tool, seconds=300):
    """The table the manifest tool `tool` was built with; ValueError when
    it cannot be had."""
    try:
        result = subprocess.run([wine_run, tool, "fields"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=seconds)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise ValueError(str(error)) from None
    said = result.stdout.decode("utf-8", errors="replace")
    if result.returncode != 0:
        raise ValueError("it exited %d: %s" % (
            result.returncode, result.stderr.decode("utf-8", errors="replace").strip() or said.strip()))
    return parse_table(said)


def name_of(table, rule):
    """The first field whose rule is `rule` (the installer's own URL comes
    before any other URL field); ValueError when there is none."""
    for field in table:
        if field.rule == rule:
            return field.name
    raise ValueError("the manifest tool lists no field of the rule %s" % rule)


def fields(table, data):
    """The manifest `data`'s entries, name (folded) -> value, the last
    given winning as installers take an unsigned manifest's; of a signed
    one, only what comes before its signature line."""
    signature = name_of(table, "signature").translate(FOLD)
    found = {}
    for key, value, _ in entries(data):
        if key == signature:
            break
        found[key] = value
    return found


def entries(part):
    """Each entry of the manifest text `part` (bytes) as (folded name,
    value, line number from 0), in order; a name given twice appears
    twice."""
    found = []
    for number, line in enumerate(part.decode("utf-8", errors="replace").split("\n")):
        line = line.strip(BLANKS)
        name, equals, value = line.partition("=")
        name = name.strip(BLANKS).translate(FOLD)
        if not line or line.startswith("#") or not equals or not name:
            continue
        found.append((name, value.strip(BLANKS), number))
    return found


def values(part, name):
    """Every value `part` gives the field `name` (letter case folded)."""
    folded = name.translate(FOLD)
    return [value for key, value, _ in entries(part) if key == folded]


def repeated(part):
    """The first name `part` gives twice (folded), or None."""
    seen = set()
    for key, _, _ in entries(part):
        if key in seen:
            return key
        seen.add(key)
    return None


def with_values(part, new):
    """`part` with the value of each field named in `new` (name -> text)
    replaced on its own line, and those it does not give yet added at its
    end in the order of `new`; every other byte as it was."""
    lines = part.split(b"\n")
    folded = {name.translate(FOLD): (name, text) for name, text in new.items()}
    done = set()
    for key, _, number in entries(part):
        if key in folded:
            name, text = folded[key]
            ending = b"\r" if lines[number].endswith(b"\r") else b""
            lines[number] = ("%s=%s" % (name, text)).encode() + ending
            done.add(key)
    result = b"\n".join(lines)
    added = "".join("%s=%s\n" % (name, text) for key, (name, text) in folded.items() if key not in done)
    if added and result and not result.endswith(b"\n"):
        result += b"\n"
    return result + added.encode()

#!/usr/bin/python3
"""Writes or checks the release manifest with the manifest tool built beside
the installer (build/tavro-manifest.exe, same official host), under Wine, and
tells what users get from the official host now:

  manifest.py [--tool EXE] [--wine-run RUNNER] write SETUP VERSION URL OUT
  manifest.py [--tool EXE] [--wine-run RUNNER] check MANIFEST SETUP
  manifest.py [--tool EXE] [--wine-run RUNNER] live

Values reach the tool as they are given: as arguments, never through a
shell. OUT and its SHA256SUMS line change together: a written manifest is
listed, a refused one removes an older one at OUT with its line. The tool's
output names the files as they were given here, not in Wine's form."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import release_files  # noqa: E402
from release_files import Failure  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USAGE = ("usage: make manifest SETUP=file VERSION=text URL=https://... [MANIFEST=out]\n"
         "       make check-manifest MANIFEST=file SETUP=file\n"
         "       make check-live")
# A manifest is written or checked within seconds even where i386 is
# emulated; the live check downloads the whole setup, under the installer's
# own stall limits.
TOOL_SECONDS, LIVE_SECONDS = 300, 1800


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


def write(wine_run, tool, setup, version, url, out):
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
            code, stdout, stderr = run_tool(wine_run, tool, ["write", winpath(setup), version, url, winpath(scratch)],
                                            {winpath(scratch): out, winpath(setup): setup})
            sys.stderr.write(stderr)
            written = code == 0 and os.path.getsize(scratch) > 0
            # A manifest that is not written takes an older one at OUT along.
            release_files.replace(directory, {name: scratch if written else None}, "The manifest")
        finally:
            if os.path.exists(scratch):
                os.remove(scratch)
    sys.stdout.write(stdout)
    return code


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
    mode = args[0] if args else ""
    if mode == "write" and len(args) == 5 and args[1] and args[4]:
        return write(wine_run, tool, *args[1:])
    if mode == "check" and len(args) == 3 and args[1] and args[2]:
        code, stdout, stderr = run_tool(wine_run, tool, ["check", winpath(args[1]), winpath(args[2])],
                                        {winpath(args[1]): args[1], winpath(args[2]): args[2]})
    elif mode == "live" and len(args) == 1:
        code, stdout, stderr = run_tool(wine_run, tool, ["live"], {}, LIVE_SECONDS)
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

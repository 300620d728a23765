#!/usr/bin/python3
"""The test bed's RFC 3161 time-stamp service on its own, for a rehearsal of
the release road by hand (make timestamp-server): a throwaway time-stamping
authority made afresh in DIRECTORY, and the service over http on
127.0.0.1:PORT until it is stopped (Ctrl-C). DIRECTORY stays locked while
it runs (make clean refuses then).

  timestamp_service.py DIRECTORY PORT"""
import fcntl
import os
import shutil
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bed  # noqa: E402


def main(directory, port):
    directory = os.path.abspath(directory)
    os.makedirs(directory, exist_ok=True)
    # Held while the service runs, so that make clean leaves the authority
    # alone and a second service does not make another one under it.
    held = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print("timestamp-server: another make timestamp-server runs from %s: stop it first (Ctrl-C where it runs)."
              % directory, file=sys.stderr)
        return 1
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.remove(path)
    authority = bed.Authority(directory, "TAVRO Rehearsal TSA CA")
    try:
        server = bed.TimeStampServer(directory, authority, port=int(port))
    except OSError as error:
        print("timestamp-server: 127.0.0.1:%s cannot be served (%s): stop what uses it, or give another port "
              "(make timestamp-server TSA_PORT=...)." % (port, error.strerror), file=sys.stderr)
        return 1
    print("RFC 3161 time stamps on %s until stopped (Ctrl-C). For make release and make sign-setup:" % server.url)
    print("export TAVRO_SIGN_TIMESTAMP_URL=%s" % server.url)
    print("export TAVRO_SIGN_TSA_CAFILE=%s" % authority.cert, flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        signal.pause()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: timestamp_service.py DIRECTORY PORT")
    sys.exit(main(*sys.argv[1:]))

#!/usr/bin/python3
"""The test bed's RFC 3161 time-stamp service on its own, for a rehearsal of
the release road by hand (make timestamp-server): a throwaway time-stamping
authority made afresh in DIRECTORY, and the service over http on
127.0.0.1:PORT until it is stopped (Ctrl-C).

  timestamp_service.py DIRECTORY PORT"""
import os
import shutil
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bed  # noqa: E402


def main(directory, port):
    directory = os.path.abspath(directory)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
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

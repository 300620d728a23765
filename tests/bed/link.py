#!/usr/bin/env python3
"""A far and slow link of the bed's own, between the installer and a site on
loopback: a TCP relay that holds what passes each way for half the round
trip, and lets no more through each way than the rate (shared by every
connection, as one line is). A new connection's first bytes wait a whole
round trip more, the cost of the TCP handshake the relay's own accept hides.
The kernel here shapes a rate (TBF) but cannot delay (no netem), so the
relay does both, in user space, over real TCP connections at each end.

  link.py LISTEN_HOST:PORT TARGET_HOST:PORT RTT_MS RATE_MBIT [LOG]

LOG gets a JSON line per connection as it opens ({"connection": n}) and as
it ends ({"connection": n, "up": bytes, "down": bytes}); the relay writes
LOG.ready once it listens."""
import collections
import json
import socket
import sys
import threading
import time

# What one direction of one connection holds at the most before it stops
# reading: the sender then waits, as it would for a slow line.
QUEUE_BYTES = 1 << 20
PIECE = 16384


class Pacer:
    """The line's rate one way: when the next bytes may start to leave."""

    def __init__(self, bits_per_second):
        self.seconds_per_byte = 8.0 / bits_per_second
        self.free_at = 0.0
        self.lock = threading.Lock()

    def slot(self, size):
        with self.lock:
            start = max(time.monotonic(), self.free_at)
            self.free_at = start + size * self.seconds_per_byte
            return self.free_at


class Direction:
    """One way of one connection: bytes read, held until due, then paced."""

    def __init__(self, source, target, delay, pacer, first_delay):
        self.source, self.target, self.delay, self.pacer = source, target, delay, pacer
        self.first_delay = first_delay
        self.pending = collections.deque()
        self.queued = 0
        self.ended = False
        self.moved = 0
        self.changed = threading.Condition()

    def read(self):
        extra = self.first_delay
        try:
            while True:
                with self.changed:
                    while self.queued >= QUEUE_BYTES:
                        self.changed.wait()
                data = self.source.recv(PIECE)
                if not data:
                    break
                with self.changed:
                    self.pending.append((time.monotonic() + self.delay + extra, data))
                    self.queued += len(data)
                    self.changed.notify_all()
                extra = 0.0
        except OSError:
            pass
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def write(self):
        try:
            while True:
                with self.changed:
                    while not self.pending and not self.ended:
                        self.changed.wait()
                    if not self.pending:
                        break
                    due, data = self.pending.popleft()
                    self.queued -= len(data)
                    self.changed.notify_all()
                pause = due - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                pause = self.pacer.slot(len(data)) - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                self.target.sendall(data)
                self.moved += len(data)
        except OSError:
            pass
        try:
            self.target.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def log(path, entry):
    if path:
        with LOG_LOCK, open(path, "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")


def relay(number, client, target, delay, pacers, log_path):
    try:
        upstream = socket.create_connection(target)
        upstream.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    except OSError:
        client.close()
        return
    up = Direction(client, upstream, delay, pacers[0], 2 * delay)
    down = Direction(upstream, client, delay, pacers[1], 0.0)
    threads = [threading.Thread(target=step, daemon=True) for step in (up.read, up.write, down.read, down.write)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for end in (client, upstream):
        end.close()
    log(log_path, {"connection": number, "up": up.moved, "down": down.moved})


def address(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


LOG_LOCK = threading.Lock()


def main(args):
    listen, target = address(args[0]), address(args[1])
    delay = float(args[2]) / 2000.0
    rate = float(args[3]) * 1e6
    log_path = args[4] if len(args) > 4 else ""
    pacers = (Pacer(rate), Pacer(rate))
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(listen)
    listener.listen(64)
    if log_path:
        open(log_path + ".ready", "w").close()
    for number in range(1, 1 << 62):
        client, _ = listener.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        log(log_path, {"connection": number})
        threading.Thread(target=relay, args=(number, client, target, delay, pacers, log_path), daemon=True).start()


if __name__ == "__main__":
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    main(sys.argv[1:])

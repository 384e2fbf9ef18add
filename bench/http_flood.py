#!/usr/bin/python3
"""Hostile load for bench/http_flood.sh: idle connections that never send a
byte and slowloris connections that send one header byte every few seconds,
spread over loopback source addresses (127.0.1.x and 127.0.2.x), kept open
for a given time (closed ones are opened again), then all closed.

Prints "ready N" once every connection is open and "done" at the end."""
import argparse
import selectors
import socket
import sys
import time

HEADER = b"GET /small.html HTTP/1.1\r\nHost: unit\r\nX-Padding: " + b"a" * 4000


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("port", type=int)
    ap.add_argument("--idle", type=int, default=1000)
    ap.add_argument("--slow", type=int, default=200)
    ap.add_argument("--per-address", type=int, default=25)
    ap.add_argument("--interval", type=float, default=5.0)
    ap.add_argument("--seconds", type=float, default=30.0)
    a = ap.parse_args()

    sel = selectors.DefaultSelector()
    conns = {}  # socket -> [kind, source, bytes sent, next send time]

    def source(kind, i):
        net = 1 if kind == "idle" else 2
        return "127.0.%d.%d" % (net, 1 + i // a.per_address)

    def open_one(kind, i):
        s = socket.socket()
        s.bind((source(kind, i), 0))
        s.settimeout(1.0)  # a full backlog must not stall the whole client
        try:
            s.connect(("127.0.0.1", a.port))
        except OSError:
            s.close()
            missing.append((kind, i))
            return False
        s.setblocking(False)
        conns[s] = [kind, i, 0, time.monotonic() + a.interval]
        sel.register(s, selectors.EVENT_READ)
        return True

    def close_one(s):
        sel.unregister(s)
        del conns[s]
        s.close()

    missing = []
    wanted = [("idle", i) for i in range(a.idle)] + [("slow", i) for i in range(a.slow)]
    for kind, i in wanted:
        open_one(kind, i)
    print("ready %d" % len(conns), flush=True)

    end = time.monotonic() + a.seconds
    reopened = 0
    while time.monotonic() < end:
        retry, missing[:] = missing[:50], missing[50:]
        for kind, i in retry:
            reopened += open_one(kind, i)
        for key, _ in sel.select(timeout=0.2):
            s = key.fileobj
            try:
                data = s.recv(65536)
            except OSError:
                data = b""
            if not data:  # closed by the server (time-out or eviction)
                kind, i = conns[s][0], conns[s][1]
                close_one(s)
                reopened += open_one(kind, i)
        now = time.monotonic()
        for s, c in list(conns.items()):
            if c[0] == "slow" and now >= c[3]:
                try:
                    s.send(HEADER[c[2] % len(HEADER):][:1])
                    c[2] += 1
                except OSError:
                    pass
                c[3] = now + a.interval
    for s in list(conns):
        close_one(s)
    print("done reopened=%d" % reopened, flush=True)


if __name__ == "__main__":
    sys.exit(main())

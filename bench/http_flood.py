#!/usr/bin/python3
"""Hostile load for bench/http_flood.sh, kept up for a given time (closed
connections are opened again), then all closed. Kinds, each spread over
loopback source addresses:
  idle     never send a byte (127.0.1.x)
  slow     send one header byte every few seconds (127.0.2.x)
  stalled  POST declaring an 809600-byte body and send none of it
           (127.0.0.2 and 127.0.0.3, at most 32 each)
  readers  GET a large page and read it at --rate bytes/s, 1 and up
           (127.0.3.x);
           each finished page is counted and fetched again

Prints "ready N" once every connection is open and "done ..." at the end
(pages read whole by the readers, and readers cut short)."""
import argparse
import selectors
import socket
import sys
import time

HEADER = b"GET /small.html HTTP/1.1\r\nHost: unit\r\nX-Padding: " + b"a" * 4000
STALLED = b"POST /small.html HTTP/1.1\r\nHost: unit\r\nContent-Length: 809600\r\n\r\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("port", type=int)
    ap.add_argument("--idle", type=int, default=1000)
    ap.add_argument("--slow", type=int, default=200)
    ap.add_argument("--stalled", type=int, default=0)
    ap.add_argument("--readers", type=int, default=0)
    ap.add_argument("--page", default="/large.bin")
    ap.add_argument("--page-size", type=int, default=102400)
    ap.add_argument("--rate", type=int, default=1024)
    ap.add_argument("--per-address", type=int, default=25)
    ap.add_argument("--interval", type=float, default=5.0)
    ap.add_argument("--seconds", type=float, default=30.0)
    a = ap.parse_args()

    sel = selectors.DefaultSelector()
    conns = {}  # socket -> [kind, source, bytes sent, next send time]

    def source(kind, i):
        if kind == "stalled":
            return "127.0.0.%d" % (2 + i % 2)
        net = {"idle": 1, "slow": 2, "readers": 3}[kind]
        return "127.0.%d.%d" % (net, 1 + i // a.per_address)

    pages = [0, 0]  # read whole, cut short

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
        if kind == "readers":
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.setblocking(False)
        try:
            if kind == "stalled":
                s.send(STALLED)
            elif kind == "readers":
                s.send(b"GET " + a.page.encode() + b" HTTP/1.1\r\nHost: unit\r\n\r\n")
        except OSError:
            pass
        # kind, index, bytes sent or received, next send time (readers:
        # the request's time)
        now = time.monotonic()
        conns[s] = [kind, i, 0, now if kind == "readers" else now + a.interval]
        if kind != "readers":  # read on their own schedule below
            sel.register(s, selectors.EVENT_READ)
        return True

    def close_one(s):
        if conns[s][0] != "readers":
            sel.unregister(s)
        del conns[s]
        s.close()

    missing = []
    wanted = ([("idle", i) for i in range(a.idle)] + [("slow", i) for i in range(a.slow)] +
              [("stalled", i) for i in range(a.stalled)] + [("readers", i) for i in range(a.readers)])
    for kind, i in wanted:
        open_one(kind, i)
    print("ready %d" % len(conns), flush=True)

    end = time.monotonic() + a.seconds
    reopened = 0
    while time.monotonic() < end:
        retry, missing[:] = missing[:50], missing[50:]
        for kind, i in retry:
            reopened += open_one(kind, i)
        for key, _ in sel.select(timeout=0.05):
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
            if c[0] == "readers":
                # rate bytes a second on average since the request (c[3]),
                # however late this loop comes round
                allowed = int(a.rate * (now - c[3])) - c[2]
                if allowed <= 0:
                    continue
                try:
                    data = s.recv(min(allowed, 65536))
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                if data:
                    c[2] += len(data)
                    continue
                # answered in full (the header counts too) or cut short
                pages[0 if c[2] >= a.page_size else 1] += 1
                close_one(s)
                open_one("readers", c[1])
            if c[0] == "slow" and now >= c[3]:
                try:
                    s.send(HEADER[c[2] % len(HEADER):][:1])
                    c[2] += 1
                except OSError:
                    pass
                c[3] = now + a.interval
    for s in list(conns):
        close_one(s)
    print("done reopened=%d pages=%d cut=%d" % (reopened, pages[0], pages[1]), flush=True)


if __name__ == "__main__":
    sys.exit(main())

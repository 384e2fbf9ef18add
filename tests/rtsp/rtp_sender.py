#!/usr/bin/python3
"""RTP test sender and RTCP checker for the receiver's tests.

  rtp_sender.py h264 FILE --to HOST:PORT --bind PORT [options]
      Sends the access units of an Annex-B file: single NAL units, FU-A for
      units over --mtu, SPS+PPS as one STAP-A with --stap.
  rtp_sender.py check-rtcp FILE
      Exits 0 when FILE holds one RFC 3550 compound RTCP datagram that
      starts with a receiver report and carries an SDES CNAME.

Faults: --reorder (swap each pair), --dup (every datagram twice), --seq N
(first sequence number), --csrc N, --ext WORDS, --pad N, --truncate I (cut
datagram I to 7 bytes), --oversize (a 1600-byte datagram first), --sr-to
HOST:PORT (a sender report with NTP 0x83AA7E80.0 at RTP time 0 before the
stream, from --rtcp-bind). SSRC 0x12345678, payload type 96, 50 frames a
second. A line "sent N" ends the output. --ts N: the first RTP timestamp.
"""
import argparse
import socket
import struct
import sys
import time

SSRC = 0x12345678


def nal_units(data):
    units, i, n = [], 0, len(data)
    starts = []
    while i < n - 3:
        if data[i] == 0 and data[i + 1] == 0 and (data[i + 2] == 1 or (data[i + 2] == 0 and i + 3 < n and data[i + 3] == 1)):
            size = 3 if data[i + 2] == 1 else 4
            starts.append((i, i + size))
            i += size
        else:
            i += 1
    for k, (_, body) in enumerate(starts):
        end = starts[k + 1][0] if k + 1 < len(starts) else n
        while end > body and data[end - 1] == 0 and k + 1 < len(starts):
            end -= 1
        units.append(data[body:end])
    return units


def access_units(units):
    """One picture per unit of type 1 or 5; parameter sets and SEI go with the next picture."""
    aus, pending = [], []
    for u in units:
        pending.append(u)
        if u[0] & 0x1F in (1, 5):
            aus.append(pending)
            pending = []
    return aus


def h264_payloads(au, mtu, stap):
    out = []
    units = list(au)
    if stap:
        params = [u for u in units if u[0] & 0x1F in (7, 8)]
        if params:
            units = [u for u in units if u[0] & 0x1F not in (7, 8)]
            nri = max(u[0] & 0x60 for u in params)
            out.append(bytes([nri | 24]) + b"".join(struct.pack(">H", len(u)) + u for u in params))
    for u in units:
        if len(u) <= mtu:
            out.append(u)
            continue
        head, body = u[0], u[1:]
        chunks = [body[i:i + mtu - 2] for i in range(0, len(body), mtu - 2)]
        for k, c in enumerate(chunks):
            fu = (0x80 if k == 0 else 0) | (0x40 if k == len(chunks) - 1 else 0) | (head & 0x1F)
            out.append(bytes([(head & 0xE0) | 28, fu]) + c)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["h264", "check-rtcp"])
    ap.add_argument("files", nargs="+")
    ap.add_argument("--to")
    ap.add_argument("--bind", type=int, default=0)
    ap.add_argument("--mtu", type=int, default=1400)
    ap.add_argument("--stap", action="store_true")
    ap.add_argument("--seq", type=int, default=1000)
    ap.add_argument("--ts", type=int, default=0)
    ap.add_argument("--reorder", action="store_true")
    ap.add_argument("--dup", action="store_true")
    ap.add_argument("--csrc", type=int, default=0)
    ap.add_argument("--ext", type=int, default=-1)
    ap.add_argument("--pad", type=int, default=0)
    ap.add_argument("--truncate", type=int, default=-1)
    ap.add_argument("--oversize", action="store_true")
    ap.add_argument("--sr-to")
    ap.add_argument("--rtcp-bind", type=int, default=0)
    a = ap.parse_args()

    if a.mode == "check-rtcp":
        return check_rtcp(open(a.files[0], "rb").read())

    host, port = a.to.rsplit(":", 1)
    dest = (host, int(port))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
    sock.bind(("127.0.0.1", a.bind))

    if a.sr_to:
        rh, rp = a.sr_to.rsplit(":", 1)
        rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        rtcp.bind(("127.0.0.1", a.rtcp_bind))
        sr = struct.pack(">BBHIIIIII", 0x80, 200, 6, SSRC, 0x83AA7E80, 0, 0, 0, 0)
        rtcp.sendto(sr, (rh, int(rp)))
        time.sleep(0.3)  # the session thread takes it before the first frame is stamped

    frames = [h264_payloads(au, a.mtu, a.stap) for au in access_units(nal_units(open(a.files[0], "rb").read()))]

    datagrams = []
    seq = a.seq
    for n, payloads in enumerate(frames):
        ts = (a.ts + n * 3600) & 0xFFFFFFFF
        for k, p in enumerate(payloads):
            marker = 0x80 if k == len(payloads) - 1 else 0
            b0 = 0x80 | (a.csrc & 0x0F) | (0x10 if a.ext >= 0 else 0) | (0x20 if a.pad else 0)
            head = struct.pack(">BBHII", b0, marker | 96, seq & 0xFFFF, ts, SSRC)
            head += b"".join(struct.pack(">I", 0xC0000000 + i) for i in range(a.csrc))
            if a.ext >= 0:
                head += struct.pack(">HH", 0xBEDE, a.ext) + b"\xEE" * (4 * a.ext)
            tail = (b"\0" * (a.pad - 1) + bytes([a.pad])) if a.pad else b""
            datagrams.append((n, head + p + tail))
            seq += 1

    plan = list(datagrams)
    if a.truncate >= 0:
        n, d = plan[a.truncate]
        plan[a.truncate] = (n, d[:7])
    if a.reorder:
        for i in range(0, len(plan) - 1, 2):
            plan[i], plan[i + 1] = plan[i + 1], plan[i]
    if a.oversize:
        sock.sendto(datagrams[0][1][:12] + b"\0" * 1600, dest)
    sent, last_frame = 0, None
    for n, d in plan:
        if last_frame is not None and n != last_frame:
            time.sleep(1.0 / 50)
        last_frame = n
        for _ in range(2 if a.dup else 1):
            sock.sendto(d, dest)
            sent += 1
    print("sent", sent, flush=True)
    return 0


def check_rtcp(d):
    """RFC 3550 §6.1 compound validity: version 2, first packet RR or SR,
    no padding but in the last packet, lengths add up to the datagram; an
    SDES chunk with a CNAME item whose list ends in NULs at a word boundary."""
    if len(d) % 4 or len(d) < 8:
        return fail("length %d" % len(d))
    if d[1] not in (200, 201):
        return fail("first packet %d" % d[1])
    i, cname = 0, None
    while i < len(d):
        if len(d) - i < 4:
            return fail("header cut")
        v, p, count, pt = d[i] >> 6, (d[i] >> 5) & 1, d[i] & 0x1F, d[i + 1]
        size = (struct.unpack(">H", d[i + 2:i + 4])[0] + 1) * 4
        if v != 2 or i + size > len(d) or (p and i + size != len(d)):
            return fail("packet at %d" % i)
        if pt == 201 and size != 8 + 24 * count:
            return fail("RR size")
        if pt == 202:
            k = i + 4
            for _ in range(count):
                k += 4
                while d[k] != 0:
                    if d[k] == 1:
                        cname = d[k + 2:k + 2 + d[k + 1]]
                    k += 2 + d[k + 1]
                k += 1
                while k % 4:
                    if d[k] != 0:
                        return fail("chunk padding")
                    k += 1
            if k != i + size:
                return fail("SDES size %d != %d" % (k - i, size))
        i += size
    if cname is None:
        return fail("no CNAME")
    print("ok", cname.decode())
    return 0


def fail(why):
    print("bad:", why)
    return 1


if __name__ == "__main__":
    sys.exit(main())

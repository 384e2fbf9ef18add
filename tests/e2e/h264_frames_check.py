#!/usr/bin/python3
"""Numbered-frame H.264 streams through the unit: every picture it shows or
recognises must be the picture of the frame it is filed under.

    h264_frames_check.py streams WORK NUMBERED_FRAMES   WORK/<name>.mp4, its
        reference pictures and its packets in decode order (WORK/<name>.json)
    h264_frames_check.py config WORK OUT PORT CAMERA...  CAMERA is
        CAMID:STREAM:file[:EXPECT], CAMID:STREAM:rtsp:URL or
        CAMID:STREAM:lossy:URL (a stream of RAW_STREAMS plays from its raw
        .h264 file); EXPECT names what a decoder fault plan
        (KOVIRA_V4L2EMU) leaves, rules of FAULT_RULES joined by "+"; lossy is
        a network camera behind tests/fixtures/lossy_relay.py, which logs
        what it drops to WORK/lossy-CAMID.log
    h264_frames_check.py check WORK PORT SECONDS CAMERA...  frame pages
        across the groups, each fetched twice, against their frame's picture
        (PSNR; leading pictures of an open GOP may answer 500), stored types
        against the packets', plates against frame numbers; exit 1 on a fault.

A file camera's stored frames are its packets in decode order, play after
play (its byte counts must agree); a network camera's are matched to the
packets by byte counts, since it may lose a frame.
"""
import contextlib
import io
import json
import os
import re
import subprocess
import sys
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import picture_checks  # noqa: E402

WIDTH, HEIGHT, FPS, SECONDS, GOP = 640, 360, 25, 3, 25
FRAMES = FPS * SECONDS
MIN_DB = 40
STREAMS = {
    "baseline": "-profile:v baseline -bf 0",
    "bf2": "-profile:v high -bf 2",
    "bf3-pyramid": "-profile:v high -bf 3 -b-pyramid normal",
    "inband": "-profile:v high -bf 2 -x264-params repeat-headers=1",
    "open-gop": "-profile:v high -bf 2 -x264-params open-gop=1",
}
TYPE_NAMES = {"I": "I-frame", "P": "P-frame", "B": "B-frame"}

# ---- Decoder faults: streams and what the unit must show under them.
# eight B frames between references, for a slow decoder without the drain
STREAMS["bf8"] = "-profile:v high -bf 8 -x264-params b-adapt=0"
# baseline with the slice data of one P frame of the second group zeroed
ZEROED_FROM, ZEROED_UNIT = "baseline", GOP + 5
FAULT_RULES = {
    # {"pictureDelayMs": 20, "noDrain": true}: every page its own frame's
    # picture (the decode stage's own skips are counted from its console
    # lines by the test: recognition also skips frames when behind)
    "latency": {},
    # {"errorPictureEvery": 10}: a flagged picture's frame answers the error
    # page and is skipped, never read; some frames must have been skipped
    "errors": {"error_pages": True, "min_skipped": 1},
    # the zeroed frame answers the error page; its group's later frames
    # (the decoder conceals the missing picture in them) are neither sampled
    # nor held to their plates, the next group is right again
    "zeroed": {"error_unit": ZEROED_UNIT},
}


def make_zeroed(work):
    """WORK/zeroed.mp4: ZEROED_FROM with the packet ZEROED_UNIT (decode
    order) zeroed after its NAL length and header, same sizes."""
    src = os.path.join(work, ZEROED_FROM + ".mp4")
    packets = json.loads(run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=pos,size",
                              "-of", "json", src]).stdout)["packets"]
    pos, size = int(packets[ZEROED_UNIT]["pos"]), int(packets[ZEROED_UNIT]["size"])
    with open(src, "rb") as f:
        data = bytearray(f.read())
    data[pos + 5:pos + size] = bytes(size - 5)
    with open(os.path.join(work, "zeroed.mp4"), "wb") as f:
        f.write(data)
    with open(os.path.join(work, ZEROED_FROM + ".json")) as f:
        meta = json.load(f)
    with open(os.path.join(work, "zeroed.json"), "w") as f:
        json.dump(meta, f)


def same_packet(kind, size, unit):
    """Whether a stored frame of type name KIND and SIZE bytes can be UNIT.
    Key frames: three-byte start codes make a unit of several NAL units a
    byte shorter per unit, parameter sets in front make it longer. Other
    frames are one slice each."""
    key = kind == "I-frame" and unit["type"] == "I"
    return size == unit["size"] or (key and -8 <= size - unit["size"] <= 512)


def quiet_psnr(a, b, min_db):
    said = io.StringIO()
    with contextlib.redirect_stdout(said):
        return picture_checks.psnr(a, b, min_db), said.getvalue().strip()


def run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, **kw)


def make_streams(work, generator):
    for name, options in STREAMS.items():
        mp4 = os.path.join(work, name + ".mp4")
        raw = subprocess.Popen([generator, str(WIDTH), str(HEIGHT), str(FRAMES)], stdout=subprocess.PIPE)
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "rawvideo", "-pix_fmt", "gray", "-s",
                        "%dx%d" % (WIDTH, HEIGHT), "-r", str(FPS), "-i", "-", "-c:v", "libx264", "-crf", "16",
                        "-g", str(GOP), "-keyint_min", str(GOP), "-sc_threshold", "0", *options.split(),
                        "-pix_fmt", "yuv420p", "-y", mp4], stdin=raw.stdout, check=True)
        raw.stdout.close()
        if raw.wait() != 0:
            sys.exit("numbered_frames failed")
        describe(work, name, mp4, FRAMES, GOP)
    make_zeroed(work)
    make_x264_streams(work, generator)
    make_raw_streams(work)
    make_sender_streams(work, generator)


def describe(work, name, mp4, frames_count, gop):
    """WORK/<name>.json: the stream's packets in decode order, with its
    reference pictures in WORK/<name>-ref."""
    refs = os.path.join(work, name + "-ref")
    os.makedirs(refs, exist_ok=True)
    run(["ffmpeg", "-nostdin", "-v", "error", "-i", mp4, "-fps_mode", "passthrough",
         os.path.join(refs, "%03d.png")])
    packets = run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=pts,pos,size,flags",
                   "-of", "json", mp4]).stdout
    frames = run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "frame=pkt_pos,pict_type",
                  "-of", "json", mp4]).stdout
    packets = json.loads(packets)["packets"]
    kinds = {f["pkt_pos"]: f["pict_type"] for f in json.loads(frames)["frames"]}
    order = sorted(int(p["pts"]) for p in packets)
    # Decode order: the presentation number (the plate) and type of each
    # packet; key: decoding can start there (the container's key flag).
    units = [{"number": order.index(int(p["pts"])), "type": kinds[p["pos"]], "size": int(p["size"]),
              "key": p["flags"].startswith("K")} for p in packets]
    # Leading pictures of an open GOP: shown before the key frame they
    # follow, they refer to the group before it as well.
    key = 0
    for u in units:
        key = u["number"] if u["type"] == "I" and u["key"] else key
        u["leading"] = u["number"] < key
    if len(units) != frames_count or len(os.listdir(refs)) != frames_count:
        sys.exit("%s: %d packets, %d pictures" % (name, len(units), len(os.listdir(refs))))
    # Neighbouring pictures differ everywhere: a picture of the wrong
    # frame cannot pass for the right one.
    for i in range(1, 4):
        if quiet_psnr(*(os.path.join(refs, "%03d.png" % k) for k in (i, i + 1)), 25)[0]:
            sys.exit("%s: frames %d and %d look alike" % (name, i, i + 1))
    with open(os.path.join(work, name + ".json"), "w") as f:
        json.dump({"units": units, "refs": refs, "frames": frames_count, "gop": gop}, f)
    print("%s: %s" % (name, "".join(u["type"] for u in units)))


def config(work, out, port, cameras):
    cfg = []
    last = "%d,%d,%d,%d,%d,%d,%d,%d" % (4, 4, WIDTH - 5, 4, WIDTH - 5, HEIGHT - 5, 4, HEIGHT - 5)
    for spec in cameras:
        camid, stream, source, *url = spec.split(":", 3)
        camid = int(camid)
        path = url[0] if source in ("rtsp", "lossy") else file_of(work, stream)
        cfg.append({"type": "camera", "camid": camid, "enabled": 1, "source": "rtsp" if source == "lossy" else source,
                    "url": path, "fps": X264_STREAMS.get(stream, {}).get("fps", FPS), "bufsize": 64})
        cfg.append({"type": "zone", "zoneid": camid, "camid": camid, "enabled": 1, "scale": 6, "coords": last})
        cfg.append({"type": "action", "actid": camid, "enabled": 1, "method": "speed", "zoneA": camid,
                    "speed": 60, "threshold": 70, "path": os.path.join(work, "evidence")})
    cfg.append({"type": "global", "webserver": int(port)})
    with open(out, "w") as f:
        json.dump(cfg, f, indent=1)


class Unit:
    def __init__(self, port):
        self.base = "http://127.0.0.1:%s" % port

    def get(self, path):
        try:
            with urllib.request.urlopen(self.base + path, timeout=30) as r:
                return r.status, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()
        except (OSError, urllib.error.URLError):
            return 0, b""

    def rows(self, camid):
        """{frame number: (type name, plate texts, size, flags)} of the camera page."""
        status, body = self.get("/debug/cam%d/" % camid)
        rows = {}
        if status != 200:
            return rows
        for line in body.decode("utf-8", "replace").split("<tr><td>")[2:]:
            cells = re.findall(r"(?:^|<td>)(.*?)</td>", line, re.S)
            number = re.search(r">(\d+)</a>", cells[1]) if len(cells) > 10 else None
            if number:
                plates = [p for p in cells[10].split(", ") if p]
                rows[int(number.group(1))] = (cells[0], plates, int(cells[2]), cells[9])
        return rows


class Camera:
    def __init__(self, work, spec):
        camid, self.stream, self.source, *rest = spec.split(":", 3)
        self.camid = int(camid)
        self.rules = {}  # EXPECT: fault rule names joined by "+"
        for name in rest[0].split("+") if self.source == "file" and rest else ():
            self.rules.update(FAULT_RULES[name])
        self.error_pages = 0
        with open(os.path.join(work, self.stream + ".json")) as f:
            data = json.load(f)
        self.units, self.refs = data["units"], data["refs"]
        self.frames, self.gop = data.get("frames", FRAMES), data.get("gop", GOP)
        self.plays = data.get("plays", 1)  # a file camera checked over several plays of its file
        self.lossy = self.source == "lossy"
        self.min_db = LOSSY_MIN_DB if self.lossy else MIN_DB
        self.name = "cam%d %s %s" % (self.camid, self.stream, self.source)
        self.faults, self.early, self.done = [], False, False
        self.pages = self.leading = 0  # leading: pages of leading pictures without a picture
        self.shown = set()  # stored frames whose page showed their own picture
        self.packet = {}  # stored frame number -> packet index (decode order)
        self.next = 0  # where the next stored frame is looked for
        self.never_sent = set()  # packets of the first play the relay dropped whole (--drop-keys)

    def match(self, rows):
        """Gives each new stored frame its packet. A file camera stores every
        frame of every play from the play's first key frame on, so a frame's
        number names its packet, and the size only confirms it: rows that
        scrolled off the page between two looks cannot shift the match onto
        a packet of the same size elsewhere in the file. A network camera
        may lose frames: a stored frame gets the next packet of its size
        (lost frames are passed over), at least as many packets on as frames
        were stored since the last one matched, since each stored frame is a
        later packet (rows that scrolled off unseen must not let the match
        fall back onto an earlier packet of the same size). The ring holds
        every frame's bytes: size 0 is a fault."""
        for number in sorted(rows):
            last = max(self.packet, default=0)
            if number in self.packet or number <= last:
                continue
            kind, _, size, _ = rows[number]
            if size == 0:
                self.faults.append("frame %d (%s) was stored without its bytes" % (number, kind))
                self.packet[number] = None
                continue
            if self.source == "file":
                j = self.place_in_play(number)
                unit = self.units[j]
                if same_packet(kind, size, unit):
                    self.packet[number] = j
                else:
                    self.faults.append("frame %d (%s, %d bytes) is not packet %d of its play (%s, %d bytes)"
                                       % (number, kind, size, j, unit["type"], unit["size"]))
                    self.packet[number] = None
                continue
            unseen = number - last - 1
            for ahead in range(self.frames):
                j = self.next + unseen + ahead
                if j in self.never_sent:  # the first play's (a replay's pass the relay)
                    continue
                if same_packet(kind, size, self.units[j % self.frames]):
                    self.packet[number] = j % self.frames
                    self.next = j + 1
                    break
            else:
                self.faults.append("frame %d (%s, %d bytes) is no packet of the stream" % (number, kind, size))
                self.packet[number] = None

    def place_in_play(self, number):
        """The packet (decode order) a file camera's stored frame NUMBER
        (from 1) is: each play stores the packets from its first key frame
        to the file's end."""
        lead = next(j for j, u in enumerate(self.units) if u["type"] == "I" and u["key"])
        return lead + (number - 1) % (self.frames - lead)

    def closed_frames(self, rows):
        """The stored frames of the groups a later key frame closed: the
        first FRAMES - GOP (a file camera plays again), for a network camera
        that loses frames those before its last stored key frame."""
        if not self.lossy:
            return sorted(rows)[:self.frames - self.gop]
        last = max((n for n in rows if rows[n][0] == "I-frame"), default=0)
        return sorted(n for n in rows if n < last)

    def play_ends(self):
        """The stored frames that end a play of the file: its last unit."""
        return sorted(n for n, j in self.packet.items() if j == self.frames - 1)

    def unit_of(self, number):
        j = self.packet.get(number)
        return None if j is None else self.units[j]

    def samples(self, newest):
        """Frames across every group up to the newest but one: the key
        frame, its successors, frames deep in the group, the group's end."""
        picks = set()
        for start in range(1, newest, self.gop):
            for k in (0, 1, 2, 3, self.gop // 2, self.gop - 1):
                if start + k < newest:
                    picks.add(start + k)
        picks.add(newest - 1)
        error_unit = self.rules.get("error_unit")
        if error_unit is not None:
            # The zeroed frame, and none after it in its group.
            picks = {n for n in picks if not self.concealed(n)}
            picks.update(n for n in range(1, newest) if self.packet.get(n) == error_unit)
        if self.lossy:
            # Where the stream resumed after a loss: the key frame and the
            # frames that refer to it.
            picks.update(n + k for n in self.resumed() for k in range(4) if n + k <= newest)
        return sorted(picks)

    def resumed(self):
        """Stored frames that follow frames not stored (lost, or refused
        while the unit waited for a key frame)."""
        prev = {n: -1 if n == 1 else self.packet.get(n - 1) for n in self.packet}
        return [n for n in sorted(self.packet)
                if self.packet[n] is not None and prev[n] is not None and self.packet[n] > prev[n] + 1]

    def check_page(self, unit, number, scratch):
        u = self.unit_of(number)
        for attempt in (1, 2) if u else ():
            status, body = unit.get("/debug/cam%d/frame%d.png" % (self.camid, number))
            self.pages += 1
            if u["leading"] and status == 500:
                # Decoded from its own group it has no picture; no picture
                # is right, another frame's would not be.
                self.leading += 1
                continue
            if self.packet.get(number) == self.rules.get("error_unit"):
                if status != 500:
                    self.faults.append("zeroed frame %d (fetch %d): status %d, not the error page"
                                       % (number, attempt, status))
                self.error_pages += status == 500
                continue
            if status == 500 and (self.rules.get("error_pages") or self.lossy):
                # Its picture came back flagged as failed; or, behind a lossy
                # link, the error page: never a smeared picture.
                self.error_pages += 1
                continue
            if status != 200 or not body.startswith(b"\x89PNG"):
                self.faults.append("frame %d (fetch %d): status %d, %d bytes" % (number, attempt, status, len(body)))
                continue
            shown = os.path.join(scratch, "page.png")
            with open(shown, "wb") as f:
                f.write(body)
            matches, said = quiet_psnr(shown, os.path.join(self.refs, "%03d.png" % (u["number"] + 1)), self.min_db)
            if not matches:
                os.replace(shown, os.path.join(scratch, "cam%d-frame%d-%d.png" % (self.camid, number, attempt)))
                self.faults.append("frame %d (fetch %d, %s) against its picture %d: %s"
                                   % (number, attempt, u["type"], u["number"], said))
            else:
                self.shown.add(number)

    def check_faults(self, rows, closed):
        """What the decoder fault plan must leave on the frames of closed groups."""
        skipped = [n for n in closed if "SKIP" in rows[n][3]]
        for n in skipped:
            if rows[n][1]:
                self.faults.append("frame %d was skipped but read as %s" % (n, ", ".join(rows[n][1])))
        if len(skipped) < self.rules.get("min_skipped", 0):
            self.faults.append("no frame skipped, yet the decoder flagged pictures")
        if "error_unit" in self.rules and not self.error_pages:
            self.faults.append("the zeroed frame's page was never fetched")
        return len(skipped)

    def concealed(self, number):
        """A frame of the zeroed frame's group after it."""
        error_unit, j = self.rules.get("error_unit"), self.packet.get(number)
        return error_unit is not None and j is not None and error_unit < j < error_unit - error_unit % GOP + GOP

    def check_store(self, rows):
        for number, (kind, plates, _, _) in sorted(rows.items()):
            unit = None if self.concealed(number) else self.unit_of(number)
            # An I picture decoding cannot start at continues its group: stored as a P frame.
            stored = "P" if unit and unit["type"] == "I" and not unit["key"] else unit and unit["type"]
            if unit and kind != TYPE_NAMES[stored]:
                self.faults.append("frame %d stored as %s, packet is %s" % (number, kind, unit["type"]))
            for p in plates if unit else ():
                if p != "A%07d" % unit["number"]:
                    self.faults.append("frame %d (%s) was recognised as %s, it shows A%07d"
                                       % (number, unit["type"], p, unit["number"]))


def check(work, port, seconds, specs):
    unit = Unit(port)
    cams = [Camera(work, s) for s in specs]
    scratch = os.path.join(work, "pages")
    os.makedirs(scratch, exist_ok=True)
    deadline = time.monotonic() + float(seconds)

    def look():
        """Every playing camera's new rows, between one camera's page checks
        and the next: on a loaded machine a camera's checks take long enough
        for another's page to scroll past rows never seen (a resumption
        among them)."""
        for other in cams:
            if not other.done:
                rows = unit.rows(other.camid)
                if other.lossy:
                    other.never_sent = dropped_keys(work, other.camid)
                other.match(rows)

    # 1. While the streams play: pages of the first group once the second
    #    has begun, interleaved with frames arriving and the decode stage.
    # 2. Once the whole stream is stored: the samples of every group, the
    #    newest (still open until a replay) included.
    while time.monotonic() < deadline and not all(c.done for c in cams):
        for c in cams:
            if c.done:
                continue
            # Behind the lossy relay: what it broke, read before what the
            # unit did with the rest (both only grow).
            broken = len(broken_of(work, c.camid)) if c.lossy else 0
            rows = unit.rows(c.camid)
            if c.lossy:
                c.never_sent = dropped_keys(work, c.camid)
            c.match(rows)
            newest = max(rows, default=0)
            # The deadline bounds the unit, not the checker: fetching and
            # comparing pages of a dozen cameras takes tens of seconds on a
            # loaded machine, and a camera looked at only after that would
            # be judged late.
            began = time.monotonic()
            if not c.early and newest > c.gop + 3:
                c.early = True
                for number in c.samples(c.gop + 2):
                    c.check_page(unit, number, scratch)
            # The whole stream: its last packet is stored (frames may be lost;
            # behind the lossy relay, every frame that passed it whole is
            # stored or refused, wherever the losses fell; a frame the unit
            # filled a small hole in would count twice, which the stream's
            # small packets rule out).
            if c.plays > 1:
                # The last play's end is the newest frame of an open group
                # (not shown until a key frame closes it) until the next
                # play's first stored frame, its key frame, follows it.
                ends = c.play_ends()
                if len(ends) >= c.plays and newest > ends[c.plays - 1]:
                    c.done = True
                    for number in c.samples(ends[c.plays - 1] + 1):
                        c.check_page(unit, number, scratch)
            elif newest >= c.frames or (newest > 1 and c.packet.get(newest) == c.frames - 1) or \
                    (c.lossy and newest + refused_of(unit, c.camid) >= c.frames - broken):
                c.done = True
                for number in c.samples(min(newest, c.frames)):
                    c.check_page(unit, number, scratch)
            if time.monotonic() - began > 1:
                look()
            deadline += time.monotonic() - began
        time.sleep(0.2)
    # 3. The decode stage recognises a group once the next key frame is
    #    stored: the readings on the frames of the first closed groups
    #    (a file camera's replays push the first play off the page).
    readings, rows = {}, {}
    settle = time.monotonic() + 15
    while True:
        finished = True
        for c in cams:
            rows[c.camid] = unit.rows(c.camid)
            c.match(rows[c.camid])
            first = c.closed_frames(rows[c.camid])
            readings[c.camid] = (sum(len(rows[c.camid][n][1]) > 0 for n in first), len(first))
            # Recognised or skipped: the stages are done with the frame.
            finished = finished and all(re.search("CNN|SKIP", rows[c.camid][n][3]) for n in first)
        if finished or time.monotonic() > settle:
            break
        time.sleep(0.5)
    failed = False
    for c in cams:
        c.check_store(rows[c.camid])
        skipped = c.check_faults(rows[c.camid], c.closed_frames(rows[c.camid])) if c.rules else 0
        if not c.done:
            c.faults.append("the stream was not stored whole in time (%d frames)" % max(rows[c.camid], default=0))
        got, of = readings[c.camid]
        # Recognition may pass frames over when it falls behind; a third
        # must have been read, or the checks above said little.
        if got < of // 3:
            c.faults.append("only %d of %d frames of closed groups were recognised" % (got, of))
        if c.lossy:
            check_losses(c, unit, work)
        if c.plays > 1:
            check_plays(c, unit)
        status = "ok  " if not c.faults else "FAIL"
        leading = ", %d of them leading pictures without a picture" % c.leading if c.leading else ""
        if c.rules or c.lossy:
            leading += ", %d error pages, %d frames skipped" % (c.error_pages, skipped)
        print("%s %s: %d pages%s, %d of %d frames recognised, %d faults"
              % (status, c.name, c.pages, leading, got, of, len(c.faults)))
        for f in c.faults[:10]:
            print("       " + f)
        failed = failed or bool(c.faults)
    return not failed


# ---- Groups that start only where decoding can, and RTP loss -------------
# forced-i: x264 with 4 references and every 25th picture forced to a plain
# I frame that later pictures reference across: one group from key frame to
# key frame, every frame its own picture. intra-refresh: no group ever
# closes (its console line and camera page line: h264_frames_e2e.sh). lossy:
# a network camera behind tests/fixtures/lossy_relay.py: pages are the
# frame's own picture or the error page, and the drop counter counts the
# frames that did not arrive whole.
LOSSY_MIN_DB = 35
X264_STREAMS = {
    "forced-i": {"frames": 50, "gop": 25, "fps": FPS},
    "intra-refresh": {"frames": 230, "gop": 230, "fps": 100},
}


def make_x264_streams(work, generator):
    for name, p in X264_STREAMS.items():
        h264, mp4 = os.path.join(work, name + ".h264"), os.path.join(work, name + ".mp4")
        with open(h264, "wb") as out:
            subprocess.run([generator, str(WIDTH), str(HEIGHT), str(p["frames"]), name], stdout=out, check=True)
        run(["ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-framerate", str(FPS), "-i", h264, "-c", "copy",
             "-y", mp4])
        describe(work, name, mp4, p["frames"], p["gop"])


def dropframes_of(unit, camid):
    status, body = unit.get("/debug/cameras/")
    part = body.decode("utf-8", "replace").split("camid=%d<" % camid, 1)[-1].split("<dt>", 1)[0]
    m = re.search(r"dropframes=(\d+)", part)
    return int(m.group(1)) if status == 200 and m else 0


def broken_of(work, camid):
    """The frames the relay broke so far: a dropped packet's timestamp
    names its frame."""
    with open(os.path.join(work, "lossy-%d.log" % camid)) as f:
        return {line.split()[1] for line in f if line.strip()}


def refused_of(unit, camid):
    """Frames the camera received whole but did not store after a loss."""
    status, body = unit.get("/debug/rtsp/buffer/")
    m = re.search(r"camid: %d, frames not stored after a loss[^:]*: (\d+)" % camid, body.decode("utf-8", "replace"))
    return int(m.group(1)) if status == 200 and m else 0


def check_losses(camera, unit, work):
    """Frames the relay broke against the camera's drop counter: every one
    counted. After a loss the stream resumes at a key frame only, and shows
    right pictures from it."""
    events = relay_events(work, camera.camid)
    if events:
        return check_relay(camera, unit, work, events)
    broken = broken_of(work, camera.camid)
    counted = dropframes_of(unit, camera.camid)
    print("     cam%d: %d frames broken on the way, dropframes=%d" % (camera.camid, len(broken), counted))
    if not broken:
        camera.faults.append("the relay broke no frame: the case tests nothing")
    if not len(broken) * 8 // 10 <= counted <= len(broken):
        camera.faults.append("dropframes=%d for %d frames that did not arrive whole" % (counted, len(broken)))
    refused = refused_of(unit, camera.camid)
    print("     cam%d: %d whole frames not stored after a loss" % (camera.camid, refused))
    if refused == 0:
        camera.faults.append("no frame waited for a key frame after a loss: the case tests nothing")
    check_resumed(camera)


def check_resumed(camera):
    """After a loss the stream resumes at a key frame only, and a page shows
    it right."""
    if camera.pages - camera.error_pages - camera.leading < 1:
        camera.faults.append("no frame page showed a picture")
    resumed = camera.resumed()
    for n in resumed:
        u = camera.unit_of(n)
        if not (u["type"] == "I" and u["key"]):
            camera.faults.append("frame %d (%s) was stored right after frames that were not: it may refer to them"
                                 % (n, u["type"]))
    print("     cam%d: stored again from frames %s" % (camera.camid, ", ".join(map(str, resumed)) or "-"))
    if not any(n + k in camera.shown for n in resumed for k in range(4)):
        camera.faults.append("no page showed the stream resuming after a loss: the case tests nothing")


# ---- Every play of a file starts like a stream after a loss ---------------
# cut: the inband stream (parameter sets before every key frame) as a raw
# Annex-B file cut at unit CUT (decode order) of its first group, as a
# recording cut anywhere: frames that refer to pictures before the file's
# start come first. The file camera plays it PLAYS times; each play's frames
# before its first key frame are refused (counted as after a loss), never
# filed into the previous play's last group and decoded against its pictures.
CUT, CUT_FROM, PLAYS = 12, "inband", 3
RAW_STREAMS = {"cut"}


def file_of(work, stream):
    return os.path.join(work, stream + (".h264" if stream in RAW_STREAMS else ".mp4"))


def make_raw_streams(work):
    with open(os.path.join(work, CUT_FROM + ".json")) as f:
        meta = json.load(f)
    if meta["units"][CUT]["key"] or not meta["units"][GOP]["key"]:
        sys.exit("cut: %s must have its second key frame at unit %d and none at %d" % (CUT_FROM, GOP, CUT))
    path = file_of(work, "cut")
    run(["ffmpeg", "-nostdin", "-v", "error", "-i", os.path.join(work, CUT_FROM + ".mp4"), "-c", "copy", "-bsf:v",
         "h264_mp4toannexb,noise=drop=lt(n\\,%d)" % CUT, "-f", "h264", "-y", path])
    # Sizes as the unit's demuxer splits the raw file.
    sizes = [int(p["size"]) for p in json.loads(run(["ffprobe", "-v", "error", "-show_entries", "packet=size",
                                                     "-of", "json", path]).stdout)["packets"]]
    units = [dict(u, size=size) for u, size in zip(meta["units"][CUT:], sizes)]
    if len(sizes) != len(units):
        sys.exit("cut: %d packets in the raw file, %d units" % (len(sizes), len(units)))
    with open(os.path.join(work, "cut.json"), "w") as f:
        json.dump({"units": units, "refs": meta["refs"], "frames": len(units), "gop": GOP, "plays": PLAYS}, f)
    print("cut: %s, played %d times" % ("".join(u["type"] for u in units), PLAYS))


def check_plays(camera, unit):
    """Each play's first stored frame is its first key frame, and the frames
    before it were refused as after a loss."""
    lead = next(j for j, u in enumerate(camera.units) if u["type"] == "I" and u["key"])
    firsts = [n for n in sorted(camera.packet) if n == 1 or camera.packet.get(n - 1) == camera.frames - 1]
    for n in firsts:
        if camera.packet[n] != lead:
            camera.faults.append("a play's first stored frame %d is packet %s, not its first key frame %d"
                                 % (n, camera.packet[n], lead))
    refused = refused_of(unit, camera.camid)
    print("     cam%d: %d plays stored, %d frames refused before their key frame" % (camera.camid, len(firsts), refused))
    if len(firsts) < camera.plays or refused < camera.plays * lead:
        camera.faults.append("%d frames refused in %d plays, %d before the key frame in each"
                             % (refused, len(firsts), lead))


# ---- Packets a receiver discards on purpose, late duplicates, a sender that
# restarts, a burst loss: network cameras behind lossy_relay.py run with
# --insert and --late (nothing is lost: every frame is stored, none refused,
# the late copies are counted as such), --restart (nothing of the new sender
# is stored before its key frame) or --burst (every frame of the burst is
# counted, give or take the two that B-frames blur). The relay logs what it
# did to WORK/relay-CAMID.events.
BURST_SLACK = 2


def relay_events(work, camid):
    path = os.path.join(work, "relay-%d.events" % camid)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.split() for line in f if line.strip()]


def late_of(unit, camid):
    """Packets the camera received after their frame was judged."""
    status, body = unit.get("/debug/rtsp/buffer/")
    m = re.search(r"camid: %d, packets late[^:]*: (\d+)" % camid, body.decode("utf-8", "replace"))
    return int(m.group(1)) if status == 200 and m else 0


def check_relay(camera, unit, work, events):
    kinds = {e[0] for e in events}
    broken, counted = broken_of(work, camera.camid), dropframes_of(unit, camera.camid)
    refused, late = refused_of(unit, camera.camid), late_of(unit, camera.camid)
    print("     cam%d: relay %s; %d frames broken, dropframes=%d, %d refused, %d packets late"
          % (camera.camid, " ".join(sorted(kinds)), len(broken), counted, refused, late))
    if "insert" in kinds:
        inserted = {e[1] for e in events if e[0] == "insert"}
        if len(inserted) < 4:
            camera.faults.append("the relay inserted only %s: the case tests too little" % ", ".join(inserted))
        if not any(e[0] == "late" for e in events) or late == 0:
            camera.faults.append("no packet arrived late, or none was counted late")
        if camera.error_pages:
            camera.faults.append("%d frame pages answered the error page" % camera.error_pages)
        if counted or refused or broken:
            camera.faults.append("dropframes=%d, %d frames refused, %d broken: nothing was lost"
                                 % (counted, refused, len(broken)))
        stored = [camera.packet.get(n) for n in range(1, camera.frames + 1)]
        if stored != list(range(camera.frames)):
            missing = [j for j in range(camera.frames) if j not in stored]
            camera.faults.append("not every frame stored in order; packets not stored: %s" % missing[:10])
    if "restart" in kinds:
        if refused == 0:
            camera.faults.append("nothing of the restarted sender waited for a key frame: the case tests nothing")
        check_resumed(camera)
    if "burst" in kinds:
        if len(broken) < camera.gop - 5 or abs(counted - len(broken)) > BURST_SLACK:
            camera.faults.append("dropframes=%d for %d frames broken by a 1 s burst" % (counted, len(broken)))
        check_resumed(camera)
    check_senders(camera, kinds, events, counted, refused, late, broken)


# ---- Senders that stamp frames otherwise, late ends, a slow camera's copy:
# network cameras behind lossy_relay.py with --same-ts or --copy-frame
# (nothing is lost: every frame stored, none refused, the copy counted
# late), --drop-keys under --jitter or --slower (each key frame dropped is
# counted once, whatever the clock does) and --late-end (each frame whose
# end comes late is counted once, and its end late). long: 10 s, for key
# frames to drop; fps4: a camera at 4 frames a second, one group.
SENDER_STREAMS = {"long": {"fps": FPS, "seconds": 10}, "fps4": {"fps": 4, "seconds": 5}}


def make_sender_streams(work, generator):
    for name, p in SENDER_STREAMS.items():
        mp4, frames = os.path.join(work, name + ".mp4"), p["fps"] * p["seconds"]
        raw = subprocess.Popen([generator, str(WIDTH), str(HEIGHT), str(frames)], stdout=subprocess.PIPE)
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "rawvideo", "-pix_fmt", "gray", "-s",
                        "%dx%d" % (WIDTH, HEIGHT), "-r", str(p["fps"]), "-i", "-", "-c:v", "libx264", "-crf", "16",
                        "-g", str(GOP), "-keyint_min", str(GOP), "-sc_threshold", "0", "-profile:v", "baseline",
                        "-bf", "0", "-pix_fmt", "yuv420p", "-y", mp4], stdin=raw.stdout, check=True)
        raw.stdout.close()
        if raw.wait() != 0:
            sys.exit("numbered_frames failed")
        describe(work, name, mp4, frames, GOP)


def dropped_keys(work, camid):
    """The packets (decode order) of the key frames --drop-keys dropped."""
    return {int(e[1]) for e in relay_events(work, camid) if e[0] == "drop-key"}


def check_senders(camera, kinds, events, counted, refused, late, broken):
    """What the relay's --same-ts, --copy-frame, --drop-keys and --late-end
    must leave (see SENDER_STREAMS)."""
    if kinds & {"same-ts", "copy-frame"}:
        if counted or refused or broken:
            camera.faults.append("dropframes=%d, %d frames refused, %d broken: nothing was lost"
                                 % (counted, refused, len(broken)))
        stored = [camera.packet.get(n) for n in range(1, camera.frames + 1)]
        if stored != list(range(camera.frames)):
            camera.faults.append("not every frame stored in order; packets not stored: %s"
                                 % [j for j in range(camera.frames) if j not in stored][:10])
        # The copy comes about when its frame is judged: late, or a
        # duplicate in the open frame.
        if "copy-frame" in kinds and late > 1:
            camera.faults.append("%d packets late for the one copy" % late)
    for kind, least in (("drop-key", 5), ("late-end", 7)):
        n = sum(e[0] == kind for e in events)
        if kind not in kinds:
            continue
        if n < least or counted != n or len(broken) != n:
            camera.faults.append("dropframes=%d for %d %s events (%d frames broken)" % (counted, n, kind, len(broken)))
        if kind == "late-end" and late != n:
            camera.faults.append("%d packets late for %d frame ends held back" % (late, n))
        check_resumed(camera)


def main():
    what, work, *rest = sys.argv[1:] if len(sys.argv) > 3 else sys.exit(__doc__)
    if what == "streams":
        make_streams(work, rest[0])
    elif what == "config":
        config(work, rest[0], rest[1], rest[2:])
    else:
        sys.exit(0 if what == "check" and check(work, rest[0], rest[1], rest[2:]) else 1)


if __name__ == "__main__":
    main()

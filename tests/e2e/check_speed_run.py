#!/usr/bin/python3
"""Checks what one run of the unit on a generated speed scene left behind.

    check_speed_run.py synced --truth T --cfg C --dir A --dir B --collector D
                              --console F --tickets F --pubkey P --redbox BIN --work W

    check_speed_run.py console --truth T --cfg C --console F [--wait SECONDS]

synced: the clock was synchronised, so every vehicle at or above the action's
threshold has exactly one archive, the same bytes in every target directory
and at the collector, with the members, report and metadata of a speed
event; vehicles below it have none.

console: a run on an H.264 camera, whose frames the grey-frame evidence
refuses: one speed line per vehicle, within 3% of the truth, and every
vehicle the action records ends in "[ERR] invalid frametype: <plate>". With
--wait, the console is read again until those lines are all there or the
seconds ran out (the unit is still running).

Prints one line per check ("ok" or "FAIL") and exits 1 when any failed.
"""

import argparse
import hashlib
import io
import json
import os
import re
import subprocess
import sys
import tarfile
import time
import xml.etree.ElementTree as ET

MEMBERS = ["m.jpg", "plate.jpg", "big.jpg", "angel.xml", "signature.sign", "kovira.json"]
SPEED_TOLERANCE = 0.03
CORNER_TOLERANCE = 2.0
# The red box surrounds the plate at this distance (frame pixels).
BOX_MARGIN = 20
CYRILLIC = dict(zip("ABEKMHOPCTYX", "АВЕКМНОРСТУХ"))

failures = []


def check(ok, what, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok or not detail else ": " + detail))
    if not ok:
        failures.append(what)
    return ok


def load_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def section(cfg, kind):
    return next(s for s in cfg if s.get("type") == kind)


def expected_events(truth, action):
    """Plates the action must record, and plates it must not."""
    threshold = action.get("threshold", 0)
    direction = action.get("direction", 0)
    uplimit = action.get("uplimit", 0)
    record, skip = [], []
    for v in truth["vehicles"]:
        hit = v["kmh"] >= threshold and direction in (0, v["direction"]) and (uplimit == 0 or v["kmh"] <= uplimit)
        (record if hit else skip).append(v)
    return record, skip


def archives(folder):
    if not os.path.isdir(folder):
        return {}
    out = {}
    for name in sorted(os.listdir(folder)):
        if name.endswith(".tar"):
            with open(os.path.join(folder, name), "rb") as f:
                out[name] = f.read()
    return out


def uploads(collector):
    path = os.path.join(collector, "requests.jsonl")
    if not os.path.exists(path):
        return []
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            r = json.loads(line)
            if r["path"] == "/upload.php":
                with open(os.path.join(collector, "bodies", r["body"]), "rb") as b:
                    r["bytes"] = b.read()
                out.append(r)
    return out


def members(data):
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:") as t:
        return [(m.name, t.extractfile(m).read()) for m in t.getmembers()]


def xml_field(root, name):
    node = next(root.iter(name), None)
    return None if node is None else (node.text or "")


def plate_corners(redbox, jpeg_path, plate_w, plate_h):
    """Plate corners in the collage from the red box's stroke centres. The box
    lies BOX_MARGIN frame pixels outside the plate and its strokes are centred
    on the box's first and last pixel rows and columns, so in frame pixels the
    stroke centres are 2 * BOX_MARGIN - 1 further apart than the plate's
    sides; the collage scales all of it alike."""
    out = subprocess.run([redbox, jpeg_path], capture_output=True, text=True)
    if out.returncode != 0:
        return None, out.stderr.strip()
    top, bottom, left, right = map(float, out.stdout.split())
    span = 2 * BOX_MARGIN - 1
    scale = ((right - left) / (plate_w + span) + (bottom - top) / (plate_h + span)) / 2
    l, t = left + BOX_MARGIN * scale, top + BOX_MARGIN * scale
    r, b = right - (BOX_MARGIN - 1) * scale, bottom - (BOX_MARGIN - 1) * scale
    return [(l, t), (l, b), (r, t)], "box %.1f,%.1f..%.1f,%.1f scale %.3f" % (left, top, right, bottom, scale)


def check_archive(name, data, vehicle, truth, a, work):
    got = members(data)
    names = [n for n, _ in got]
    check(names == MEMBERS, name + ": members in order", " ".join(names))
    files = dict(got)
    plate = vehicle["plate"]

    meta = json.loads(files.get("kovira.json", b"{}").decode("utf-8", "replace") or "{}")
    spd = meta.get("spd")
    check(isinstance(spd, int) and abs(spd - vehicle["kmh"]) <= SPEED_TOLERANCE * vehicle["kmh"],
          name + ": kovira.json spd within 3%% of %g" % vehicle["kmh"], "spd %r" % spd)
    check(meta.get("txt") == plate, name + ": kovira.json txt " + plate, "txt %r" % meta.get("txt"))
    check(meta.get("type") == "speed", name + ": kovira.json type speed", "type %r" % meta.get("type"))

    try:
        root = ET.fromstring(files.get("angel.xml", b""))
    except ET.ParseError as e:
        check(False, name + ": angel.xml parses", str(e))
        return
    check(xml_field(root, "nOverSpeed") == "1", name + ": angel.xml nOverSpeed 1",
          "%r" % xml_field(root, "nOverSpeed"))
    cyr = "".join(CYRILLIC.get(c, c) for c in plate)
    check(xml_field(root, "tLicenseNumber") == cyr, name + ": angel.xml tLicenseNumber " + cyr,
          "%r" % xml_field(root, "tLicenseNumber"))

    jpeg = os.path.join(work, name + ".m.jpg")
    with open(jpeg, "wb") as f:
        f.write(files.get("m.jpg", b""))
    corners, how = plate_corners(a.redbox, jpeg, truth["plate"]["width"], truth["plate"]["height"])
    if check(corners is not None, name + ": red box found in m.jpg", how):
        for i, (x, y) in enumerate(corners, 1):
            fx, fy = xml_field(root, "nRectNumX%d" % i), xml_field(root, "nRectNumY%d" % i)
            ok = fx is not None and fy is not None and re.fullmatch(r"-?\d+", fx) and re.fullmatch(r"-?\d+", fy) \
                and abs(int(fx) - x) <= CORNER_TOLERANCE and abs(int(fy) - y) <= CORNER_TOLERANCE
            check(ok, name + ": nRectNumX%d/Y%d on the plate corner (%.1f, %.1f)" % (i, i, x, y),
                  "report (%s, %s); %s" % (fx, fy, how))

    signed = os.path.join(work, name + ".signed")
    sig = os.path.join(work, name + ".sign")
    with open(signed, "wb") as f:
        f.write(files.get("angel.xml", b"") + files.get("m.jpg", b""))
    with open(sig, "wb") as f:
        f.write(files.get("signature.sign", b""))
    out = subprocess.run(["openssl", "dgst", "-sha1", "-verify", a.pubkey, "-signature", sig, signed],
                         capture_output=True, text=True)
    check(out.stdout.strip() == "Verified OK", name + ": signature over angel.xml + m.jpg verifies",
          (out.stdout + out.stderr).strip())


def synced(a, truth, action):
    record, skip = expected_events(truth, action)
    per_dir = [archives(d) for d in a.dir]
    first = per_dir[0]
    check(len(first) == len(record), "%d archive(s) in %s" % (len(record), a.dir[0]),
          "found %d: %s" % (len(first), " ".join(first)))
    for d, got in zip(a.dir[1:], per_dir[1:]):
        check(got == first, "the same archives, byte for byte, in " + d,
              "names %s vs %s" % (sorted(got), sorted(first)))

    sent = uploads(a.collector)
    check(len(sent) == len(record), "%d upload(s) at the collector" % len(record), "got %d" % len(sent))
    stored = {hashlib.md5(b).hexdigest(): n for n, b in first.items()}
    for r in sent:
        md5 = hashlib.md5(r["bytes"]).hexdigest()
        check(r["headers"].get("x-hash") == md5, "upload %d: X-Hash is the MD5 of its body" % r["n"],
              "x-hash %r, body %s" % (r["headers"].get("x-hash"), md5))
        check(md5 in stored, "upload %d: the bytes of a stored archive" % r["n"])

    by_plate = {}
    for name, data in first.items():
        try:
            meta = json.loads(dict(members(data)).get("kovira.json", b"{}"))
        except (tarfile.TarError, ValueError) as e:
            check(False, name + ": readable archive with kovira.json", str(e))
            continue
        by_plate.setdefault(meta.get("txt"), []).append((name, data))
    for v in record:
        got = by_plate.get(v["plate"], [])
        if check(len(got) == 1, "one archive for %s at %g km/h" % (v["plate"], v["kmh"]), "got %d" % len(got)):
            check_archive(got[0][0], got[0][1], v, truth, a, a.work)
    for v in skip:
        check(v["plate"] not in by_plate, "no archive for %s at %g km/h" % (v["plate"], v["kmh"]))

    with open(a.console, encoding="utf-8", errors="replace") as f:
        console = f.read()
    for v in truth["vehicles"]:
        check("[SPD] (speed) [num=%s, speed=" % v["plate"] in console, "speed measured for " + v["plate"])

    with open(a.tickets, encoding="utf-8", errors="replace") as f:
        page = f.read()
    for v in record:
        check("<td>%s</td><td>speed</td>" % v["plate"] in page, "passage of %s on /debug/tickets/" % v["plate"])


SPD_LINE = re.compile(r"^\[SPD\] \(speed\) \[num=([^,]*), speed=([^,]*),", re.M)


def console(a, truth, action):
    record, _ = expected_events(truth, action)
    refused = ["[ERR] invalid frametype: %s\n" % v["plate"] for v in record]
    deadline = time.monotonic() + (a.wait or 0)
    while True:
        with open(a.console, encoding="utf-8", errors="replace") as f:
            text = f.read()
        speeds = {}
        for plate, speed in SPD_LINE.findall(text):
            speeds.setdefault(plate, []).append(speed)
        done = all(v["plate"] in speeds for v in truth["vehicles"]) and all(r in text for r in refused)
        if done or time.monotonic() >= deadline:
            break
        time.sleep(1)
    for v in truth["vehicles"]:
        got = speeds.get(v["plate"], [])
        if check(len(got) == 1, "one speed line for %s" % v["plate"], "got %r" % got):
            try:
                kmh = float(got[0])
            except ValueError:
                kmh = -1
            check(abs(kmh - v["kmh"]) <= SPEED_TOLERANCE * v["kmh"],
                  "%s: %s km/h within 3%% of %g" % (v["plate"], got[0], v["kmh"]))
    for v, line in zip(record, refused):
        check(line in text, "%s ends in \"%s\"" % (v["plate"], line.strip()))


def main():
    p = argparse.ArgumentParser(description="checks of a unit run on a speed scene")
    p.add_argument("mode", choices=("synced", "console"))
    p.add_argument("--truth", required=True)
    p.add_argument("--cfg", required=True)
    p.add_argument("--dir", action="append")
    p.add_argument("--collector")
    p.add_argument("--console", required=True)
    p.add_argument("--tickets")
    p.add_argument("--pubkey")
    p.add_argument("--redbox")
    p.add_argument("--work", default=".")
    p.add_argument("--wait", type=float)
    a = p.parse_args()
    if a.mode == "synced" and (not a.dir or not a.collector):
        p.error("synced needs --dir and --collector")
    truth = load_json(a.truth)
    action = section(load_json(a.cfg), "action")
    (synced if a.mode == "synced" else console)(a, truth, action)
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

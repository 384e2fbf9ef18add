#!/usr/bin/python3
"""Checks what one run of the unit on a generated scene left behind.

    check_module_run.py synced [--module M] --truth T --cfg C --dir A [--dir B] --collector D --console F
        [--tickets F | --pages DIR] [--pubkey P] [--work W] [--feedback D] [--home H]
        [--expect-none]

synced: the clock was synchronised, so every vehicle the module's rule (a row
of MODULES) picks has exactly one archive of the module's type, the same bytes
in every target directory and at the collector, readable by GNU tar, Python's
tarfile and xmllint, signed where the row says so, with the row's members,
report fields and metadata; the other vehicles have none (--expect-none: no
vehicle has one). Pages read after the scene lie in DIR as the route without
slashes ("/debug/mask/" -> debugmask.html).

    check_module_run.py console --truth T --cfg C --console F [--wait SECONDS]

console: a speed run on an H.264 camera, whose frames the grey-frame evidence
refuses: one speed line per vehicle within 3% of the truth, and "[ERR] invalid
frametype: <plate>" for each vehicle the action records; --wait reads the
console again until those lines are there or the time ran out.

    check_module_run.py compare --truth T --cfg C --console F --other G [--within FRACTION]

compare: two runs of the same scene (say a raw file and the MP4 of the same
stream): one speed line per vehicle in each, within FRACTION (0.005) of each
other.

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

SPEEDER = ["m.jpg", "plate.jpg", "big.jpg", "angel.xml", "signature.sign", "kovira.json"]
BUS_TEXTS = ["RR-2001", " RU-2002", "2020-12-31"]
COORDS = "55.751244,37.618423"  # the site, latitude first, as the driver configures it
THREE_PHOTO = {"nTZOffset": "+-3.00", "tRadarName": "СВФ Ковира", "tCertificateNumber": "",
               "tCertificateExpDate": "", "tApprovalCertificateNumber": "", "tApprovalCertificateExpDate": "",
               "tGpsPos": "(%s)" % COORDS}
LISTED_BUS = "A123BC77"  # the allow-list the driver serves


def speeding(v, action):
    uplimit = action.get("uplimit", 0)
    return v["kmh"] >= action.get("threshold", 0) and action.get("direction", 0) in (0, v["direction"]) \
        and (uplimit == 0 or v["kmh"] <= uplimit)


def masked(v):
    """The plate matches the country's mask: letter, 3 digits, 2 letters, region."""
    return re.fullmatch(r"[ABEKMHOPCTYX]\d{3}[ABEKMHOPCTYX]{2}\d{2,3}", v["plate"]) is not None


# One row per module: the vehicles it records (vehicle, the module's action),
# the archive's members in order, "type" in kovira.json, the report field set
# to 1 (None: no report), texts the report holds byte for byte (anywhere, or
# as the named fields), metadata
# keys it must and must not have; "redbox": the plate corners are checked
# against the red box; "speed": the measured speed goes in "spd".
MODULES = {
    "speed": dict(record=speeding, members=SPEEDER, type="speed", field="nOverSpeed", redbox=True, speed=True),
    "speed-kormelino": dict(record=speeding, members=["m.jpg", "plate.jpg", "big.jpg", "angel.xml", "kovira.json"],
                            type="speed", field="nOverSpeed", xml=THREE_PHOTO, meta=["spdlim"], speed=True),
    "wrongdir": dict(record=lambda v, a: v["direction"] == a.get("direction"), members=["m.jpg", "angel.xml",
                     "kovira.json"], type="wrongdir", field="nWrongDirection", speed=True),
    "busline": dict(record=lambda v, a: a.get("zoneA") in v["zones"], members=["m.jpg", "big.jpg", "angel.xml",
                    "kovira.json"], type="busline", field="nWrongLine", texts=BUS_TEXTS, nometa=["spd"],
                    noxml=["nDisplaySpeed", "nSpeedThreshold"]),
    "busline-kormelino": dict(record=lambda v, a: a.get("zoneA") in v["zones"] and v["plate"] != LISTED_BUS,
                              members=["m.jpg", "plate.jpg", "big.jpg", "kovira.json"], type="busline", field=None),
    "carflow": dict(record=lambda v, a: True, members=["m.jpg", "plate.jpg", "kovira.json", "angel.xml"],
                    type="carflow", field=None, meta=["timesync"]),
    "trackdump": dict(record=lambda v, a: False),
    "maskfind": dict(record=lambda v, a: False),
    "postframe": dict(record=lambda v, a: False),
}

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
    return json.loads(read(path))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def archives(folder):
    names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    return {n: read(os.path.join(folder, n)) for n in names if n.endswith(".tar")}


def requests(collector, path=None):
    """What the collector in the folder received (to PATH), each with its body's "bytes"."""
    log = os.path.join(collector, "requests.jsonl")
    out = [json.loads(line) for line in read(log).decode("utf-8").splitlines()] if os.path.exists(log) else []
    out.sort(key=lambda r: r["n"])  # written when answered: arrival order is n
    for r in out:
        r["bytes"] = read(os.path.join(collector, "bodies", r["body"]))
    return [r for r in out if path in (None, r["path"])]


def members(data):
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:") as t:
        return [(m.name, t.extractfile(m).read()) for m in t.getmembers()]


def xml_field(root, name):
    node = next(root.iter(name), None)
    return None if node is None else (node.text or "")


def plate_corners(jpeg_path, plate_w, plate_h):
    """Plate corners in the collage from the red box's stroke centres. The box
    lies BOX_MARGIN frame pixels outside the plate and its strokes are centred
    on the box's first and last pixel rows and columns, so in frame pixels the
    stroke centres are 2 * BOX_MARGIN - 1 further apart than the plate's
    sides; the collage scales all of it alike."""
    from picture_checks import redbox_strokes  # OpenCV only where a box is looked for
    strokes, how = redbox_strokes(jpeg_path)
    if strokes is None:
        return None, how
    top, bottom, left, right = strokes
    span = 2 * BOX_MARGIN - 1
    scale = ((right - left) / (plate_w + span) + (bottom - top) / (plate_h + span)) / 2
    l, t = left + BOX_MARGIN * scale, top + BOX_MARGIN * scale
    r, b = right - (BOX_MARGIN - 1) * scale, bottom - (BOX_MARGIN - 1) * scale
    return [(l, t), (l, b), (r, t)], "box %.1f,%.1f..%.1f,%.1f scale %.3f" % (left, top, right, bottom, scale)


def readable(name, data, work):
    """GNU tar and xmllint read the archive as the collection server does."""
    path = write(os.path.join(work, name), data)
    out = subprocess.run(["tar", "-tvf", path], capture_output=True, text=True)
    check(out.returncode == 0 and not out.stderr, name + ": GNU tar -tvf lists it", out.stderr.strip())
    files = dict(members(data))
    if "angel.xml" in files:
        xml = write(path + ".angel.xml", files["angel.xml"])
        out = subprocess.run(["xmllint", "--noout", xml], capture_output=True, text=True)
        check(out.returncode == 0, name + ": xmllint --noout angel.xml", out.stderr.strip())


def check_archive(name, data, vehicle, truth, a, row):
    work = a.work
    readable(name, data, work)
    got = members(data)
    names = [n for n, _ in got]
    check(names == row["members"], name + ": members in order", " ".join(names))
    files = dict(got)
    plate = vehicle["plate"]

    meta = json.loads(files.get("kovira.json", b"{}").decode("utf-8", "replace") or "{}")
    if row.get("speed"):
        spd = meta.get("spd")
        check(isinstance(spd, int) and abs(spd - vehicle["kmh"]) <= SPEED_TOLERANCE * vehicle["kmh"],
              name + ": kovira.json spd within 3%% of %g" % vehicle["kmh"], "spd %r" % spd)
    check(meta.get("txt") == plate, name + ": kovira.json txt " + plate, "txt %r" % meta.get("txt"))
    check(meta.get("type") == row["type"], name + ": kovira.json type " + row["type"], "type %r" % meta.get("type"))
    for key in row.get("meta", []):
        check(key in meta, name + ": kovira.json has " + key, " ".join(meta))
    for key in row.get("nometa", []):
        check(key not in meta, name + ": kovira.json has no " + key, "%r" % meta.get(key))

    if "angel.xml" in row["members"]:
        text = files.get("angel.xml", b"").decode("utf-8", "replace")
        for t in row.get("texts", []):
            check(">%s<" % t in text, name + ": angel.xml holds %r" % t)
        try:
            root = ET.fromstring(files.get("angel.xml", b""))
        except ET.ParseError as e:
            check(False, name + ": angel.xml parses", str(e))
            return
        want = dict(row.get("xml", {}), tLicenseNumber="".join(CYRILLIC.get(c, c) for c in plate))
        want.update({row["field"]: "1"} if row.get("field") else {})
        want.update({field: None for field in row.get("noxml", [])})
        for field, value in want.items():
            check(xml_field(root, field) == value, name + ": angel.xml %s %r" % (field, value),
                  "%r" % xml_field(root, field))
        if row.get("redbox"):
            check_corners(name, files, root, truth, a)

    if "signature.sign" in row["members"]:
        signed = write(os.path.join(work, name + ".signed"), files.get("angel.xml", b"") + files.get("m.jpg", b""))
        sig = write(os.path.join(work, name + ".sign"), files.get("signature.sign", b""))
        out = subprocess.run(["openssl", "dgst", "-sha1", "-verify", a.pubkey, "-signature", sig, signed],
                             capture_output=True, text=True)
        check(out.stdout.strip() == "Verified OK", name + ": signature over angel.xml + m.jpg verifies",
              (out.stdout + out.stderr).strip())


def check_corners(name, files, root, truth, a):
    jpeg = write(os.path.join(a.work, name + ".m.jpg"), files.get("m.jpg", b""))
    corners, how = plate_corners(jpeg, truth["plate"]["width"], truth["plate"]["height"])
    if check(corners is not None, name + ": red box found in m.jpg", how):
        for i, (x, y) in enumerate(corners, 1):
            fx, fy = xml_field(root, "nRectNumX%d" % i), xml_field(root, "nRectNumY%d" % i)
            ok = fx is not None and fy is not None and re.fullmatch(r"-?\d+", fx) and re.fullmatch(r"-?\d+", fy) \
                and abs(int(fx) - x) <= CORNER_TOLERANCE and abs(int(fy) - y) <= CORNER_TOLERANCE
            check(ok, name + ": nRectNumX%d/Y%d on the plate corner (%.1f, %.1f)" % (i, i, x, y),
                  "report (%s, %s); %s" % (fx, fy, how))


def archives_by_type(first):
    """Archives of the first directory by kovira.json type, then plate."""
    out = {}
    for name, data in first.items():
        try:
            meta = json.loads(dict(members(data)).get("kovira.json", b"{}"))
        except (tarfile.TarError, ValueError) as e:
            check(False, name + ": readable archive with kovira.json", str(e))
            continue
        out.setdefault(meta.get("type"), {}).setdefault(meta.get("txt"), []).append((name, data))
    return out


def synced(a, truth, cfg):
    row = MODULES[a.module]
    action = next(s for s in cfg if s.get("type") == "action" and s.get("method") == a.module)
    record = [v for v in truth["vehicles"] if not a.expect_none and row["record"](v, action)]
    # Car flow runs after speed: a speeder's group already has its evidence.
    speed = next((s for s in cfg if s.get("type") == "action" and s.get("method") == "speed"), None)
    speeders = [v for v in truth["vehicles"] if speed is not None and speeding(v, speed)]
    if a.module == "carflow":
        record = [v for v in record if v not in speeders]
    expected = len(record) + (len(speeders) if a.module != "speed" else 0)

    per_dir = [archives(d) for d in a.dir]
    first = per_dir[0]
    check(len(first) == expected, "%d archive(s) in %s" % (expected, a.dir[0]),
          "found %d: %s" % (len(first), " ".join(first)))
    for d, got in zip(a.dir[1:], per_dir[1:]):
        check(got == first, "the same archives, byte for byte, in " + d,
              "names %s vs %s" % (sorted(got), sorted(first)))
    sent = requests(a.collector, "/upload.php")
    check(len(sent) == expected, "%d upload(s) at the collector" % expected, "got %d" % len(sent))
    stored = {hashlib.md5(b).hexdigest(): n for n, b in first.items()}
    for r in sent:
        md5 = hashlib.md5(r["bytes"]).hexdigest()
        check(r["headers"].get("x-hash") == md5, "upload %d: X-Hash is the MD5 of its body" % r["n"],
              "x-hash %r, body %s" % (r["headers"].get("x-hash"), md5))
        check(md5 in stored, "upload %d: the bytes of a stored archive" % r["n"])

    by_type = archives_by_type(first)
    mine = by_type.get(row.get("type"), {})
    for v in record:
        got = mine.get(v["plate"], [])
        if check(len(got) == 1, "one %s archive for %s" % (a.module, v["plate"]), "got %d" % len(got)):
            check_archive(got[0][0], got[0][1], v, truth, a, row)
    for v in truth["vehicles"]:
        if v not in record:
            check(v["plate"] not in mine, "no %s archive for %s" % (a.module, v["plate"]))
    for v in speeders if a.module == "carflow" else []:
        got = by_type.get("speed", {}).get(v["plate"], [])
        if check(len(got) == 1, "the speeder %s has its speed archive only" % v["plate"], "got %d" % len(got)):
            check_archive(got[0][0], got[0][1], v, truth, a, MODULES["speed"])

    console = read(a.console).decode("utf-8", "replace")
    # Speed reports every measurement, its deployment variant only a violation.
    if a.module == "speed":
        check_speed_lines(console, truth)
    if a.module == "speed-kormelino":
        for v in truth["vehicles"]:
            check(("[SPD] [num=%s, speed=" % v["plate"] in console) == (v in record),
                  "a speed line for %s only if it is recorded" % v["plate"])
    if a.module == "speed":
        page = read_page(a, "/debug/tickets/")
        for v in record:
            check("<td>%s</td><td>speed</td>" % v["plate"] in page, "passage of %s on /debug/tickets/" % v["plate"])
    extra = globals().get("check_" + a.module.replace("-", "_"))
    if extra and not a.expect_none:
        extra(a, truth, action, record)


# FFmpeg writes its log line's prefix ("[h264 @ 0x55d0c3a1e2c0] ") and its
# message to stderr in separate writes: on a busy machine the unit's line,
# written to the same console between the two, follows the prefix.
SPD_LINE = re.compile(r"^(?:\[\w+ @ 0x[0-9a-f]+\] )?\[SPD\] \(speed\) \[num=([^,]*), speed=([^,]*),", re.M)


def speed_lines(text):
    """The speeds the console reports, per plate, in order."""
    speeds = {}
    for plate, speed in SPD_LINE.findall(text):
        speeds.setdefault(plate, []).append(speed)
    return speeds


def check_speed_lines(text, truth):
    """One speed line per vehicle, within 3% of its true speed."""
    speeds = speed_lines(text)
    for v in truth["vehicles"]:
        got = speeds.get(v["plate"], [])
        if check(len(got) == 1, "one speed line for %s" % v["plate"], "got %r" % got):
            kmh = float(got[0]) if re.fullmatch(r"[0-9.]+", got[0]) else -1
            check(abs(kmh - v["kmh"]) <= SPEED_TOLERANCE * v["kmh"],
                  "%s: %s km/h within 3%% of %g" % (v["plate"], got[0], v["kmh"]))


def console(a, truth, cfg):
    action = next(s for s in cfg if s.get("type") == "action" and s.get("method") == "speed")
    refused = ["[ERR] invalid frametype: %s\n" % v["plate"] for v in truth["vehicles"] if speeding(v, action)]
    deadline = time.monotonic() + (a.wait or 0)
    while True:
        text = read(a.console).decode("utf-8", "replace")
        speeds = speed_lines(text)
        if all(v["plate"] in speeds for v in truth["vehicles"]) and all(r in text for r in refused) \
                or time.monotonic() >= deadline:
            break
        time.sleep(1)
    check_speed_lines(text, truth)
    for line in refused:
        check(line in text, "\"%s\" in the console" % line.strip())


def compare(a, truth, cfg):
    """One speed per vehicle in this run (--console) and in another of the
    same scene (--other), the two within --within (a fraction) of each other."""
    mine, other = (speed_lines(read(path).decode("utf-8", "replace")) for path in (a.console, a.other))
    for v in truth["vehicles"]:
        got, ref = mine.get(v["plate"], []), other.get(v["plate"], [])
        if check(len(got) == 1 and len(ref) == 1, "one speed line for %s in each run" % v["plate"],
                 "got %r and %r" % (got, ref)):
            kmh, ref_kmh = (float(x) if re.fullmatch(r"[0-9.]+", x) else -1 for x in (got[0], ref[0]))
            check(ref_kmh > 0 and abs(kmh - ref_kmh) <= a.within * ref_kmh,
                  "%s: %s km/h within %g%% of %s" % (v["plate"], got[0], a.within * 100, ref[0]))


def read_page(a, route):
    path = a.tickets if a.tickets and route == "/debug/tickets/" else \
        os.path.join(a.pages or a.work, route.replace("/", "") + ".html")
    return read(path).decode("utf-8", "replace") if check(os.path.exists(path), route + " was read") else ""


def main():
    p = argparse.ArgumentParser(description="checks of a unit run on a generated scene")
    p.add_argument("mode", choices=("synced", "console", "compare"))
    p.add_argument("--module", default="speed", choices=sorted(MODULES))
    p.add_argument("--truth", required=True)
    p.add_argument("--cfg", required=True)
    p.add_argument("--dir", action="append")
    p.add_argument("--console", required=True)
    p.add_argument("--work", default=".")
    for name in ("collector", "tickets", "pages", "pubkey", "feedback", "home"):
        p.add_argument("--" + name)
    p.add_argument("--expect-none", action="store_true")
    p.add_argument("--wait", type=float)
    p.add_argument("--other", help="compare: the console of the run compared with")
    p.add_argument("--within", type=float, default=0.005, help="compare: the largest difference, a fraction")
    a = p.parse_args()
    if a.mode == "synced" and (not a.dir or not a.collector):
        p.error("synced needs --dir and --collector")
    if a.mode == "compare" and not a.other:
        p.error("compare needs --other")
    {"synced": synced, "console": console, "compare": compare}[a.mode](a, load_json(a.truth), load_json(a.cfg))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


# Module checks beyond the archives, found by name: check_<module>.

def dqt_tables(jpeg):
    """The quantisation tables of a baseline JPEG, in file (zig-zag) order."""
    tables, i = [], 2
    while i + 4 <= len(jpeg) and jpeg[i] == 0xFF and jpeg[i + 1] not in (0xD9, 0xDA):
        length = int.from_bytes(jpeg[i + 2:i + 4], "big")
        if jpeg[i + 1] == 0xDB:
            seg, j = jpeg[i + 4:i + 2 + length], 0
            while j + 65 <= len(seg) and seg[j] >> 4 == 0:
                tables.append(list(seg[j + 1:j + 65]))
                j += 65
        i += 2 + length
    return tables


def luma_table(quality):
    """The IJG luminance table (Annex K scaled as libjpeg scales it), zig-zag order."""
    lum = [16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40, 26, 24, 22, 22, 24, 49, 35, 37, 29, 40,
           58, 51, 61, 60, 57, 51, 56, 55, 64, 72, 92, 78, 64, 68, 87, 69, 55, 56, 80, 109, 81, 87, 95, 98, 103, 104,
           103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99]
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    return [min(255, max(1, (q * scale + 50) // 100)) for q in lum]


def tickets_rows(page):
    return re.findall(r"<tr([^>]*)><td>\d+</td><td>([^<]*)</td><td>([^<]*)</td><td>[^<]*</td><td>[YN]</td>"
                      r"<td>([^<]*)</td>", page)


def check_carflow(a, truth, action, record):
    letters = {2: "B", 3: "C", 4: "L", 5: "M", 6: "T"}
    rows = tickets_rows(read_page(a, "/debug/tickets/"))
    for v in truth["vehicles"]:
        mine = [r for r in rows if r[1] == v["plate"]]
        check(len(mine) == 1 and mine[0][3] == letters.get(v["class"], ""),
              "one passage of %s with class %s" % (v["plate"], letters.get(v["class"], "-")), "%r" % mine)
        if mine and mine[0][2] == "carflow":
            check(("#ffffa0" in mine[0][0]) == (not masked(v)),
                  "%s is highlighted only when its plate is unmasked" % v["plate"], mine[0][0])
    for name, data in archives(a.dir[0]).items():
        files = dict(members(data))
        if json.loads(files["kovira.json"]).get("type") != "carflow":
            continue
        check(json.loads(files["kovira.json"]).get("timesync") == 1, name + ": kovira.json timesync 1")
        check(dqt_tables(files["m.jpg"])[:1] == [luma_table(30)],
              name + ": m.jpg has the quality-30 tables (quality 0)")


def check_busline(a, truth, action, record):
    # A bus-lane passage is a record of who drove there, no violation mark:
    # its row is not pink (alert) on the passages page.
    rows = tickets_rows(read_page(a, "/debug/tickets/"))
    for v in record:
        mine = [r for r in rows if r[1] == v["plate"] and r[2] == "busline"]
        if check(len(mine) == 1, "one busline passage of %s on /debug/tickets/" % v["plate"], "%r" % mine):
            check("#ffdddd" not in mine[0][0], "the passage of %s is not marked as a violation" % v["plate"],
                  mine[0][0])


check_busline_kormelino = check_busline


def check_maskfind(a, truth, action, record):
    shapes = {}
    for v in truth["vehicles"]:
        if not masked(v):
            shape = "".join("N" if c.isdigit() else "s" for c in v["plate"])
            shapes[shape] = shapes.get(shape, 0) + 1
    rows = "".join("<tr><td>%s</td><td>%d</td></tr>" % kv for kv in sorted(shapes.items(), key=lambda kv: -kv[1]))
    want = ("<h1>Mask collect</h1><table class=bordertable><tr><td>mask</td><td>count</td></tr>" + rows +
            "</table><style>\n.bordertable {border-collapse: collapse; margin: 10px 0;}\n"
            ".bordertable TD {border: 1px solid #999; padding: 5px 7px; margin: 0;}\n</style>")
    page = read_page(a, "/debug/mask/")
    check(page == want, "/debug/mask/ byte for byte (%s)" % rows, page)


def check_postframe(a, truth, action, record):
    posts = requests(a.feedback)
    if not check(len(posts) == 1 and posts[0]["path"] == "/feedback.php" and posts[0]["method"] == "POST",
                 "one POST to /feedback.php", "%r" % [(p["method"], p["path"]) for p in posts]):
        return
    body = posts[0]["bytes"]
    check(posts[0]["headers"].get("x-hash") == hashlib.md5(body).hexdigest(), "the feedback POST has its X-Hash")
    readable("feedback.tar", body, a.work)
    got = members(body)
    check([n for n, _ in got] == ["frame.png", "kovira.json"], "the feedback tar holds frame.png, kovira.json",
          " ".join(n for n, _ in got))
    meta = json.loads(dict(got).get("kovira.json", b"{}"))
    unmasked = [v["plate"] for v in truth["vehicles"] if not masked(v)]
    check(meta.get("version") == 1 and meta.get("tag") == "e2e", "feedback kovira.json version 1, tag e2e",
          "%r %r" % (meta.get("version"), meta.get("tag")))
    check(meta.get("txt") in unmasked, "the feedback frame is of an unmasked plate", "%r" % meta.get("txt"))
    page = read_page(a, "/debug/postframe/")
    check("status: BUSY" in page and "name=tag value=\"\"" in page, "/debug/postframe/ shows BUSY and no tag")


def check_trackdump(a, truth, action, record):
    folder = os.path.join(a.home, "trackdump")
    dumps = {}
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        text = read(os.path.join(folder, name)).decode("utf-8")
        check(re.fullmatch(r"\d+-\d+\.json", name) is not None, name + ": named <startup>-<trackid>.json")
        pairs = []
        dump = json.loads(text, object_pairs_hook=lambda kv: pairs.append([k for k, _ in kv]) or dict(kv))
        check(all(keys == sorted(keys) for keys in pairs) and text.startswith("{\n    \""),
              name + ": keys sorted, indent 4")
        check(name.endswith("-%d.json" % dump.get("trackid", -1)), name + ": its trackid")
        dumps.setdefault(dump.get("txt"), []).append((name, dump))
    for v in truth["vehicles"]:
        inside = action.get("zoneA") in v["zones"]
        got = dumps.get(v["plate"], [])
        if not check(len(got) == (1 if inside else 0), "%d dump(s) for %s" % (inside, v["plate"]), "%d" % len(got)):
            continue
        for name, dump in got:
            boxes = {tuple(f["box"]): f["text"] for f in v["frames"]}
            wrong = [e for e in dump["frames"] if boxes.get((e["x"], e["y"], e["w"], e["h"])) != e["text"]]
            check(not wrong and dump["frames"], name + ": texts and boxes as the truth", "%r" % wrong[:2])


if __name__ == "__main__":
    sys.exit(main())

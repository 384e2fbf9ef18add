#!/usr/bin/python3
"""The demo's result table: for every vehicle of the scene its true speed,
the speed the unit measured, whether it made evidence (and whether it
should have), where the archive is and what the collector received.

    demo_report.py --truth T --cfg C --console F --top DIR [--collector D]

The target directories come from the action in C; paths are printed
relative to --top. Exits 1 when the outcome differs from what the action's
threshold asks for, so the last line says at once whether the demo worked.
"""

import argparse
import hashlib
import io
import json
import os
import re
import sys
import tarfile

SPEED_TOLERANCE = 0.03
WAYS = {1: "towards", 2: "away"}


def load_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def section(cfg, kind):
    return next(s for s in cfg if s.get("type") == kind)


def archives(folder):
    """name -> (bytes, kovira.json object or None)"""
    out = {}
    if not os.path.isdir(folder):
        return out
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".tar"):
            continue
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        meta = None
        try:
            with tarfile.open(fileobj=io.BytesIO(data), mode="r:") as t:
                member = t.extractfile("kovira.json")
                meta = json.loads(member.read()) if member else None
        except (tarfile.TarError, KeyError, ValueError):
            pass
        out[name] = (data, meta)
    return out


def received(collector):
    """MD5 of every upload body -> whether its X-Hash header matched."""
    out = {}
    path = os.path.join(collector, "requests.jsonl") if collector else ""
    if not path or not os.path.exists(path):
        return out
    with open(path, encoding="utf-8") as f:
        for line in f:
            r = json.loads(line)
            if r.get("path") != "/upload.php":
                continue
            with open(os.path.join(collector, "bodies", r["body"]), "rb") as b:
                md5 = hashlib.md5(b.read()).hexdigest()
            out[md5] = r.get("headers", {}).get("x-hash") == md5 and r.get("status") == 200
    return out


def console_speeds(path):
    """Plate -> speed from the unit's "[SPD] (speed) [num=..., speed=...," lines."""
    out = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for m in re.finditer(r"^\[SPD\] \(speed\) \[num=([^,]*), speed=([^,]*),", f.read(), re.M):
            out[m.group(1)] = m.group(2)
    return out


def table(rows):
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    for k, r in enumerate(rows):
        print("  " + "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
        if k == 0:
            print("  " + "  ".join("-" * w for w in widths))


def main():
    p = argparse.ArgumentParser(description="result table of the demo")
    p.add_argument("--truth", required=True)
    p.add_argument("--cfg", required=True)
    p.add_argument("--console", required=True)
    p.add_argument("--top", required=True)
    p.add_argument("--collector")
    a = p.parse_args()

    truth = load_json(a.truth)
    action = section(load_json(a.cfg), "action")
    threshold = action.get("threshold", 0)
    direction = action.get("direction", 0)
    dirs = [d.strip() for d in action.get("path", "").split(";") if d.strip()]
    stored = [archives(d) for d in dirs]
    first = stored[0] if stored else {}
    by_plate = {}
    for name, (data, meta) in first.items():
        if meta:
            by_plate.setdefault(meta.get("txt"), []).append((name, data, meta))
    uploads = received(a.collector)
    speeds = console_speeds(a.console)

    rows = [("plate", "way", "true km/h", "measured", "evidence", "expected", "archive", "upload")]
    problems = []
    for v in truth["vehicles"]:
        plate, kmh = v["plate"], v["kmh"]
        want = kmh >= threshold and direction in (0, v["direction"])
        got = by_plate.get(plate, [])
        measured, where, upload = "-", "-", "-"
        if got:
            name, data, meta = got[0]
            measured = str(meta.get("spd", "?"))
            where = os.path.relpath(os.path.join(dirs[0], name), a.top)
            copies = sum(1 for s in stored[1:] if s.get(name, (None,))[0] == data)
            where += " (+%d identical copy)" % copies if copies else ""
            if a.collector:
                md5 = hashlib.md5(data).hexdigest()
                upload = "not received" if md5 not in uploads else \
                    "received, X-Hash ok" if uploads[md5] else "received, X-Hash BAD"
                if upload != "received, X-Hash ok":
                    problems.append("%s: upload %s" % (plate, upload))
            if not isinstance(meta.get("spd"), int) or abs(meta["spd"] - kmh) > SPEED_TOLERANCE * kmh:
                problems.append("%s: measured %s km/h, true %g" % (plate, measured, kmh))
            if len(got) > 1:
                problems.append("%s: %d archives" % (plate, len(got)))
        elif plate in speeds:
            measured = "%.1f" % float(speeds[plate]) if re.fullmatch(r"[0-9.]+", speeds[plate]) else speeds[plate]
        if bool(got) != want:
            problems.append("%s: evidence %s, expected %s" % (plate, "yes" if got else "no", "yes" if want else "no"))
        rows.append((plate, WAYS.get(v["direction"], "?"), "%g" % kmh, measured, "yes" if got else "no",
                     "yes" if want else "no", where, upload))

    print("Threshold %d km/h (displayed limit %d km/h), %s." % (
        threshold, action.get("speed", 0), "any direction" if direction == 0 else "direction %d only" % direction))
    table(rows)
    if a.collector:
        print("Collector received %d archive(s)." % len(uploads))
    if problems:
        print("DEMO DID NOT WORK AS EXPECTED:")
        for line in problems:
            print("  - " + line)
        return 1
    n = sum(1 for r in rows[1:] if r[4] == "yes")
    print("DEMO WORKED: %d speeding vehicle(s) recorded%s, none of the others." % (
        n, " and uploaded" if a.collector else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())

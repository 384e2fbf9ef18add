#!/usr/bin/python3
"""Pixel checks of the pictures the unit's pages serve (OpenCV reads them).

    picture_checks.py psnr SCALED FULL MIN_DB
        SCALED (grey) against FULL turned grey and scaled to SCALED's size
        with bicubic interpolation: PSNR at least MIN_DB.
    picture_checks.py trackbox DRAWING TRACK_PAGE
        the drawing of a track holds a red box on the plate rectangle of
        every point the track page lists with the chosen plate, on the
        light grey canvas.
    picture_checks.py shown SCREENSHOT PICTURE WIDTH
        PICTURE, scaled to WIDTH pixels wide, is drawn somewhere in the
        browser's SCREENSHOT (normalised correlation at least 0.8).

redbox_strokes() finds the red plate box in an evidence collage (for
check_module_run.py).

Prints one line and exits 1 when the check fails.
"""
import re
import sys

import cv2
import numpy as np


def read(path, flags=cv2.IMREAD_COLOR):
    picture = cv2.imread(path, flags)
    if picture is None:
        sys.exit(f"FAIL {path}: not a picture")
    return picture


def psnr(scaled_path, full_path, min_db):
    scaled = read(scaled_path, cv2.IMREAD_GRAYSCALE)
    full = read(full_path, cv2.IMREAD_GRAYSCALE)
    expected = cv2.resize(full, (scaled.shape[1], scaled.shape[0]), interpolation=cv2.INTER_CUBIC)
    db = cv2.PSNR(scaled, expected)
    print(f"PSNR {db:.1f} dB (at least {min_db})")
    return db >= float(min_db)


def trackbox(drawing_path, page_path):
    drawing = read(drawing_path).astype(int)
    page = open(page_path, encoding="utf-8").read()
    chosen = re.search("Вариации номера, выбран: (.*?)</h3>", page)
    if not chosen:
        print("no chosen plate on the track page")
        return False
    plate = chosen.group(1)
    # Point rows: num, frame num, plate, type, "x,y w,h", "ox,oy".
    rows = re.findall(r"<tr><td>\d+</td><td>\d+</td><td>(.*?)</td><td>-?\d+</td>"
                      r"<td>(-?\d+),(-?\d+) (\d+),(\d+)</td>", page)
    boxes = [tuple(map(int, r[1:])) for r in rows if r[0] == plate]
    if not boxes:
        print(f"no point reads {plate}")
        return False
    b, g, r = drawing[..., 0], drawing[..., 1], drawing[..., 2]
    redness = r - np.maximum(g, b)
    top = [redness[y, max(x, 0):x + w].mean() for x, y, w, h in boxes if 0 <= y < drawing.shape[0]]
    # The canvas's far corner holds nothing but the fill.
    corner = drawing[-4:, -4:].reshape(-1, 3).mean(axis=0)
    print(f"{len(boxes)} boxes of {plate}, redness of their top edges {np.mean(top):.0f}, "
          f"corner {corner.round().tolist()}")
    return np.mean(top) > 60 and np.all(np.abs(corner - 240) < 8)


def shown(screenshot_path, picture_path, width):
    screen = read(screenshot_path)
    picture = read(picture_path)
    width = int(width)
    height = round(picture.shape[0] * width / picture.shape[1])
    scaled = cv2.resize(picture, (width, height), interpolation=cv2.INTER_AREA)
    if scaled.shape[0] > screen.shape[0] or scaled.shape[1] > screen.shape[1]:
        print("the screenshot is smaller than the picture")
        return False
    score = cv2.minMaxLoc(cv2.matchTemplate(screen, scaled, cv2.TM_CCOEFF_NORMED))[1]
    print(f"{picture_path} in {screenshot_path}: correlation {score:.2f}")
    return score >= 0.8


def longest_runs(mask):
    """The longest run of True in each row of MASK."""
    edges = [np.diff(np.concatenate(([0], line.astype(np.int8), [0]))) for line in mask]
    return [int((np.flatnonzero(e == -1) - np.flatnonzero(e == 1)).max(initial=0)) for e in edges]


def redbox_strokes(path):
    """The red box around the plate in a collage: the centre lines of its
    strokes (top, bottom, left, right), or None, and what was found. The box
    is the only long straight red line (after JPEG: strong red, weak green and
    blue); the red crosshair that may cross its bottom stroke is shorter, so
    the strokes are the bands of lines whose longest red run reaches 0.7 of
    the longest of all."""
    picture = cv2.imread(path, cv2.IMREAD_COLOR)
    if picture is None:
        return None, "cannot read " + path
    b, g, r = (picture[..., i].astype(int) for i in range(3))
    red = (r >= 140) & (r - np.maximum(g, b) >= 80)
    centres = []
    for runs in (longest_runs(red), longest_runs(red.T)):
        long = np.array(runs + [0]) >= max(0.7 * max(runs), 1e-9)
        edges = np.diff(np.concatenate(([0], long.astype(np.int8))))
        centres.append([(s + e - 1) / 2 for s, e in zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1))])
    rows, cols = centres
    if len(rows) != 2 or len(cols) != 2:
        return None, f"{len(rows)} horizontal and {len(cols)} vertical red strokes in {path}, want 2 and 2"
    return rows + cols, "ok"


if __name__ == "__main__":
    checks = {"psnr": psnr, "trackbox": trackbox, "shown": shown}
    if len(sys.argv) < 2 or sys.argv[1] not in checks:
        sys.exit(__doc__)
    sys.exit(0 if checks[sys.argv[1]](*sys.argv[2:]) else 1)

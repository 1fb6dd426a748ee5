#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The live view in a real browser: headless Chromium loads the page of
`vantrel-render --serve` after a short render, takes a screenshot and dumps the
page. The picture region must show the box upright (white ceiling on top, red
left wall, blue right wall) and the figures must be filled in.

Usage: live_browser_test.py VANTREL_RENDER. Exits 77 (skipped) when Chromium is
missing or cannot start here."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIPPED = 77
FRAMES = 12
PAGE_MARGIN = 16  # the page's body margin: where the picture starts
WIDTH, HEIGHT = 640, 480
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--hide-scrollbars"]


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def wait_for(condition, what, limit=120):
    until = time.monotonic() + limit
    while time.monotonic() < until:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    fail("no " + what + " within %d s" % limit)


def chromium(browser, folder, *args):
    """Runs Chromium with a fresh profile; (exit status, stdout)."""
    profile = tempfile.mkdtemp(dir=folder)
    run = subprocess.run([browser] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile] + list(args),
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120, cwd=folder)
    shutil.rmtree(profile, ignore_errors=True)
    return run.returncode, run.stdout.decode("utf-8", "replace")


def region_mean(pixels, width, x0, y0, x1, y1):
    sums = [0, 0, 0]
    for y in range(y0, y1):
        row = pixels[(y * width + x0) * 3:(y * width + x1) * 3]
        for channel in range(3):
            sums[channel] += sum(row[channel::3])
    count = (x1 - x0) * (y1 - y0)
    return [s / count for s in sums]


def picture_problems(shot, width):
    """What is wrong with the picture region of the screenshot (RGB bytes)."""
    def mean(x0, y0, x1, y1):
        return region_mean(shot, width, PAGE_MARGIN + x0, PAGE_MARGIN + y0, PAGE_MARGIN + x1, PAGE_MARGIN + y1)
    problems = []
    ceiling = mean(64, 2, 576, 10)
    if min(ceiling) < 240:
        problems.append("the top is not the white ceiling: %s" % ceiling)
    left, right = mean(10, 150, 60, 250), mean(580, 150, 630, 250)
    if left[0] < left[2] + 20:
        problems.append("the left wall is not red: %s" % left)
    if right[2] < right[0] + 20:
        problems.append("the right wall is not blue: %s" % right)
    return problems


def main():
    program = sys.argv[1]
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("skipped: chromium is not installed (scripts/test.sh installs it)")
        return SKIPPED
    with tempfile.TemporaryDirectory() as folder:
        try:
            status, dom = chromium(browser, folder, "--dump-dom", "about:blank")
        except (OSError, subprocess.TimeoutExpired) as error:
            status, dom = -1, str(error)
        if status != 0 or "<body" not in dom:
            print("skipped: chromium cannot start here (status %s)" % status)
            return SKIPPED

        image = os.path.join(folder, "final.png")
        with open(os.path.join(folder, "stderr.txt"), "wb") as err:
            render = subprocess.Popen([program, "--serve", "0", "--frames", str(FRAMES), "--seed", "9",
                                       "--threads", "2", "--output", image],
                                      stdout=subprocess.DEVNULL, stderr=err)
        try:
            def port():
                text = open(os.path.join(folder, "stderr.txt")).read()
                found = re.search(r"live view at http://127\.0\.0\.1:(\d+)/", text)
                return found and found.group(1)
            url = "http://127.0.0.1:%s/" % wait_for(port, "live view address")

            def finished():
                with urllib.request.urlopen(url + "stats", timeout=10) as answer:
                    return json.load(answer)["finished"]
            wait_for(finished, "finished render")

            shot = os.path.join(folder, "shot.png")
            status, _ = chromium(browser, folder, "--window-size=672,700", "--screenshot=" + shot, url)
            if status != 0 or not os.path.exists(shot):
                fail("chromium took no screenshot (status %d)" % status)
            size = subprocess.run(["identify", "-format", "%w %h", shot], stdout=subprocess.PIPE, check=True)
            width, height = map(int, size.stdout.split())
            pixels = subprocess.run(["convert", shot, "-depth", "8", "rgb:-"], stdout=subprocess.PIPE,
                                    check=True).stdout
            if width < PAGE_MARGIN + WIDTH or height < PAGE_MARGIN + HEIGHT or len(pixels) != width * height * 3:
                fail("the screenshot is %d x %d" % (width, height))
            problems = picture_problems(pixels, width)

            status, dom = chromium(browser, folder, "--virtual-time-budget=3000", "--dump-dom", url)
            figures = {name: re.search(r'<td id="%s">([^<]*)</td>' % name, dom) for name in
                       ("frames", "fps", "rays", "elapsed", "left")}
            for name, found in figures.items():
                if not found or found.group(1) in ("", "-"):
                    problems.append("the figure '%s' is not filled in" % name)
            if figures["frames"] and figures["frames"].group(1) != "%d of %d" % (FRAMES, FRAMES):
                problems.append("frames done shows '%s'" % figures["frames"].group(1))
            # The file is written by then, and the page says so.
            if '<div id="state">finished: the final picture, written to its file' not in dom:
                problems.append("the page does not say the render finished and its file is written")
        finally:
            render.send_signal(signal.SIGINT)
            status = render.wait(timeout=120)
        if status != 0:
            problems.append("vantrel-render exited with %d" % status)
        if problems:
            fail("; ".join(problems))
    print("ok: the page shows the box upright and every figure")
    return 0


if __name__ == "__main__":
    sys.exit(main())

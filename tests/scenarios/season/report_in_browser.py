#!/usr/bin/env python3
"""Opens a season's report in headless Chromium and fails when the page did not render.

usage: report_in_browser.py RUN_DIR

Leaves RUN_DIR/season-screenshot.png. The page must hold its sections (the title, the plots, the
energy, faults and contact-sheet sections with a sheet per day), load no script, and every <img>
must show a PNG (inline, or a file of the run folder that exists). The screenshot must be a PNG of
the window's size that is not one flat colour.
"""

import base64
import json
import os
import re
import subprocess
import sys
import tempfile
from html.parser import HTMLParser

WIDTH, HEIGHT = 1200, 2400
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class Page(HTMLParser):
    def __init__(self):
        super().__init__()
        self.headings = []  # (tag, text)
        self.images = []
        self.scripts = 0
        self.svgs = 0
        self._heading = None

    def handle_starttag(self, tag, attrs):
        if tag in ("h1", "h2", "h3"):
            self._heading = [tag, ""]
        elif tag == "img":
            self.images.append(dict(attrs).get("src", ""))
        elif tag == "script":
            self.scripts += 1
        elif tag == "svg":
            self.svgs += 1

    def handle_endtag(self, tag):
        if self._heading and tag == self._heading[0]:
            self.headings.append(tuple(self._heading))
            self._heading = None

    def handle_data(self, data):
        if self._heading:
            self._heading[1] += data


def chromium(profile, *args):
    # The page is the board's own file; Chromium's sandbox needs a user namespace the test
    # machine may not give a root user.
    command = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               "--user-data-dir=" + profile, *args]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        sys.exit("chromium failed (%d): %s" % (done.returncode, done.stderr[-2000:]))
    return done.stdout


def image_problem(src, run_dir):
    if src.startswith("data:"):
        match = re.match(r"data:image/png;base64,(.*)$", src, re.S)
        if not match:
            return "not an inline PNG"
        data = base64.b64decode(match.group(1))
        return None if data.startswith(PNG_SIGNATURE) else "an inline image that is not a PNG"
    if re.match(r"[a-z]+://", src):
        return "from outside the run folder"
    path = os.path.join(run_dir, src)
    return None if os.path.isfile(path) and os.path.getsize(path) > 0 else "no such file"


def screenshot_problems(path):
    with open(path, "rb") as f:
        if f.read(8) != PNG_SIGNATURE:
            return ["the screenshot is not a PNG"]
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height",
                            "-of", "json", path], capture_output=True, text=True, check=True)
    stream = json.loads(probe.stdout)["streams"][0]
    problems = []
    if (stream["width"], stream["height"]) != (WIDTH, HEIGHT):
        problems.append("the screenshot is %dx%d, not the window's %dx%d" %
                        (stream["width"], stream["height"], WIDTH, HEIGHT))
    # ffmpeg's signalstats gives each plane's least and greatest value: all equal is one colour.
    stats = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vf",
                            "signalstats,metadata=mode=print:file=-", "-f", "null", "-"],
                           capture_output=True, text=True, check=True).stdout
    values = dict(re.findall(r"lavfi\.signalstats\.(\w+)=([\d.]+)", stats))
    planes = [(values.get(p + "MIN"), values.get(p + "MAX")) for p in "YUV"]
    if any(low is None for low, _ in planes):
        problems.append("ffmpeg gave no statistics of the screenshot")
    elif all(low == high for low, high in planes):
        problems.append("the screenshot is one flat colour")
    return problems


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    run_dir = os.path.abspath(sys.argv[1])
    report = os.path.join(run_dir, "season.html")
    if not os.path.isfile(report):
        sys.exit("no report: " + report)
    days = json.load(open(os.path.join(run_dir, "season.json")))["days"]
    shot = os.path.join(run_dir, "season-screenshot.png")
    if os.path.exists(shot):
        os.remove(shot)
    url = "file://" + report
    with tempfile.TemporaryDirectory() as profile:
        chromium(profile, "--window-size=%d,%d" % (WIDTH, HEIGHT), "--screenshot=" + shot, url)
        page = Page()
        page.feed(chromium(profile, "--dump-dom", url))

    problems = []
    texts = [text for _, text in page.headings]
    wanted = ["Season of %d day(s)" % days, "Energy", "Faults", "Contact sheets"]
    wanted += ["Day %d" % (d + 1) for d in range(days)]
    for start in wanted:
        if not any(text.startswith(start) for text in texts):
            problems.append("no section '%s' in the rendered page" % start)
    if page.svgs < 5:
        problems.append("%d plot(s) in the rendered page, 5 expected" % page.svgs)
    if page.scripts:
        problems.append("the page has %d script(s)" % page.scripts)
    for src in page.images:
        problem = image_problem(src, run_dir)
        if problem:
            problems.append("an image %s: %s" % (problem, src[:80]))
    if not os.path.isfile(shot):
        problems.append("chromium left no screenshot")
    else:
        problems += screenshot_problems(shot)
    for problem in problems:
        print("FAIL:", problem)
    print("%d section(s), %d plot(s), %d image(s); screenshot %s" %
          (len(page.headings), page.svgs, len(page.images), shot))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

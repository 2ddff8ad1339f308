#!/usr/bin/env python3
"""The files through which the desktop and the software centre know Zevora:
the desktop entry and the AppStream metainfo pass their validators without
a remark (but the upper-case letter of the reverse-DNS name, which the name
must have), say what the player is and opens, and agree with each other, with
the screenshot, the program's version and the Debian changelog; the icons
have the sizes their names give, and res/make_images.py makes every image in
res/ byte for byte.

usage: desktop_files_test.py SOURCE_DIR VERSION"""
import configparser
import os
import re
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

from report import Report

source, version = os.path.abspath(sys.argv[1]), sys.argv[2]
report = Report()
check = report.check
app_id = "io.github.zevora.Zevora"
desktop_path = os.path.join(source, "res", app_id + ".desktop")
metainfo_path = os.path.join(source, "res", app_id + ".metainfo.xml")
icon_sizes = (16, 32, 48, 64, 128)


def run(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    return result.returncode, (result.stdout + result.stderr).strip()


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


# The validators: desktop-file-validate prints hints and warnings as well as
# errors, so anything it prints fails.
status, output = run("desktop-file-validate", desktop_path)
check("desktop-file-validate", status == 0 and output == "", output)
status, output = run("appstreamcli", "validate", "--no-net", "--pedantic", "--no-color", metainfo_path)
remarks = re.findall(r"^([EWIP]): \S+ (\S+)", output, re.M)
check("appstreamcli validate --no-net", status == 0 and remarks == [("P", "cid-contains-uppercase-letter")], output)

entry = configparser.ConfigParser(interpolation=None)
entry.optionxform = str  # keys are case-sensitive
entry.read(desktop_path, encoding="utf-8")
section = entry["Desktop Entry"] if entry.has_section("Desktop Entry") else {}
for key, expected in [
    ("Type", "Application"),
    ("Name", "Zevora"),
    ("Exec", "zevora %F"),
    ("TryExec", "zevora"),
    ("Icon", app_id),
    ("Terminal", "false"),
    ("StartupWMClass", "Zevora"),
    ("Categories", "AudioVideo;Audio;Player;Qt;"),
    ("MimeType", "audio/x-xm;"),
]:
    check("desktop entry %s" % key, section.get(key) == expected, "%r, not %r" % (section.get(key), expected))

meta = ElementTree.parse(metainfo_path).getroot()


def texts(path):
    return [e.text for e in meta.findall(path)]


check("metainfo is a desktop application", meta.get("type") == "desktop-application", meta.get("type"))
for name, found, expected in [
    ("id", texts("id"), [app_id]),
    ("launchable", texts("launchable[@type='desktop-id']"), [app_id + ".desktop"]),
    ("media types", texts("provides/mediatype"), [t for t in section.get("MimeType", "").split(";") if t]),
    ("programs", sorted(texts("provides/binary")), ["zevora", "zevora-cli"]),
    ("content rating", [e.get("type") for e in meta.findall("content_rating")], ["oars-1.1"]),
    ("license as in the Debian copyright file", texts("project_license"),
     re.findall(r"^License: (\S+)", open(os.path.join(source, "packaging", "copyright")).read(), re.M)),
]:
    check("metainfo %s" % name, found == expected, "%r, not %r" % (found, expected))

# The screenshot is docs/screenshot.png, published with the project's pages.
images = meta.findall("screenshots/screenshot[@type='default']/image")
shot = png_size(os.path.join(source, "docs", "screenshot.png"))
check("metainfo screenshot", len(images) == 1 and images[0].text.startswith("https://") and
      (int(images[0].get("width", 0)), int(images[0].get("height", 0))) == shot,
      "%r, docs/screenshot.png is %r" % ([(i.text, i.get("width"), i.get("height")) for i in images], shot))

# The newest release is this version, on the day the Debian changelog gives it.
releases = meta.findall("releases/release")
dates = [r.get("date", "") for r in releases]
check("releases newest first", dates == sorted(dates, reverse=True) and all(re.fullmatch(r"\d{4}-\d\d-\d\d", d)
                                                                         for d in dates), dates)
status, changelog = run("dpkg-parsechangelog", "-l", os.path.join(source, "packaging", "changelog"), "-S", "Version")
status, stamp = run("dpkg-parsechangelog", "-l", os.path.join(source, "packaging", "changelog"), "-S", "Timestamp")
changelog_day = subprocess.run(["date", "-u", "-d", "@" + stamp, "+%Y-%m-%d"], capture_output=True,
                               text=True).stdout.strip() if stamp.isdigit() else None
newest = (releases[0].get("version"), releases[0].get("date")) if releases else None
check("newest release is this version", newest == (version, changelog_day),
      "%r; version %s, changelog day %s" % (newest, version, changelog_day))
check("Debian changelog is for this version", changelog == version, "%r, not %r" % (changelog, version))

for size in icon_sizes:
    path = os.path.join(source, "res", "icon%d.png" % size)
    found = png_size(path) if os.path.exists(path) else None
    check("icon%d.png" % size, found == (size, size), found)
with tempfile.TemporaryDirectory() as made:
    status, output = run(sys.executable, os.path.join(source, "res", "make_images.py"), made)
    names = sorted(os.listdir(made))
    check("make_images.py makes every image", status == 0 and names == sorted(
        ["toolbar.bmp"] + ["icon%d.png" % s for s in icon_sizes]), output or names)
    for name in names:
        with open(os.path.join(made, name), "rb") as a, open(os.path.join(source, "res", name), "rb") as b:
            check("res/%s is what make_images.py makes" % name, a.read() == b.read())
report.finish()

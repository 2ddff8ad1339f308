#!/usr/bin/env python3
"""The Debian packages as `cpack -G DEB` makes them from the build folder and
as a user installs them: exactly the files each should hold, with their
modes and owner; the control fields and dependencies (the libraries opened at
run time too); the shlibs file and ldconfig trigger of libzevora0; lintian
without an error or a warning; apt able to install all three on a Debian 12
system that has nothing yet (simulated, from the machine's package lists);
and, installed with dpkg into an empty file tree, programs that work: the
installed zevora-cli gives the build's info and render byte for byte, the
window started through the installed desktop entry's Exec line has the
WM_CLASS its StartupWMClass names, and a program built against the installed
development files (pkg-config shared and static, the CMake package) renders
what zevora-cli renders.

usage: package_test.py BUILD_DIR SOURCE_DIR CORPUS_DIR VERSION ZEVORA_CLI"""
import atexit
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

from report import Report

build, source, corpus = (os.path.abspath(a) for a in sys.argv[1:4])
version, built_cli = sys.argv[4], os.path.abspath(sys.argv[5])
report = Report()
check = report.check
work = tempfile.mkdtemp()
atexit.register(shutil.rmtree, work, True)
app_id = "io.github.zevora.Zevora"
song = os.path.join(corpus, "flobopuyo--flobopuyo_gameover.xm")


def run(command, env=None, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, env=env, **kwargs)
    return result.returncode, result.stdout, result.stderr


def output_of(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, check=True, **kwargs).stdout


def same_files(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()




arch = output_of(["dpkg", "--print-architecture"]).strip()
multiarch = output_of(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"]).strip()
lib = "usr/lib/" + multiarch
docs = lambda package: ["usr/share/doc/%s/copyright" % package, "usr/share/doc/%s/changelog.gz" % package]
# Every file of each package (its folders follow from them), with its mode.
expected_files = {
    "zevora": [("-rwxr-xr-x", "usr/bin/zevora"), ("-rwxr-xr-x", "usr/bin/zevora-cli")] + [
        ("-rw-r--r--", path) for path in [
            "usr/share/applications/%s.desktop" % app_id,
            "usr/share/metainfo/%s.metainfo.xml" % app_id,
            "usr/share/man/man1/zevora.1.gz",
            "usr/share/man/man1/zevora-cli.1.gz",
        ] + ["usr/share/icons/hicolor/%dx%d/apps/%s.png" % (s, s, app_id) for s in (16, 32, 48, 64, 128)] +
        docs("zevora")],
    "libzevora0": [("-rw-r--r--", "%s/libzevora.so.%s" % (lib, version)),
                   ("lrwxrwxrwx", "%s/libzevora.so.0 -> libzevora.so.%s" % (lib, version))] +
                  [("-rw-r--r--", path) for path in docs("libzevora0")],
    "libzevora-dev": [("lrwxrwxrwx", "%s/libzevora.so -> libzevora.so.0" % lib)] + [
        ("-rw-r--r--", path) for path in [
            "usr/include/zevora/zevora.h",
            "%s/libzevora.a" % lib,
            "%s/pkgconfig/zevora.pc" % lib,
        ] + ["%s/cmake/Zevora/%s.cmake" % (lib, name) for name in [
            "ZevoraConfig", "ZevoraConfigVersion", "ZevoraTargets", "ZevoraTargets-release", "ZevoraStaticTargets",
            "ZevoraStaticTargets-release"]] + docs("libzevora-dev")],
}
shared_libraries = {"libc6", "libgcc-s1", "libstdc++6"}
expected_depends = {
    "zevora": shared_libraries | {"libqt6core6", "libqt6dbus6", "libqt6gui6", "libqt6widgets6", "qt6-qpa-plugins",
                                  "libsdl2-2.0-0", "libsndfile1"},
    "libzevora0": shared_libraries,
    "libzevora-dev": {"libzevora0"},
}
expected_fields = {
    "zevora": {"Section": "sound"},
    "libzevora0": {"Section": "libs"},
    "libzevora-dev": {"Section": "libdevel"},
}
expected_control = {"zevora": ["control", "md5sums"], "libzevora0": ["control", "md5sums", "shlibs", "triggers"],
                    "libzevora-dev": ["control", "md5sums"]}

# The packages, made as the README says, into a folder of the test's own,
# under a strict umask (077, as on a hardened system): every user can read
# what is installed all the same.
out = os.path.join(work, "out")
umask = os.umask(0o077)
try:
    status, stdout, stderr = run(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"), "-B",
                                  out])
finally:
    os.umask(umask)
debs = {name: os.path.join(out, "%s_%s_%s.deb" % (name, version, arch)) for name in expected_files}
made = sorted(os.path.basename(p) for p in glob.glob(os.path.join(out, "*.deb")))
check("cpack -G DEB makes the three packages", status == 0 and made == sorted(map(os.path.basename, debs.values())),
      "%s %s%s" % (made, stdout[-2000:], stderr[-2000:]))
if report.failed:
    report.finish()
# The steps that give the Debian packages their form leave another
# generator's archive be, and do not fail it.
status, stdout, stderr = run(["cpack", "-G", "TGZ", "--config", os.path.join(build, "CPackConfig.cmake"), "-B",
                              os.path.join(work, "tgz")])
archives = glob.glob(os.path.join(work, "tgz", "*.tar.gz"))
listed = output_of(["tar", "-tzf", archives[0]]) if len(archives) == 1 else ""
check("cpack -G TGZ makes its archive and succeeds", status == 0 and "/usr/bin/zevora-cli\n" in listed,
      "%s %s%s" % (archives, stdout[-2000:], stderr[-2000:]))

for name, deb in debs.items():
    rows = [line.split() for line in output_of(["dpkg-deb", "--contents", deb]).splitlines()]
    owners = {row[1] for row in rows}
    found = sorted((row[0], " ".join(row[5:])[2:]) for row in rows if row[5] != "./")
    wanted = set(expected_files[name])
    for _, path in expected_files[name]:
        parts = path.split(" -> ")[0].split("/")
        wanted |= {("drwxr-xr-x", "/".join(parts[:i]) + "/") for i in range(1, len(parts))}
    missing, extra = sorted(wanted - set(found)), sorted(set(found) - wanted)
    check("%s holds exactly its files" % name, not missing and not extra, "missing %s, extra %s" % (missing, extra))
    check("%s: everything belongs to root" % name, owners == {"root/root"}, owners)

    info = output_of(["dpkg-deb", "-f", deb])
    fields = dict(re.findall(r"^(\S+): (.*)$", info, re.M))
    for field, value in dict(Package=name, Version=version, Architecture=arch, Source="zevora", Priority="optional",
                             Maintainer="Zevora developers <dev@zevora.invalid>", **expected_fields[name]).items():
        check("%s %s" % (name, field), fields.get(field) == value, "%r, not %r" % (fields.get(field), value))
    depends = [d.strip() for d in fields.get("Depends", "").split(",")]
    names = {d.split()[0] for d in depends if d}
    check("%s depends on exactly %s" % (name, sorted(expected_depends[name])), names == expected_depends[name],
          fields.get("Depends"))
    control = os.path.join(work, "control-" + name)
    subprocess.run(["dpkg-deb", "-e", deb, control], check=True)
    check("%s control files" % name, sorted(os.listdir(control)) == expected_control[name], os.listdir(control))
    if name == "zevora":
        # SDL2 and libsndfile are opened at run time: dpkg-shlibdeps cannot see them.
        for wanted_depend in ["libsdl2-2.0-0 (>= 2.0.12)", "libsndfile1 (>= 1.1.0)"]:
            check("zevora depends on %s" % wanted_depend, wanted_depend in depends, depends)
    if name == "libzevora-dev":
        check("libzevora-dev needs the same libzevora0", depends == ["libzevora0 (= %s)" % version], depends)
    if name == "libzevora0":
        for file, text in [("shlibs", "libzevora 0 libzevora0 (>= %s)\n" % version),
                           ("triggers", "activate-noawait ldconfig\n")]:
            found = open(os.path.join(control, file)).read() if os.path.exists(os.path.join(control, file)) else None
            check("libzevora0 %s" % file, found == text, repr(found))

status, stdout, stderr = run(["lintian", "--fail-on", "error,warning", "--display-info"] + list(debs.values()))
print(stdout, end="")
check("lintian: no error, no warning", status == 0 and not re.search(r"^[EW]: ", stdout, re.M), stderr[-2000:])

# apt on a Debian 12 system with nothing installed: every dependency (and
# theirs) can be had in the versions asked for.
if glob.glob("/var/lib/apt/lists/*_Packages*"):
    empty = os.path.join(work, "empty-status")
    open(empty, "w").close()
    status, stdout, stderr = run(["apt-get", "-o", "Dir::State::status=" + empty, "install", "-s",
                                  "--no-install-recommends"] + list(debs.values()))
    installed = set(re.findall(r"^Inst (\S+)", stdout, re.M))
    check("apt can install the packages on an empty system", status == 0 and set(debs) | {
        "libsdl2-2.0-0", "libsndfile1", "qt6-qpa-plugins", "libc6"} <= installed, (stdout + stderr)[-3000:])
else:
    print("skipped: no package lists for apt (apt-get update) to resolve the dependencies on an empty system")

# Installed with dpkg into an empty file tree (the dependencies are the
# machine's own).
root = os.path.join(work, "root")
admin = os.path.join(root, "var/lib/dpkg")
for folder in ["info", "updates", "triggers"]:
    os.makedirs(os.path.join(admin, folder))
for file in ["status", "available"]:
    open(os.path.join(admin, file), "w").close()
dpkg = ["dpkg", "--root=" + root, "--force-depends", "--log=/dev/null"]
if os.geteuid() != 0:
    dpkg = ["fakeroot"] + dpkg + ["--force-not-root"]
status, stdout, stderr = run(dpkg + ["-i"] + list(debs.values()))
check("dpkg installs the packages", status == 0, stdout + stderr)
listed = output_of(["dpkg-query", "--admindir=" + admin, "-W", "-f", "${Package} ${db:Status-Abbrev}\n"])
check("dpkg lists them installed", sorted(line.strip() for line in listed.splitlines()) ==
      sorted(name + " ii" for name in debs), listed)
for page in ["zevora.1", "zevora-cli.1"]:
    installed_page = os.path.join(root, "usr/share/man/man1", page + ".gz")
    text = output_of(["zcat", installed_page]) if os.path.exists(installed_page) else None
    check("man page %s" % page, text == open(os.path.join(source, "docs", page)).read())
status, stdout, stderr = run(["appstreamcli", "validate-tree", "--no-net", "--no-color", root])
check("appstreamcli validate-tree finds the desktop entry the metainfo names",
      status == 0 and not re.search(r"^\s*[EW]: ", stdout, re.M), stdout + stderr)

usr = os.path.join(root, "usr")
env = dict(os.environ, PATH=os.path.join(usr, "bin") + os.pathsep + os.environ["PATH"])
cli = os.path.join(usr, "bin", "zevora-cli")
check("zevora-cli --version", run([cli, "--version"])[1] == "zevora-cli %s\n" % version)
check("zevora --version without a display", run(["env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY",
                                                 os.path.join(usr, "bin", "zevora"), "--version"])[1] ==
      "zevora %s\n" % version)
for command in [["info", song], ["info", "--json", song]]:
    check("installed zevora-cli %s is the build's" % command[:-1], run([cli] + command)[1:] ==
          run([built_cli] + command)[1:])
reference = os.path.join(work, "reference.wav")
subprocess.run([built_cli, "render", song, "-o", reference], check=True, capture_output=True)
status, _, stderr = run([cli, "render", song, "-o", os.path.join(work, "installed.wav")])
check("installed zevora-cli renders what the build's renders",
      status == 0 and same_files(os.path.join(work, "installed.wav"), reference), stderr)

# The window, started as the desktop starts it.
entry = dict(re.findall(r"^(\w+)=(.*)$", open(os.path.join(usr, "share/applications", app_id + ".desktop")).read(),
                        re.M))
check("TryExec finds the installed window", shutil.which(entry.get("TryExec", ""), path=env["PATH"]) ==
      os.path.join(usr, "bin", "zevora"))
# Xvfb picks a free display and writes its number to the pipe.
read_end, write_end = os.pipe()
xvfb_log = open(os.path.join(work, "xvfb.log"), "w+")
xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-noreset", "-screen", "0", "800x600x24", "-nolisten",
                         "tcp"], pass_fds=(write_end,), stdout=xvfb_log, stderr=subprocess.STDOUT)
os.close(write_end)
# It writes the number and the newline in two writes, and fails if the pipe
# is closed before the second: read to the newline.
display = b""
while not display.endswith(b"\n"):
    chunk = os.read(read_end, 64)
    if not chunk:
        break
    display += chunk
display = display.decode().strip()
os.close(read_end)
window_class = None
try:
    window_env = dict(env, DISPLAY=":" + display, SDL_AUDIODRIVER="dummy")
    window_env.pop("WAYLAND_DISPLAY", None)
    window_env.pop("QT_QPA_PLATFORM", None)
    # The number is written before the display takes clients.
    for _ in range(100):
        if run(["xdotool", "getmouselocation"], env=window_env)[0] == 0:
            break
        time.sleep(0.1)
    command = []
    for word in shlex.split(entry.get("Exec", "")):
        command += [song] if word in ("%f", "%F", "%u", "%U") else [word]
    app_log = open(os.path.join(work, "window.log"), "w+")
    app = subprocess.Popen(command, env=window_env, stdout=app_log, stderr=subprocess.STDOUT)
    try:
        for _ in range(200):
            windows = run(["xdotool", "search", "--onlyvisible", "--pid", str(app.pid)], env=window_env)[1].split()
            for window in windows:
                found = re.search(r'WM_CLASS\(STRING\) = "([^"]*)", "([^"]*)"',
                                  run(["xprop", "-id", window, "WM_CLASS"], env=window_env)[1])
                window_class = found.group(2) if found else window_class
            if window_class or app.poll() is not None:
                break
            time.sleep(0.1)
    finally:
        app.kill()
        app.wait()
finally:
    xvfb.terminate()  # not SIGKILL: Xvfb removes its socket and lock file
    xvfb.wait()
app_log.seek(0)
xvfb_log.seek(0)
check("the window's WM_CLASS is the desktop entry's StartupWMClass", window_class == entry.get("StartupWMClass"),
      "%r, StartupWMClass %r (%s, exit %s: %s; Xvfb on :%s: %s)" % (
          window_class, entry.get("StartupWMClass"), command, app.returncode, app_log.read()[-2000:], display,
          xvfb_log.read()[-2000:]))

# A program built against the installed development files.
libdir = os.path.join(root, lib)
pkg_env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(libdir, "pkgconfig"))
pkg_env.pop("PKG_CONFIG_LIBDIR", None)
flags = [re.sub(r"^(-[IL])(.*)", lambda m: m.group(1) + os.path.normpath(m.group(2)), flag)
         for flag in output_of(["pkg-config", "--cflags", "--libs", "zevora"], env=pkg_env).split()]
check("pkg-config points into the installed tree", "-I" + os.path.join(usr, "include") in flags and "-L" + libdir in
      flags, flags)
example = os.path.join(source, "examples", "render_wav.c")
run_env = dict(os.environ, LD_LIBRARY_PATH=libdir)
for kind, command in [
    ("shared", ["cc", "-std=c99", "-Wall", "-Werror", example] + flags),
    ("static", ["cc", "-std=c99", example, "-I" + os.path.join(usr, "include"), os.path.join(libdir, "libzevora.a"),
                "-lstdc++", "-lm"]),
]:
    program = os.path.join(work, "render_wav_" + kind)
    status, stdout, stderr = run(command + ["-o", program])
    check("render_wav builds against the installed files (%s)" % kind, status == 0, stderr)
    if status == 0:
        linked = output_of(["ldd", program], env=run_env)
        check("render_wav (%s) takes the installed libzevora.so.0" % kind,
              ("%s/libzevora.so.0 " % libdir in linked) == (kind == "shared"), linked)
        wav = os.path.join(work, kind + ".wav")
        status, _, stderr = run([program, song, wav], env=run_env)
        check("render_wav (%s) renders what zevora-cli renders" % kind, status == 0 and same_files(wav, reference),
              stderr)
consumer = os.path.join(work, "consumer")
status, stdout, stderr = run(["cmake", "-S", os.path.join(source, "tests/consumer"), "-B", consumer,
                              "-DCMAKE_PREFIX_PATH=" + usr, "-DEXAMPLES_DIR=" + os.path.join(source, "examples")])
if status == 0:
    status, stdout, stderr = run(["cmake", "--build", consumer])
cache = open(os.path.join(consumer, "CMakeCache.txt")).read() if os.path.exists(consumer) else ""
check("find_package(Zevora) finds the installed package and builds",
      status == 0 and "Zevora_DIR:PATH=%s/cmake/Zevora\n" % libdir in cache, stdout[-2000:] + stderr[-2000:])
if status == 0:
    wav = os.path.join(work, "cmake.wav")
    status, _, stderr = run([os.path.join(consumer, "render_wav"), song, wav], env=run_env)
    check("render_wav (CMake package) renders what zevora-cli renders", status == 0 and same_files(wav, reference),
          stderr)
report.finish()

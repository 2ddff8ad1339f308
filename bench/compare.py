#!/usr/bin/env python3
"""Renders every corpus module for 300 s with zevora-cli, xmp and openmpt123
(linear interpolation, 44,100 Hz, to WAV), alternating the three over several
rounds, and prints the CPU seconds per minute of audio of each and Zevora's
time as a share of the faster peer's: per module with the output in memory
(/dev/shm, so that the CPU and not the file system is compared), and in
total with the output on disk beside it."""
import os
import resource
import shutil
import subprocess
import sys
import tempfile

SECONDS = int(os.environ.get("ZEVORA_COMPARE_SECONDS", "300"))
ROUNDS = int(os.environ.get("ZEVORA_COMPARE_ROUNDS", "3"))


def commands(cli, module, out):
    return {
        "zevora": [cli, "render", module, "-o", out, "--seconds", str(SECONDS)],
        "xmp": ["xmp", "-q", "--norc", "--nocmd", "-l", "-t", str(SECONDS), "-f", "44100", "-i", "linear",
                "-d", "wav", "-o", out, module],
        "openmpt123": ["openmpt123", "--batch", "-q", "--samplerate", "44100", "--filter", "2", "--no-float",
                       "--repeat", "-1", "--end-time", str(SECONDS), "--force", "-o", out, module],
    }


def cpu_seconds(argv):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def measure(cli, corpus, modules, players, folder):
    best = {m: {p: float("inf") for p in players} for m in modules}
    # A folder of this run's own, so that two runs never write or remove
    # each other's file.
    with tempfile.TemporaryDirectory(prefix="zevora-compare-", dir=folder) as own:
        out = os.path.join(own, "out.wav")
        for _ in range(ROUNDS):
            for m in modules:
                for p, argv in commands(cli, os.path.join(corpus, m), out).items():
                    best[m][p] = min(best[m][p], cpu_seconds(argv))
                    os.remove(out)
    return {m: {p: best[m][p] * 60 / SECONDS for p in players} for m in modules}


def main():
    cli, corpus = sys.argv[1], sys.argv[2]
    for tool in ("xmp", "openmpt123"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (apt-get install {tool})")
    modules = sorted(f for f in os.listdir(corpus) if f.endswith(".xm"))
    players = ["zevora", "xmp", "openmpt123"]
    memory_folder = "/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir()
    memory = measure(cli, corpus, modules, players, memory_folder)
    disk = measure(cli, corpus, modules, players, os.path.dirname(os.path.abspath(cli)))
    print(f"CPU seconds per minute of audio, {SECONDS}-s renders (best of {ROUNDS} rounds; lower is better)")
    print(f"output in memory ({memory_folder}):")
    print(f"{'module':48} {'zevora':>8} {'xmp':>8} {'openmpt':>8} {'faster peer/zevora':>19}")
    for m in modules:
        row = memory[m]
        peer = min(row["xmp"], row["openmpt123"])
        print(f"{m:48} {row['zevora']:8.4f} {row['xmp']:8.4f} {row['openmpt123']:8.4f} {peer / row['zevora']:19.2f}")
    for label, table in (("total, output in memory", memory), ("total, output on disk", disk)):
        totals = {p: sum(table[m][p] for m in modules) for p in players}
        peer = min(totals["xmp"], totals["openmpt123"])
        print(f"{label:48} {totals['zevora']:8.4f} {totals['xmp']:8.4f} {totals['openmpt123']:8.4f} "
              f"{peer / totals['zevora']:19.2f}")
    totals = {p: sum(memory[m][p] for m in modules) for p in players}
    peer = min(totals["xmp"], totals["openmpt123"])
    print(f"Zevora is {peer / totals['zevora']:.2f} times faster than the faster peer over the corpus (output in memory)")


if __name__ == "__main__":
    main()

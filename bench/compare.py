#!/usr/bin/env python3
"""Renders every corpus module for 60 s with zevora-cli, xmp and openmpt123
(linear interpolation, 44,100 Hz, to WAV), alternating the three over several
rounds, and prints the CPU seconds per minute of audio of each and Zevora's
time as a share of the faster peer's."""
import os
import resource
import shutil
import subprocess
import sys
import tempfile

SECONDS = 60
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


def main():
    cli, corpus = sys.argv[1], sys.argv[2]
    for tool in ("xmp", "openmpt123"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (apt-get install {tool})")
    modules = sorted(f for f in os.listdir(corpus) if f.endswith(".xm"))
    players = ["zevora", "xmp", "openmpt123"]
    best = {m: {p: float("inf") for p in players} for m in modules}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.wav")
        for _ in range(ROUNDS):
            for m in modules:
                for p, argv in commands(cli, os.path.join(corpus, m), out).items():
                    best[m][p] = min(best[m][p], cpu_seconds(argv))
    print(f"CPU seconds per minute of audio (best of {ROUNDS} rounds; lower is better)")
    print(f"{'module':45} {'zevora':>8} {'xmp':>8} {'openmpt':>8} {'zevora/faster peer':>19}")
    totals = {p: 0.0 for p in players}
    for m in modules:
        row = {p: best[m][p] * 60 / SECONDS for p in players}
        for p in players:
            totals[p] += row[p]
        peer = min(row["xmp"], row["openmpt123"])
        print(f"{m:45} {row['zevora']:8.3f} {row['xmp']:8.3f} {row['openmpt123']:8.3f} {row['zevora'] / peer:19.3f}")
    peer = min(totals["xmp"], totals["openmpt123"])
    print(f"{'total':45} {totals['zevora']:8.3f} {totals['xmp']:8.3f} {totals['openmpt123']:8.3f} "
          f"{totals['zevora'] / peer:19.3f}")
    print(f"Zevora is {peer / totals['zevora']:.1f} times faster than the faster peer over the corpus")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Whole-run benchmark: the tool against cp of the same file, in a tmpfs folder.

For each size, runs alternately (a) the tool on a file it has to rewrite (the
backup already there; before each run, outside the timing, the file is put
back to its text without the block) and (b) cp of that file; then (c) the tool
on a file with nothing to change. Prints a table of the median ratios to cp and
the tool's peak resident memory (GNU time's %M).

usage: whole_run.py TOOL SAMPLE_CONFIGURATION
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SIZES = [(64 << 10, 41), (1 << 20, 41), (16 << 20, 15), (64 << 20, 9)]


def configuration_of_size(size, sample):
    """The sample, its <system.webServer> section repeated up to `size` bytes."""
    text = open(sample, "rb").read()
    start = text.index(b"\n", text.index(b"<system.webServer>")) + 1
    end = text.rindex(b"\n", 0, text.index(b"</system.webServer>")) + 1
    section = text[start:end]
    count = max(1, (size - len(text)) // len(section) + 1)
    return text[:start] + section * count + text[end:]


def timed(command):
    begin = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - begin


def peak_kib(command):
    result = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, check=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return int(result.stderr.split()[-1])


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def measure(tool, sample, folder, size, runs):
    path, copy = os.path.join(folder, "applicationHost.config"), os.path.join(folder, "copy")
    pristine = configuration_of_size(size, sample)
    write(path, pristine)
    write(path + ".bak", pristine)
    rewrite, copying, rerun = [], [], []
    for _ in range(runs):
        write(path, pristine)
        rewrite.append(timed([tool, path]))
        if os.path.exists(copy):
            os.remove(copy)
        copying.append(timed(["cp", path, copy]))
    for _ in range(runs):
        rerun.append(timed([tool, path]))
    write(path, pristine)
    rewrite_peak = peak_kib([tool, path])
    rerun_peak = peak_kib([tool, path])
    cp = statistics.median(copying)
    return (len(pristine), cp, statistics.median(rewrite) / cp, rewrite_peak,
            statistics.median(rerun) / cp, rerun_peak)


def main():
    tool, sample = sys.argv[1], sys.argv[2]
    print("| file size | cp | tool/cp (rewrite) | peak memory | tool/cp (nothing to change) | peak memory |")
    print("|---:|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory(prefix="quellmark-bench-", dir="/dev/shm") as folder:
        for size, runs in SIZES:
            actual, cp, ratio, peak, rerun, rerun_peak = measure(tool, sample, folder, size, runs)
            print("| %.2f MiB | %.2f ms | %.2f | %.1f MiB | %.2f | %.1f MiB |" % (
                actual / 2**20, cp * 1e3, ratio, peak / 1024, rerun, rerun_peak / 1024))


if __name__ == "__main__":
    main()

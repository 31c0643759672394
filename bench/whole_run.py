#!/usr/bin/env python3
"""Whole-run benchmark: the tool against a copy of the same file.

For each file, runs alternately (a) the tool on a file it has to rewrite (the
backup already there; before each run, outside the timing, the file is put back
to its text without the block) and (b) a copy of that file; then (c) the tool on
a file with nothing to change. Prints the median ratios to the copy and, on
Linux, the tool's peak resident memory (GNU time's %M). The Linux tool is
compared with cp in a tmpfs folder; with --wine, the Windows executable under
Wine is compared with `cmd /c copy`.

usage: whole_run.py TOOL SAMPLE_CONFIGURATION [--wine]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
BLOCK = (b'\t\t\t<!--QUELLMARK BEGIN-->\r\n'
         b'\t\t\t<section name="Quellmark" overrideModeDefault="Deny" allowDefinition="Everywhere" />\r\n'
         b'\t\t\t<!--QUELLMARK END-->\r\n')


def configuration_of_size(size, sample):
    """The sample, its <system.webServer> section repeated up to `size` bytes."""
    text = open(sample, "rb").read()
    # The section itself, after the section declarations (a comment above them shows one).
    section = text.index(b"<system.webServer>", text.index(b"</configSections>"))
    start = text.index(b"\n", section) + 1
    end = text.rindex(b"\n", 0, text.index(b"</system.webServer>", start)) + 1
    section = text[start:end]
    count = max(1, (size - len(text)) // len(section) + 1)
    return text[:start] + section * count + text[end:]


def files(sample, wine):
    """(name, text, runs) of each file measured."""
    for size, runs in ([(MIB, 9), (16 * MIB, 5)] if wine else
                       [(MIB, 41), (16 * MIB, 15), (64 * MIB, 9)]):
        crlf = configuration_of_size(size, sample)
        yield "%d MiB CRLF" % (size // MIB), crlf, runs
        yield "%d MiB LF" % (size // MIB), crlf.replace(b"\r\n", b"\n"), runs
        if size == 64 * MIB:
            # The worst case for the XML check, which parses as far as the change
            # reaches: an old block left above </configuration>.
            end = crlf.rindex(b"</configuration>")
            yield "64 MiB CRLF, an old block at the end", crlf[:end] + BLOCK + crlf[end:], runs
    if not wine:
        anchor = b'<configuration><configSections>\n<sectionGroup name="system.webServer">\n'
        yield "16 MiB of 8-byte LF lines", anchor + b"<a   />\n" * (2 * MIB), 15
        yield "10 million 1-byte LF lines", anchor + b"x\n" * 10**7, 9


def windows(path):
    """The path under Wine; cmd would take a forward slash for a switch."""
    return "Z:" + path.replace("/", "\\")


def timed(command):
    begin = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - begin


def peak_mib(command):
    result = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, check=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return int(result.stderr.split()[-1]) / 1024


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def measure(tool, copy, folder, text, runs, wine):
    path, other = os.path.join(folder, "applicationHost.config"), os.path.join(folder, "copy")
    run = (lambda p: ["wine", tool, windows(p)]) if wine else (lambda p: [tool, p])
    write(path + ".bak", text)
    rewrite, copying, rerun = [], [], []
    for _ in range(runs):
        write(path, text)
        rewrite.append(timed(run(path)))
        if os.path.exists(other):
            os.remove(other)
        copying.append(timed(copy(path, other)))
    for _ in range(runs):
        rerun.append(timed(run(path)))
    base = statistics.median(copying)
    row = [base * 1e3, statistics.median(rewrite) / base, statistics.median(rerun) / base]
    if not wine:
        write(path, text)
        row[2:2] = [peak_mib(run(path))]
        row += [peak_mib(run(path))]
    return row


def main():
    tool, sample, wine = sys.argv[1], sys.argv[2], "--wine" in sys.argv
    if wine:
        copy = lambda a, b: ["wine", "cmd", "/c", "copy", windows(a), windows(b)]
        print("| file | copy | tool/copy (rewrite) | tool/copy (nothing to change) |")
        print("|---|---:|---:|---:|")
        line = "| %s | %.1f ms | %.2f | %.2f |"
    else:
        copy = lambda a, b: ["cp", a, b]
        print("| file | cp | tool/cp (rewrite) | peak memory | tool/cp (nothing to change) "
              "| peak memory |")
        print("|---|---:|---:|---:|---:|---:|")
        line = "| %s | %.2f ms | %.2f | %.1f MiB | %.2f | %.1f MiB |"
    with tempfile.TemporaryDirectory(prefix="quellmark-bench-", dir="/dev/shm") as folder:
        for name, text, runs in files(sample, wine):
            print(line % tuple([name] + measure(tool, copy, folder, text, runs, wine)), flush=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Fault sweep: runs the tool once under strace to list the system calls of an
update, then once per call and occurrence with an error injected exactly there,
and once with the process killed there, for a first run and for a rerun. After
every run it checks that nothing was lost or torn.

usage: fault_sweep.py TOOL SAMPLE_CONFIGURATION
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

TOOL, SAMPLE = sys.argv[1], sys.argv[2]
NAME = "applicationHost.config"
EARLIER_BACKUP = b"<!-- the backup an earlier run made -->\r\n"
# The error each call fails with; calls not named fail with EACCES.
ERRORS = {
    "write": "ENOSPC", "writev": "ENOSPC", "read": "EIO", "pread64": "EIO",
    "fsync": "EIO", "fdatasync": "EIO", "close": "EIO", "lseek": "EINVAL",
    "mmap": "ENOMEM", "munmap": "ENOMEM", "brk": "ENOMEM", "mremap": "ENOMEM",
}
CALL = re.compile(r"^(\w+)\(")


class Broken(Exception):
    pass


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(root, rerun, inject=None, trace=os.devnull):
    """Lays out a fresh folder and runs the tool on it under strace."""
    folder = tempfile.mkdtemp(dir=root)
    path = os.path.join(folder, NAME)
    shutil.copyfile(SAMPLE, path)
    if rerun:
        with open(path + ".bak", "wb") as f:
            f.write(EARLIER_BACKUP)
    command = ["strace", "-qq", "-o", trace]
    if inject:
        command += ["-e", "inject=" + inject]
    result = subprocess.run(command + [TOOL, path], stdout=subprocess.PIPE)
    return folder, path, result


def calls_of_update(trace, path):
    """The calls from the tool's first look at the file on, as (name, occurrence, line)."""
    counts, calls, started = {}, [], False
    with open(trace) as f:
        for line in f:
            match = CALL.match(line)
            if not match:
                continue
            name = match.group(1)
            counts[name] = counts.get(name, 0) + 1
            started = started or path in line
            if started and name != "exit_group":
                calls.append((name, counts[name], line.strip()))
    return calls


def check(folder, path, result, rerun, new, killed, hit_output):
    original = read(SAMPLE)
    progress = b"[QuellmarkInstaller] Updating startup script " + path.encode() + b"\n "
    after = read(path)
    backup = read(path + ".bak") if os.path.exists(path + ".bak") else None
    if after not in (original, new):
        raise Broken("the file holds neither its old nor its new text")
    if backup not in ((EARLIER_BACKUP,) if rerun else (None, original)):
        raise Broken("the backup changed or is incomplete")
    if killed:
        return
    strays = set(os.listdir(folder)) - {NAME, NAME + ".bak"}
    if strays:
        raise Broken("left behind: " + ", ".join(sorted(strays)))
    if result.returncode == 0 and (after != new or backup is None):
        raise Broken("exit status 0 without the complete new file and backup")
    failed = result.stdout.startswith(progress + b"[QuellmarkInstaller] ")
    if after == original and not failed and not hit_output:
        raise Broken("the file was not updated, yet no failure was printed: %r" % result.stdout)


def sweep(root, rerun):
    folder, path, result = run(root, rerun, trace=os.path.join(root, "trace"))
    if result.returncode != 0:
        sys.exit("fault sweep: the run without faults failed: %r" % result.stdout)
    new = read(path)
    calls = calls_of_update(os.path.join(root, "trace"), path)
    scenario = "rerun" if rerun else "first run"
    injected = 0
    for name, occurrence, line in calls:
        for killed in (False, True):
            action = "signal=SIGKILL" if killed else "error=" + ERRORS.get(name, "EACCES")
            inject = "%s:%s:when=%d" % (name, action, occurrence)
            folder, path, result = run(root, rerun, inject)
            injected += 1
            try:
                check(folder, path, result, rerun, new, killed, line.startswith("write(1,"))
            except Broken as broken:
                sys.exit("fault sweep: %s, %s (%s): %s\n  status %d, output %r" % (
                    scenario, inject, line[:100], broken, result.returncode, result.stdout))
            shutil.rmtree(folder)
    return injected


def main():
    with tempfile.TemporaryDirectory(prefix="quellmark-sweep-") as root:
        total = sweep(root, rerun=False) + sweep(root, rerun=True)
    print("fault sweep: %d faults injected, every invariant held" % total)


main()

#!/usr/bin/env python3
"""Fault sweep: runs the tool under strace to list the system calls of an update,
then once per call and occurrence with an error injected there, once killed
there and once interrupted there, for a first run and a rerun. Then it runs the
tool against other programs, interrupts, limits and odd files. After every run
it checks that nothing was lost, torn or left behind.

usage: fault_sweep.py TOOL SAMPLE_CONFIGURATION
"""
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

TOOL, SAMPLE = sys.argv[1], sys.argv[2]
NAME = "applicationHost.config"
ORIGINAL = open(SAMPLE, "rb").read()
OTHER = ORIGINAL + b"\n<!-- another program's text -->"
EARLIER_BACKUP = b"<!-- the backup an earlier run made -->\r\n"
# The error each call fails with; calls not named fail with EACCES.
ERRORS = {
    "write": "ENOSPC", "writev": "ENOSPC", "read": "EIO", "pread64": "EIO",
    "fsync": "EIO", "close": "EIO", "lseek": "EINVAL",
    "mmap": "ENOMEM", "munmap": "ENOMEM", "mremap": "ENOMEM",
    # brk fails by returning the old break, which an injected error does not imitate.
    "brk": None,
}
# A call, and the file its first argument names (strace -y).
CALL = re.compile(r"^\d+ +(\w+)\((?:\d+<([^>]*)>)?")
HELD = "fsync:delay_enter=1500000:when=1"  # the first flush, held for 1.5 s


class Broken(Exception):
    pass


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def layout(root, rerun=False, text=ORIGINAL):
    folder = tempfile.mkdtemp(dir=root)
    path = os.path.join(folder, NAME)
    write(path, text)
    if rerun:
        write(path + ".bak", EARLIER_BACKUP)
    return folder, path


def tool(path, inject=(), trace=os.devnull, other=None, options=(), **popen):
    """Runs the tool under strace for at most a minute; `other` acts on the path 0.6 s in."""
    command = ["strace", "-f", "-qq", "-y", "-o", trace]
    command += [word for action in inject for word in ("-e", "inject=" + action)]
    process = subprocess.Popen(command + [TOOL, *options, path], stdout=subprocess.PIPE, **popen)
    if other:
        time.sleep(0.6)
        other(path)
    output = process.communicate(timeout=60)[0]
    return process.returncode, output


def progress(path):
    return b"[QuellmarkInstaller] Updating startup script " + path.encode() + b"\n "


def check(folder, path, status, output, rerun, new, how, must_fail):
    after = read(path)
    backup = read(path + ".bak") if os.path.exists(path + ".bak") else None
    if after not in (ORIGINAL, new):
        raise Broken("the file holds neither its old nor its new text")
    if backup not in ((EARLIER_BACKUP,) if rerun else (None, ORIGINAL)):
        raise Broken("the backup changed or is incomplete")
    if after == new and backup is None:
        raise Broken("the new text is in place without a backup")
    if how == "signal=SIGKILL":
        return
    strays = set(os.listdir(folder)) - {NAME, NAME + ".bak"}
    if strays:
        raise Broken("left behind: " + ", ".join(sorted(strays)))
    if status == 0 and (after != new or must_fail):
        raise Broken("exit status 0 after a failure")
    failed = output.startswith(progress(path) + b"[QuellmarkInstaller] ") and status == 1
    if status >= 0 and status != 0 and not failed:
        raise Broken("a failure without its message")


def sweep(root, rerun):
    trace = os.path.join(root, "trace")
    folder, path = layout(root, rerun)
    status, _ = tool(path, trace=trace)
    if status != 0:
        sys.exit("fault sweep: the run without faults failed")
    new, counts, started, injected = read(path), {}, False, 0
    interrupts = ["SIGINT", "SIGTERM", "SIGHUP"]
    for line in open(trace):
        match = CALL.match(line)
        if not match or match.group(1) == "exit_group":
            continue
        name, file = match.groups()
        counts[name] = counts.get(name, 0) + 1
        started = started or path in line
        if not started:
            continue
        # A failed flush or close of anything but the file read must fail the run.
        must_fail = name in ("fsync", "close") and file and not file.endswith(NAME)
        interrupt = interrupts[injected % 3]
        error = ERRORS.get(name, "EACCES")
        for how in (["error=" + error] if error else []) + ["signal=SIGKILL", "signal=" + interrupt]:
            action = "%s:%s:when=%d" % (name, how, counts[name])
            folder, path = layout(root, rerun)
            status, output = tool(path, [action])
            injected += 1
            try:
                check(folder, path, status, output, rerun, new, how, must_fail and "error" in how)
            except Broken as broken:
                sys.exit("fault sweep: %s%s (%s): %s\n  status %d, output %r" % (
                    "rerun, " if rerun else "", action, line.strip()[:100], broken, status, output))
            shutil.rmtree(folder)
    return injected


def expect(what, got, wanted):
    if got != wanted:
        sys.exit("fault sweep: %s: %r instead of %r" % (what, got, wanted))


def others(root):
    """Other programs, interrupts, limits and odd files."""
    def installed(text):
        folder, path = layout(root, text=text)
        expect("a run without faults", tool(path)[0], 0)
        return read(path)

    new, other_new = installed(ORIGINAL), installed(OTHER)

    def rename_over(path):
        write(path + ".other", OTHER)
        os.rename(path + ".other", path)

    def rewrite_in_place(path):
        with open(path, "r+b") as f:
            f.write(OTHER)

    def backup_appears(path):
        write(path + ".bak", EARLIER_BACKUP)

    for other, text, backup in ((rename_over, other_new, OTHER), (rewrite_in_place, other_new, OTHER),
                                (backup_appears, new, EARLIER_BACKUP)):
        folder, path = layout(root)
        status, output = tool(path, [HELD], other=other)
        expect(other.__name__, (status, read(path), read(path + ".bak")), (0, text, backup))
        expect(other.__name__ + ": files", sorted(os.listdir(folder)), [NAME, NAME + ".bak"])

    def keep_changing(path):
        for _ in range(30):
            time.sleep(0.2)
            write(path, OTHER + b" " * (_ % 2))

    folder, path = layout(root, rerun=True)
    status, output = tool(path, ["fsync:delay_enter=1500000"], other=keep_changing)
    expect("a file that keeps changing", (status, output), (1, progress(path) + (
        b"[QuellmarkInstaller] Startup script %s was changed by another program" % path.encode())))
    expect("a file that keeps changing: files", sorted(os.listdir(folder)), [NAME, NAME + ".bak"])

    folder, path = layout(root)
    expect("EINTR from writev", tool(path, ["writev:error=EINTR:when=1"])[0], 0)
    expect("EINTR from writev: text", read(path), new)

    os.remove(path), os.mkfifo(path)
    expect("a FIFO", tool(path, options=["--uninstall"])[0], 1)

    folder, path = layout(root)
    link = os.path.join(tempfile.mkdtemp(dir=root), NAME)
    os.symlink(path, link)
    expect("a link", tool(link)[0], 0)
    expect("a link: kept", (os.path.islink(link), read(link + ".bak"), sorted(os.listdir(folder))),
           (True, ORIGINAL, [NAME]))

    folder, path = layout(root)
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (len(ORIGINAL) // 2,) * 2)
    for rerun, step in ((False, b"Backing up"), (True, b"Writing")):
        if rerun:
            write(path + ".bak", EARLIER_BACKUP)
        status, output = tool(path, preexec_fn=limit)
        expect("a file size limit", (status, output[len(progress(path)):]),
               (1, b"[QuellmarkInstaller] %s startup script %s occur error" % (step, path.encode())))
        expect("a file size limit: file", read(path), ORIGINAL)
        expect("a file size limit: files", len(os.listdir(folder)), 1 + rerun)

    if os.geteuid() == 0:
        folder, path = layout(root)
        nobody = 65534
        os.chmod(root, 0o711)
        os.chown(folder, nobody, nobody), os.chown(path, nobody, nobody), os.chmod(path, 0o444)
        status, output = tool(path, user=nobody, group=nobody, extra_groups=[])
        expect("a read-only file", (status, output[len(progress(path)):], os.listdir(folder)),
               (1, b"[QuellmarkInstaller] Writing startup script %s occur error" % path.encode(),
                [NAME]))
    else:
        print("fault sweep: not root, the read-only file is not tried")


def main():
    with tempfile.TemporaryDirectory(prefix="quellmark-sweep-") as root:
        total = sweep(root, rerun=False) + sweep(root, rerun=True)
        others(root)
    print("fault sweep: %d faults injected, every invariant held" % total)


main()

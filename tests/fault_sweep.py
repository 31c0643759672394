#!/usr/bin/env python3
# Fault sweep: lists the system calls of an update under strace, then reruns it
# once per call and occurrence with an error injected there, once killed there
# and once interrupted there, for a first run and a rerun, and checks that
# nothing was lost, torn or left behind. Then it runs the tool against other
# programs, limits and odd files. usage: fault_sweep.py TOOL SAMPLE_CONFIGURATION
import errno, os, re, resource, shutil, subprocess, sys, tempfile, time

TOOL, SAMPLE = sys.argv[1], sys.argv[2]
NAME, ROOT = "applicationHost.config", tempfile.mkdtemp(prefix="quellmark-sweep-")
# Lines enough to fill the writer's 256 KiB buffer more than once.
OLD = open(SAMPLE, "rb").read().replace(b"</configuration>", b"<!-- a line -->\n" * 20000 +
                                        b"</configuration>")
OTHER, EARLIER = OLD + b"\n<!-- another program's text -->", b"<!-- an earlier backup -->\r\n"
SAME_SIZE = OLD.replace(b"<!-- a line -->", b"<!-- A LINE -->", 1)
# The error each call fails with, EACCES when not named; brk fails by returning
# the old break, which an injected error does not imitate.
ERRORS = {"write": "ENOSPC", "writev": "ENOSPC", "fsetxattr": "ENOSPC", "read": "EIO",
          "pread64": "EIO", "fsync": "EIO", "close": "EIO", "lseek": "EINVAL", "mmap": "ENOMEM",
          "munmap": "ENOMEM", "brk": None}
CALL = re.compile(r"^\d+ +(\w+)\((?:\d+<([^>]*)>)?")  # a call, and the file it names (strace -y)
HELD = "fsync:delay_enter=1500000"  # flushes held for 1.5 s
PREFIX = b"[QuellmarkInstaller] "
# A fixed threshold: blocks of 128 KiB and more always come from mmap, so that memory
# can be exhausted once the temporary file exists, whatever the parses before freed.
os.environ["GLIBC_TUNABLES"] = "glibc.malloc.mmap_threshold=131072"


def read(path):
    return open(path, "rb").read() if os.path.exists(path) else None


def layout(text=OLD, backup=None):
    path = os.path.join(tempfile.mkdtemp(dir=ROOT), NAME)
    open(path, "wb").write(text)
    os.setxattr(path, "user.origin", b"installer")  # copied onto each new file
    if backup:
        open(path + ".bak", "wb").write(backup)
    return path


# Runs the tool under strace; `other` acts on the path 0.6 s in.
def tool(path, inject=(), trace=os.devnull, other=None, options=(), exe=TOOL, **popen):
    command = ["strace", "-f", "-qq", "-y", "-o", trace] + [
        w for action in inject for w in ("-e", "inject=" + action)] + [exe, *options, path]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)
    if other:
        time.sleep(0.6)
        other(path)
    output, tool.reason = process.communicate(timeout=60)
    prefix = PREFIX + b"Updating startup script %s\n " % path.encode()
    return process.returncode, output[len(prefix):] if output.startswith(prefix) else output


# Texts are shown from their first difference on, a few bytes of each.
def expect(what, got, wanted):
    if got == wanted:
        return
    if isinstance(got, bytes) and isinstance(wanted, bytes):
        at = next((i for i, (a, b) in enumerate(zip(got, wanted)) if a != b),
                  min(len(got), len(wanted)))
        what, got, wanted = "%s, from byte %d" % (what, at), got[at:at + 60], wanted[at:at + 60]
    sys.exit("fault sweep: %s: %r instead of %r" % (what, got, wanted))


# A value that must be one of `allowed`: the value, and what was allowed.
def expect_in(what, got, allowed):
    if got not in allowed:
        short = lambda value: value[:60] if isinstance(value, bytes) else value
        sys.exit("fault sweep: %s: %r, not one of %r" % (what, short(got),
                                                          tuple(map(short, allowed))))


# A run's status and its output after the progress line, each a fact of its own.
def expect_run(what, run, status, output):
    expect(what + ": the status", run[0], status)
    expect(what + ": the output", run[1], output)


def message(text, path):
    return PREFIX + text % path.encode()


def files(path):
    return sorted(os.listdir(os.path.dirname(path)))


# Each temporary file is flushed before its rename, and its folder after; returns the renames.
def flushed_in_order(trace):
    calls = open(trace).read().splitlines()
    # Renamed by name in the folder's descriptor: renameat2(3</folder>, "temporary", ...).
    renames = [(i, "/".join(re.search(r'<([^>]*)>, "([^"]+)"', line).groups()))
               for i, line in enumerate(calls) if (CALL.match(line) or [0, ""])[1].startswith("rename")]
    flushes = lambda calls, name: any(re.match(r"\d+ +fsync\(\d+<%s>" % re.escape(name), c)
                                      for c in calls)
    for i, temp in renames:
        expect("a flush before the rename of " + temp, flushes(calls[:i], temp), True)
        expect("its folder's flush after it", flushes(calls[i:], os.path.dirname(temp)), True)
    return len(renames)


def sweep(backup):
    trace, path = os.path.join(ROOT, "trace"), layout(backup=backup)
    folder = os.path.dirname(path)
    expect("a run without faults", tool(path, trace=trace)[0], 0)
    expect("files renamed into place", flushed_in_order(trace), 1 if backup else 2)
    new, counts, started, injected, exhausted = read(path), {}, False, 0, False
    for line in open(trace):
        match = CALL.match(line)
        if not match:
            continue
        name, file = match.groups()
        counts[name] = counts.get(name, 0) + 1
        started = started or NAME in line
        if not started or name == "exit_group":
            continue
        if "O_EXCL" in line and not exhausted:
            # Memory runs out once the first temporary file exists: it must go too.
            path, exhausted = layout(backup=backup), True
            status, output = tool(path, ["mmap:error=ENOMEM:when=%d+" % (counts.get("mmap", 0) + 1),
                                         "brk:retval=0:when=%d+" % (counts.get("brk", 0) + 1)])
            expect_run("memory exhausted", (status, output[:len(PREFIX)]), 8, PREFIX)
            expect("memory exhausted: left behind", set(files(path)) - {NAME, NAME + ".bak"},
                   set())
        # A failed flush, close or attribute copy of anything but the file read and its
        # folder's descriptor (opened for reading alone), or a folder that cannot be
        # opened, must fail the run.
        must_fail = name in ("fsync", "close", "fsetxattr") and not file.endswith(NAME) and \
            (name, file) != ("close", folder) if file else "O_DIRECTORY" in line
        error = ERRORS.get(name, "EACCES")
        interrupt = "signal=SIG" + ("INT", "TERM", "HUP")[injected % 3]
        for how in ["error=%s" % error] * bool(error) + ["signal=SIGKILL", interrupt]:
            path, injected = layout(backup=backup), injected + 1
            status, output = tool(path, ["%s:%s:when=%d" % (name, how, counts[name])])
            after, kept = read(path), read(path + ".bak")
            what = "%s%s at %s" % ("rerun, " if backup else "", how, line.strip()[:90])
            expect_in(what + ": the file", after, (OLD, new))
            expect_in(what + ": the backup", kept, (backup,) if backup else (None, OLD))
            expect(what + ": a new text without a backup", after == new and kept is None, False)
            if how == "signal=SIGKILL":
                continue
            expect(what + ": left behind", set(files(path)) - {NAME, NAME + ".bak"}, set())
            # Denied (6) where EACCES was injected, any other failure (8) elsewhere.
            if how != interrupt:
                expect_in(what + ": the status", status, (0, 6 if error == "EACCES" else 8))
            if status == 0:
                expect(what + ": the file after a success", after, new)
                expect(what + ": a success where the fault must fail the run",
                       must_fail and how != interrupt, False)
            if status > 0:
                expect(what + ": the output's start", output[:len(PREFIX)], PREFIX)
            reason = b": " + os.strerror(getattr(errno, error or "EIO")).encode()
            if output.endswith(b" occur error") and how == "error=%s" % error:
                expect(what + ": the reason names " + reason.decode(), reason in tool.reason, True)
    # The out-of-memory step needs the temporary file's exclusive creation in the trace.
    expect("a temporary file created exclusively (O_EXCL) in the trace", exhausted, True)
    return injected


# Other programs, limits and odd files.
def others():
    installed = {}
    for text in (OLD, OTHER, SAME_SIZE):
        path = layout(text)
        expect("a run without faults", tool(path)[0], 0)
        installed[text] = read(path)

    rename_over = lambda path: (open(path + "~", "wb").write(OTHER), os.rename(path + "~", path))
    same_size_in_place = lambda path: open(path, "r+b").write(SAME_SIZE)
    backup_appears = lambda path: open(path + ".bak", "wb").write(EARLIER)
    for name, other, text, backup in (("rename", rename_over, installed[OTHER], OTHER),
                                      ("same size in place", same_size_in_place,
                                       installed[SAME_SIZE], SAME_SIZE),
                                      ("new backup", backup_appears, installed[OLD], EARLIER)):
        time.sleep(1 - time.time() % 1)  # read and changed within one second
        path = layout()
        expect_run(name, tool(path, [HELD + ":when=1"], other=other), 0, b"")
        expect(name + ": the file", read(path), text)
        expect(name + ": the backup", read(path + ".bak"), backup)
        expect(name + ": no other file", files(path), [NAME, NAME + ".bak"])
    path = layout()
    expect_run("a file cut short while it is read",
               tool(path, ["pread64:delay_enter=1500000"], other=lambda path: os.truncate(path, 99)),
               8, message(b"Reading startup script %s occur error", path))
    expect("a file cut short: the reason says so", b"cut short" in tool.reason, True)
    path = layout()
    expect_run("EINTR from writev", tool(path, ["writev:error=EINTR:when=1"]), 0, b"")
    expect("EINTR from writev: the file", read(path), installed[OLD])
    os.remove(path), os.mkfifo(path)
    expect("a FIFO", tool(path, options=["--uninstall"])[0], 8)
    path, link = layout(), os.path.join(tempfile.mkdtemp(dir=ROOT), NAME)
    os.symlink(path, link)
    expect("a link: the status", tool(link)[0], 0)
    expect("a link: still a link", os.path.islink(link), True)
    # Every step works in the folder of the file the link names.
    expect("a link: the backup beside its target", read(path + ".bak"), OLD)
    expect("a link: nothing beside it", files(link), [NAME])
    expect("a link: the file", read(path), installed[OLD])
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (len(OLD) // 2,) * 2)
    for backup, step in ((None, b"Backing up"), (EARLIER, b"Writing")):
        path = layout(backup=backup)
        expect_run("a file size limit", tool(path, preexec_fn=limit), 8,
                   message(step + b" startup script %s occur error", path))
        expect("a file size limit: the file", read(path), OLD)
        expect("a file size limit: no other file", len(files(path)), 1 + bool(backup))
    if os.geteuid() != 0:
        return print("fault sweep: not root, so no read-only file tried as another user")
    # Run from a copy that user can reach, wherever the checkout is (a home folder of mode 700).
    path, nobody, exe = layout(), 65534, shutil.copy(TOOL, ROOT)
    os.chmod(exe, 0o755), os.chmod(ROOT, 0o711), os.chown(os.path.dirname(path), nobody, nobody)
    os.chown(path, nobody, nobody), os.chmod(path, 0o444)
    as_nobody = dict(exe=exe, user=nobody, group=nobody, extra_groups=[])
    expect_run("a read-only file", tool(path, **as_nobody), 6,
               message(b"Writing startup script %s occur error", path))
    os.chmod(path, 0o644), os.chmod(os.path.dirname(path), 0o555)
    checked = tool(path, options=["--check"], **as_nobody)[1]
    expect("a folder without write permission, checked",
           checked.endswith(message(b"Backing up startup script %s occur error", path)), True)
    expect("a read-only file: files", files(path), [NAME])


try:
    injected = sweep(None) + sweep(EARLIER)
    others()
    print("fault sweep: %d faults injected, every invariant held" % injected)
finally:
    shutil.rmtree(ROOT)

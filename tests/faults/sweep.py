#!/usr/bin/env python3
"""A fault-injection sweep of zqv under strace.

For each scenario (extract to a new name, extract replacing a file, build to a new name, build
replacing a file, test) one clean run under `strace -f` lists every system call zqv makes and
how often each thread makes it. Then every (call, occurrence, fault) runs once more with that
fault injected by `strace --inject`, plus a SIGKILL as the process enters the call, each in a
fresh folder, and the folder is checked:

  - the inputs are unchanged;
  - the output's name holds its old contents (nothing, for a new name) or exactly the right bytes;
  - exit 0 only with the right bytes; never exit 2 (usage) or 3 (wrong password), since the
    command line and the password are right;
  - a message on stderr on every failure;
  - no abort: no SIGABRT, SIGSEGV or other fatal signal, no "terminate called", no hang;
  - no temporary file (.zqv-tmp-*) and nothing else new in the folder, unless the run was killed.

After a kill that left a temporary, an ordinary zqv run into the same folder should remove it;
those are counted on a line of their own and do not fail the sweep. Each failing point runs once
more under `strace -k` to name zqv's functions on the faulted call's stack; a failure inside the
dynamic loader, before any of zqv runs, is listed apart and not counted.

strace counts occurrences per call and per traced thread: `when=N` faults the Nth call in every
thread that makes N of them, so the points of a call are 1..(the most any one thread made).

Run: sweep.py ZQV [--jobs N] [--scenario NAME]... [--stub FILE] [--log FILE]
Exit: 0 when every point holds, 1 when any fails, 77 when strace cannot run here (1 under CI=true).
"""
import argparse
import collections
import concurrent.futures
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HEADER_OFFSET = 95232
TEMP_PREFIX = ".zqv-tmp-"
RUN_TIMEOUT = 20  # seconds; a run this long under a fault counts as a hang

# The errors each call can meet on a real system; anything not listed gets EIO. Every call also
# takes a SIGKILL as it is entered.
FAULTS = {
    "read": ("EIO", "EINTR"),
    "pread64": ("EIO", "EINTR"),
    "write": ("EIO", "ENOSPC", "EINTR"),
    "pwrite64": ("EIO", "ENOSPC", "EINTR"),
    "openat": ("EACCES", "EMFILE", "ENOSPC", "EIO"),
    "open": ("EACCES", "EMFILE", "ENOSPC", "EIO"),
    "fstat": ("EIO",),
    "newfstatat": ("EIO",),
    "statx": ("EIO",),
    "clone": ("EAGAIN", "ENOMEM"),
    "clone3": ("EAGAIN", "ENOMEM"),
    "mmap": ("ENOMEM",),
    "mprotect": ("ENOMEM",),
    "rename": ("EIO", "ENOSPC"),
    "renameat": ("EIO", "ENOSPC"),
    "renameat2": ("EIO", "ENOSPC"),
    "fsync": ("EIO",),
    "fdatasync": ("EIO",),
    "close": ("EIO", "EINTR"),
    "flock": ("EINTR", "ENOLCK"),
    "getrandom": ("EAGAIN",),
    "mkdir": ("EIO", "ENOSPC"),
    "mkdirat": ("EIO", "ENOSPC"),
    # Calls that cannot fail: the kill only. glibc takes any futex result but the few a wait can
    # return as its own fatal error, and strace's count cannot tell a wait from a wake. The kernel
    # refuses a brk by returning the old break, never an error, and malloc crashes on one.
    "futex": (),
    "brk": (),
    "umask": (),
    "exit": (),
    "exit_group": (),
    "set_tid_address": (),
    "getpid": (),
    "gettid": (),
    "rt_sigreturn": (),
}
# strace is attached before the exec that starts zqv; nothing can be injected into it.
NOT_INJECTABLE = {"execve"}


def faults_of(call):
    return FAULTS.get(call, ("EIO",)) + ("KILL",)


class Scenario:
    """A zqv command run with relative paths inside a fresh folder.

    files: the folder's contents before the run (relative path -> bytes); output: the name the
    command writes (None for test); right: the bytes that name must hold after a success."""

    def __init__(self, name, argv, files, output=None, right=None, again=None):
        self.name, self.argv, self.files, self.output, self.right = name, argv, files, output, right
        self.again = again or argv  # the ordinary run that follows a kill

    def inputs(self):
        return {p: b for p, b in self.files.items() if p != self.output}

    def old(self):
        return self.files.get(self.output) if self.output else None

    def lay_out(self, folder):
        for path, data in self.files.items():
            full = os.path.join(folder, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(folder, "out"), exist_ok=True)


def snapshot(folder):
    found = {}
    for base, _, names in os.walk(folder):
        for n in names:
            full = os.path.join(base, n)
            with open(full, "rb") as f:
                found[os.path.relpath(full, folder)] = f.read()
    return found


def run(argv, cwd, **kw):
    """Runs argv in its own process group, killing the whole group (strace and zqv) on a hang."""
    p = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         start_new_session=True, **kw)
    try:
        out, err = p.communicate(timeout=RUN_TIMEOUT)
        return p.returncode, out, err, False
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, err = p.communicate()
        return p.returncode, out, err, True


CALL_LINE = re.compile(r"^(\d+) +([a-z_0-9]+)\(")


def count_calls(log):
    """{call: {thread: count}} from an `strace -f` log; resumed halves are not new calls."""
    counts = collections.defaultdict(collections.Counter)
    with open(log) as f:
        for line in f:
            m = CALL_LINE.match(line)
            if m:
                counts[m.group(2)][m.group(1)] += 1
    return counts


class Sweep:
    def __init__(self, zqv, stub, work):
        self.zqv, self.work = zqv, work
        self.rng = random.Random(24)
        self.data = bytes(self.rng.getrandbits(8) for _ in range(5000))
        self.stub = stub
        self.pw = b"fault sweep\n"
        self.archive = self.make_archive()

    def zqv_argv(self, *args):
        return [self.zqv, *args]

    def make_archive(self):
        folder = tempfile.mkdtemp(prefix="archive-", dir=self.work)
        for name, data in (("in.bin", self.data), ("pw.txt", self.pw), ("stub.exe", self.stub)):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        rc, _, err, _ = run(self.zqv_argv("build", "in.bin", "-o", "a.exe", "--stub", "stub.exe",
                                          "--password-file", "pw.txt", "--seed", "24"), folder)
        if rc != 0:
            sys.exit("cannot build the sweep's archive: " + err.decode())
        with open(os.path.join(folder, "a.exe"), "rb") as f:
            return f.read()

    def scenarios(self):
        base = {"in.bin": self.data, "pw.txt": self.pw, "stub.exe": self.stub}
        old = b"the file that stood here before\n" * 40
        extract = ["extract", "a.exe", "-C", "out", "--password-file", "pw.txt", "-q"]
        build = ["build", "in.bin", "-o", "out/new.exe", "--stub", "stub.exe", "--password-file", "pw.txt",
                 "--seed", "24"]
        with_archive = dict(base, **{"a.exe": self.archive})
        return [
            Scenario("extract-new", self.zqv_argv(*extract), with_archive, "out/in.bin", self.data,
                     again=self.zqv_argv(*extract, "--overwrite")),
            Scenario("extract-replace", self.zqv_argv(*extract, "--overwrite"),
                     dict(with_archive, **{"out/in.bin": old}), "out/in.bin", self.data),
            # The archive a build must write is the one the clean run wrote, checked by zqv itself
            # (--seed makes the chaining block, and so every byte, the same each time).
            Scenario("build-new", self.zqv_argv(*build), base, "out/new.exe"),
            Scenario("build-replace", self.zqv_argv(*build), dict(base, **{"out/new.exe": old}), "out/new.exe"),
            Scenario("test", self.zqv_argv("test", "a.exe", "--password-file", "pw.txt", "-q"), with_archive),
        ]

    def fresh(self, scenario):
        folder = tempfile.mkdtemp(prefix=scenario.name + "-", dir=self.work)
        scenario.lay_out(folder)
        return folder

    def clean_run(self, scenario):
        """Traces one unfaulted run; returns {call: most occurrences in one thread} and the
        thread count. Sets the right bytes of a build from what it wrote, once zqv accepts them."""
        folder = self.fresh(scenario)
        log = folder + ".strace"
        rc, _, err, _ = run(["strace", "-f", "-qq", "-o", log, "--", *scenario.argv], folder)
        if rc != 0:
            raise RuntimeError("%s: the clean run failed (exit %s): %s" % (scenario.name, rc, err.decode().strip()))
        if scenario.output and scenario.right is None:
            with open(os.path.join(folder, scenario.output), "rb") as f:
                scenario.right = f.read()
            self.check_archive(scenario, folder)
        after = snapshot(folder)
        expected = dict(scenario.files)
        if scenario.output:
            expected[scenario.output] = scenario.right
        if after != expected:
            raise RuntimeError("%s: the clean run left %s" % (scenario.name, sorted(after)))
        counts = count_calls(log)
        threads = len({t for c in counts.values() for t in c})
        shutil.rmtree(folder)
        return {call: max(c.values()) for call, c in sorted(counts.items())}, threads

    def check_archive(self, scenario, folder):
        """The clean build's archive: exactly the stub in front, and zqv tests and extracts it."""
        out = os.path.join(folder, scenario.output)
        if scenario.right[:HEADER_OFFSET] != self.stub:
            raise RuntimeError(scenario.name + ": the archive does not begin with the stub")
        check = tempfile.mkdtemp(prefix="check-", dir=self.work)
        for args in (("test", out), ("extract", out, "-C", check)):
            rc, _, err, _ = run(self.zqv_argv(*args, "--password-file", os.path.join(folder, "pw.txt"), "-q"), folder)
            if rc != 0:
                raise RuntimeError("%s: zqv %s refuses the clean build: %s" % (scenario.name, args[0], err.decode()))
        with open(os.path.join(check, "in.bin"), "rb") as f:
            if f.read() != self.data:
                raise RuntimeError(scenario.name + ": the clean build does not extract to its input")
        shutil.rmtree(check)

    def fault_run(self, scenario, call, when, fault):
        folder = self.fresh(scenario)
        log = folder + ".strace"
        action = "signal=KILL" if fault == "KILL" else "error=" + fault
        argv = ["strace", "-f", "-qq", "-o", log, "-e", "trace=" + call,
                "-e", "inject=%s:%s:when=%d" % (call, action, when), "--", *scenario.argv]
        rc, _, err, hung = run(argv, folder)
        with open(log, errors="replace") as f:
            injected = [l.strip() for l in f if "(INJECTED)" in l or "killed by SIGKILL" in l]
        result = self.judge(scenario, folder, fault, rc, err, hung)
        if fault == "KILL" and result["stale"]:
            again_rc, _, again_err, _ = run(scenario.again, folder)
            left = [p for p in snapshot(folder) if os.path.basename(p).startswith(TEMP_PREFIX)]
            result["stale_removed"] = not left
            if again_rc != 0:
                result["other"].append("the run after the kill failed (exit %s): %s" % (again_rc, again_err.decode().strip()))
        fired = bool(injected) or (fault == "KILL" and rc == -signal.SIGKILL)
        shutil.rmtree(folder)
        os.remove(log)
        return dict(result, scenario=scenario.name, call=call, when=when, fault=fault, rc=rc, fired=fired,
                    injected=injected[0] if injected else "", stderr=err.decode(errors="replace").strip())

    def judge(self, scenario, folder, fault, rc, err, hung):
        r = {"lost": [], "false_success": [], "abort": [], "other": [], "stale": [], "stale_removed": None}
        after = snapshot(folder)
        for path, data in scenario.inputs().items():
            if after.get(path) != data:
                r["lost"].append("the input %s was %s" % (path, "removed" if path not in after else "changed"))
        final = after.get(scenario.output) if scenario.output else None
        right = scenario.output is not None and final == scenario.right
        if scenario.output and not right and final != scenario.old():
            what = "removed" if final is None else "%d bytes that are neither the old file nor the right one" % len(final)
            r["lost"].append("%s: %s" % (scenario.output, what))
        text = err.decode(errors="replace")
        killed = fault == "KILL" and rc == -signal.SIGKILL
        died = []
        if hung:
            died.append("hung for %d s" % RUN_TIMEOUT)
        elif rc is not None and rc < 0 and not killed:
            died.append("killed by " + signal.Signals(-rc).name)
        for line in text.splitlines():
            if "terminate called" in line or "Fatal glibc error" in line or "unexpected error code" in line:
                died.append('"%s"' % line.strip())
        if died:
            r["abort"].append(", ".join(died))
        if rc == 0 and scenario.output and not right:
            r["false_success"].append("exit 0 but %s holds %s" % (
                scenario.output, "nothing" if final is None else "the old file" if final == scenario.old()
                else "wrong bytes"))
        # The command line and the password are right: exit 2 or 3 blames the user for a fault.
        if rc in MISREPORTS:
            r["other"].append("reported as %s (exit %d)" % (MISREPORTS[rc], rc))
        if text.startswith("strace: "):
            r["other"].append("strace failed: " + text.strip().splitlines()[0])
        if rc is not None and rc > 0 and not text.strip():
            r["other"].append("exit %s with nothing on stderr" % rc)
        for path in sorted(after):
            if path in scenario.files or path == scenario.output:
                continue
            if not os.path.basename(path).startswith(TEMP_PREFIX):
                r["other"].append("left a stray file " + path)
            elif killed:
                r["stale"].append(path)
            else:
                r["other"].append("left the temporary " + path)
        return r

    def locate(self, scenario, call, when, fault):
        """Runs a failing point again under `strace -k` and returns the stack of the faulted call,
        innermost first, as (object, symbol) pairs."""
        folder = self.fresh(scenario)
        log = folder + ".stack"
        action = "signal=KILL" if fault == "KILL" else "error=" + fault
        run(["strace", "-f", "-qq", "-k", "-o", log, "-e", "trace=" + call,
             "-e", "inject=%s:%s:when=%d" % (call, action, when), "--", *scenario.argv], folder)
        frames, inside = [], False
        with open(log, errors="replace") as f:
            for line in f:
                if not line.startswith(" > "):
                    if frames:
                        break
                    inside = "(INJECTED)" in line or "killed by" in line
                    continue
                m = FRAME.match(line)
                if inside and m:
                    frames.append((os.path.basename(m.group(1)), m.group(2) or "?"))
        shutil.rmtree(folder)
        os.remove(log)
        return frames


FRAME = re.compile(r" > (\S+?)\((.*?)(?:\+0x[0-9a-f]+)?\) \[")
MISREPORTS = {2: "a usage error", 3: "a wrong password"}


def before_main(frames, zqv):
    """A call made by the dynamic loader or a library's initialiser before zqv's own code runs:
    nothing of zqv on the stack, the loader at its root."""
    return bool(frames) and all(obj != os.path.basename(zqv) for obj, _ in frames) and frames[-1][0].startswith("ld-linux")


def zqv_frame(frames, zqv):
    """zqv's frames on the stack, innermost first ("ReadFile < Copy < main"), or the innermost
    frame when zqv is not on it."""
    def short(symbol):  # a function's name without its parameters
        symbol = symbol.replace("(anonymous namespace)", "{anonymous}")
        return symbol.split("(")[0].replace("{anonymous}", "(anonymous namespace)")

    own = [short(sym) for obj, sym in frames if obj == os.path.basename(zqv)]
    if own:
        return "zqv: " + " < ".join(own[:4])
    return "%s: %s" % (frames[0][0], short(frames[0][1])) if frames else "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("zqv")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--scenario", action="append", help="run only these scenarios")
    parser.add_argument("--stub", help="the stub to carry (default: a stand-in of zero bytes)")
    parser.add_argument("--log", help="write every point's outcome to this file")
    args = parser.parse_args()

    def unavailable(why):
        print("fault sweep not run: " + why)
        sys.exit(1 if os.environ.get("CI") == "true" else 77)

    if not shutil.which("strace"):
        unavailable("strace is not installed")
    probe = subprocess.run(["strace", "-f", "-qq", "-o", os.devnull, "-e", "inject=getpid:error=EIO:when=1", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        unavailable("strace cannot trace here: " + probe.stderr.decode().strip())

    can_unwind = subprocess.run(["strace", "-k", "-o", os.devnull, "true"], capture_output=True).returncode == 0
    zqv = os.path.abspath(args.zqv)
    stub = open(args.stub, "rb").read() if args.stub else bytes(HEADER_OFFSET)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="zqv-faults-") as work:
        # A copy, so that a rebuild while the sweep runs does not mix two programs.
        zqv = shutil.copy2(zqv, os.path.join(work, "zqv"))
        sweep = Sweep(zqv, stub, work)
        scenarios = {s.name: s for s in sweep.scenarios() if not args.scenario or s.name in args.scenario}
        points = []
        for s in scenarios.values():
            try:
                calls, threads = sweep.clean_run(s)
            except RuntimeError as e:
                sys.exit("FAIL " + str(e))
            mine = [(s, c, w, f) for c in calls if c not in NOT_INJECTABLE
                    for w in range(1, calls[c] + 1) for f in faults_of(c)]
            print("%s: %d threads, %d calls, %d fault points: %s" % (
                s.name, threads, len(calls), len(mine), " ".join("%s×%d" % kv for kv in calls.items())), flush=True)
            points += mine
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            results = list(pool.map(lambda p: sweep.fault_run(*p), points))
        elapsed = time.monotonic() - started
        # Where each failure happened. An abort or a silent exit inside the dynamic loader, before
        # zqv's code runs, is the loader's own and is listed apart.
        loader = []
        for r in results:
            if not any(r[k] for k in KINDS):
                continue
            frames = sweep.locate(scenarios[r["scenario"]], r["call"], r["when"], r["fault"]) if can_unwind else []
            r["at"] = zqv_frame(frames, zqv)
            if before_main(frames, zqv) and not r["lost"] and not r["false_success"]:
                loader.append(dict(r))
                for k in KINDS:
                    r[k] = []
    report(results, loader, scenarios, elapsed, args)


KINDS = ("lost", "false_success", "abort", "other")


def report(results, loader, scenarios, elapsed, args):
    def where(r):
        return "%s %s#%d %s" % (r["scenario"], r["call"], r["when"], r["fault"])

    def details(r):
        return "at %s | exit %s | stderr: %s | %s" % (
            r.get("at", "?"), r["rc"], r["stderr"].splitlines()[-1] if r["stderr"] else "-", r["injected"][:160])

    for kind in KINDS:
        for r in results:
            for what in r[kind]:
                print("FAIL %s %s: %s | %s" % (kind, where(r), what, details(r)))
    for r in loader:
        print("LOADER %s: %s | %s" % (where(r), "; ".join(w for k in KINDS for w in r[k]), details(r)))
    stale = [r for r in results if r["stale"]]
    kept = [r for r in stale if not r["stale_removed"]]
    for name in scenarios:
        points = ["%s#%d" % (r["call"], r["when"]) for r in kept if r["scenario"] == name]
        if points:
            print("STALE %s: %d kills left a temporary that the next zqv run kept: %s" % (name, len(points), " ".join(points)))
    if args.log:
        with open(args.log, "w") as f:
            for r in results:
                f.write("%s | exit %s | fired %s | %s | %s\n" % (
                    where(r), r["rc"], r["fired"], r["injected"], r["stderr"].replace("\n", " / ")))
    print("%d of %d points fired (a point past what a thread makes in a run does not fire); %.1f s on %d jobs" % (
        sum(r["fired"] for r in results), len(results), elapsed, args.jobs))
    print("faults in the dynamic loader: %d runs stopped with its message (exit 127), %d otherwise (LOADER, not counted)" % (
        sum(r["rc"] == 127 for r in results), len(loader)))
    print("stale temporaries after a kill: %d left, %d removed by the next run, %d kept (STALE, not counted)" % (
        len(stale), len(stale) - len(kept), len(kept)))
    count = {k: sum(len(r[k]) for r in results) for k in KINDS}
    print("%d fault points, %d lost, %d false success, %d aborts, %d other invariant failures" % (
        len(results), count["lost"], count["false_success"], count["abort"], count["other"]))
    sys.exit(1 if any(count.values()) else 0)


if __name__ == "__main__":
    main()

# SPDX-License-Identifier: GPL-3.0-or-later
"""The benchmark's harness: commands timed in alternating rounds, the trees they work on, and
the checks of what they leave behind."""

import contextlib
import os
import shutil
import stat
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_TREES = os.path.join(HERE, "make-trees.py")
MIB = 1 << 20


# ---------------------------------------------------------------------------------------------
# Commands and timing


@dataclass
class Command:
    name: str
    argv: object  # a list, or a function of the round giving the list
    destination: object  # a path, or a function of the round giving it
    env: dict = None

    def argv_for(self, round_index):
        return self.argv(round_index) if callable(self.argv) else self.argv

    def destination_for(self, round_index):
        d = self.destination
        return d(round_index) if callable(d) else d


@dataclass
class Sample:
    seconds: float  # the command alone
    sync_seconds: float  # the sync of the destination's file system right after it
    exit_code: int
    inner_seconds: float = None  # the run as the program timed it, without its start-up

    def total(self, with_sync):
        return self.seconds + (self.sync_seconds if with_sync else 0)


@dataclass
class Result:
    workload: str
    samples: dict = field(default_factory=dict)  # command name -> [Sample]
    checks: dict = field(default_factory=dict)  # command name -> text
    peaks: dict = field(default_factory=dict)  # command name -> peak resident MiB
    load: str = ""

    def inner_median(self, name):
        runs = [s.inner_seconds for s in self.samples.get(name) or []
                if s.exit_code == 0 and s.inner_seconds is not None]
        return statistics.median(runs) if runs else None

    def paired_ratio(self, name, reference, with_sync=False):
        """The median over the rounds of this command's time over the reference's that round."""
        ratios = [a.total(with_sync) / b.total(with_sync)
                  for a, b in zip(self.samples.get(name) or [], self.samples.get(reference) or [])
                  if a.exit_code == 0 and b.exit_code == 0 and b.seconds > 0]
        return statistics.median(ratios) if ratios else None

    def median(self, name, with_sync=False):
        # A failed run did not do the work; its time would flatter the command.
        runs = [s for s in self.samples.get(name) or [] if s.exit_code == 0]
        if not runs:
            return None
        return statistics.median(s.total(with_sync) for s in runs)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def can_drop_caches():
    try:
        drop_caches()
        return True
    except OSError:
        return False


# How copies are timed: "settled" syncs before every command and keeps used copies aside;
# "plain" times the way a short shell script would, `rm -rf DEST; time (COMMAND; sync)`: what
# the steps before left dirty is written back within the timed sync.
PROTOCOL = "settled"


def run_timed(command, round_index, cold, sync_after, log):
    """Runs one command, timing it (and the sync after it when asked) from outside."""
    argv = command.argv_for(round_index)
    if PROTOCOL == "settled":
        os.sync()  # what earlier steps left dirty is not this command's cost
    if cold:
        drop_caches()
    env = dict(os.environ, **(command.env or {}))
    with open(log, "ab") as errors:
        start = time.perf_counter()
        process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=errors, env=env)
        output, _ = process.communicate()
        finished = time.perf_counter()
    inner = None
    for line in output.decode(errors="replace").splitlines():
        if line.startswith("seconds:"):
            inner = float(line.split()[1])
    sync_seconds = 0.0
    if sync_after:
        subprocess.run(["sync", "-f", command.destination_for(round_index)], check=False)
        sync_seconds = time.perf_counter() - finished
    return Sample(finished - start, sync_seconds, process.returncode, inner)


def peak_memory(command, log):
    """Peak resident MiB of one untimed run, as GNU time reports it.

    Measured from a small parent: a child forked from this Python process would report this
    process's size as its own peak.
    """
    if not os.access("/usr/bin/time", os.X_OK):
        return None
    report = os.path.join(os.path.dirname(log), "time.out")
    env = dict(os.environ, **(command.env or {}))
    with open(log, "ab") as errors:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *command.argv_for(0)],
                       stdout=subprocess.DEVNULL, stderr=errors, env=env, check=False)
    with open(report) as f:
        words = f.read().split()
    return int(words[-1]) / 1024 if words and words[-1].isdigit() else None


def measure(workload, commands, rounds, log, cold=False, sync_after=False, before=None,
            after=None):
    """Alternates the commands run by run; round 0 is an untimed warm-up."""
    result = Result(workload, {c.name: [] for c in commands})
    load_before = load_average()
    print(f"\n== {workload}: {len(commands)} commands x {rounds} rounds "
          f"(+1 warm-up){', cold cache' if cold else ''}; load {load_before}", flush=True)
    for round_index in range(rounds + 1):
        shift = round_index % len(commands)
        for command in commands[shift:] + commands[:shift]:
            if before:
                before(command, round_index)
            sample = run_timed(command, round_index, cold, sync_after, log)
            if sample.exit_code != 0:
                print(f"   {command.name}: exit code {sample.exit_code} (see {log})", flush=True)
            if round_index > 0:
                result.samples[command.name].append(sample)
            if after:
                after(command, round_index)
        timed = "warm-up" if round_index == 0 else f"round {round_index}"
        print(f"   {timed} done, load {load_average()}", flush=True)
    result.load = f"{load_before} -> {load_average()}"
    return result



# ---------------------------------------------------------------------------------------------
# Trees and checks


def listing(root):
    """Relative path -> (kind, size, whole-second mtime, mode) of everything below root."""
    entries = {}
    pending = [""]
    while pending:
        relative = pending.pop()
        with os.scandir(os.path.join(root, relative)) as folder:
            for entry in folder:
                path = os.path.join(relative, entry.name) if relative else entry.name
                info = entry.stat(follow_symlinks=False)
                mode = stat.S_IMODE(info.st_mode)
                if stat.S_ISDIR(info.st_mode):
                    entries[path] = ("folder", 0, 0, mode)
                    pending.append(path)
                else:
                    entries[path] = ("file", info.st_size, info.st_mtime_ns // 10**9, mode)
    return entries


def compare(expected, actual):
    """A short text naming how `actual` differs from `expected`; 'same' when it does not."""
    missing = [p for p in expected if p not in actual]
    extra = [p for p in actual if p not in expected]
    kinds = {}
    for path, want in expected.items():
        got = actual.get(path)
        if got is None or got == want:
            continue
        for index, what in ((0, "kind"), (1, "size"), (2, "mtime"), (3, "mode")):
            if got[index] != want[index]:
                kinds.setdefault(what, []).append(path)
    if not missing and not extra and not kinds:
        return "same"
    parts = []
    if missing:
        parts.append(f"{len(missing)} missing (e.g. {missing[0]!r})")
    if extra:
        parts.append(f"{len(extra)} extra (e.g. {extra[0]!r})")
    for what, paths in kinds.items():
        parts.append(f"{len(paths)} differ in {what} (e.g. {paths[0]!r})")
    return "; ".join(parts)


def made_with(path, recipe):
    """Whether `path` was made by `recipe` (a list of words) in an earlier round."""
    try:
        with open(path + ".done", encoding="utf-8") as marker:
            return marker.read() == repr(recipe)
    except OSError:
        return False


def make(path, recipe, command):
    if made_with(path, recipe):
        return
    if os.path.exists(path):
        shutil.rmtree(path)
    subprocess.run(command, check=True)
    with open(path + ".done", "w", encoding="utf-8") as marker:
        marker.write(repr(recipe))


def generate(kind, path, *options):
    command = [sys.executable, MAKE_TREES, kind, path, *map(str, options)]
    make(path, command[2:], command)


def copy_with_floor(tools, source, destination):
    # The copy follows its source: a regenerated source gets a fresh copy.
    with open(source + ".done", encoding="utf-8") as marker:
        recipe = ["copy of", marker.read()]
    make(destination, recipe, [tools.floor, "--copy", source, destination])


def read_manifest(stash):
    with open(os.path.join(stash, "manifest.tsv"), encoding="utf-8") as f:
        return [line.rstrip("\n").split("\t") for line in f if line.strip()]


def tree_bytes(root):
    total = 0
    for folder, _, files in os.walk(root):
        total += sum(os.lstat(os.path.join(folder, name)).st_size for name in files)
    return total


class Aside:
    """Moves used destinations out of the way instead of deleting them before a timed run."""

    def __init__(self, work):
        self.folder = os.path.join(work, "aside")
        os.makedirs(self.folder, exist_ok=True)
        self.count = 0

    def clear(self):
        print("   (deleting the used copies put aside: the file system runs short)", flush=True)
        for name in os.listdir(self.folder):
            shutil.rmtree(os.path.join(self.folder, name))

    def move(self, path):
        if not os.path.lexists(path):
            return
        while os.path.lexists(os.path.join(self.folder, str(self.count))):
            self.count += 1
        os.rename(path, os.path.join(self.folder, str(self.count)))


def is_mounted(path):
    return subprocess.run(["mountpoint", "-q", path], check=False).returncode == 0


@contextlib.contextmanager
def latency_mount(tools, backing, mountpoint, log, delay_us, lifetime):
    """BACKING served at MOUNTPOINT by tavrick-test-fs for the `with` block; unmounted after."""
    os.makedirs(mountpoint, exist_ok=True)
    with open(log, "ab") as errors:
        daemon = subprocess.Popen([tools.latency, "--delay-us", str(delay_us), "--lifetime",
                                   str(lifetime), backing, mountpoint], stderr=errors)
    try:
        deadline = time.monotonic() + 30
        while not is_mounted(mountpoint):
            if daemon.poll() is not None or time.monotonic() > deadline:
                raise OSError(f"tavrick-test-fs did not mount {mountpoint} (see {log})")
            time.sleep(0.05)
        yield mountpoint
    finally:
        daemon.terminate()
        try:
            daemon.wait(timeout=30)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()
        if is_mounted(mountpoint):
            subprocess.run(["umount", "-l", mountpoint], check=False)


#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Times tavrick-sync against the metadata floor, rsync and cp, and checks their results.

Run through bench/run-bench.sh, which builds the tools and gives this script a fresh ext4 file
system to work in. Every workload runs its commands in alternation, one run of each command per
round with the order rotated every round, after one untimed warm-up round; it prints the
medians and the ratios to the floor. The destination each command leaves behind is compared
with the source and with the engine's (relative path, size, whole-second time, mode).

Every workload times two floors: the single-threaded one, the reference of every ratio, and
the parallel one (the same walk with N threads), the most the hardware gives. W5 runs the
no-change backup against a destination behind tavrick-test-fs, which answers every
metadata request 0.5 ms late.
"""

import argparse
import contextlib
import datetime
import os
import platform
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


# ---------------------------------------------------------------------------------------------
# Workloads


@dataclass
class Tools:
    floor: str
    engine: str
    window: str
    latency: str
    threads: int  # threads of the parallel floor on local disks
    latency_threads: int  # threads of the parallel floor behind the latency file system


def parallel_floor(tools, source, destination, suffix="", copy=False, threads=None):
    threads = threads or tools.threads
    name = f"floor{' --copy' if copy else ''} ×{threads}{suffix}"
    flags = ["--copy"] if copy else []

    def argv(round_index):
        target = destination(round_index) if callable(destination) else destination
        return [tools.floor, *flags, "--threads", str(threads), source, target]

    return Command(name, argv, destination)


def no_change_commands(tools, source, destination, suffix="", threads=None, one_thread=True,
                       copy=False):
    # "tavrick-sync ×1" is the engine reading everything on its own thread: the reference the
    # read-ahead's results are checked against.
    single = [Command("tavrick-sync ×1" + suffix,
                      [tools.engine, "--read-ahead", "0", source, destination], destination)]
    return [
        Command(("floor --copy" if copy else "floor") + suffix,
                [tools.floor, *(["--copy"] if copy else []), source, destination], destination),
        parallel_floor(tools, source, destination, suffix, copy=copy, threads=threads),
        Command("tavrick-sync" + suffix, [tools.engine, source, destination], destination),
        *(single if one_thread else []),
        Command("rsync" + suffix,
                ["rsync", "-rtp", "--update", "--whole-file", source + "/", destination + "/"],
                destination),
        Command("cp -ru" + suffix,
                ["cp", "-ru", "--preserve=timestamps", source + "/.", destination + "/"],
                destination),
    ]


def check_against(result, reference, listings, engine="tavrick-sync"):
    """Checks the engine against the expected tree and every other command against the engine."""
    if engine in listings:
        result.checks[engine] = "vs source: " + compare(reference, listings[engine])
        for name, entries in listings.items():
            if name == engine:
                continue
            result.checks[name] = "vs tavrick-sync: " + compare(listings[engine], entries)
            if result.checks[name] != "vs tavrick-sync: same":
                result.checks[name] += "; vs source: " + compare(reference, entries)
    else:
        for name, entries in listings.items():
            result.checks[name] = "vs source: " + compare(reference, entries)


def qt_environment(work):
    runtime = os.path.join(work, "xdg-runtime")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    return {"QT_QPA_PLATFORM": "offscreen", "XDG_RUNTIME_DIR": runtime}


def workload_w1(tools, trees, args, log, cold):
    source, destination = trees["w1-src"], trees["w1-dst"]
    commands = no_change_commands(tools, source, destination)
    if not cold and tools.window:
        commands.append(Command("tavrick-sync-window", [tools.window, source, destination],
                                destination, env=qt_environment(args.work)))
    name = f"W1 no change, {args.w1_files} files / {args.w1_folders} folders, " + (
        "cold" if cold else "warm")
    result = measure(name, commands, args.cold_runs if cold else args.runs, log, cold=cold)
    result.checks["all"] = "destination vs source after every command: " + compare(
        listing(source), listing(destination))
    return result


def workload_w3(tools, trees, args, log, aside):
    source, destination, stash = trees["w1-src"], trees["w1-dst"], trees["w1-stash"]
    manifest = read_manifest(stash)

    def restore(command, round_index):
        # Puts back what the previous command copied, so every run finds the pre-change state.
        for kind, old, relative, *kept in manifest:
            path = os.path.join(destination, relative)
            if kind == "touched":
                os.utime(path, (int(old), int(old)))
            elif kind == "resized":
                original = os.path.join(stash, kept[0])
                shutil.copyfile(original, path)
                os.chmod(path, stat.S_IMODE(os.stat(original).st_mode))
                os.utime(path, (int(old), int(old)))
            elif kind == "folder":
                aside.move(path)

    listings = {}

    def snapshot(command, round_index):
        if round_index == 0:
            listings[command.name] = listing(destination)

    commands = no_change_commands(tools, source, destination, copy=True)
    if args.variants:
        # Replacements written as a temporary and renamed over the target, as the engine does.
        commands.append(Command("floor --copy --rename",
                                [tools.floor, "--copy", "--rename", source, destination],
                                destination))
    result = measure(f"W3 incremental after the mutator ({len(manifest)} changes)"
                     f"{', plain protocol' if PROTOCOL == 'plain' else ''}", commands,
                     args.runs, log, sync_after=True, before=restore, after=snapshot)
    restore(None, 0)
    check_against(result, listing(source), listings)
    note = "cp -u copies only newer files, so it leaves same-time size changes alone"
    if "cp -ru" in result.checks and "size" in result.checks["cp -ru"]:
        result.checks["cp -ru"] += f" [{note}]"
    return result


def workload_w2(tools, trees, args, log, aside, source_key="w2-src", files=None):
    source = trees[source_key]
    out = os.path.join(args.work, "w2-out")
    os.makedirs(out, exist_ok=True)

    def target(tag):
        return lambda round_index: os.path.join(out, f"{tag}-{round_index}")

    commands = [
        Command("floor --copy", lambda r: [tools.floor, "--copy", source, target("floor")(r)],
                target("floor")),
        parallel_floor(tools, source, target("parallel-floor"), copy=True),
        Command("tavrick-sync", lambda r: [tools.engine, source, target("engine")(r)],
                target("engine")),
        Command("cp -a", lambda r: ["cp", "-a", source, target("cp")(r)], target("cp")),
        Command("rsync",
                lambda r: ["rsync", "-rtp", "--update", "--whole-file", source + "/",
                           target("rsync")(r) + "/"],
                target("rsync")),
    ]
    if args.variants:
        # New files written without a name and linked in, as the engine does.
        commands.append(Command(
            "floor --copy --tmpfile",
            lambda r: [tools.floor, "--copy", "--tmpfile", source, target("tmpfile")(r)],
            target("tmpfile")))

    size, count = tree_bytes(source), files or args.w2_files

    def fresh(command, round_index):
        if PROTOCOL == "plain":
            shutil.rmtree(command.destination_for(round_index - 1), ignore_errors=True)
            return
        aside.move(command.destination_for(round_index))
        # Used copies stay where they are; only when the file system runs short of room or
        # inodes are they deleted, followed by a sync, so that the next run finds the disk at
        # rest again.
        room = os.statvfs(out)
        if room.f_bavail * room.f_frsize < 2 * size or room.f_favail < 2 * count:
            aside.clear()  # no fstrim: holes punched into the image slow the disk below
            os.sync()
            time.sleep(1)

    listings = {}

    def snapshot(command, round_index):
        if round_index == 0:
            listings[command.name] = listing(command.destination_for(round_index))

    shape = "" if source_key == "w2-src" else f" (the {source_key} tree)"
    result = measure(f"W2 first copy into a missing destination, {count} files"
                     f"{shape}{', plain protocol' if PROTOCOL == 'plain' else ''}",
                     commands, args.runs, log, sync_after=True, before=fresh, after=snapshot)
    check_against(result, listing(source), listings)
    # The copies fill the disk; the workloads after this one need the room.
    shutil.rmtree(out)
    aside.clear()
    os.sync()
    return result


def workload_w4(tools, trees, args, log):
    large, small = args.w4_files, args.w4_files // 10
    commands = no_change_commands(tools, trees["w4-src"], trees["w4-dst"], one_thread=False)
    everything = no_change_commands(tools, trees["w4s-src"], trees["w4s-dst"],
                                    suffix=f" ({small})", one_thread=False)
    commands += [everything[0], everything[2]]
    result = measure(f"W4 one flat folder of {large} files (and {small}), no change",
                     commands, args.runs, log)
    for command in commands[:5]:
        result.peaks[command.name] = peak_memory(command, log)
    result.checks["all"] = "destination vs source after every command: " + compare(
        listing(trees["w4-src"]), listing(trees["w4-dst"]))
    return result


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


def fuse_unavailable(tools):
    if not tools.latency:
        return "tavrick-test-fs is not built (libfuse3 was not found)"
    if not os.path.exists("/dev/fuse"):
        return "this machine has no /dev/fuse"
    return None


def workload_w5(tools, trees, args, log):
    source, backing = trees["w5-src"], trees["w5-dst"]
    title = (f"W5 no change, {args.w5_files} files / {args.w5_folders} folders, destination "
             f"behind {args.w5_delay_us} µs per metadata request, no attribute or entry caching")
    # The floor walks more than a minute per run at full W1 size; W5 has its own, smaller tree.
    with latency_mount(tools, backing, os.path.join(args.work, "w5-mnt"), log,
                       args.w5_delay_us, lifetime=3600) as destination:
        commands = no_change_commands(tools, source, destination, threads=tools.latency_threads)
        result = measure(title, commands, args.w5_runs, log)
    # The backing folder holds what the commands wrote, without the delay on every entry.
    result.checks["all"] = "destination vs source after every command: " + compare(
        listing(source), listing(backing))
    return result


# ---------------------------------------------------------------------------------------------
# Report


def ratio(numerator, denominator):
    if numerator is None or not denominator:
        return None
    return numerator / denominator


def format_ratio(value):
    return "—" if value is None else f"{value:.2f}×"


def table(result, floor, with_sync=False):
    lines = [f"### {result.workload}", f"load (1, 5, 15 min): {result.load}", "",
             "| command | median s | min–max s | × floor | paired × floor | peak MiB | check |",
             "|---|---:|---:|---:|---:|---:|---|"]
    if not result.peaks:
        lines[-2:] = ["| command | median s | min–max s | × floor | paired × floor | check |",
                      "|---|---:|---:|---:|---:|---|"]
    floor_median = result.median(floor, with_sync)
    for name, runs in result.samples.items():
        if not runs:
            continue
        times = [s.total(with_sync) for s in runs if s.exit_code == 0] or [float("nan")]
        median = result.median(name, with_sync) or float("nan")
        failed = sum(1 for s in runs if s.exit_code != 0)
        check = result.checks.get(name, "")
        if failed:
            check = f"{failed} runs failed (left out); " + check
        peak = f" {result.peaks[name]:.1f} |" if result.peaks.get(name) is not None else (
            " — |" if result.peaks else "")
        lines.append(f"| {name} | {median:.3f} | {min(times):.3f}–{max(times):.3f} | "
                     f"{format_ratio(ratio(median, floor_median))} | "
                     f"{format_ratio(result.paired_ratio(name, floor, with_sync))} |{peak} "
                     f"{check} |")
    if "all" in result.checks:
        lines.append(f"\n{result.checks['all']}")
    lines.append("\n× floor: ratio of the medians; paired × floor: median over the rounds of "
                 "each round's ratio.")
    inner = {name: result.inner_median(name) for name in result.samples}
    if inner.get("tavrick-sync-window") is not None:
        lines.append("\nThe run alone, as each program times it (a window is up long before its "
                     "runs, so the Qt start-up is left out): " + ", ".join(
                         f"{name} {value:.3f} s" for name, value in inner.items()
                         if value is not None and name.startswith("tavrick")) + ".")
    if with_sync:
        lines.append("\nTimes include `sync -f` of the destination's file system after each "
                     "command (the engine syncs by itself; its extra sync finds little to do).")
        raw = ", ".join(f"{name} {result.median(name):.3f} s"
                        for name in result.samples if result.median(name) is not None)
        lines.append(f"Without the sync: {raw}.")
    return "\n".join(lines)


def target_rows(results):
    rows = []

    def add(label, value, limit):
        verdict = "—" if value is None else ("met" if value <= limit else "MISSED")
        shown = "—" if value is None else f"{value:.2f}"
        rows.append(f"| {label} | ≤ {limit} | {shown} | {verdict} |")

    def reference(label, value):
        rows.append(f"| (for reference) {label} | | {'—' if value is None else f'{value:.2f}'} | |")

    def parallel(r, copy=False):
        prefix = "floor --copy ×" if copy else "floor ×"
        return next((n for n in r.samples if n.startswith(prefix) and "(" not in n), None)

    def no_change(key, label, limit):
        if key not in results:
            return
        r = results[key]
        add(f"{label}: tavrick-sync / floor", ratio(r.median("tavrick-sync"), r.median("floor")),
            limit)
        if "tavrick-sync ×1" in r.samples:
            reference(f"{label}: tavrick-sync ×1 (no read-ahead) / floor",
                      ratio(r.median("tavrick-sync ×1"), r.median("floor")))
        reference(f"{label}: {parallel(r)} / floor",
                  ratio(r.median(parallel(r)), r.median("floor")))

    no_change("W1 warm", "W1 warm", 0.6)
    if "W1 warm" in results:
        r = results["W1 warm"]
        add("W1 from the window (the run alone): tavrick-sync-window / tavrick-sync",
            ratio(r.inner_median("tavrick-sync-window"), r.inner_median("tavrick-sync")), 1.05)
    no_change("W1 cold", "W1 cold", 0.5)
    no_change("W5", "W5", 0.3)
    for key, limit, cp in (("W2", 1.05, "cp -a"), ("W3", 1.1, "cp -ru")):
        if key not in results:
            continue
        r = results[key]
        add(f"{key}: tavrick-sync / (copying floor + sync)",
            ratio(r.median("tavrick-sync", True), r.median("floor --copy", True)), limit)
        reference(f"{key}: {parallel(r, copy=True)} / floor (both + sync)",
                  ratio(r.median(parallel(r, copy=True), True), r.median("floor --copy", True)))
        reference(f"{key}: {cp} / floor (both + sync)",
                  ratio(r.median(cp, True), r.median("floor --copy", True)))
    if "W4" in results:
        r = results["W4"]
        small = [n for n in r.samples if n.startswith("tavrick-sync (")][0]
        no_change("W4", "W4", 1.0)
        reference("W4: tavrick-sync 10× files / 1× files",
                  ratio(r.median("tavrick-sync"), r.median(small)))
        floor_small = [n for n in r.samples if n.startswith("floor (")][0]
        reference("W4: floor 10× files / 1× files", ratio(r.median("floor"),
                                                          r.median(floor_small)))
        add("W4: tavrick-sync peak memory, MiB", r.peaks.get("tavrick-sync"), 64)
    return rows


class Reports(list):
    """The tables so far; each is also printed as soon as its workload is done."""

    def append(self, text):
        print("\n" + text, flush=True)
        super().append(text)


def machine_description():
    with open("/proc/meminfo") as f:
        memory = int(f.readline().split()[1]) // 1024
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return (f"{os.cpu_count()} CPUs ({model}), {memory} MiB memory, Linux "
            f"{platform.release()}; `uptime`: {subprocess.run(['uptime'], capture_output=True, text=True).stdout.strip()}")


# ---------------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", required=True, help="folder on the benchmark file system")
    parser.add_argument("--bin", required=True, help="folder holding the built bench tools")
    parser.add_argument("--engine", help="the engine driver (default: BIN/tavrick-sync)")
    parser.add_argument("--runs", type=int, default=5, help="timed rounds per workload")
    parser.add_argument("--cold-runs", type=int, default=9,
                        help="timed rounds of the cold-cache workload, whose disk reads are "
                             "the noisiest on a shared machine")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every tree size")
    parser.add_argument("--workloads", default="W1,W1cold,W3,W2,W4,W5",
                        help="also W2w1: W2's first copy made of the W1 tree")
    parser.add_argument("--floor-threads", type=int, default=2 * (os.cpu_count() or 1),
                        help="threads of the parallel floor on the local file system")
    parser.add_argument("--latency-floor-threads", type=int, default=32,
                        help="threads of the parallel floor behind the latency file system")
    parser.add_argument("--w5-files", type=int, default=10000,
                        help="files of the W5 tree at scale 1 (in a twentieth as many folders)")
    parser.add_argument("--w5-runs", type=int, help="timed rounds of W5 (default: --runs)")
    parser.add_argument("--w5-delay-us", type=int, default=500,
                        help="delay of every metadata request behind the latency file system")
    parser.add_argument("--protocol", choices=["settled", "plain"], default="settled",
                        help="settled: sync before every command, keep used copies aside; "
                             "plain: delete the used copy and time the command and a sync "
                             "together, with whatever the steps before left dirty")
    parser.add_argument("--variants", action="store_true",
                        help="also time the copying floor with the engine's ways of naming a "
                             "copy: W2 with nameless new files, W3 with renamed replacements")
    parser.add_argument("--report", help="also write the tables to this file")
    args = parser.parse_args()
    global PROTOCOL
    PROTOCOL = args.protocol

    s = args.scale
    args.w1_files, args.w1_folders = int(100000 * s), max(int(5000 * s), 10)
    args.w2_files, args.w2_folders, args.w2_large = int(20000 * s), max(int(1000 * s), 10), max(
        int(100 * s), 1)
    args.w4_files = int(200000 * s)
    args.w5_files = int(args.w5_files * s)
    args.w5_folders = max(args.w5_files // 20, 10)
    args.w5_runs = args.w5_runs or args.runs
    wanted = set(args.workloads.split(","))

    tools = Tools(floor=os.path.join(args.bin, "tavrick-floor"),
                  engine=args.engine or os.path.join(args.bin, "tavrick-sync"),
                  window=os.path.join(args.bin, "tavrick-sync-window"),
                  latency=os.path.join(args.bin, "tavrick-test-fs"),
                  threads=args.floor_threads, latency_threads=args.latency_floor_threads)
    for path in (tools.floor, tools.engine):
        if not os.access(path, os.X_OK):
            sys.exit(f"bench.py: {path} is not built")
    if not os.access(tools.window, os.X_OK):
        tools.window = None
    if not os.access(tools.latency, os.X_OK):
        tools.latency = None

    work = os.path.abspath(args.work)
    args.work = work
    trees_dir = os.path.join(work, "trees")
    os.makedirs(trees_dir, exist_ok=True)
    trees = {name: os.path.join(trees_dir, name) for name in
             ("w1-src", "w1-dst", "w1-stash", "w2-src", "w4-src", "w4-dst", "w4s-src",
              "w4s-dst", "w5-src", "w5-dst")}
    log = os.path.join(work, "errors.log")
    open(log, "w").close()
    aside = Aside(work)

    print(f"Machine: {machine_description()}")
    print(f"Work folder: {work} ({subprocess.run(['findmnt', '-n', '-o', 'SOURCE,FSTYPE,OPTIONS', '-T', work], capture_output=True, text=True).stdout.strip()})")
    started = time.perf_counter()
    print("\nGenerating trees (kept between rounds)...", flush=True)
    if wanted & {"W1", "W1cold", "W3", "W2w1"}:
        generate("tree", trees["w1-src"], "--files", args.w1_files, "--folders", args.w1_folders)
        copy_with_floor(tools, trees["w1-src"], trees["w1-dst"])
    if "W2" in wanted:
        generate("tree", trees["w2-src"], "--seed", 2, "--files", args.w2_files, "--folders",
                 args.w2_folders, "--large", args.w2_large, "--large-bytes", 12 * MIB,
                 "--small-bytes", 65536)
    if "W4" in wanted:
        generate("flat", trees["w4-src"], "--files", args.w4_files)
        generate("flat", trees["w4s-src"], "--seed", 5, "--files", args.w4_files // 10)
        copy_with_floor(tools, trees["w4-src"], trees["w4-dst"])
        copy_with_floor(tools, trees["w4s-src"], trees["w4s-dst"])
    w5_unavailable = fuse_unavailable(tools) if "W5" in wanted else None
    if "W5" in wanted and not w5_unavailable:
        generate("tree", trees["w5-src"], "--seed", 6, "--files", args.w5_files, "--folders",
                 args.w5_folders)
        copy_with_floor(tools, trees["w5-src"], trees["w5-dst"])
    print(f"Trees ready after {time.perf_counter() - started:.0f} s.", flush=True)

    results = {}
    reports = Reports()
    if "W1" in wanted:
        results["W1 warm"] = workload_w1(tools, trees, args, log, cold=False)
        reports.append(table(results["W1 warm"], "floor"))
    if "W1cold" in wanted:
        if can_drop_caches():
            results["W1 cold"] = workload_w1(tools, trees, args, log, cold=True)
            reports.append(table(results["W1 cold"], "floor"))
        else:
            reports.append("### W1 cold\nskipped: this machine does not let us drop caches")
    if "W3" in wanted:
        # The mutation changes the W1 source in place, so W1 runs before it.
        with open(trees["w1-src"] + ".done", encoding="utf-8") as marker:
            recipe = ["mutation of", marker.read()]
        make(trees["w1-stash"], recipe, [sys.executable, MAKE_TREES, "mutate", trees["w1-src"],
                                         "--stash", trees["w1-stash"]])
        results["W3"] = workload_w3(tools, trees, args, log, aside)
        reports.append(table(results["W3"], "floor --copy", with_sync=True))
    if "W2" in wanted:
        results["W2"] = workload_w2(tools, trees, args, log, aside)
        reports.append(table(results["W2"], "floor --copy", with_sync=True))
    if "W2w1" in wanted:
        # The first copy of the W1 tree: many more, smaller files than W2's.
        result = workload_w2(tools, trees, args, log, aside, "w1-src", args.w1_files)
        reports.append(table(result, "floor --copy", with_sync=True))
    if "W4" in wanted:
        results["W4"] = workload_w4(tools, trees, args, log)
        reports.append(table(results["W4"], "floor"))
    if "W5" in wanted:
        if w5_unavailable:
            reports.append(f"### W5\nskipped: {w5_unavailable}")
        else:
            try:
                results["W5"] = workload_w5(tools, trees, args, log)
                reports.append(table(results["W5"], "floor"))
            except OSError as error:
                reports.append(f"### W5\nskipped: {error}")

    header = [f"## Benchmark, {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
              f"Machine: {machine_description()}",
              f"Scale {args.scale}, {args.runs} timed rounds per workload, medians; parallel "
              f"floor with {tools.threads} threads ({tools.latency_threads} in W5); "
              f"took {time.perf_counter() - started:.0f} s."]
    targets = ["### Targets", "| target | limit | measured | |", "|---|---:|---:|---|",
               *target_rows(results)]
    text = "\n\n".join(["\n".join(header), *reports, "\n".join(targets)]) + "\n"
    print("\n" + text)
    if args.report:
        with open(args.report, "w", encoding="utf-8") as f:
            f.write(text)
        print(f"(also written to {args.report})")
    if os.path.getsize(log) if os.path.exists(log) else 0:
        with open(log, encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
        print(f"\nCommands wrote {len(lines)} lines to stderr; the last ones:")
        print("".join(lines[-10:]))


if __name__ == "__main__":
    main()

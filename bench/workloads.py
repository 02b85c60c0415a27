# SPDX-License-Identifier: GPL-3.0-or-later
"""The workloads: which commands each times, on which trees, and how their results are checked."""

import os
import shutil
import stat
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass

import harness
from harness import (MAKE_TREES, MIB, Aside, Command, compare, copy_with_floor, generate,
                     latency_mount, listing, make, measure, peak_memory, read_manifest,
                     tree_bytes)


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
                     f"{', plain protocol' if harness.PROTOCOL == 'plain' else ''}", commands,
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
        if harness.PROTOCOL == "plain":
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
                     f"{shape}{', plain protocol' if harness.PROTOCOL == 'plain' else ''}",
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



@dataclass
class Table:
    """A workload that reports its own table: W6 times ticks inside one window process."""
    markdown: str


def w6_changes(source, path, counts=(4, 3, 3)):
    """Lists 10 files of the source, 4, 3 and 3 from three folders, for the window driver."""
    chosen = []
    for folder, _, names in sorted(os.walk(source)):
        files = sorted(n for n in names if os.path.isfile(os.path.join(folder, n)))
        count = counts[len({os.path.dirname(p) for p in chosen})]
        if len(files) >= count:
            chosen += [os.path.join(folder, n) for n in files[:count]]
        if len(chosen) == sum(counts):
            break
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(chosen) + "\n")
    return len({os.path.dirname(p) for p in chosen})


def window_ticks(tools, args, source, destination, changes, journal):
    """One window driver: a Start click's run, then the two timed ticks; their seconds."""
    argv = [tools.window, *([] if journal else ["--no-journal"]), "--ticks", changes, source,
            destination]
    done = subprocess.run(argv, capture_output=True, text=True, env={
        **os.environ, **qt_environment(args.work)}, check=False)
    found = dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)
    return (float(found.get("no-change tick seconds", "nan")),
            float(found.get("changed tick seconds", "nan")),
            found.get("changed tick folders visited", "?"))


def workload_w6(tools, trees, args, log):
    """Timed ticks of the window over W1's tree: with the change journal, and as today."""
    source, destination = trees["w1-src"], trees["w1-dst"]
    changes = os.path.join(args.work, "w6-changes.txt")
    folders = w6_changes(source, changes)
    floor = measure("W6 floor", [Command("floor ×1", [tools.floor, source, destination],
                                         destination)], args.runs, log)
    floor_seconds = floor.median("floor ×1")
    rows = {}
    for journal in (True, False):
        runs = [window_ticks(tools, args, source, destination, changes, journal)
                for _ in range(args.runs)]
        rows[journal] = (statistics.median(r[0] for r in runs),
                         statistics.median(r[1] for r in runs), runs[-1][2])
    lines = [f"{args.w1_files} files / {args.w1_folders} folders; 10 files changed in {folders} "
             f"folders; medians of {args.runs}; every tick timed with a sync of the destination; "
             f"single-threaded floor {floor_seconds:.4f} s; load {floor.load}",
             "", "| tick | with journal | × floor | today | × floor |", "|---|---:|---:|---:|---:|"]
    for index, name in ((0, "no change"), (1, "10 files changed")):
        journal, today = rows[True][index], rows[False][index]
        lines.append(f"| {name} | {journal:.4f} s | {journal / floor_seconds:.4f} | "
                     f"{today:.4f} s | {today / floor_seconds:.4f} |")
    lines.append(f"\nFolders the 10-change tick visited: {rows[True][2]} with the journal, "
                 f"{rows[False][2]} today.")
    if args.w6_idle > 0:
        lines.append(w6_idle(tools, args, source, destination))
    return Table("\n".join(lines))


def w6_idle(tools, args, source, destination):
    """Processor time of the idle window with a one-minute period, with and without journal."""
    env = {**os.environ, **qt_environment(args.work)}
    drivers = {journal: subprocess.Popen(
        [tools.window, *([] if journal else ["--no-journal"]), "--idle", str(args.w6_idle),
         source, destination], stdout=subprocess.PIPE, text=True, env=env)
        for journal in (True, False)}
    shares = {}
    for journal, driver in drivers.items():
        out, _ = driver.communicate()
        line = next((l for l in out.splitlines() if l.startswith("idle processor seconds")), "")
        seconds = float(line.split(": ")[1].split()[0]) if line else float("nan")
        shares[journal] = 100 * seconds / args.w6_idle
    return (f"\nIdle window, one-minute period, {args.w6_idle} s side by side: "
            f"{shares[True]:.4f} % of a core with the journal, {shares[False]:.4f} % today.")


def scale_sizes(args):
    """The tree sizes of every workload, from --scale (and the W5 options)."""
    s = args.scale
    args.w1_files, args.w1_folders = int(100000 * s), max(int(5000 * s), 10)
    args.w2_files, args.w2_folders = int(20000 * s), max(int(1000 * s), 10)
    args.w2_large = max(int(100 * s), 1)
    args.w4_files = int(200000 * s)
    args.w5_files = int(args.w5_files * s)
    args.w5_folders = max(args.w5_files // 20, 10)
    args.w5_runs = args.w5_runs or args.runs


def tree_paths(work):
    trees_dir = os.path.join(work, "trees")
    os.makedirs(trees_dir, exist_ok=True)
    return {name: os.path.join(trees_dir, name) for name in
            ("w1-src", "w1-dst", "w1-stash", "w2-src", "w4-src", "w4-dst", "w4s-src",
             "w4s-dst", "w5-src", "w5-dst")}


def prepare_trees(tools, trees, args, wanted):
    """Generates the trees the wanted workloads read; a tree made the same way before is kept.

    Returns why W5 cannot run on this machine, or None.
    """
    if wanted & {"W1", "W1cold", "W3", "W2w1", "W6"}:
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
    return w5_unavailable


def mutate_w1_source(trees):
    # The mutation changes the W1 source in place, so W1 runs before it.
    with open(trees["w1-src"] + ".done", encoding="utf-8") as marker:
        recipe = ["mutation of", marker.read()]
    make(trees["w1-stash"], recipe, [sys.executable, MAKE_TREES, "mutate", trees["w1-src"],
                                     "--stash", trees["w1-stash"]])


def run_workloads(tools, trees, args, wanted, w5_unavailable, report):
    """Runs the wanted workloads in their fixed order; report(key, result, floor, with_sync) or
    report(key, why_skipped) receives each outcome as soon as it is known."""
    log = os.path.join(args.work, "errors.log")
    aside = Aside(args.work)
    if "W1" in wanted:
        report("W1 warm", workload_w1(tools, trees, args, log, cold=False), "floor")
    if "W1cold" in wanted:
        if harness.can_drop_caches():
            report("W1 cold", workload_w1(tools, trees, args, log, cold=True), "floor")
        else:
            report("W1 cold", "this machine does not let us drop caches")
    if "W6" in wanted:
        # Before W3, which changes W1's source in place.
        if tools.window and os.path.exists(tools.window):
            report("W6", workload_w6(tools, trees, args, log))
        else:
            report("W6", "the window driver (tavrick-sync-window) is not built")
    if "W3" in wanted:
        mutate_w1_source(trees)
        report("W3", workload_w3(tools, trees, args, log, aside), "floor --copy", True)
    if "W2" in wanted:
        report("W2", workload_w2(tools, trees, args, log, aside), "floor --copy", True)
    if "W2w1" in wanted:
        # The first copy of the W1 tree: many more, smaller files than W2's.
        report("W2w1", workload_w2(tools, trees, args, log, aside, "w1-src", args.w1_files),
               "floor --copy", True)
    if "W4" in wanted:
        report("W4", workload_w4(tools, trees, args, log), "floor")
    if "W5" in wanted:
        if w5_unavailable:
            report("W5", w5_unavailable)
            return
        try:
            report("W5", workload_w5(tools, trees, args, log), "floor")
        except OSError as error:
            report("W5", str(error))

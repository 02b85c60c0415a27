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

harness.py times the commands and checks the trees they leave, workloads.py says what each
workload runs, report.py writes the tables; smoke.sh runs them all at a tiny scale as a test.
"""

import argparse
import datetime
import os
import subprocess
import sys
import time

import harness
import workloads
from report import Reports, machine_description


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", required=True, help="folder on the benchmark file system")
    parser.add_argument("--bin", required=True, help="folder holding the built bench tools")
    parser.add_argument("--engine", help="the engine driver (default: BIN/tavrick-sync)")
    parser.add_argument("--runs", type=int, default=5, help="timed rounds per workload")
    parser.add_argument("--cold-runs", type=int, default=9,
                        help="timed rounds of the cold-cache workload, whose disk reads are "
                             "the noisiest on a shared machine")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every tree size")
    parser.add_argument("--workloads", default="W1,W1cold,W6,W3,W2,W4,W5",
                        help="also W2w1: W2's first copy made of the W1 tree")
    parser.add_argument("--floor-threads", type=int, default=2 * (os.cpu_count() or 1),
                        help="threads of the parallel floor on the local file system")
    parser.add_argument("--latency-floor-threads", type=int, default=32,
                        help="threads of the parallel floor behind the latency file system")
    parser.add_argument("--w6-idle", type=int, default=600,
                        help="seconds W6 leaves the window idle (0: no idle measure)")
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
    parser.add_argument("--fail-on-faults", action="store_true",
                        help="exit with status 1 when a command failed or the engine's copy "
                             "differs from its source (times are never a failure)")
    return parser.parse_args()


def find_tools(args):
    tools = workloads.Tools(floor=os.path.join(args.bin, "tavrick-floor"),
                            engine=args.engine or os.path.join(args.bin, "tavrick-sync"),
                            window=os.path.join(args.bin, "tavrick-sync-window"),
                            latency=os.path.join(args.bin, "tavrick-test-fs"),
                            threads=args.floor_threads,
                            latency_threads=args.latency_floor_threads)
    for path in (tools.floor, tools.engine):
        if not os.access(path, os.X_OK):
            sys.exit(f"bench.py: {path} is not built")
    if not os.access(tools.window, os.X_OK):
        tools.window = None
    if not os.access(tools.latency, os.X_OK):
        tools.latency = None
    return tools


def mount_description(path):
    return subprocess.run(["findmnt", "-n", "-o", "SOURCE,FSTYPE,OPTIONS", "-T", path],
                          capture_output=True, text=True, check=False).stdout.strip()


def print_command_errors(log):
    if not os.path.exists(log) or os.path.getsize(log) == 0:
        return
    with open(log, encoding="utf-8", errors="replace") as f:
        lines = f.readlines()
    print(f"\nCommands wrote {len(lines)} lines to stderr; the last ones:")
    print("".join(lines[-10:]))


def main():
    args = parse_arguments()
    harness.PROTOCOL = args.protocol
    workloads.scale_sizes(args)
    wanted = set(args.workloads.split(","))
    tools = find_tools(args)
    args.work = os.path.abspath(args.work)
    trees = workloads.tree_paths(args.work)
    log = os.path.join(args.work, "errors.log")
    open(log, "w").close()

    print(f"Machine: {machine_description()}")
    print(f"Work folder: {args.work} ({mount_description(args.work)})")
    started = time.perf_counter()
    print("\nGenerating trees (kept between rounds)...", flush=True)
    w5_unavailable = workloads.prepare_trees(tools, trees, args, wanted)
    print(f"Trees ready after {time.perf_counter() - started:.0f} s.", flush=True)

    reports = Reports()
    workloads.run_workloads(tools, trees, args, wanted, w5_unavailable, reports)

    header = [f"## Benchmark, {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
              f"Machine: {machine_description()}",
              f"Scale {args.scale}, {args.runs} timed rounds per workload, medians; parallel "
              f"floor with {tools.threads} threads ({tools.latency_threads} in W5); "
              f"took {time.perf_counter() - started:.0f} s."]
    text = reports.text(header)
    print("\n" + text)
    if args.report:
        with open(args.report, "w", encoding="utf-8") as f:
            f.write(text)
        print(f"(also written to {args.report})")
    print_command_errors(log)
    faults = reports.faults()
    if faults and args.fail_on_faults:
        sys.exit("bench.py: " + "\n  ".join(["faults:", *faults]))


if __name__ == "__main__":
    main()

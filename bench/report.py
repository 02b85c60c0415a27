# SPDX-License-Identifier: GPL-3.0-or-later
"""The report: a table per workload, the targets met or missed, and the machine they ran on."""

import os
import platform
import subprocess


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


class Reports:
    """The results and tables so far; each table is also printed as soon as its workload is done."""

    def __init__(self):
        self.results = {}
        self.tables = []

    def __call__(self, key, outcome, floor=None, with_sync=False):
        if isinstance(outcome, str):
            text = f"### {key}\nskipped: {outcome}"
        elif hasattr(outcome, "markdown"):
            text = f"### {key}\n{outcome.markdown}"
        else:
            self.results[key] = outcome
            text = table(outcome, floor, with_sync)
        print("\n" + text, flush=True)
        self.tables.append(text)

    def faults(self):
        """What shows the tools themselves broken, not slow: failed runs, and an engine whose
        copy differs from its source."""
        found = []
        for key, result in self.results.items():
            for name, runs in result.samples.items():
                failed = sum(1 for s in runs if s.exit_code != 0)
                if failed:
                    found.append(f"{key}: {name} failed {failed} of {len(runs)} runs")
            for name in ("tavrick-sync", "all"):
                check = result.checks.get(name)
                if check is not None and not check.endswith(": same"):
                    found.append(f"{key}: {check}")
        return found

    def text(self, header):
        targets = ["### Targets", "| target | limit | measured | |", "|---|---:|---:|---|",
                   *target_rows(self.results)]
        return "\n\n".join(["\n".join(header), *self.tables, "\n".join(targets)]) + "\n"


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


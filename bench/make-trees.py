#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Seeded source trees for the benchmarks, and the mutator for incremental runs.

    make-trees.py tree DIR [--seed S] [--files N] [--folders F] [--large L] ...
    make-trees.py flat DIR [--seed S] [--files N]
    make-trees.py mutate DIR --stash STASH [--seed S] [--touch-percent P] ...

Every file gets a whole-second modification time, so two runs of the generator with the same
seed give trees that agree in names, sizes, modes and times (contents are seeded too). Names
mix ASCII, spaces and Chinese characters. The mutator writes STASH/manifest.tsv naming what it
changed, with the old times, and keeps the old contents of resized files under STASH, so a
destination synchronised before the mutation can be put back into that state cheaply.
"""

import argparse
import os
import random
import sys

BASE_TIME = 1767225600  # 2026-01-01 00:00:00 UTC
WORDS = [
    "report", "photo", "notes", "draft", "final", "data", "backup", "album", "invoice",
    "scan", "budget", "letter", "src", "build", "assets", "2025", "v2", "old", "copy",
    "项目", "照片", "文档", "报告", "备份", "会议记录", "新建文件夹", "资料", "合同", "草稿",
]
SEPARATORS = [" ", "_", "-", " - ", ""]
EXTENSIONS = [".txt", ".jpg", ".docx", ".pdf", ".dat", ".md", ".png", ".xlsx", ".cpp", ""]
MODES = [0o644] * 16 + [0o600, 0o640, 0o755, 0o444]


def make_name(rng, index, extension=True):
    words = [rng.choice(WORDS) for _ in range(rng.randint(1, 3))]
    name = rng.choice(SEPARATORS).join(words) + f" {index}"
    if extension:
        name += rng.choice(EXTENSIONS)
    return name


class Contents:
    """Seeded bytes to slice file contents from, so writing costs no per-file randomness."""

    def __init__(self, rng, size=1 << 20):
        self.block = rng.randbytes(size)

    def write(self, path, size, rng):
        offset = rng.randrange(len(self.block))
        with open(path, "wb") as out:
            while size > 0:
                chunk = self.block[offset:offset + size]
                out.write(chunk)
                size -= len(chunk)
                offset = 0


def small_size(rng, largest):
    # Mostly a few hundred bytes to a few kilobytes, some empty, a tail towards `largest`.
    roll = rng.random()
    if roll < 0.03:
        return 0
    if roll < 0.85:
        return rng.randint(1, largest // 8)
    return rng.randint(largest // 8, largest)


def write_file(path, size, mtime, mode, contents, rng):
    contents.write(path, size, rng)
    os.chmod(path, mode)
    os.utime(path, (mtime, mtime))


def make_tree(args):
    rng = random.Random(args.seed)
    contents = Contents(rng)
    os.makedirs(args.dir, exist_ok=True)
    # Folders of mixed depth: each new folder hangs below the root, a shallow folder or any
    # earlier one, which gives a few deep chains and many short ones.
    folders = [""]
    depth = [0]
    for index in range(1, args.folders):
        roll = rng.random()
        if roll < 0.05:
            parent = 0
        elif roll < 0.35:
            parent = rng.randrange(min(len(folders), 40))
        else:
            parent = rng.randrange(len(folders))
        if depth[parent] >= args.max_depth:
            parent = 0
        path = os.path.join(folders[parent], make_name(rng, index, extension=False))
        folders.append(path)
        depth.append(depth[parent] + 1)
        os.mkdir(os.path.join(args.dir, path))
    # Files spread unevenly: a few folders hold hundreds, most hold a handful.
    weights = [rng.paretovariate(1.2) for _ in folders]
    homes = rng.choices(range(len(folders)), weights=weights, k=args.files)
    large = set(rng.sample(range(args.files), min(args.large, args.files)))
    total = 0
    for index, home in enumerate(homes):
        if index in large:
            size = rng.randint(args.large_bytes // 2, args.large_bytes)
        else:
            size = small_size(rng, args.small_bytes)
        mtime = BASE_TIME - rng.randint(0, 365 * 86400)
        path = os.path.join(args.dir, folders[home], make_name(rng, index))
        write_file(path, size, mtime, rng.choice(MODES), contents, rng)
        total += size
    print(f"{args.dir}: {args.files} files, {len(folders)} folders, {total / 2**20:.0f} MiB")


def make_flat(args):
    rng = random.Random(args.seed)
    contents = Contents(rng, 4096)
    os.makedirs(args.dir, exist_ok=True)
    for index in range(args.files):
        mtime = BASE_TIME - rng.randint(0, 365 * 86400)
        path = os.path.join(args.dir, make_name(rng, index))
        write_file(path, rng.randint(0, 64), mtime, 0o644, contents, rng)
    print(f"{args.dir}: {args.files} files in one folder")


def mutate(args):
    rng = random.Random(args.seed)
    contents = Contents(rng)
    files, folders = [], []
    for root, dirnames, filenames in os.walk(args.dir):
        dirnames.sort()
        relative = os.path.relpath(root, args.dir)
        folders.append("" if relative == "." else relative)
        files.extend(os.path.normpath(os.path.join(relative, name)) for name in sorted(filenames))
    chosen = rng.sample(files, int(len(files) * args.touch_percent / 100) + args.resize)
    touched, resized = chosen[args.resize:], chosen[:args.resize]
    os.makedirs(args.stash, exist_ok=True)
    with open(os.path.join(args.stash, "manifest.tsv"), "w", encoding="utf-8") as manifest:
        for relative in touched:
            path = os.path.join(args.dir, relative)
            old = int(os.stat(path).st_mtime)
            new = old + rng.randint(1, 86400 * 30)
            os.utime(path, (new, new))
            manifest.write(f"touched\t{old}\t{relative}\n")
        for index, relative in enumerate(resized):
            path = os.path.join(args.dir, relative)
            status = os.stat(path)
            old = int(status.st_mtime)
            kept = os.path.join(args.stash, f"resized-{index}")
            with open(path, "rb") as original, open(kept, "wb") as copy:
                copy.write(original.read())
            os.chmod(kept, status.st_mode & 0o7777)
            os.utime(kept, (old, old))
            with open(path, "ab") as grown:
                grown.write(b"x" * rng.randint(1, 4096))
            os.utime(path, (old, old))
            manifest.write(f"resized\t{old}\t{relative}\tresized-{index}\n")
        home = rng.choice(folders)
        new_folder = os.path.join(home, "新增 folder 500")
        os.mkdir(os.path.join(args.dir, new_folder))
        for index in range(args.new_files):
            mtime = BASE_TIME + rng.randint(0, 86400)
            path = os.path.join(args.dir, new_folder, make_name(rng, index))
            write_file(path, small_size(rng, 16384), mtime, 0o644, contents, rng)
        manifest.write(f"folder\t0\t{os.path.normpath(new_folder)}\n")
    print(f"{args.dir}: touched {len(touched)}, resized {len(resized)}, "
          f"new folder of {args.new_files} files")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    tree = commands.add_parser("tree", help="a tree of folders of mixed depth")
    tree.add_argument("dir")
    tree.add_argument("--seed", type=int, default=1)
    tree.add_argument("--files", type=int, default=100000)
    tree.add_argument("--folders", type=int, default=5000)
    tree.add_argument("--max-depth", type=int, default=14)
    tree.add_argument("--large", type=int, default=10, help="number of large files")
    tree.add_argument("--large-bytes", type=int, default=8 << 20)
    tree.add_argument("--small-bytes", type=int, default=16384,
                      help="largest small file; most are below an eighth of it")
    flat = commands.add_parser("flat", help="one folder of tiny files")
    flat.add_argument("dir")
    flat.add_argument("--seed", type=int, default=4)
    flat.add_argument("--files", type=int, default=200000)
    change = commands.add_parser("mutate", help="touch, resize and add files in a tree")
    change.add_argument("dir")
    change.add_argument("--stash", required=True)
    change.add_argument("--seed", type=int, default=3)
    change.add_argument("--touch-percent", type=float, default=1.0)
    change.add_argument("--resize", type=int, default=20)
    change.add_argument("--new-files", type=int, default=500)
    args = parser.parse_args()
    {"tree": make_tree, "flat": make_flat, "mutate": mutate}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())

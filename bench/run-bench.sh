#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the release tools and times tavrick-sync against the metadata floor, rsync and cp on
# a fresh journaled ext4 image loop-mounted under /tmp, which is removed again at the end.
#
#   bash bench/run-bench.sh [--runs N] [--scale F] [--workloads W1,W1cold,W6,W3,W2,W4,W5]
#                           [--w6-idle SECONDS]
#
# W6 times the window's timer ticks over W1's tree through its runner (tavrick-sync-window):
# with nothing changed and after 10 files changed in 3 folders, with the change journal and as
# today, beside the single-threaded floor; then the processor time of the idle window with a
# one-minute period over --w6-idle seconds (600 by default), with and without the journal.
#
# W5 serves its destination through tavrick-test-fs, a FUSE file system built from libfuse3;
# it is skipped, saying why, where /dev/fuse is missing.
#
# Needs root (for the loop mount and for dropping caches); uses sudo when run as a user.
# TAVRICK_BENCH_IMAGE_GIB sets the image size (sparse; the first-copy workload keeps every
# copy it made, about 1 GiB per run at scale 1).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=TAVRICK_BENCH_IMAGE_GIB bash "$0" "$@"
fi

# What the benchmark needs beyond the build: apt-get installs whatever is missing.
needed=()
for pair in mkfs.ext4:e2fsprogs losetup:mount findmnt:util-linux rsync:rsync \
            python3:python3 cmake:cmake ninja:ninja-build pkg-config:pkg-config \
            fusermount3:fuse3; do
    command -v "${pair%%:*}" >/dev/null || needed+=("${pair##*:}")
done
[ -x /usr/bin/time ] || needed+=(time)
pkg-config --exists fuse3 2>/dev/null || needed+=(libfuse3-dev)
if [ ${#needed[@]} -gt 0 ]; then
    echo "Installing: ${needed[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${needed[@]}"
fi
bash scripts/install-deps.sh --tests

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRICK_BUILD_TESTS=OFF >/dev/null
targets=(tavrick-sync tavrick-floor tavrick-sync-window)
# Configured only where libfuse3 was found.
grep -q '^tavrick-test-fs:' <<<"$(cmake --build "$build" --target help)" &&
    targets+=(tavrick-test-fs)
cmake --build "$build" --target "${targets[@]}"

work=$(mktemp -d /tmp/tavrick-bench.XXXXXX)
image="$work/fs.img"
mountpoint="$work/mnt"
device=""
cleanup() {
    set +e
    cd /
    # A latency file system left mounted inside the image (its daemon normally unmounts it).
    findmnt -rn -o TARGET | grep -F "$mountpoint/" | sort -r | while read -r inner; do
        umount -l "$(printf '%b' "$inner")"
    done
    if mountpoint -q "$mountpoint"; then
        umount "$mountpoint" 2>/dev/null || { sleep 2; umount "$mountpoint"; } ||
            umount -l "$mountpoint"
    fi
    [ -n "$device" ] && losetup -d "$device" 2>/dev/null
    rm -f "$image"
    rmdir "$mountpoint" "$work" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Inode tables and journal are written now, so no lazy initialisation runs during the timing.
truncate -s "${TAVRICK_BENCH_IMAGE_GIB:-40}G" "$image"
mkfs.ext4 -q -j -F -E lazy_itable_init=0,lazy_journal_init=0 "$image"
device=$(losetup --find --show --direct-io=on "$image")
mkdir -p "$mountpoint"
mount "$device" "$mountpoint"

python3 bench/bench.py --work "$mountpoint" --bin "$build/bench" --engine "$build/tools/tavrick-sync" \
    --report "$build/bench-report.md" "$@"

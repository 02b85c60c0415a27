#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Proves the README's two set-up commands on a fresh Debian system: makes a minimal root of
# RELEASE with debootstrap (git and nothing else added), clones this repository's committed
# HEAD into it, and runs there, as a newcomer would, `bash scripts/run.sh` (which must install
# only the build-and-run set, build, and refuse plainly for want of a display), the program
# started through it on a virtual X server, and `bash scripts/test.sh`, which must pass. /tmp in
# the root is a tmpfs, as on a default Debian 13.
#
# Not part of CI: it downloads a whole system and builds everything; it takes hours on a busy
# two-core machine. Needs root, debootstrap and deb.debian.org.
#
# Usage: sudo bash scripts/check-release.sh RELEASE [WORK]
#   RELEASE  bookworm or trixie
#   WORK     folder for the root and the logs (default /var/tmp/tavrick-release-RELEASE);
#            WORK/base, the debootstrapped system, is kept and copied afresh for each check
set -euo pipefail

release=${1:?usage: check-release.sh bookworm|trixie [WORK]}
work=${2:-/var/tmp/tavrick-release-$release}
repository=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "check-release: needs root (debootstrap, chroot)" >&2; exit 2; }

mkdir -p "$work"
base=$work/base
root=$work/root
log=$work/check.log
if [ ! -x "$base/usr/bin/git" ]; then
    rm -rf "$base"
    debootstrap --variant=minbase --include=git,ca-certificates "$release" "$base" \
        http://deb.debian.org/debian
fi

mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -lR "${mounted[i]}" || true
    done
}
trap cleanup EXIT
mount_in_root() {
    local target=$root/$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}

rm -rf "$root"
cp -a "$base" "$root"
# No services start inside the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount_in_root proc -t proc proc
mount_in_root sys --rbind /sys
mount_in_root dev --rbind /dev
mount_in_root tmp -t tmpfs -o mode=1777 tmpfs
git clone --quiet --no-hardlinks "$repository" "$root/root/tavrick"

# Runs a command in the clone, as root with a clean environment, its output also in the log.
in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /root/tavrick && $1" 2>&1 | tee -a "$log"
    return "${PIPESTATUS[0]}"
}
count_packages() { chroot "$root" dpkg-query -W -f='${db:Status-Status}\n' | grep -c '^installed$'; }

: >"$log"
echo "== $(. "$root/etc/os-release" && echo "$PRETTY_NAME"); $(git -C "$repository" log -1 --format='%h %s')" |
    tee -a "$log"
verdict=0
before=$(count_packages)
status=0
in_root "bash scripts/run.sh" || status=$?
after=$(count_packages)
echo "== run.sh: status $status; packages $before -> $after" | tee -a "$log"
if [ "$status" -ne 1 ] || ! grep -q "needs a graphical session" "$log" ||
    [ ! -x "$root/root/tavrick/build/window/Tavrick" ]; then
    echo "== FAILED: run.sh did not build the program and refuse for want of a display" | tee -a "$log"
    verdict=1
fi

status=0
in_root "bash scripts/test.sh" || status=$?
echo "== test.sh: status $status; packages now $(count_packages)" | tee -a "$log"
[ "$status" -eq 0 ] || verdict=1

# With a display (the test set brings Xvfb) the run command starts the program, which runs
# until stopped: still running when the time is up. The build is brought up to date first, so
# the time is the program's alone.
status=0
in_root "cmake --build build --target Tavrick >/dev/null && timeout 30 xvfb-run -a bash scripts/run.sh" ||
    status=$?
echo "== run.sh under xvfb-run: status $status (124: still running after 30 s)" | tee -a "$log"
[ "$status" -eq 124 ] || verdict=1

echo "== $release: $([ "$verdict" -eq 0 ] && echo PASSED || echo FAILED); log in $log" | tee -a "$log"
exit "$verdict"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs with apt-get what is missing and not there yet:
#   install-deps.sh           what building the program, its package and tavrick-sync, and
#                             running them, need (scripts/run.sh)
#   install-deps.sh --tests   that and everything the tests, the package checks and the
#                             Windows cross-build need (scripts/test.sh)
# Does nothing when everything is installed. Uses sudo when not run as root.
set -euo pipefail

# Building and running.
run_packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    # the window's Chinese captions, and Qt's own dialogs and buttons in Simplified Chinese
    fonts-wqy-zenhei qt6-translations-l10n
    # building the Debian package (dpkg-shlibdeps, file types)
    dpkg-dev file
    # the run command's check for a reachable X display
    x11-utils
)

# Testing, on top of the above.
test_packages=(
    libgtest-dev libgmock-dev
    # the end-to-end tests in a real X session
    xvfb xauth xdotool trayer python3 imagemagick
    # checking the Debian package
    binutils desktop-file-utils lintian devscripts appstream man-db
    # the StatusNotifierItem tray host on a private session bus, and a stub notification service
    lxqt-panel dbus dbus-x11 libglib2.0-bin python3-dbus python3-gi
    # the format check and clang-tidy of the test command (scripts/lint.sh)
    clang-format clang-tidy
    # file-tree comparisons in tests and benchmarks
    rsync
    # the test file system the engine's tests run destinations through (FAT-like times, folded
    # names, full disks), and a real exFAT image mounted as a USB stick is
    libfuse3-dev fuse3 exfat-fuse exfatprogs
    # cross-building the layers beneath the window for Windows and testing them under Wine
    g++-mingw-w64-x86-64-posix wine wine64
)

packages=("${run_packages[@]}")
case "${1:-}" in
    --tests) packages+=("${test_packages[@]}") ;;
    "") ;;
    *)
        echo "usage: $0 [--tests]" >&2
        exit 2
        ;;
esac

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

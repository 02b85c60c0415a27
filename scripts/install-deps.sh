#!/usr/bin/env bash
# Installs with apt-get whatever the build, the program and the tests need and is not
# there yet. Does nothing when everything is installed.
set -euo pipefail

packages=(
    # build
    g++ cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    libgtest-dev libgmock-dev
    # running the program and the end-to-end tests in a real X session
    xvfb xauth xdotool x11-utils trayer fonts-wqy-zenhei python3 imagemagick
    # the StatusNotifierItem tray host on a private session bus, and a stub notification service
    lxqt-panel dbus dbus-x11 libglib2.0-bin python3-dbus python3-gi
    # Qt's own dialogs and buttons in the program's Simplified Chinese
    qt6-translations-l10n
    # building and checking the Debian package
    dpkg-dev file binutils desktop-file-utils lintian devscripts appstream man-db
    # file-tree comparisons in tests and benchmarks
    rsync
    # the test file system the engine's tests run destinations through (FAT-like times, folded
    # names, full disks), and a real exFAT image mounted as a USB stick is
    libfuse3-dev fuse3 exfat-fuse exfatprogs
    # cross-building the layers beneath the window for Windows and testing them under Wine
    g++-mingw-w64-x86-64-posix wine wine64
)

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

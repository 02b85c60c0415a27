#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the program in build/ and starts it on this desktop.
set -euo pipefail

# Succeeds when a graphical session can be reached. Otherwise says plainly what the program
# needs, instead of letting Qt abort with its platform-plugin report, and fails.
require_graphical_session() {
    local program=$1 reason
    if [ -n "${DISPLAY:-}" ]; then
        xdpyinfo >/dev/null 2>&1 && return 0
        reason="the X display $DISPLAY cannot be reached"
    else
        reason="no DISPLAY is set here"
    fi
    if [ -n "${WAYLAND_DISPLAY:-}" ] &&
        compgen -G "/usr/lib/*/qt6/plugins/platforms/libqwayland*.so" >/dev/null; then
        return 0
    fi
    [ -z "${WAYLAND_DISPLAY:-}" ] || reason="$reason, and Qt has no Wayland support installed"
    cat >&2 <<MSG
Tavrick is built ($program) but needs a graphical session to start:
$reason.
Run this command again from a desktop session, or try it on a virtual X server:
    xvfb-run -a $program
MSG
    return 1
}

main() {
    cd "$(dirname "${BASH_SOURCE[0]}")/.."
    bash scripts/install-deps.sh

    local build=build generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    [ -f "$build/CMakeCache.txt" ] && generator=()

    cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTAVRICK_BUILD_TESTS=OFF
    cmake --build "$build" -j "$(nproc)" --target Tavrick

    require_graphical_session "$build/window/Tavrick" || exit 1
    exec "$build/window/Tavrick" "$@"
}

# Sourcing this file (as its test does) only defines the functions.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The run command without a usable display: it must say plainly that a graphical session is
# needed and how to try the program under xvfb-run, and fail, instead of starting the program
# into Qt's platform-plugin abort. With a display it lets the program start. The executable
# itself, started without a display, says the same and exits 1 instead of aborting.
# Usage: run_command_check.sh PATH/TO/scripts/run.sh [PATH/TO/Tavrick]
set -u
run_sh=$1
executable=${2:-}
program=build/window/Tavrick
failures=0

# Runs the run command's display check alone (sourcing the script defines, never runs, it).
display_check() {
    env "$@" bash -c 'source "$1" && require_graphical_session "$2"' check "$run_sh" "$program"
}

expect_refusal() {
    local what=$1 output status
    shift
    output=$(display_check "$@" 2>&1)
    status=$?
    if [ "$status" -eq 0 ]; then
        echo "FAIL ($what): the run command would start the program"
        failures=$((failures + 1))
    elif ! grep -q "needs a graphical session" <<<"$output" ||
        ! grep -qF "xvfb-run -a $program" <<<"$output"; then
        echo "FAIL ($what): unclear message:"
        echo "$output"
        failures=$((failures + 1))
    elif grep -qi "plugin" <<<"$output"; then
        echo "FAIL ($what): Qt's plugin report leaked:"
        echo "$output"
        failures=$((failures + 1))
    else
        echo "ok ($what):"
        sed 's/^/    /' <<<"$output"
    fi
}

expect_refusal "no display at all" -u DISPLAY -u WAYLAND_DISPLAY
expect_refusal "a display that cannot be reached" -u WAYLAND_DISPLAY DISPLAY=:4093
if ! compgen -G "/usr/lib/*/qt6/plugins/platforms/libqwayland*.so" >/dev/null; then
    expect_refusal "Wayland only, without Qt's Wayland plugin" -u DISPLAY WAYLAND_DISPLAY=wayland-0
fi

if ! command -v xvfb-run >/dev/null; then
    echo "FAIL: xvfb-run is not installed (package xvfb)"
    failures=$((failures + 1))
elif xvfb-run -a bash -c 'source "$1" && require_graphical_session "$2"' check "$run_sh" \
    "$program"; then
    echo "ok (a reachable X display lets the program start)"
else
    echo "FAIL: the run command refuses a reachable X display"
    failures=$((failures + 1))
fi
if [ -n "$executable" ]; then
    output=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$executable" 2>&1)
    status=$?
    if [ "$status" -ne 1 ] || ! grep -q "needs a graphical session" <<<"$output" ||
        ! grep -qF "xvfb-run -a" <<<"$output"; then
        echo "FAIL (the executable without a display): exit $status:"
        echo "$output"
        failures=$((failures + 1))
    else
        echo "ok (the executable without a display exits 1):"
        sed 's/^/    /' <<<"$output"
    fi
fi
exit $((failures > 0))

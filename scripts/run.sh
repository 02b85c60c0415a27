#!/usr/bin/env bash
# Installs what is missing, builds the program in build/ and starts it on this desktop.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && generator=()

cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRICK_BUILD_TESTS=OFF
cmake --build "$build" -j "$(nproc)" --target Tavrick

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<MSG
Tavrick is built ($build/window/Tavrick) but needs a graphical session to start:
no DISPLAY or WAYLAND_DISPLAY is set here.
Run this command again from a desktop session, or try it on a virtual X server:
    xvfb-run -a $build/window/Tavrick
MSG
    exit 1
fi
exec "$build/window/Tavrick" "$@"

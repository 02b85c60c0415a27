#!/usr/bin/env bash
# Cross-builds everything beneath the window for 64-bit Windows with mingw-w64 in
# build-windows/ and runs its tests under Wine, in a Wine prefix of its own. Fails when the
# toolchain or Wine cannot be installed: these tests are never skipped.
# Arguments go to CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! bash scripts/install-deps.sh --tests; then
    echo "test-windows: the mingw-w64 toolchain or Wine could not be installed" >&2
    exit 1
fi
for tool in x86_64-w64-mingw32-g++-posix wine wineserver wineboot; do
    if ! command -v "$tool" >/dev/null; then
        echo "test-windows: $tool is missing after the install step" >&2
        exit 1
    fi
done

build=build-windows
cmake --preset windows-layers >/dev/null
cmake --build --preset windows-layers -j "$(nproc)"

# Without a UTF-8 locale every non-ASCII name fails; Mono and Gecko are never needed.
export WINEPREFIX="$PWD/$build/wine-prefix" WINEARCH=win64 WINEDEBUG=-all LANG=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
# A persistent server, started before the prefix is made, spares every test the seconds Wine
# otherwise spends starting and stopping its services.
mkdir -p "$WINEPREFIX"
# A server left by an interrupted run of this prefix would refuse the new one.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
if ! wineserver -p; then
    echo "test-windows: the Wine server could not be started" >&2
    exit 1
fi
trap 'wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true' EXIT
wineboot --init >/dev/null 2>&1
ctest --test-dir "$build" --output-on-failure --timeout 300 -j "$(nproc)" "$@"

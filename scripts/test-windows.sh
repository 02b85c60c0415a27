#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
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

# The Windows-only parts of the Qt program cannot be linked here, having no Windows Qt kit;
# they are compiled for Windows against this machine's Qt headers, which the mingw compiler
# reads as Windows ones (it defines _WIN32, so Qt defines Q_OS_WIN), so that they cannot rot.
qt=$(qmake6 -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt6)
check_flags=(-std=c++20 -fsyntax-only -Wall -Wextra -Werror -DUNICODE -D_UNICODE -DNOMINMAX
    -DWIN32_LEAN_AND_MEAN -D_WIN32_WINNT=0x0601 -isystem "$qt")
for module in QtCore QtGui QtWidgets QtNetwork; do check_flags+=(-isystem "$qt/$module"); done
check_flags+=(-I .)
for folder in engine control window settings autostart autostart/win; do check_flags+=(-I "$folder"); done
# Newer Qt headers (Debian 13's) ask for Windows-only headers that a Linux Qt does not ship;
# there the check cannot be made, and says so.
if printf '#include <QtWidgets/QApplication>\n#include <QtNetwork/QLocalServer>\n' |
    x86_64-w64-mingw32-g++-posix "${check_flags[@]}" -x c++ - 2>/dev/null; then
    printf '%s\n' autostart/win/RunKeyLogonRegistry.cpp control/win/EventReadyNotifier.cpp \
        control/FailureReasons.cpp window/win/WindowsDesktop.cpp |
        xargs -P "$(nproc)" -I{} x86_64-w64-mingw32-g++-posix "${check_flags[@]}" {}
else
    echo "test-windows: this system's Qt headers cannot be read as Windows ones;" \
        "the Windows-only parts of the program are not compiled" >&2
fi

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

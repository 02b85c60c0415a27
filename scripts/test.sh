#!/usr/bin/env bash
# Installs what is missing, builds every target with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-test/, and runs every test through CTest; then
# cross-builds the layers beneath the window for Windows and runs their tests under Wine
# (scripts/test-windows.sh). Arguments go to both CTest runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build-test
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] && generator=()

cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DTAVRICK_SANITIZE=ON \
    -DTAVRICK_BUILD_TESTS=ON
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
ctest --test-dir "$build" --output-on-failure --timeout 300 -j "$(nproc)" "$@" || status=$?
bash scripts/test-windows.sh "$@" || status=$?
exit "$status"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds every target with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-test/, and runs every test through CTest; then runs the
# engine's tests once more under ThreadSanitizer (build-tsan/), as the engine reads ahead on
# threads of its own; then cross-builds the layers beneath the window for Windows and runs their
# tests under Wine (scripts/test-windows.sh). Arguments go to both CTest runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --tests

# Ninja when there is one, for a build folder not configured yet.
configure() {
    local folder=$1
    shift
    local generator=()
    command -v ninja >/dev/null && [ ! -f "$folder/CMakeCache.txt" ] && generator=(-G Ninja)
    cmake -S . -B "$folder" "${generator[@]}" "$@"
}

build=build-test
configure "$build" -DCMAKE_BUILD_TYPE=Debug -DTAVRICK_SANITIZE=ON \
    -DTAVRICK_BUILD_TESTS=ON
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
ctest --test-dir "$build" --output-on-failure --timeout 300 -j "$(nproc)" "$@" || status=$?

threads=build-tsan
configure "$threads" -DCMAKE_BUILD_TYPE=Debug -DTAVRICK_SANITIZE_THREADS=ON \
    -DTAVRICK_BUILD_TESTS=ON >/dev/null
cmake --build "$threads" --target engine_tests -j "$(nproc)"
echo "Engine tests under ThreadSanitizer"
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}" \
    "$threads/tests/engine/engine_tests" --gtest_brief=1 || status=$?
bash scripts/test-windows.sh "$@" || status=$?
exit "$status"

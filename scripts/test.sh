#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds every target with AddressSanitizer and
# UndefinedBehaviorSanitizer (the `test` preset, warnings as errors with the reference compiler)
# and runs every test through CTest; checks the format and clang-tidy's findings
# (scripts/lint.sh); runs the engine's tests once more under ThreadSanitizer (the `tsan`
# preset), as the engine reads ahead on threads of its own; then cross-builds the layers
# beneath the window for Windows and runs their tests under Wine (scripts/test-windows.sh).
# Arguments go to both CTest runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --tests

cmake --preset test
cmake --build --preset test -j "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
ctest --preset test --timeout 300 -j "$(nproc)" "$@" || status=$?

bash scripts/lint.sh build-test || status=$?

cmake --preset tsan >/dev/null
cmake --build --preset tsan --target engine_tests -j "$(nproc)"
echo "Engine tests under ThreadSanitizer"
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}" \
    build-tsan/tests/engine/engine_tests --gtest_brief=1 || status=$?
bash scripts/test-windows.sh "$@" || status=$?
exit "$status"

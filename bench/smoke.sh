#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every benchmark workload once at a tiny scale in a fresh temporary folder, so that the
# benchmark keeps working as the tools change. Fails when a command fails or the engine's copy
# differs from its source; the times mean nothing here. The cold-cache workload is left out
# (it drops the whole machine's caches), and W5 says why it is skipped where FUSE is missing.
#
#   bash bench/smoke.sh BIN ENGINE
set -euo pipefail
bench=$(dirname "$0")
work=$(mktemp -d "${TMPDIR:-/tmp}/tavrick-bench-smoke.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 "$bench/bench.py" --work "$work" --bin "$1" --engine "$2" --scale 0.001 --runs 1 \
    --workloads W1,W6,W3,W2,W4,W5 --w6-idle 0 --protocol plain --fail-on-faults

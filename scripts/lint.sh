#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The checks of the test command beyond the tests: every tracked C++ file formatted as the
# repository's .clang-format says, and no clang-tidy finding (the root .clang-tidy) in the
# project's .cpp files that BUILD compiles, read through its compile_commands.json.
#
#   bash scripts/lint.sh [BUILD]     BUILD defaults to build-dev
#
# Both tools are tied to version 14, the one Debian 12 ships: other versions format and find
# differently, so with them a check says it is skipped instead of failing. Fails on a finding.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-dev}
reference=14
status=0

# The reference version of a tool, under its versioned name or its plain one.
reference_tool() {
    local candidate
    for candidate in "$1-$reference" "$1"; do
        if command -v "$candidate" >/dev/null &&
            "$candidate" --version | grep -q "version $reference\."; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

if format=$(reference_tool clang-format); then
    echo "Format check ($format)"
    git ls-files -z '*.cpp' '*.h' | xargs -0 "$format" --dry-run --Werror || status=1
else
    echo "Format check skipped: clang-format $reference, the reference version, is not installed"
fi

if tidy=$(reference_tool clang-tidy); then
    database="$build/compile_commands.json"
    if [ ! -f "$database" ]; then
        echo "lint: $database is missing; configure $build first" >&2
        exit 1
    fi
    # The program's, the tools' and the benchmark's sources, as far as this platform builds them
    # (the other platform's files are not in the database). Not the tests: on two cores they
    # would double the time the run takes.
    files=()
    while IFS= read -r file; do
        grep -qF "\"$PWD/$file\"" "$database" && files+=("$file")
    done < <(git ls-files '*.cpp' ':!tests')
    echo "clang-tidy ($tidy) over ${#files[@]} files"
    findings=$(mktemp)
    trap 'rm -f "$findings"' EXIT
    # xargs fails when one of the runs failed, that is, found something.
    printf '%s\0' "${files[@]}" |
        xargs -0 -n 2 -P "$(nproc)" "$tidy" -p "$build" --quiet >"$findings" 2>&1 || status=1
    grep -v '^[0-9]* warnings\? generated\.$' "$findings" || true
else
    echo "clang-tidy skipped: clang-tidy $reference, the reference version, is not installed"
fi
[ "$status" -eq 0 ] && echo "lint: no findings"
exit "$status"

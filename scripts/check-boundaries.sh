#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks two boundaries the compiler cannot see, in the tracked sources:
#  - the Qt layers (control/, window/, settings/, autostart/) include only the engine's public
#    headers, never its internals: the repository root is an include root, so
#    "engine/ReadAhead.h" would compile anywhere;
#  - no settings section or key is spelled outside the schema (settings/SettingsSchema.cpp):
#    its sections, the keys not named after a window control (those are the controls' object
#    names too), and every "section/key" path.
# Prints each offending line and fails when there is one. Run by CTest (label lint).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "check-boundaries: skipped, not a git checkout"
    exit 0
fi
status=0

# The engine's headers other layers may include: the routines, the file-system interface, the
# change journal's interface, the rule of which source links the walk follows, and the Windows
# helpers shared with control/win.
public_engine_headers="FileSync.h FileSystem.h ChangeJournal.h LinkRule.h win/WidePath.h win/OwnedHandle.h"
internal=()
while IFS= read -r header; do
    relative=${header#engine/}
    [[ " $public_engine_headers " == *" $relative "* ]] || internal+=("$relative")
done < <(git ls-files 'engine/*.h')
for header in "${internal[@]}"; do
    if git grep -nF "#include \"engine/$header\"" -- control window settings autostart; then
        echo "^ includes the engine-internal header engine/$header" >&2
        status=1
    fi
done

schema=settings/SettingsSchema.cpp
if [ -f "$schema" ]; then
    # Sections, and the keys of rows whose last field (keyed by a control) is false.
    mapfile -t sections < <(grep -oP 'constexpr QLatin1String k\w+Section\("\K[^"]+' "$schema")
    mapfile -t keys < <(tr '\n' ' ' <"$schema" | grep -oP '\{Setting::\w+,[^{}]*?QLatin1String\("\K[^"]+(?="\),[^{}]*false\s*\})')
    mapfile -t all_keys < <(tr '\n' ' ' <"$schema" | grep -oP '\{Setting::\w+,\s*\w+,\s*QLatin1String\("\K[^"]+')
    # Keys in any case: the store compares them without regard to case.
    spelled() {
        local case_flag=$1 literal=$2
        # Comments may name a setting; code may not.
        if git grep -n $case_flag -F "$literal" -- '*.cpp' '*.h' ":!$schema" |
            grep -vP '^[^:]+:\d+:\s*//'; then
            echo "^ spells the setting $literal outside $schema" >&2
            status=1
        fi
    }
    for section in "${sections[@]}"; do
        spelled "" "\"$section\""
        for key in "${all_keys[@]}"; do spelled -i "\"$section/$key\""; done
    done
    for key in "${keys[@]}"; do spelled -i "\"$key\""; done
else
    echo "check-boundaries: $schema is missing" >&2
    status=1
fi
[ "$status" -eq 0 ] && echo "check-boundaries: no engine internals outside the engine's users, no setting spelled outside the schema"
exit "$status"

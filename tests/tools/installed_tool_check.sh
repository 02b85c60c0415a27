#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# tavrick-sync as installed: `cmake --install` of the tools into a scratch prefix, then the
# installed program run on a small tree. Checks the exit statuses, that a dry run lists what a
# run copies and writes nothing, that --quiet prints nothing but failures, and that names with
# a newline or bytes that are not UTF-8 are printed escaped.
# Usage: installed_tool_check.sh BUILD_DIR WORK_DIR
set -u
build=$1
work=$2
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"
cmake -DCMAKE_INSTALL_PREFIX="$work/prefix" -P "$build/tools/cmake_install.cmake" >/dev/null ||
    { echo "FAIL: cmake --install of the tools"; exit 1; }
sync_tool="$work/prefix/bin/tavrick-sync"
[ -x "$sync_tool" ] || { echo "FAIL: $sync_tool was not installed"; exit 1; }

# Runs the tool; its status, standard output and standard error land in $status, $out, $err.
run() {
    "$sync_tool" "$@" >"$work/out" 2>"$work/err"
    status=$?
    out=$(cat "$work/out")
    err=$(cat "$work/err")
}
expect_status() {
    local expected=$1 what=$2
    [ "$status" -eq "$expected" ] || fail "$what: status $status, expected $expected ($err)"
}
# Every path with its size and modification time: a tree that nothing wrote to lists the same.
state() { find "$1" -printf '%P %s %T@ %m\n' | LC_ALL=C sort; }

src="$work/src"
dst="$work/dst"
mkdir -p "$src/sub/empty" "$dst"
echo new >"$src/a"
echo bb >"$src/sub/b"
printf x >"$src/sub/two"$'\n'"lines"
printf y >"$src/"$'\xff'"bad"
# Files written in the second a run copies them are copied again by the next run; these are older.
find "$src" -type f -exec touch -d 2010-01-01 {} +
echo old >"$dst/a"
touch -d 2001-01-01 "$dst/a"

before=$(state "$dst")
run --dry-run "$src" "$dst"
expect_status 0 "--dry-run"
[ "$(state "$dst")" = "$before" ] || fail "--dry-run wrote into the destination"
for line in "newer       $dst/a" "new folder  $dst/sub" "new         $dst/sub/b" \
    "new         $dst/sub/two\\nlines" "new         $dst/\\xffbad" "new folder  $dst/sub/empty" \
    "files to copy: 4"; do
    grep -qxF -- "$line" <<<"$out" || fail "--dry-run does not list '$line':"$'\n'"$out"
done
run --dry-run "$src" "$work/absent/top"
[ ! -e "$work/absent" ] || fail "--dry-run made the missing destination"

run --quiet "$src" "$dst"
expect_status 0 "--quiet"
[ -z "$out$err" ] || fail "--quiet printed: $out$err"
[ "$(cat "$dst/sub/two"$'\n'"lines")" = x ] || fail "the run did not copy the tree"
run --dry-run "$src" "$dst"
grep -q "^files to copy: 0$" <<<"$out" || fail "a dry run after the copy still lists:"$'\n'"$out"
[ "${out#*$'\r'}" = "$out" ] && [ -z "$err" ] || fail "progress written where no terminal is"

# A folder in the destination where the source has a file: that file fails, the rest is done.
echo changed >"$src/clash"
touch -d 2010-01-01 "$src/clash"
mkdir "$dst/clash"
run --quiet "$src" "$dst"
expect_status 1 "a failed file"
[ -z "$out" ] && grep -qF "$dst/clash" <<<"$err" || fail "--quiet with a failure: '$out' '$err'"

run "$work/no-source" "$dst"
expect_status 3 "a missing source"
run --no-create-destination "$src" "$work/unplugged"
expect_status 3 "--no-create-destination"
[ ! -e "$work/unplugged" ] || fail "--no-create-destination made the destination"

for arguments in "--read-ahead x $src $dst" "--read-ahead -1 $src $dst" "$src" "--bogus $src $dst"; do
    # shellcheck disable=SC2086
    run $arguments
    expect_status 2 "tavrick-sync $arguments"
done
run --help
expect_status 0 "--help"
grep -q "^Exit status:" <<<"$out" || fail "--help does not give the exit statuses on stdout"
run --version
grep -qE "^tavrick-sync [0-9]+\.[0-9]+\.[0-9]+$" <<<"$out" || fail "--version printed '$out'"

[ "$failures" -eq 0 ] && echo "tavrick-sync as installed: all checks passed"
exit $((failures > 0))

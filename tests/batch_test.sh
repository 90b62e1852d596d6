#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The folder script unpacks every good demo even when the first one it meets
# is bad, names each failure, and exits 1; an empty folder is no failure, a
# missing one is named once, and a folder name starting with "-" is a folder.
# Usage: batch_test.sh UNLZON DEMO_TOOL EXAMPLES_DIR
set -eu
unlzon=$1 demo_tool=$2 examples=$3
# Some runs start in another folder.
case $unlzon in /*) ;; *) unlzon=$PWD/$unlzon ;; esac
script=$(cd "$examples" && pwd)/unpack-all.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/demos"
printf 'not a demo' >"$work/demos/0-bad.bin"
for i in 1 2 3 4 5; do
    "$demo_tool" image 20000 "$i" "$work/image$i"
    "$demo_tool" pack "$work/image$i" "$work/demos/$i-good.bin"
done
status=0
UNLZON=$unlzon sh "$script" "$work/demos" 2 2>"$work/errors" || status=$?
[ "$status" -eq 1 ] || { echo "exit status $status, wanted 1"; exit 1; }
for i in 1 2 3 4 5; do
    cmp "$work/image$i" "$work/demos/$i-good.bin.nds"
done
grep -qx "failed: $work/demos/0-bad.bin" "$work/errors"
grep -qx "  ERROR: Not a valid compressed demo ($work/demos/0-bad.bin)!" "$work/errors"
[ "$(wc -l <"$work/errors")" -eq 2 ] || { cat "$work/errors"; exit 1; }

# expect STATUS ERRORS FOLDER: run the script on FOLDER from $work; it must
# exit with STATUS and print exactly ERRORS (may be empty) on standard error.
expect() {
    want_status=$1 want_errors=$2
    shift 2
    got_status=0
    (cd "$work" && UNLZON=$unlzon sh "$script" "$@" 2>"$work/errors") || got_status=$?
    if [ "$got_status" -ne "$want_status" ] || [ "$(cat "$work/errors")" != "$want_errors" ]; then
        echo "unpack-all.sh $*: status $got_status, wanted $want_status; stderr:"
        cat "$work/errors"
        exit 1
    fi
}
mkdir "$work/empty"
expect 0 "" empty
expect 2 "unpack-all.sh: not a folder: missing" missing
mkdir "$work/-demos"
cp "$work/demos/1-good.bin" "$work/-demos/"
expect 0 "" -demos
cmp "$work/image1" "$work/-demos/1-good.bin.nds"

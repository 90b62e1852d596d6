#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The folder script unpacks every good demo even when the first one it meets
# is bad, names each failure, and exits 1.
# Usage: batch_test.sh UNLZON DEMO_TOOL EXAMPLES_DIR
set -eu
unlzon=$1 demo_tool=$2 examples=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/demos"
printf 'not a demo' >"$work/demos/0-bad.bin"
for i in 1 2 3 4 5; do
    "$demo_tool" image 20000 "$i" "$work/image$i"
    "$demo_tool" pack "$work/image$i" "$work/demos/$i-good.bin"
done
status=0
UNLZON=$unlzon sh "$examples/unpack-all.sh" "$work/demos" 2 2>"$work/errors" || status=$?
[ "$status" -eq 1 ] || { echo "exit status $status, wanted 1"; exit 1; }
for i in 1 2 3 4 5; do
    cmp "$work/image$i" "$work/demos/$i-good.bin.nds"
done
grep -qx "failed: $work/demos/0-bad.bin" "$work/errors"
grep -qx "  ERROR: Not a valid compressed demo ($work/demos/0-bad.bin)!" "$work/errors"
[ "$(wc -l <"$work/errors")" -eq 2 ] || { cat "$work/errors"; exit 1; }

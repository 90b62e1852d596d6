#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The bundled sample unpacks, with status 0, to exactly the image that its
# recipe generates. Usage: sample_test.sh UNLZON DEMO_TOOL EXAMPLES_DIR
set -eu
unlzon=$1 demo_tool=$2 examples=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$examples/sample.bin" "$work/sample.bin"
"$unlzon" "$work/sample.bin" >"$work/log"
sh "$examples/make-sample.sh" "$demo_tool" --image "$work/want"
cmp "$work/want" "$work/sample.bin.nds"
grep -qx "Decompressed data written to $work/sample.bin.nds" "$work/log"

#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The bundled sample unpacks, with status 0, to exactly the image that its
# recipe generates. Usage: sample_test.sh UNLZON DEMO_TOOL EXAMPLES_DIR [--empty-root]
# --empty-root: in a root that holds nothing but the program and the sample,
# no library, no /proc and no /dev, as a fully static program must, and the
# root holds nothing else afterwards; chroot needs root (exit 77, a skip).
set -eu
unlzon=$1 demo_tool=$2 examples=$3 empty_root=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
listing() { (cd "$1" && find . -mindepth 1 | sort | tr '\n' ' '); }
if [ "$empty_root" = --empty-root ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "sample_test.sh: an empty root needs root for chroot" >&2
        exit 77
    fi
    root=$work/root
    mkdir "$root"
    cp "$unlzon" "$root/unlzon"
    cp "$examples/sample.bin" "$root/sample.bin"
    [ "$(listing "$root")" = "./sample.bin ./unlzon " ]
    chroot "$root" /unlzon /sample.bin >"$work/log"
    [ "$(listing "$root")" = "./sample.bin ./sample.bin.nds ./unlzon " ]
    image=$root/sample.bin.nds written=/sample.bin.nds
else
    cp "$examples/sample.bin" "$work/sample.bin"
    "$unlzon" "$work/sample.bin" >"$work/log"
    image=$work/sample.bin.nds written=$work/sample.bin.nds
fi
sh "$examples/make-sample.sh" "$demo_tool" --image "$work/want"
cmp "$work/want" "$image"
grep -qx "Decompressed data written to $written" "$work/log"

#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The WebAssembly program under node does what the native program does: for
# each case of the table, both run in turn in the same fresh folder, and
# their standard output, standard error, exit status and everything they
# leave in the folder (images byte for byte and their permission bits,
# earlier files, no stray file) must be the same. The demos come from demo_tool, as in the suite.
# Usage: node_cli_test.sh UNLZON DEMO_TOOL NODE UNLZON_NODE_JS
set -eu
unlzon=$1 demo_tool=$2 node=$3 wasm=$4
# The programs run in another folder.
absolute() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac }
unlzon=$(absolute "$unlzon") demo_tool=$(absolute "$demo_tool") wasm=$(absolute "$wasm")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
m=$work/material
mkdir "$m"

# A container: signature, OUT_SIZE and the payload's size (big-endian), payload.
be32() {
    # shellcheck disable=SC2059 # the format is the octal escapes made here
    printf "$(printf '\\%03o' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) \
        $(($1 & 255)))"
}
container() { # OUT_SIZE PAYLOAD_FILE
    printf 'LZOn\000\057\361\161'
    be32 "$1"
    be32 "$(wc -c <"$2")"
    cat "$2"
}
"$demo_tool" image 50000 11 "$m/image"
"$demo_tool" pack "$m/image" "$m/good.bin"
"$demo_tool" image 4M 3 "$m/image4m"
"$demo_tool" pack "$m/image4m" "$m/4m.bin"
: >"$m/nothing"
"$demo_tool" pack "$m/nothing" "$m/empty-image.bin"
tail -c +17 "$m/good.bin" >"$m/stream"
tail -c +17 "$m/empty-image.bin" >"$m/end-marker"
head -c "$(($(wc -c <"$m/stream") / 2))" "$m/stream" >"$m/half-stream"
{ cat "$m/stream" && printf '\000'; } >"$m/stream+0"
container 54096 "$m/stream" >"$m/padded.bin"
container 49999 "$m/stream" >"$m/larger-than-declared.bin"
container 50000 "$m/stream+0" >"$m/after-end-marker.bin"
container 50000 "$m/half-stream" >"$m/cut-stream.bin"
container 16 "$m/nothing" >"$m/empty-payload.bin"
container 4294967295 "$m/end-marker" >"$m/4gib.bin"
{ cat "$m/good.bin" && printf '\336\255\276\357'; } >"$m/trailing.bin"
{ printf 'LZOX' && tail -c +5 "$m/good.bin"; } >"$m/bad-signature.bin"
head -c "$(($(wc -c <"$m/good.bin") - 1))" "$m/good.bin" >"$m/truncated.bin"
{ printf 'LZOn\000\057\361\161\000\000\001\000\377\000\000\004' && printf '1234'; } \
    >"$m/claims-4gib-payload.bin"

# NAME | SETUP, run in the fresh folder | ARGUMENTS; both are evaluated there.
# shellcheck disable=SC2016 # expanded by eval, in each run
cases='exact image | cp "$m/good.bin" d.bin | d.bin
a 4 MiB demo | cp "$m/4m.bin" d.bin | d.bin
bytes after the container | cp "$m/trailing.bin" d.bin | d.bin
short stream padded with zeros | cp "$m/padded.bin" d.bin | d.bin
empty image | cp "$m/empty-image.bin" d.bin | d.bin
image larger than declared | cp "$m/larger-than-declared.bin" d.bin | d.bin
bytes after the end marker | cp "$m/after-end-marker.bin" d.bin | d.bin
stream cut short | cp "$m/cut-stream.bin" d.bin | d.bin
empty payload | cp "$m/empty-payload.bin" d.bin | d.bin
not a demo | cp "$m/bad-signature.bin" d.bin | d.bin
shorter than a header | head -c 8 "$m/good.bin" >d.bin | d.bin
empty file | : >d.bin | d.bin
container cut short | cp "$m/truncated.bin" d.bin | d.bin
4 GiB payload claimed by a 20-byte file | cp "$m/claims-4gib-payload.bin" d.bin | d.bin
missing input | : | missing.bin
a folder as input | mkdir f | f
no argument | : |
two arguments | : | a b
a failure keeps the earlier image | cp "$m/cut-stream.bin" d.bin && echo keep >d.bin.nds | d.bin
success replaces the earlier image | cp "$m/good.bin" d.bin && echo old >d.bin.nds | d.bin
a folder at the output name | cp "$m/good.bin" d.bin && mkdir d.bin.nds | d.bin
the output is beside the input | mkdir "sub dir" && cp "$m/good.bin" "sub dir/my demo.bin" | "sub dir/my demo.bin"
printf directives are text | cp "$m/good.bin" "100%s %d%n.bin" | "100%s %d%n.bin"
an absolute path | cp "$m/good.bin" d.bin | "$PWD/d.bin"'

# run WHAT PROGRAM...: the case's setup, then PROGRAM with its arguments, in
# $work/run; what it printed goes to $work/WHAT.out and .err, its status to
# $work/WHAT.status, and the folder is kept as $work/WHAT.
run() {
    what=$1
    shift
    rm -rf "$work/run" "${work:?}/$what"
    mkdir "$work/run"
    (
        cd "$work/run"
        eval "$setup"
        status=0
        eval "set -- \"\$@\" $args"
        "$@" >"$work/$what.out" 2>"$work/$what.err" || status=$?
        echo "$status" >"$work/$what.status"
    )
    mv "$work/run" "$work/$what"
    (cd "$work/$what" && find . -exec stat -c '%a %n' {} + | sort) >"$work/$what.modes"
    # The usage line names the program as it was started.
    sed 's/^  Usage: .* <in>$/  Usage: PROGRAM <in>/' "$work/$what.err" >"$work/$what.err.named"
}

passed=0 failed=0
while IFS='|' read -r name setup args; do
    name=$(echo "$name" | sed 's/ *$//')
    run native "$unlzon"
    run wasm "$node" "$wasm"
    if cmp -s "$work/native.out" "$work/wasm.out" &&
        cmp -s "$work/native.err.named" "$work/wasm.err.named" &&
        cmp -s "$work/native.status" "$work/wasm.status" &&
        cmp -s "$work/native.modes" "$work/wasm.modes" &&
        diff -r "$work/native" "$work/wasm" >/dev/null; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
        for file in out err.named status modes; do
            diff "$work/native.$file" "$work/wasm.$file" || true
        done
        diff -r "$work/native" "$work/wasm" || true
    fi
done <<EOF
$cases
EOF

# More than wasm32's 4 GiB of memory can hold: the program's own line, where
# the native program writes the image.
# shellcheck disable=SC2016 # the same
setup='cp "$m/4gib.bin" d.bin' args=d.bin
run wasm "$node" "$wasm"
if [ "$(cat "$work/wasm.status")" = 255 ] && [ "$(tail -n 2 "$work/wasm.out")" = "In size: 3
Out size: ffffffff" ] && [ "$(cat "$work/wasm.err")" = \
    "  ERROR: Could not allocate 4294967295 bytes for the image buffer!" ] &&
    [ "$(ls -A "$work/wasm")" = d.bin ]; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAILED: a demo that declares 4 GiB"
    cat "$work/wasm.out" "$work/wasm.err" "$work/wasm.status"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

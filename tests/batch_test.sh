#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The folder script unpacks every good demo even when the first one it meets
# is bad, names each failure on standard error and again after its summary
# line, and exits 1; several folders and files, an empty folder, a missing
# path, folders named like options or find's operators, a link to a folder
# given and links to folders below, names of any bytes, links named like
# demos, a folder that cannot be searched, shares of several demos, a shell
# killed mid-share, and the job count given either way.
# Usage: batch_test.sh UNLZON DEMO_TOOL EXAMPLES_DIR
set -eu
unlzon=$1 demo_tool=$2 examples=$3
# Some runs start in another folder.
case $unlzon in /*) ;; *) unlzon=$PWD/$unlzon ;; esac
script=$(cd "$examples" && pwd)/unpack-all.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
nl='
'
mkdir "$work/demos"
printf 'not a demo' >"$work/demos/0-bad.bin"
for i in 1 2 3 4 5; do
    "$demo_tool" image 20000 "$i" "$work/image$i"
    "$demo_tool" pack "$work/image$i" "$work/demos/$i-good.bin"
done
# The older form, FOLDER JOBS, from another folder.
status=0
UNLZON=$unlzon sh "$script" "$work/demos" 2 >"$work/out" 2>"$work/errors" || status=$?
[ "$status" -eq 1 ] || { echo "exit status $status, wanted 1"; exit 1; }
for i in 1 2 3 4 5; do
    cmp "$work/image$i" "$work/demos/$i-good.bin.nds"
done
grep -qx "failed: $work/demos/0-bad.bin" "$work/errors"
grep -qx "  ERROR: Not a valid compressed demo ($work/demos/0-bad.bin)!" "$work/errors"
[ "$(wc -l <"$work/errors")" -eq 2 ] || { cat "$work/errors"; exit 1; }
[ "$(cat "$work/out")" = "5 unpacked, 1 failed:$nl  $work/demos/0-bad.bin" ] || { cat "$work/out"; exit 1; }

# expect STATUS ERRORS OUTPUT ARG...: run the script with ARGs from $work; it
# must exit with STATUS and print exactly ERRORS (may be empty) on standard
# error and OUTPUT on standard output.
expect() {
    want_status=$1 want_errors=$2 want_output=$3
    shift 3
    got_status=0
    (cd "$work" && UNLZON=$unlzon sh "$script" "$@" >"$work/out" 2>"$work/errors") || got_status=$?
    if [ "$got_status" -ne "$want_status" ] || [ "$(cat "$work/errors")" != "$want_errors" ] ||
        [ "$(cat "$work/out")" != "$want_output" ]; then
        echo "unpack-all.sh $*: status $got_status, wanted $want_status; stderr:"
        cat "$work/errors"
        echo "stdout:"
        cat "$work/out"
        exit 1
    fi
}
mkdir "$work/empty"
expect 0 "" "no demo found (no *.bin file below the folders given)" empty
expect 1 "  ERROR: Could not open input file (missing)!${nl}failed: missing" \
    "0 unpacked, 1 failed:$nl  missing" missing
# Names that find or the script could take for an option or an operator.
for name in -x '!' '('; do
    mkdir "$work/$name"
    cp "$work/demos/1-good.bin" "$work/$name/"
    expect 0 "" "1 unpacked, 0 failed" "$name"
    cmp "$work/image1" "$work/$name/1-good.bin.nds"
done
# A link to a folder given is searched like the folder.
rm "$work/-x/1-good.bin.nds"
ln -s -- -x "$work/linked"
expect 0 "" "1 unpacked, 0 failed" linked
cmp "$work/image1" "$work/-x/1-good.bin.nds"
# Folders and files together, the files whatever their names; a whole number
# that names a path is a path.
mkdir "$work/3"
cp "$work/demos/2-good.bin" "$work/3/"
cp "$work/demos/3-good.bin" "$work/other.dat"
expect 1 "  ERROR: Not a valid compressed demo (demos/0-bad.bin)!${nl}failed: demos/0-bad.bin" \
    "8 unpacked, 1 failed:$nl  demos/0-bad.bin" -j 1 demos -x other.dat 3
cmp "$work/image3" "$work/other.dat.nds"
cmp "$work/image2" "$work/3/2-good.bin.nds"
expect 0 "" "2 unpacked, 0 failed" -x 3
mkdir "$work/-j9"
cp "$work/demos/1-good.bin" "$work/-j9/"
expect 0 "" "1 unpacked, 0 failed" -- -j9
# After an option, a whole number is a path even where it names nothing.
expect 1 "  ERROR: Could not open input file (2)!${nl}failed: 2" "0 unpacked, 1 failed:$nl  2" -- empty 2

# Usage errors name themselves and exit 2.
for help in "" -h --help "-j"; do
    # shellcheck disable=SC2086 # no argument for the empty row
    expect 2 "usage: unpack-all.sh [-j JOBS] PATH..." "" $help
done
for jobs in x 0 -1 07 10000 99999999999999999999; do
    expect 2 "unpack-all.sh: JOBS must be a whole number from 1 to 9999: $jobs" "" -j "$jobs" empty
done
expect 2 "unpack-all.sh: JOBS must be a whole number from 1 to 9999: 0" "" empty 0

# Names with a space, a newline, a leading dash or a backslash reach unlzon as
# they are, and a failure is named byte for byte.
bad="names/bad$nl\\n name.bin"
mkdir "$work/names"
for name in "a b" "-dash" "new${nl}line" 'back\nslash'; do
    cp "$work/demos/1-good.bin" "$work/names/$name.bin"
done
printf 'not a demo' >"$work/$bad"
expect 1 "  ERROR: Not a valid compressed demo ($bad)!${nl}failed: $bad" \
    "4 unpacked, 1 failed:$nl  $bad" names 1
for name in "a b" "-dash" "new${nl}line" 'back\nslash'; do
    cmp "$work/image1" "$work/names/$name.bin.nds"
done

# A link named like a demo is unpacked as unlzon takes it, beside the link; a
# dangling one is named as failed; one to a folder is passed over, at any
# depth. Any case of ".bin" is a demo.
mkdir -p "$work/links/deep" "$work/only-a-link"
ln -s ../demos/1-good.bin "$work/links/link.bin"
ln -s missing.bin "$work/links/dangling.bin"
ln -s ../demos "$work/links/folder.bin"
ln -s ../../-x "$work/links/deep/folder.BIN"
ln -s ../demos "$work/only-a-link/folder.bin"
cp "$work/demos/2-good.bin" "$work/links/UPPER.BIN"
expect 1 "  ERROR: Could not open input file (links/dangling.bin)!${nl}failed: links/dangling.bin" \
    "2 unpacked, 1 failed:$nl  links/dangling.bin" links
expect 0 "" "no demo found (no *.bin file below the folders given)" only-a-link
cmp "$work/image1" "$work/links/link.bin.nds"
cmp "$work/image2" "$work/links/UPPER.BIN.nds"

# A folder that cannot be searched is named and fails the run; the demo beside
# it is still unpacked. Root may search any folder, so root runs it as nobody.
mkdir -p "$work/shut/locked"
cp "$work/demos/1-good.bin" "$work/shut/"
cp "$work/demos/1-good.bin" "$work/shut/locked/"
chmod 755 "$work"
chmod 777 "$work/shut"
chmod 000 "$work/shut/locked"
as_user=""
[ "$(id -u)" -ne 0 ] || as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
if [ -n "$as_user" ] && ! command -v setpriv >/dev/null; then
    echo "skipped the unreadable folder: as root it needs setpriv to run as another user"
else
    # Copies that the other user can reach: the build's own folders may be
    # private to root (a package build's temporary folder).
    cp "$script" "$work/unpack-all.sh"
    cp "$unlzon" "$work/unlzon"
    chmod 755 "$work/unpack-all.sh" "$work/unlzon"
    status=0
    (cd "$work" && $as_user env UNLZON="$work/unlzon" sh "$work/unpack-all.sh" shut \
        >"$work/out" 2>"$work/errors") || status=$?
    [ "$status" -eq 1 ] && grep -q "shut/locked" "$work/errors" &&
        grep -qx "unpack-all.sh: not every folder below shut could be searched (see above): demos there were not tried" \
            "$work/errors" && [ "$(cat "$work/out")" = "1 unpacked, 1 failed:$nl  shut" ] ||
        { echo "unreadable folder: status $status"; cat "$work/errors" "$work/out"; exit 1; }
    cmp "$work/image1" "$work/shut/1-good.bin.nds"
fi
chmod 755 "$work/shut/locked"

# With more demos than eight per job a shell unpacks several in turn: a bad
# one among them is named and the others after it are still unpacked.
mkdir "$work/many"
for i in 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17; do
    case $i in
        0[48] | 13) printf 'not a demo' >"$work/many/$i.bin" ;;
        *) cp "$work/demos/2-good.bin" "$work/many/$i.bin" ;;
    esac
done
status=0
UNLZON=$unlzon sh "$script" -j1 "$work/many" >"$work/out" 2>"$work/errors" || status=$?
[ "$status" -eq 1 ] && [ "$(grep '^failed: ' "$work/errors" | sort)" = "failed: $work/many/04.bin
failed: $work/many/08.bin
failed: $work/many/13.bin" ] && [ "$(head -n 1 "$work/out")" = "14 unpacked, 3 failed:" ] ||
    { echo "many: status $status"; cat "$work/errors" "$work/out"; exit 1; }
[ "$(find "$work/many" -name '*.nds' -exec cmp -s "$work/image2" {} \; -print | wc -l)" -eq 14 ] ||
    { echo "many: not every good demo was unpacked"; exit 1; }

# A stand-in for unlzon that counts the runs going on at its start and
# lingers, so that runs overlap as far as the job count lets them.
mkdir "$work/slots" "$work/slow"
printf '#!/bin/sh\nmkdir "$SLOTS/$$"\nset -- "$SLOTS"/*\necho $# >>"$SLOTS.log"
sleep 0.3\nrmdir "$SLOTS/$$"\n' >"$work/counting"
chmod +x "$work/counting"
online=$(getconf _NPROCESSORS_ONLN)
demos=$((online < 3 ? 4 : online + 1))
i=0
while [ "$i" -lt "$demos" ]; do
    : >"$work/slow/$i.bin"
    i=$((i + 1))
done
# Each row: the runs wanted at once, then -j JOBS, or JOBS after the folder.
for row in "1 -j1 " "3  3" "$online  "; do
    want=${row%% *} option=${row#* } jobs=${row##* }
    option=${option%% *}
    rm -f "$work/slots.log"
    # shellcheck disable=SC2086 # no JOBS at all for the default
    UNLZON=$work/counting SLOTS=$work/slots sh "$script" $option "$work/slow" $jobs >/dev/null
    got=$(sort -n "$work/slots.log" | tail -n 1)
    [ "$got" -eq "$want" ] && [ "$(wc -l <"$work/slots.log")" -eq "$demos" ] ||
        { echo "JOBS '$option$jobs': $got at once, wanted $want"; exit 1; }
done

# A shell killed mid-share makes xargs stop: the demos it never reached are
# counted, and the run fails, although no demo failed.
printf '#!/bin/sh\nkill -KILL "$PPID"\n' >"$work/killing"
chmod +x "$work/killing"
status=0
UNLZON=$work/killing sh "$script" -j1 "$work/slow" >"$work/out" 2>"$work/errors" || status=$?
[ "$status" -eq 1 ] && grep -qx "unpack-all.sh: stopped before $demos demos were tried or passed over" "$work/errors" ||
    { echo "killed shell: status $status"; cat "$work/errors" "$work/out"; exit 1; }

#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The folder script unpacks every good demo even when the first one it meets
# is bad, names each failure, and exits 1; an empty folder is no failure, a
# missing one is named once, and a folder name starting with "-" is a folder,
# as is a link to one. Names of any bytes, the job count and a killed batch
# below.
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
    (cd "$work" && UNLZON=$unlzon "$script" "$@" 2>"$work/errors") || got_status=$?
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
# A link to a folder is searched like the folder.
rm "$work/-demos/1-good.bin.nds"
ln -s -- -demos "$work/linked"
expect 0 "" linked
cmp "$work/image1" "$work/-demos/1-good.bin.nds"

# Usage errors name themselves and exit 2, as a missing folder does.
expect 2 "usage: unpack-all.sh FOLDER [JOBS]"
for jobs in x 0 -1 07; do
    expect 2 "unpack-all.sh: JOBS must be a whole number from 1 up: $jobs" empty "$jobs"
done

# The script as bash before 5.1 runs it: without wait -p it waits for the runs
# in the order they started. Every row below runs both.
[ "$(grep -c '^    any_order=1$' "$script")" -eq 1 ]
sed 's/^    any_order=1$/    any_order=0/' "$script" >"$work/in-order.sh"
chmod +x "$work/in-order.sh"
lean=$script

# Names with a space, a newline, a leading dash or a backslash reach unlzon as
# they are, and a failure is named byte for byte.
nl='
'
bad="names/bad$nl\\n name.bin"
for script in "$lean" "$work/in-order.sh"; do
    rm -rf "$work/names"
    mkdir "$work/names"
    for name in "a b" "-dash" "new${nl}line" 'back\nslash'; do
        cp "$work/demos/1-good.bin" "$work/names/$name.bin"
    done
    printf 'not a demo' >"$work/$bad"
    expect 1 "  ERROR: Not a valid compressed demo ($bad)!${nl}failed: $bad" names 1
    for name in "a b" "-dash" "new${nl}line" 'back\nslash'; do
        cmp "$work/image1" "$work/names/$name.bin.nds"
    done
done

# Stand-ins for unlzon: one counts the runs going on at its start and
# lingers, so that runs overlap as far as the job count lets them; the other
# notes its pid and waits to be killed.
mkdir "$work/slots" "$work/slow"
printf '#!/bin/sh\nmkdir "$SLOTS/$$"\nset -- "$SLOTS"/*\necho $# >>"$SLOTS.log"
sleep 0.3\nrmdir "$SLOTS/$$"\n' >"$work/counting"
printf '#!/bin/sh\necho $$ >"$1.pid"\nexec sleep 30\n' >"$work/lingering"
chmod +x "$work/counting" "$work/lingering"
online=$(getconf _NPROCESSORS_ONLN)
demos=$((online < 3 ? 4 : online + 1))
i=0
while [ "$i" -lt "$demos" ]; do
    : >"$work/slow/$i.bin"
    i=$((i + 1))
done
for script in "$lean" "$work/in-order.sh"; do
    for row in "1 1" "3 3" "$online "; do
        want=${row%% *} jobs=${row#* }
        rm -f "$work/slots.log"
        # shellcheck disable=SC2086 # no JOBS at all for the default
        UNLZON=$work/counting SLOTS=$work/slots "$script" "$work/slow" $jobs
        got=$(sort -n "$work/slots.log" | tail -n 1)
        [ "$got" -eq "$want" ] && [ "$(wc -l <"$work/slots.log")" -eq "$demos" ] ||
            { echo "$script JOBS '$jobs': $got at once, wanted $want"; exit 1; }
    done
done

# SIGTERM to the script ends the runs it started and starts no other; it
# dies of the signal itself.
UNLZON=$work/lingering "$lean" "$work/slow" 2 &
batch=$!
for _ in $(seq 100); do
    [ "$(find "$work/slow" -name '*.pid' | wc -l)" -lt 2 ] || break
    sleep 0.1
done
kill -TERM "$batch"
status=0
wait "$batch" || status=$?
[ "$status" -eq 143 ] && [ "$(find "$work/slow" -name '*.pid' | wc -l)" -eq 2 ] ||
    { echo "killed batch: status $status, wanted 143, and two runs"; exit 1; }
for pid_file in "$work"/slow/*.pid; do
    ! kill -0 "$(cat "$pid_file")" 2>/dev/null || { echo "a run outlived the batch"; exit 1; }
done

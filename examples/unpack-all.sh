#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Unpack every demo below FOLDER (the README's "Which files": every *.bin,
# links included), JOBS at a time (default: the number of online processors).
# Each failure is named on standard error after unlzon's own error line, as is
# a folder that cannot be searched; the exit status is 1 if any demo failed or
# a folder could not be searched, 0 if all were unpacked (or there were none),
# 2 if FOLDER is not a folder or JOBS is no whole number from 1 to 9999. Every
# demo is tried, whatever happened to the others.
#   unpack-all.sh FOLDER [JOBS]       (UNLZON=path/to/unlzon to choose the binary;
#                                     otherwise the unlzon beside this script,
#                                     else the one on PATH)
set -u
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: unpack-all.sh FOLDER [JOBS]" >&2
    exit 2
fi
folder=$1
jobs=${2:-$(getconf _NPROCESSORS_ONLN 2>/dev/null || nproc 2>/dev/null || echo 1)}
# Four digits at most: xargs refuses more than INT_MAX jobs, and the share
# below must not overflow the shell's arithmetic.
case $jobs in
    '' | *[!0-9]* | 0* | ?????*)
        echo "unpack-all.sh: JOBS must be a whole number from 1 to 9999: $jobs" >&2
        exit 2
        ;;
esac
if [ -z "${UNLZON:-}" ]; then
    # Unpacked from a release archive, the script sits beside its program.
    here=$(CDPATH='' cd -- "$(dirname -- "$0")" && pwd) || here=
    if [ -n "$here" ] && [ -f "$here/unlzon" ] && [ -x "$here/unlzon" ]; then
        UNLZON=$here/unlzon
    else
        UNLZON=unlzon
    fi
fi
export UNLZON
if [ ! -d "$folder" ]; then
    echo "unpack-all.sh: not a folder: $folder" >&2
    exit 2
fi
# find would take a name starting with "-" for an option; -H: a FOLDER that
# is a link to a folder is searched too.
case $folder in -*) folder=./$folder ;; esac

# The list goes to a file that has no name by the time anything is unpacked:
# find's status survives (a pipe would lose it), one search serves the count
# and the runs, and no signal can leave the file behind.
list=$(mktemp) || exit 1
# shellcheck disable=SC2094 # written once, by find, before either reader starts
exec 3>"$list" 4<"$list" 5<"$list"
rm -f "$list"
# A link is handed to unlzon whatever it points to, so that a dangling one is
# named as failed rather than passed over.
searched=yes
find -H "$folder" \( -type f -o -type l \) -name '*.[bB][iI][nN]' -print0 >&3 || searched=no
exec 3>&-

# Each of JOBS shells at a time unpacks a share of the demos in turn, so that
# no process is started per demo besides unlzon itself: half the processor
# time of a shell per demo (bench/README.md). About eight shares per job keep
# every job busy to the end.
count=$(tr -dc '\000' <&4 | wc -c)
exec 4<&-
share=$(((count + 8 * jobs - 1) / (8 * jobs)))
# A shell exits 1 when one of its demos failed, which makes xargs exit 123 at
# the end rather than stop (it would stop at once at 255, unlzon's status).
# -r: no demo found means no shell, rather than one without an argument.
status=0
# shellcheck disable=SC2016 # the shells expand $UNLZON and $demo themselves
xargs -0 -r -n"$((share > 0 ? share : 1))" -P"$jobs" sh -c '
    failed=0
    for demo; do
        "$UNLZON" "$demo" >/dev/null || {
            printf "failed: %s\n" "$demo" >&2
            failed=1
        }
    done
    exit "$failed"' sh <&5 5<&- || status=1
if [ "$searched" = no ]; then
    printf 'unpack-all.sh: not every folder below %s could be searched (see above): demos there were not tried\n' \
        "$folder" >&2
    status=1
fi
exit "$status"

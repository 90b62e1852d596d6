#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Unpack demos, one unlzon run each, JOBS at a time (default: the number of
# online processors): every demo below each folder given (the README's "Which
# files": every *.bin, links included, links to folders passed over) and each
# other PATH as a file, whatever its name. Every demo is tried, whatever
# happened to the others.
#   unpack-all.sh [-j JOBS] PATH...   (UNLZON=path/to/unlzon to choose the binary;
#   unpack-all.sh FOLDER JOBS          otherwise the unlzon beside this script,
#                                      else the one on PATH)
# Each failure is named on standard error after unlzon's own error line, as is
# a folder that cannot be searched, which counts as failed. Standard output
# ends with "N unpacked, M failed" and, after a colon, the failed names; or
# says that no demo was found. The exit status is 0 only when every demo found
# was unpacked, 1 when any failed, 2 for a usage error.
set -u
me=${0##*/}
usage() {
    echo "usage: $me [-j JOBS] PATH..." >&2
    exit 2
}
jobs=
jobs_given=no
options=no
# Options come first; the first argument that is none starts the paths, so a
# folder named "-x" is a folder. "--" ends the options, for a folder named
# "-j", "-j2", "-h" or "--help".
while [ $# -gt 0 ]; do
    case $1 in
        -j) [ $# -ge 2 ] || usage; jobs=$2 jobs_given=yes options=yes; shift 2 ;;
        -j[0-9]*) jobs=${1#-j} jobs_given=yes options=yes; shift ;;
        -h | --help) usage ;;
        --) shift; options=yes; break ;;
        *) break ;;
    esac
done
[ $# -ge 1 ] || usage
# The older form, FOLDER JOBS, where no option came first: a second argument
# that is a whole number and names nothing is the job count.
if [ $# -eq 2 ] && [ "$options" = no ]; then
    case $2 in
        '' | *[!0-9]*) ;;
        *) if [ ! -e "$2" ] && [ ! -L "$2" ]; then
               jobs=$2 jobs_given=yes
               set -- "$1"
           fi ;;
    esac
fi
[ "$jobs_given" = yes ] ||
    jobs=$(getconf _NPROCESSORS_ONLN 2>/dev/null || nproc 2>/dev/null || echo 1)
# Four digits at most: xargs refuses more than INT_MAX jobs, and the share
# below must not overflow the shell's arithmetic.
case $jobs in
    '' | *[!0-9]* | 0* | ?????*)
        echo "$me: JOBS must be a whole number from 1 to 9999: $jobs" >&2
        exit 2
        ;;
esac
if [ -z "${UNLZON:-}" ]; then
    # Unpacked from a release archive or installed, the script sits beside its program.
    here=$(CDPATH='' cd -- "$(dirname -- "$0")" && pwd) || here=
    if [ -n "$here" ] && [ -f "$here/unlzon" ] && [ -x "$here/unlzon" ]; then
        UNLZON=$here/unlzon
    else
        UNLZON=unlzon
    fi
fi
export UNLZON

# Three files that have no name by the time anything is unpacked, so that no
# signal can leave them behind: the list of demos (find's status survives,
# which a pipe would lose, and one search serves the count and the runs), the
# failed names and each shell's counts. Failed names and counts are appended,
# by several shells at once.
tmp=$(mktemp -d) || exit 1
# shellcheck disable=SC2094 # each file is read only after its writers are done
exec 3>"$tmp/list" 4<"$tmp/list" 5<"$tmp/list" 6>>"$tmp/failed" 7<"$tmp/failed" \
    8>>"$tmp/counts" 9<"$tmp/counts"
rm -rf "$tmp"
# -H: a folder given that is a link to a folder is searched too. A link below
# it is listed whatever it points to, so that a dangling one is named as
# failed; a link to a folder is passed over when its turn comes.
unsearched=0
for path; do
    if [ -d "$path" ]; then
        # find would take these for the start of its expression.
        case $path in -* | '!' | '(' | ')' | ',') start=./$path ;; *) start=$path ;; esac
        find -H "$start" \( -type f -o -type l \) -name '*.[bB][iI][nN]' -print0 >&3 || {
            printf '%s: not every folder below %s could be searched (see above): demos there were not tried\n' \
                "$me" "$path" >&2
            printf '  %s\n' "$path" >&6
            unsearched=$((unsearched + 1))
        }
    else
        printf '%s\000' "$path" >&3
    fi
done
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
    unpacked=0 failed=0 passed=0
    for demo; do
        if [ -L "$demo" ] && [ -d "$demo" ]; then
            passed=$((passed + 1))
        elif "$UNLZON" "$demo" >/dev/null 6>&- 8>&-; then
            unpacked=$((unpacked + 1))
        else
            printf "failed: %s\n" "$demo" >&2
            printf "  %s\n" "$demo" >&6
            failed=$((failed + 1))
        fi
    done
    echo "$unpacked $failed $passed" >&8
    exit "$((failed > 0))"' sh <&5 5<&- 7<&- 9<&- || status=1
exec 5<&- 6>&- 8>&-

unpacked=0 failed=$unsearched listed=0
while read -r shell_unpacked shell_failed shell_passed; do
    unpacked=$((unpacked + shell_unpacked))
    failed=$((failed + shell_failed))
    listed=$((listed + shell_unpacked + shell_failed + shell_passed))
done <&9
exec 9<&-
# Only a shell that was killed leaves demos of its share uncounted.
if [ "$listed" -lt "$count" ]; then
    printf '%s: stopped before %d demos were tried or passed over\n' "$me" "$((count - listed))" >&2
    status=1
fi
if [ "$((unpacked + failed))" -eq 0 ] && [ "$listed" -eq "$count" ]; then
    echo "no demo found (no *.bin file below the folders given)"
elif [ "$failed" -eq 0 ]; then
    echo "$unpacked unpacked, 0 failed"
else
    echo "$unpacked unpacked, $failed failed:"
    cat <&7
    status=1
fi
exit "$status"

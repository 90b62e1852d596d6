#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Unpack every *.bin demo below FOLDER, JOBS at a time (default: the number of
# online processors). Each failure is named on standard error after unlzon's
# own error line; the exit status is 1 if any demo failed, 0 if all were
# unpacked (or there were none), 2 if FOLDER is not a folder or JOBS is no
# whole number from 1 up. Every demo is tried, whatever happened to the others.
#   examples/unpack-all.sh FOLDER [JOBS]       (UNLZON=path/to/unlzon to choose the binary)
#
# Needs bash (tested with 5.2; written to run on bash down to 3.2, as macOS
# has): the shell itself keeps the runs going and names the failures, so no
# process is started per demo besides unlzon. Started by another shell, the
# script runs itself again under bash.
# A shell per demo (xargs -P running sh -c) cost 1.6-2.8 ms of processor time a
# demo on a 2-core VM, while bash starts a run as cheaply as xargs does.
if [ -z "${BASH_VERSION:-}" ]; then
    exec bash "$0" "$@"
fi
set -u
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: unpack-all.sh FOLDER [JOBS]" >&2
    exit 2
fi
folder=$1
jobs=${2:-$(getconf _NPROCESSORS_ONLN 2>/dev/null || nproc 2>/dev/null || echo 1)}
case $jobs in
    '' | *[!0-9]* | 0*)
        echo "unpack-all.sh: JOBS must be a whole number from 1 up: $jobs" >&2
        exit 2
        ;;
esac
UNLZON=${UNLZON:-unlzon}
if [ ! -d "$folder" ]; then
    echo "unpack-all.sh: not a folder: $folder" >&2
    exit 2
fi
# find would take a name starting with "-" for an option; -H: a FOLDER that
# is a link to a folder is searched too.
case $folder in -*) folder=./$folder ;; esac

# bash 5.1 and later say which run ended (wait -n -p), so a free job slot is
# refilled at once; older ones wait for the runs in the order they started.
if ((BASH_VERSINFO[0] > 5 || (BASH_VERSINFO[0] == 5 && BASH_VERSINFO[1] >= 1))); then
    any_order=1
else
    any_order=0
fi

demo_of=()   # indexed by the pid of each unlzon still running
order=()     # those pids in the order they started (for older bash)
running=0
failed=0

# Wait for one run to end and name it if it failed.
reap() {
    local pid status=0
    if [ "$any_order" -eq 1 ]; then
        wait -n -p pid || status=$?
    else
        pid=${order[0]}
        order=("${order[@]:1}")
        wait "$pid" || status=$?
    fi
    if [ -z "${pid:-}" ] || [ -z "${demo_of[pid]+set}" ]; then
        # Only a signal interrupts wait without a run having ended; its trap
        # has already ended the script.
        return
    fi
    if [ "$status" -ne 0 ]; then
        printf 'failed: %s\n' "${demo_of[pid]}" >&2
        failed=1
    fi
    unset 'demo_of[pid]'
    running=$((running - 1))
}

# The runs started in the background ignore SIGINT and SIGQUIT, as bash
# starts them: Ctrl+C ends them through this trap instead. unlzon removes its
# pending file on SIGTERM and leaves an earlier PATH.nds as it was.
stop() {
    trap - INT TERM HUP QUIT
    local pids=()
    [ "${#demo_of[@]}" -eq 0 ] || pids=("${!demo_of[@]}")
    # A run started just before the signal came is not in demo_of yet.
    [ -z "${!:-}" ] || pids+=("$!")
    if [ "${#pids[@]}" -gt 0 ]; then
        kill -TERM "${pids[@]}" 2>/dev/null
        # Not a bare wait: that would also wait for find, which may be
        # blocked on a full pipe that nobody reads any more.
        wait "${pids[@]}" 2>/dev/null
    fi
    kill -s "$1" $$
}
trap 'stop INT' INT
trap 'stop TERM' TERM
trap 'stop HUP' HUP
trap 'stop QUIT' QUIT

# One find for the whole folder; its names arrive NUL-separated, so spaces,
# newlines and leading dashes in them reach unlzon as they are.
while IFS= read -r -d '' -u 3 demo; do
    [ "$running" -lt "$jobs" ] || reap
    "$UNLZON" "$demo" >/dev/null 3<&- &
    demo_of[$!]=$demo
    [ "$any_order" -eq 1 ] || order+=("$!")
    running=$((running + 1))
done 3< <(find -H "$folder" -type f -name '*.bin' -print0)
while [ "$running" -gt 0 ]; do
    reap
done
exit "$failed"

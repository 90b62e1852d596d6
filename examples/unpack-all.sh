#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Unpack every *.bin demo below FOLDER, JOBS at a time (default 2). Each
# failure is named on standard error after unlzon's own error line; the exit
# status is 1 if any demo failed, 0 if all were unpacked (or there were none),
# 2 if FOLDER is not a folder. Every demo is tried, whatever happened to the
# others.
#   examples/unpack-all.sh FOLDER [JOBS]       (UNLZON=path/to/unlzon to choose the binary)
set -u
folder=${1:?usage: unpack-all.sh FOLDER [JOBS]}
jobs=${2:-2}
UNLZON=${UNLZON:-unlzon}
export UNLZON
if [ ! -d "$folder" ]; then
    echo "unpack-all.sh: not a folder: $folder" >&2
    exit 2
fi
# find would take a name starting with "-" for an option.
case $folder in -*) folder=./$folder ;; esac
# Each run exits 1 on failure: xargs would stop at the first status 255.
# -r: no demo found means no run, rather than one without an argument.
find "$folder" -type f -name '*.bin' -print0 |
    xargs -0 -r -n1 -P"$jobs" sh -c '"$UNLZON" "$1" >/dev/null || { echo "failed: $1" >&2; exit 1; }' sh
[ $? -eq 0 ] || exit 1

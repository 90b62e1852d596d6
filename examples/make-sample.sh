#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Remake the bundled sample from a synthetic image: nothing in it comes from a
# real demo.
#   examples/make-sample.sh DEMO_TOOL              rewrite examples/sample.bin
#   examples/make-sample.sh DEMO_TOOL --image OUT  write only the image it holds
set -eu
tool=$1
here=$(dirname "$0")
size=96K
seed=2026
if [ "${2:-}" = "--image" ]; then
    exec "$tool" image "$size" "$seed" "$3"
fi
"$tool" image "$size" "$seed" "$here/sample.img"
"$tool" pack "$here/sample.img" "$here/sample.bin"
rm -f "$here/sample.img"

#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# scripts/setup against stand-ins for apt-get, dpkg-query, npm, sudo and id
# first on PATH, never the real package archive: options, several at once,
# unknown ones, a failed update, a failed install, no root and no sudo, and a
# tree without debian/ as the source release has; and its package list
# agrees with debian/control's Build-Depends where debian/ is there.
# Usage: setup_test.sh SOURCE_DIR
set -eu
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
nl='
'

# Build-Depends, each first alternative, without versions, architectures,
# profiles or the packaging's own debhelper-compat.
if [ -f "$source_dir/debian/control" ]; then
    control=$(awk '/^[^ \t#]/ { field = tolower($1) == "build-depends:"; if (field) sub(/^[^:]*:/, "") }
                  field { print }' "$source_dir/debian/control" | tr ',' '\n' |
        sed 's/|.*//; s/([^)]*)//g; s/\[[^]]*\]//g; s/<[^>]*>//g; s/[[:space:]]//g' |
        grep -v -e '^$' -e '^debhelper-compat$' | sort)
    list=$(sed 's/#.*//; s/[[:space:]]//g; /^$/d' "$source_dir/scripts/build-depends.txt" | sort)
    [ "$control" = "$list" ] || {
        echo "debian/control's Build-Depends:" $control
        echo "scripts/build-depends.txt:" $list
        exit 1
    }
fi

# The stand-ins log each call in $work/log; $MISSING names the packages that
# are not installed, $FAIL the apt-get operation (update, install) that fails.
bin=$work/bin
mkdir "$bin" "$work/sudo"
for tool in sh sed tr grep dirname cat; do
    ln -s "$(command -v "$tool")" "$bin/$tool"
done
cat >"$bin/dpkg-query" <<'STUB'
#!/bin/sh
for package; do :; done
case " $MISSING " in
    *" $package "*) exit 1 ;;
esac
printf 'install ok installed'
STUB
cat >"$bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$LOG"
case " $* " in
    *" $FAIL "*) exit 100 ;;
esac
STUB
printf '#!/bin/sh\necho "dpkg $*" >>"$LOG"\n' >"$bin/dpkg"
printf '#!/bin/sh\necho "npm $*" >>"$LOG"\n' >"$bin/npm"
printf '#!/bin/sh\n:\n' >"$bin/sleep"
printf '#!/bin/sh\necho "$USER_ID"\n' >"$bin/id"
printf '#!/bin/sh\nprintf "sudo " >>"$LOG"\nexec "$@"\n' >"$work/sudo/sudo"
chmod 755 "$bin"/* "$work/sudo/sudo"

# expect STATUS ERRORS LOG USER_ID MISSING FAIL ARG...: setup run with ARGs
# must exit with STATUS, print exactly ERRORS on standard error and make
# exactly the calls LOG.
setup=$source_dir/scripts/setup
with_sudo=yes
expect() {
    want_status=$1 want_errors=$2 want_log=$3 user_id=$4 missing=$5 fail=$6
    shift 6
    path=$bin
    [ "$with_sudo" = no ] || path=$work/sudo:$bin
    : >"$work/log"
    got_status=0
    env PATH="$path" LOG="$work/log" USER_ID="$user_id" MISSING="$missing" FAIL="$fail" \
        sh "$setup" "$@" >"$work/out" 2>"$work/errors" || got_status=$?
    if [ "$got_status" -ne "$want_status" ] || [ "$(cat "$work/errors")" != "$want_errors" ] ||
        [ "$(cat "$work/log")" != "$want_log" ]; then
        echo "setup $* (uid $user_id, missing '$missing', failing '$fail'): status $got_status, wanted $want_status; stderr:"
        cat "$work/errors"
        echo "calls:"
        cat "$work/log"
        exit 1
    fi
}
usage="usage: scripts/setup [--deb] [--windows] [--cross] [--static] [--web] [--ci]"
lock="apt-get -o DPkg::Lock::Timeout=900"
install="$lock install -y -qq --no-install-recommends --no-remove"
expect 0 "" "" 0 "" ""
expect 0 "" "$lock update -qq$nl$install cmake" 0 cmake ""
for option in --windwos --help -h "" deb; do
    expect 2 "$usage" "" 0 cmake "" "$option"
done
expect 2 "$usage" "" 0 cmake "" --deb --nope
# Every option counts, not only the first.
npm="npm ci --prefix $source_dir/scripts/../web --no-audit --no-fund"
expect 0 "" "$lock update -qq$nl$install lintian wine64 emscripten$nl$npm" 0 "lintian wine64 emscripten" "" \
    --deb --windows --web
expect 0 "" "$npm" 0 "" "" --deb --web
# A failed update: once more, then the install from the lists at hand.
expect 0 "setup: apt-get update failed; installing from the package lists at hand" \
    "$lock update -qq$nl$lock update -qq$nl$install cmake" 0 cmake update
expect 1 "setup: apt-get install failed for: cmake libgtest-dev" \
    "$lock update -qq$nl$install cmake libgtest-dev" 0 "cmake libgtest-dev" install
# Not root: through sudo where there is one, at once and with nothing tried where not.
expect 0 "" "sudo $lock update -qq${nl}sudo $install cmake" 1000 cmake ""
expect 0 "" "" 1000 "" ""
with_sudo=no
expect 1 "setup: not root, and no sudo to become root: run setup as root to install: cmake" "" 1000 cmake ""
with_sudo=yes

# The source release has no debian/: the list comes with the scripts.
mkdir -p "$work/release/scripts"
cp "$setup" "$source_dir/scripts/build-depends.txt" "$work/release/scripts/"
setup=$work/release/scripts/setup
expect 0 "" "$lock update -qq$nl$install build-essential cmake pkg-config liblzo2-dev libgtest-dev libfuse3-dev" \
    0 "build-essential cmake pkg-config liblzo2-dev libgtest-dev libfuse3-dev" ""

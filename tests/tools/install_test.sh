#!/usr/bin/env bash
# Installs the host tree into a temporary prefix below DESTDIR, as
# `make install` does, and checks what lands there: both tools answer
# --version, both manual pages render without a warning, and the bash
# completion completes each tool's options.
#   install_test.sh BUILD-TREE SCRATCH
set -uo pipefail
build=$1
root=$(mktemp -d "$2/install-XXXXXX")
trap 'rm -rf "$root"' EXIT
prefix=/opt/quillet
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

DESTDIR=$root cmake --install "$build" --prefix "$prefix" > "$root/log" 2>&1 || { cat "$root/log" >&2; exit 1; }
base=$root$prefix
for tool in quillet-image quillet-disk; do
  "$base/bin/$tool" --version | grep -q "^$tool (Quillet) [0-9]" || fail "$tool --version"
  page=$base/share/man/man1/$tool.1
  [ -f "$page" ] || { fail "no manual page $page"; continue; }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > "$root/page.txt") || fail "man -l $page failed"
  [ -z "$warnings" ] || fail "man -l $page warns: $warnings"
  grep -q "EXIT STATUS" "$root/page.txt" || fail "$page has no EXIT STATUS section"
  grep -q "@QUILLET_VERSION@" "$page" && fail "$page lacks its version"
  completion=$base/share/bash-completion/completions/$tool
  got=$(bash -c 'source "$1"; COMP_WORDS=("$2" --dry); COMP_CWORD=1; _quillet "$2"; echo "${COMPREPLY[*]}"' _ "$completion" "$tool")
  [ "$got" = "--dry-run" ] || fail "$tool completes --dry to '$got'"
done
got=$(bash -c 'source "$1"; COMP_WORDS=(quillet-image --partition ""); COMP_CWORD=2; _quillet quillet-image; echo "${COMPREPLY[*]}"' \
  _ "$base/share/bash-completion/completions/quillet-image")
[ "$got" = "1 2 3 4" ] || fail "--partition completes to '$got'"
# With an image named, its own partitions (a logical one included).
disk=$root/disk.img
truncate -s 8M "$disk"
printf 'label: dos\nstart=2048, size=2048, type=7\nstart=4096, type=5\nstart=6144, size=2048, type=7\n' |
  sfdisk -q "$disk" || fail "sfdisk cannot partition $disk"
got=$(bash -c 'source "$1"; COMP_WORDS=(quillet-image --partition "" "$2"); COMP_CWORD=2; _quillet quillet-image; echo "${COMPREPLY[*]}"' \
  _ "$base/share/bash-completion/completions/quillet-image" "$disk")
[ "$got" = "1 2 5" ] || fail "--partition completes to '$got' with $disk named"
# make uninstall takes back what was installed, and only that.
top=$(cd "$(dirname "$0")/../.." && pwd)
if [ "$(cd "$build" && pwd)" = "$top/build/host" ]; then
  touch "$base/bin/kept"
  DESTDIR=$root make --no-print-directory -s -C "$top" uninstall > "$root/uninstall.log" 2>&1 || fail "make uninstall: $(cat "$root/uninstall.log")"
  left=$(find "$base" -type f ! -name kept)
  [ -z "$left" ] || fail "make uninstall left $left"
  [ -f "$base/bin/kept" ] || fail "make uninstall removed a file it had not installed"
fi
exit $failed

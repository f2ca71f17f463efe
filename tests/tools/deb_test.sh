#!/usr/bin/env bash
# Builds the Debian package as `make deb` does, has lintian judge it (no
# error or warning but the overrides the package explains), installs it
# with dpkg into a temporary root, and runs what was installed: both tools'
# --version, the manual pages, and one trim of a fragmented NTFS image
# whose files must all read back. A clean chroot would need a Debian mirror
# for debootstrap; the temporary root needs none.
#   deb_test.sh BUILD-TREE SCRATCH
set -uo pipefail
build=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "$2/deb-XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

deb=$("$top/scripts/make-deb.sh") || exit 1
case $(basename "$deb") in
  quillet-tools_*_amd64.deb) ;;
  *) fail "the package is named $(basename "$deb")" ;;
esac
tags=$(lintian --fail-on none "$deb" 2>&1 | grep -E '^[EW]: ')
[ -z "$tags" ] || fail "lintian: $tags"
dpkg-deb -f "$deb" Depends | grep -q 'qemu-utils' || fail "the package does not depend on qemu-utils"
dpkg-deb -f "$deb" Depends | grep -q 'libnbd0' || fail "the package does not depend on libnbd0"
dpkg-deb -f "$deb" Depends | grep -q 'libvirt0' || fail "the package does not depend on libvirt0"

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The root holds no libc or qemu-utils of its own: the host's serve.
dpkg --root="$root" --force-depends -i "$deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
dpkg --root="$root" -L quillet-tools > "$work/files.txt" 2>&1 || fail "dpkg does not list the package's files"
for path in /usr/bin/quillet-image /usr/bin/quillet-disk /usr/share/man/man1/quillet-image.1.gz \
  /usr/share/man/man1/quillet-disk.1.gz /usr/share/bash-completion/completions/quillet-image \
  /usr/share/doc/quillet-tools/copyright; do
  grep -qx "$path" "$work/files.txt" || fail "the package does not install $path"
done
for tool in quillet-image quillet-disk; do
  "$root/usr/bin/$tool" --version | grep -q "^$tool (Quillet) [0-9]" || fail "the installed $tool --version"
  page=$root/usr/share/man/man1/$tool.1.gz
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > "$work/page.txt") || fail "man -l $page"
  [ -z "$warnings" ] || fail "$page warns: $warnings"
done
# What quillet-image needs at run time is named where its users look.
page=$root/usr/share/man/man1/quillet-image.1.gz
for package in qemu-utils libnbd0 libvirt0; do
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "$package" || fail "quillet-image(1) does not name $package"
done

image=$work/sample.img
mkdir -p "$work/files"
"$build/make_test_volume" "$image" $((32 << 20)) 4096 3 "$work/files" || exit 1
before=$(du -B1 "$image" | cut -f1)
"$root/usr/bin/quillet-image" -q "$image" || fail "the installed quillet-image exits $?"
after=$(du -B1 "$image" | cut -f1)
[ "$after" -lt "$before" ] || fail "the trim gave nothing back ($before bytes allocated before, $after after)"
for file in "$work"/files/*; do
  ntfscat -f "$image" "$(basename "$file")" 2>/dev/null | cmp -s - "$file" || fail "$(basename "$file") changed"
done
exit $failed

#!/usr/bin/env bash
# check-pe.sh BOOTSIFT_EXE x86|x64 OBJDUMP WINDRES "A, B, C, D" A.B
# Checks the built boot-time program as Session Manager will load it: the
# machine type, the native subsystem, ntdll.dll as its only DLL, and the
# version block.
set -uo pipefail
exe=$1 arch=$2 objdump=$3 windres=$4 version=$5 short_version=$6
. "$(dirname "$0")/checks.sh"

# The tree's own objdump reads only its own machine type.
if [ "$arch" = x64 ]; then format=pei-x86-64; else format=pei-i386; fi
headers=$("$objdump" -f -p "$exe") || fail "objdump cannot read $exe"
grep -q "file format $format\$" <<<"$headers" || fail "not a $format file"
grep -Eq '^Subsystem[[:space:]]+00000001[[:space:]]' <<<"$headers" || fail "not the native subsystem (1)"
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
[ "$dlls" = ntdll.dll ] || fail "imports from: $(echo $dlls)"

block=$("$windres" -i "$exe" -O rc 2>/dev/null) || fail "windres cannot read the resources"
expect_line() {
  grep -Fqx -- "$1" <<<"$(sed 's/^[[:space:]]*//' <<<"$block")" || fail "version block lacks: $1"
}
expect_line "FILEVERSION $version"
expect_line "PRODUCTVERSION $version"
expect_line "VALUE \"FileDescription\", \"Quillet (NT5/6 $arch)\""
expect_line "VALUE \"FileVersion\", \"$short_version\""
expect_line "VALUE \"ProductVersion\", \"$short_version\""
expect_line 'VALUE "InternalName", "Quillet Native Version"'
expect_line 'VALUE "ProductName", "Quillet"'
expect_line 'VALUE "OriginalFilename", "bootsift.exe"'
grep -q '"CompanyName", "..*"' <<<"$block" || fail "no CompanyName"
grep -q '"LegalCopyright", "..*"' <<<"$block" || fail "no LegalCopyright"

finish "$exe: $arch, native subsystem, ntdll.dll only, version block as expected ($(stat -c %s "$exe") bytes)"

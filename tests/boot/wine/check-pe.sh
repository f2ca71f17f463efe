#!/usr/bin/env bash
# check-pe.sh BOOTSIFT_EXE x86|x64 OBJDUMP WINDRES
# Checks the built boot-time program as Session Manager will load it: the
# machine type, the native subsystem, ntdll.dll as its only DLL, and the
# version block.
set -uo pipefail
exe=$1 arch=$2 objdump=$3 windres=$4
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if [ "$arch" = x64 ]; then machine=8664; else machine=014c; fi
# IMAGE_FILE_HEADER.Machine: 16 bits, little-endian, after the "PE\0\0"
# signature whose offset is at 0x3C.
pe_offset=$(od -An -tu4 -j 60 -N 4 "$exe" | tr -d ' ')
signature=$(od -An -tx1 -j "$pe_offset" -N 4 "$exe" | tr -d ' ')
[ "$signature" = 50450000 ] || fail "no PE signature at $pe_offset"
found=$(od -An -tx1 -j $((pe_offset + 4)) -N 2 "$exe" | awk '{ print $2 $1 }')
[ "$found" = "$machine" ] || fail "machine type $found, expected $machine"

headers=$("$objdump" -p "$exe") || fail "objdump cannot read $exe"
grep -Eq '^Subsystem[[:space:]]+00000001[[:space:]]' <<<"$headers" || fail "not the native subsystem (1)"
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
[ "$dlls" = ntdll.dll ] || fail "imports from: $(echo $dlls)"

version=$("$windres" -i "$exe" -O rc 2>/dev/null) || fail "windres cannot read the resources"
expect_line() {
  grep -Fqx -- "$1" <<<"$(sed 's/^[[:space:]]*//' <<<"$version")" || fail "version block lacks: $1"
}
expect_line 'FILEVERSION 1, 0, 0, 916'
expect_line 'PRODUCTVERSION 1, 0, 0, 916'
expect_line "VALUE \"FileDescription\", \"Quillet (NT5/6 $arch)\""
expect_line 'VALUE "FileVersion", "1.0"'
expect_line 'VALUE "ProductVersion", "1.0"'
expect_line 'VALUE "InternalName", "Quillet Native Version"'
expect_line 'VALUE "ProductName", "Quillet"'
expect_line 'VALUE "OriginalFilename", "bootsift.exe"'
grep -q '"CompanyName", "..*"' <<<"$version" || fail "no CompanyName"
grep -q '"LegalCopyright", "..*"' <<<"$version" || fail "no LegalCopyright"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "$exe: $arch, native subsystem, ntdll.dll only, version block as expected ($(stat -c %s "$exe") bytes)"

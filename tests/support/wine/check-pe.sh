#!/usr/bin/env bash
# check-pe.sh EXE OBJDUMP WINDRES x86|x64 SUBSYSTEM "DLL..." "CALL...|-" [LINE...]
# Checks a built Windows program as the system loads it: the machine type,
# the subsystem (1 native, 2 GUI), every DLL it imports being one of the
# DLLs given (and at least one import), the calls it must import ("-":
# none), and its version block: each LINE must be a line of the block as
# windres prints it (leading blanks aside), and CompanyName and
# LegalCopyright are not empty.
set -uo pipefail
exe=$1 objdump=$2 windres=$3 arch=$4 subsystem=$5 allowed_dlls=$6 calls=$7
shift 7
[ "$calls" = - ] && calls=
. "$(dirname "$0")/checks.sh"

# The tree's own objdump reads only its own machine type.
if [ "$arch" = x64 ]; then format=pei-x86-64; else format=pei-i386; fi
headers=$("$objdump" -f -p "$exe") || fail "objdump cannot read $exe"
grep -q "file format $format\$" <<<"$headers" || fail "not a $format file"
grep -Eq "^Subsystem[[:space:]]+0000000$subsystem[[:space:]]" <<<"$headers" || fail "not subsystem $subsystem"
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
[ -n "$dlls" ] || fail "no imports found"
for dll in $dlls; do
  [[ " $allowed_dlls " == *" $dll "* ]] || fail "imports $dll, which is not one of: $allowed_dlls"
done
for call in $calls; do
  grep -Eq "[[:space:]]$call\$" <<<"$headers" || fail "does not import $call"
done

block=$("$windres" -i "$exe" -O rc 2>/dev/null) || fail "windres cannot read the resources"
block=$(sed 's/^[[:space:]]*//' <<<"$block")
for line in "$@"; do
  grep -Fqx -- "$line" <<<"$block" || fail "version block lacks: $line"
done
grep -q '"CompanyName", "..*"' <<<"$block" || fail "no CompanyName"
grep -q '"LegalCopyright", "..*"' <<<"$block" || fail "no LegalCopyright"

finish "$exe: $arch, subsystem $subsystem, imports from $(echo $dlls), version block as expected ($(stat -c %s "$exe") bytes)"

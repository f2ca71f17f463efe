#!/usr/bin/env bash
# Builds quillet-tools_VERSION_ARCH.deb with Debian's own tooling
# (debhelper, dpkg-buildpackage) from a copy of the source tree in
# build/deb, so that nothing is written beside the checkout. The version is
# the project's (CMakeLists.txt); debian/changelog is written from it.
#   make-deb.sh            prints the path of the package made
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(Quillet VERSION \([0-9.]*\) .*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || { echo "make-deb: no version in CMakeLists.txt" >&2; exit 1; }
out=$top/build/deb
source=$out/quillet-$version
rm -rf "$out"
mkdir -p "$source"
# The files of the tree as they are now, committed or not (never build/).
(cd "$top" && { git ls-files -co --exclude-standard 2>/dev/null || find . -path ./build -prune -o -type f -print; } |
  grep -v '^\(\./\)\?build/' | tar -cf - -T -) | tar -xf - -C "$source"
when=$(cd "$top" && git log -1 --format=%aD 2>/dev/null || date -R)
cat > "$source/debian/changelog" <<CHANGES
quillet ($version) unstable; urgency=medium

  * Release $version of the Quillet tools.

 -- Quillet developers <developers@quillet.example.org>  $when
CHANGES
(cd "$source" && dpkg-buildpackage -b -us -uc > "$out/build.log" 2>&1) ||
  { tail -n 40 "$out/build.log" >&2; echo "make-deb: dpkg-buildpackage failed (log: $out/build.log)" >&2; exit 1; }
ls "$out"/quillet-tools_"$version"_*.deb

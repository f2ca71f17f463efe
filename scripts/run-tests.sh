#!/usr/bin/env bash
# Runs every CTest suite of the three trees; fails when any fails.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
for tree in build/host build/win32 build/win64; do
  [ -f "$tree/CTestTestfile.cmake" ] || continue
  echo "== $tree"
  ctest --test-dir "$tree" --output-on-failure -j "$(nproc)" || status=1
done
exit $status

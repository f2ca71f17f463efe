#!/usr/bin/env bash
# The main job on a sample: a fragmented NTFS image, trimmed in place by
# quillet-image, with a true report of what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
work=build/demo
rm -rf "$work" && mkdir -p "$work/files"
image=$work/sample.img

echo "Making a 96 MiB NTFS image with fragmented free space..."
# The image tests' volume: files of mixed sizes, every second one truncated
# to nothing again, which frees its clusters and leaves holes between the
# files that stay. What each file must read back as lands in $work/files.
build/host/make_test_volume "$image" $((96 * 1024 * 1024)) 4096 1 "$work/files"

allocated() { du -B1 "$1" | cut -f1; }
before=$(allocated "$image")

build/host/quillet-image "$image"

after=$(allocated "$image")
intact=0 changed=0
for file in "$work"/files/*; do
  if ntfscat -f "$image" "$(basename "$file")" 2>/dev/null | cmp -s - "$file"; then
    intact=$((intact + 1))
  else
    changed=$((changed + 1))
  fi
done
echo
echo "Image allocated before: $((before / 1024)) KiB, after: $((after / 1024)) KiB"
if [ $changed -eq 0 ]; then
  echo "All $intact files read back identical."
else
  echo "$changed of $((intact + changed)) files no longer read back identical!" >&2
  exit 1
fi

#!/usr/bin/env bash
# The main job on a sample: a fragmented NTFS image, trimmed by quillet-image
# on the emulated SSD, with a true report of what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
work=build/demo
rm -rf "$work" && mkdir -p "$work/files"
image=$work/sample.img

echo "Making a 96 MiB NTFS image with fragmented free space..."
truncate -s 96M "$image"
mkntfs -q -F -Q -L demo -s 512 -c 4096 "$image" >/dev/null 2>&1
# Files of mixed sizes; every second one is then truncated to nothing, which
# frees its clusters and leaves holes between the files that stay.
for i in $(seq 1 40); do
  size=$(( (i * 7919) % 1900 + 64 ))
  head -c "${size}K" /dev/urandom > "$work/files/file$i.bin"
  ntfscp -q -f "$image" "$work/files/file$i.bin" "file$i.bin" >/dev/null
done
inodes=$(ntfsls -f -i "$image" 2>/dev/null)
for i in $(seq 2 2 40); do
  inode=$(awk -v name="file$i.bin" '$2 == name { print $1 }' <<<"$inodes")
  ntfstruncate -q "$image" "$inode" 0 >/dev/null 2>&1
  : > "$work/files/file$i.bin"
done

allocated() { du -B1 "$1" | cut -f1; }
before=$(allocated "$image")

build/host/quillet-image "$image"

after=$(allocated "$image")
intact=0 changed=0
for i in $(seq 1 40); do
  if ntfscat -f "$image" "file$i.bin" 2>/dev/null | cmp -s - "$work/files/file$i.bin"; then
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
  echo "$changed of 40 files no longer read back identical!" >&2
  exit 1
fi

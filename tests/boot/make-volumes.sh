#!/usr/bin/env bash
# NTFS volumes for bootsift's host tests, made with mkntfs and the ntfs-3g
# tools (no FUSE): make-volumes.sh DIR
#   plain.img       64 MiB, as mkntfs makes it; 4096-byte clusters
#   plain.bitmap    its $Bitmap, as ntfscat prints it
#   fragmented.img  64 MiB; files written, then every second one truncated
#                   to nothing, so free space lies in holes between them
#   fat32.img       40 MiB of FAT32, from mkfs.fat
set -euo pipefail
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
dir=$1
mkdir -p "$dir"

truncate -s 64M "$dir/plain.img"
mkntfs -q -F -Q -s 512 -c 4096 "$dir/plain.img" >/dev/null 2>>"$dir/tools.log"
ntfscat -f "$dir/plain.img" '$Bitmap' > "$dir/plain.bitmap"

image=$dir/fragmented.img
truncate -s 64M "$image"
mkntfs -q -F -Q -s 512 -c 4096 "$image" >/dev/null 2>>"$dir/tools.log"
for i in $(seq 1 30); do
  head -c "$(( (i * 7919) % 1900 + 64 ))K" /dev/urandom > "$dir/file.bin"
  ntfscp -q -f "$image" "$dir/file.bin" "file$i.bin" >/dev/null
done
rm -f "$dir/file.bin"
inodes=$(ntfsls -f -i "$image")
for i in $(seq 2 2 30); do
  inode=$(awk -v name="file$i.bin" '$2 == name { print $1 }' <<<"$inodes")
  ntfstruncate -f "$image" "$inode" 0 >/dev/null 2>>"$dir/tools.log"
done

truncate -s 40M "$dir/fat32.img"
mkfs.fat -F 32 "$dir/fat32.img" >/dev/null 2>>"$dir/tools.log"

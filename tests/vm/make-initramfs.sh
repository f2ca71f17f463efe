#!/usr/bin/env bash
# Builds the test VM's initramfs from what this machine has installed: the
# newest kernel in /boot that has its modules, busybox-static, the kernel
# modules the drives need (with their dependencies, from modules.dep),
# ntfs-3g for mounting a partition in the guest, and the given programs.
#
#   make-initramfs.sh OUT_DIR INIT PROGRAM...
#
# Writes OUT_DIR/initramfs.cpio.gz and prints the kernel image's path.
# Exit status 77: no kernel that can be used (the caller skips).
set -euo pipefail

out_dir=$1 init=$2
shift 2

kernel= modules=
for image in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -rV); do
  version=${image#/boot/vmlinuz-}
  if [ -r "$image" ] && [ -f "/lib/modules/$version/modules.dep" ]; then
    kernel=$image modules=/lib/modules/$version
    break
  fi
done
if [ -z "$kernel" ]; then
  echo "no kernel in /boot with its modules in /lib/modules" >&2
  exit 77
fi

root=$out_dir/initramfs-root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,mnt,tmp,etc,lib/modules}
cp /bin/busybox "$root/bin/busybox"
cp "$init" "$root/init"
chmod 755 "$root/init"
for program in "$@"; do cp "$program" "$root/bin/"; done

# Dynamic programs bring their libraries and loader, at the same paths.
for program in /bin/ntfs-3g; do
  cp "$program" "$root/bin/"
  for library in $(ldd "$program" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
done

# Modules in load order: each one's dependencies (modules.dep lists them,
# the ones needed last first) before itself.
declare -A loaded=()
order=()
add_module() {
  local path=$1 line i
  [ -n "${loaded[$path]:-}" ] && return
  loaded[$path]=1
  line=$(grep -m1 "^$path:" "$modules/modules.dep") || { echo "not in modules.dep: $path" >&2; exit 1; }
  local -a dependencies=(${line#*:})
  for ((i = ${#dependencies[@]} - 1; i >= 0; i--)); do add_module "${dependencies[i]}"; done
  order+=("$path")
}
for name in ata_piix ahci sd_mod virtio_pci virtio_blk virtio_scsi nvme fuse; do
  path=$(grep -m1 -E "/$name\.ko(\.xz|\.zst|\.gz)?:" "$modules/modules.dep" | cut -d: -f1) ||
    { echo "module $name not found in $modules" >&2; exit 1; }
  add_module "$path"
done
: > "$root/lib/modules/load.list"
for path in "${order[@]}"; do
  file=$(basename "$path")
  # busybox insmod cannot unpack compressed modules: unpack them here.
  case $file in
    *.ko.xz) xz -dc "$modules/$path" > "$root/lib/modules/${file%.xz}"; file=${file%.xz} ;;
    *.ko.zst) zstd -qdc "$modules/$path" > "$root/lib/modules/${file%.zst}"; file=${file%.zst} ;;
    *.ko.gz) gzip -dc "$modules/$path" > "$root/lib/modules/${file%.gz}"; file=${file%.gz} ;;
    *) cp "$modules/$path" "$root/lib/modules/$file" ;;
  esac
  echo "$file" >> "$root/lib/modules/load.list"
done

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) | gzip -1 > "$out_dir/initramfs.cpio.gz"
echo "$kernel"

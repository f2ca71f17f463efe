#!/bin/bash
# Gives a Windows-shaped VM disk's free space back three ways and prints
# what each gave back and how long it took: quillet-image (raw, qcow2, vdi,
# vmdk, vhdx, each checked for every file reading back), ntfs-3g with
# fstrim, virt-sparsify --in-place. Run by hand as root (loop devices, FUSE
# mounts); not part of `make test`.
#
#   measure/measure-vm-disk.sh build/host/quillet-image [WORKDIR]
#
# The disk is laid out as Windows Setup lays out a GPT disk: EFI system
# partition (FAT32), Microsoft reserved, NTFS basic data, NTFS recovery.
# Files are written to both NTFS volumes through an ntfs-3g mount and most
# of them deleted again, so their clusters hold old data: free space that a
# converted image keeps allocated. virt-sparsify (Debian: libguestfs-tools)
# is measured when it is installed.
set -u
tool=$(readlink -f "${1:?usage: $0 QUILLET-IMAGE [WORKDIR]}")
work=${2:-$(mktemp -d /tmp/vm-disk-measure.XXXXXX)}
mkdir -p "$work"
cd "$work" || exit 1
[ "$(id -u)" = 0 ] || { echo "$0: needs root (loop devices, FUSE mounts)" >&2; exit 1; }

# A loop device over partition N of IMAGE (no udev here for --partscan's
# partition nodes).
part_loop() {  # image number
    local line start size
    line=$(sfdisk -d "$1" | grep "^$1$2 ") || return 1
    start=$(sed 's/.*start= *\([0-9]*\).*/\1/' <<<"$line"); size=$(sed 's/.*size= *\([0-9]*\).*/\1/' <<<"$line")
    first=$start
    loop=$(losetup --find --show --offset $((start * 512)) --sizelimit $((size * 512)) "$1")
}
allocated() { stat -c '%b' "$1" | awk '{ print $1 * 512 }'; }
now() { date +%s.%N; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
report() {  # name before after start end
    printf '%-34s %12s -> %12s  given back %12s  %6.2f s\n' "$1" "$(mib "$2")" "$(mib "$3")" \
        "$(mib $(($2 - $3)))" "$(awk -v s="$4" -v e="$5" 'BEGIN { print e - s }')"
}
cleanup() {
    mountpoint -q mnt 2>/dev/null && umount mnt
    [ -n "${loop:-}" ] && losetup -d "$loop" 2>/dev/null
    [ -n "${daemon:-}" ] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
    mountpoint -q export 2>/dev/null && umount export
}
trap cleanup EXIT
mkdir -p mnt

# --- the disk ---------------------------------------------------------
rm -f disk.raw && truncate -s 1700M disk.raw
sfdisk -q disk.raw <<'EOF'
label: gpt
unit: sectors
start=2048, size=204800, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, name="EFI system partition"
start=206848, size=32768, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE, name="Microsoft reserved partition"
start=239616, size=2097152, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="Basic data partition"
start=2336768, size=1048576, type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC, name="Recovery"
EOF
part_loop disk.raw 1 || exit 1
mkfs.fat -F 32 -n SYSTEM "$loop" >/dev/null
head -c 8M /dev/urandom >bootx64.efi
mmd -i "$loop" ::/EFI ::/EFI/Boot && mcopy -i "$loop" bootx64.efi ::/EFI/Boot/
losetup -d "$loop"; loop=
# Writes COUNT files of 16 MiB, then deletes all but one in KEEP_EVERY.
fill() {  # partition label count keep_every
    part_loop disk.raw "$1" || exit 1
    mkntfs -Q -q -L "$2" -p "$first" -H 255 -S 63 "$loop" 2>/dev/null || exit 1
    ntfs-3g "$loop" mnt || exit 1
    for i in $(seq 1 "$3"); do head -c 16M /dev/urandom >"mnt/file$i.bin"; done
    for i in $(seq 1 "$3"); do [ $((i % $4)) = 0 ] || rm "mnt/file$i.bin"; done
    umount mnt
    losetup -d "$loop"; loop=
}
fill 3 Windows 40 4     # 640 MiB written, 160 MiB kept
fill 4 Recovery 20 10   # 320 MiB written, 32 MiB kept
formats="raw qcow2 vdi vmdk vhdx"
for format in $formats; do
    [ "$format" = raw ] || qemu-img convert -f raw -O "$format" disk.raw "disk.$format"
done
echo "disk: $(qemu-img info disk.raw | grep 'virtual size'); allocated:$(for f in $formats; do printf ' %s %s' "$f" "$(mib "$(allocated "disk.$f")")"; done)"
echo

# Whether every file the two NTFS volumes keep reads back from IMAGE (raw)
# as from the disk before: ntfscat of each through a loop device.
files_of() {  # image -> "partition name md5" lines
    for p in 3 4; do
        part_loop "$1" "$p" || return 1
        for name in $(ntfsls "$loop" 2>/dev/null | grep '^file'); do
            echo "$p $name $(ntfscat "$loop" "$name" | md5sum | cut -d' ' -f1)"
        done
        losetup -d "$loop"; loop=
    done
}
files_of disk.raw >files.before
reads_back() {  # image format
    local back=$1
    if [ "$2" != raw ]; then back=back.raw; rm -f back.raw; qemu-img convert -f "$2" -O raw "$1" back.raw; fi
    files_of "$back" >files.after
    cmp -s files.before files.after && echo "every file reads back" || echo "FILES DIFFER"
}

# --- quillet-image ----------------------------------------------------
for format in $formats; do
    cp --sparse=always "disk.$format" "q.$format"
    # Settled, as an image at rest is: otherwise raw punches pages cp has
    # not written back yet while qcow2's reads and flushes wait for them.
    sync "q.$format"
    b=$(allocated "q.$format"); s=$(now)
    "$tool" "q.$format" >"quillet-image.$format.out" 2>&1 || echo "quillet-image on $format failed: status $?"
    e=$(now); report "quillet-image ($format)" "$b" "$(allocated "q.$format")" "$s" "$e"
    [ "$format" = raw ] || qemu-img check -q -f "$format" "q.$format" || echo "qemu-img check fails on q.$format"
    echo "    $(reads_back "q.$format" "$format")"
done

# --- ntfs-3g + fstrim over a loop device ------------------------------
# qcow2: qemu-storage-daemon exports the disk as a FUSE file (no nbd module
# needed), whose holes become discards in the qcow2.
fstrim_disk() {  # image file
    for p in 3 4; do
        part_loop "$1" "$p" || return 1
        ntfs-3g -o discard "$loop" mnt && { fstrim mnt || echo "fstrim failed on partition $p"; umount mnt; }
        losetup -d "$loop"; loop=
    done
}
cp --sparse=always disk.raw f.raw
b=$(allocated f.raw); s=$(now)
fstrim_disk f.raw
e=$(now); report "ntfs-3g + fstrim (raw)" "$b" "$(allocated f.raw)" "$s" "$e"

cp --sparse=always disk.qcow2 f.qcow2
: >export
b=$(allocated f.qcow2); s=$(now)
qemu-storage-daemon --blockdev driver=file,filename=f.qcow2,node-name=file,discard=unmap \
    --blockdev driver=qcow2,file=file,node-name=disk,discard=unmap \
    --export type=fuse,id=e,node-name=disk,mountpoint=export,writable=on &
daemon=$!
for i in $(seq 100); do [ "$(stat -c %s export)" -gt 0 ] && break; sleep 0.1; done
fstrim_disk export
kill "$daemon"; wait "$daemon"; daemon=
e=$(now); report "ntfs-3g + fstrim (qcow2, FUSE)" "$b" "$(allocated f.qcow2)" "$s" "$e"

# --- virt-sparsify --in-place -----------------------------------------
if command -v virt-sparsify >/dev/null; then
    for format in raw qcow2; do
        cp --sparse=always "disk.$format" "v.$format"
        b=$(allocated "v.$format"); s=$(now)
        # KVM is there but fails on this machine: TCG unless told otherwise.
        LIBGUESTFS_BACKEND=direct LIBGUESTFS_BACKEND_SETTINGS=${LIBGUESTFS_BACKEND_SETTINGS-force_tcg} virt-sparsify -q --in-place --format "$format" "v.$format" \
            >"virt-sparsify.$format.out" 2>&1 || echo "virt-sparsify on $format failed: see $work/virt-sparsify.$format.out"
        e=$(now); report "virt-sparsify --in-place ($format)" "$b" "$(allocated "v.$format")" "$s" "$e"
    done
else
    echo "virt-sparsify: not installed (Debian: libguestfs-tools)"
fi
echo
echo "quillet-image's output on the qcow2 disk:"
cat quillet-image.qcow2.out
echo "(work files in $work)"

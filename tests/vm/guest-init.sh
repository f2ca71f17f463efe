#!/bin/busybox sh
# The test VM's init. Each attached drive says by its model (NVMe and
# virtio-blk drives: by their serial number) what to do:
#   trim-*       quillet-disk --yes --commands on its first partition
#   mounted-*    without --yes and without a terminal; on a terminal,
#                answered no; with --yes while the partition is mounted
#                with ntfs-3g; a dry run, which asks nothing, once it is
#                unmounted
#   flags-*      ata-flags-probe on the whole disk
#   fstrim-*     mounted with ntfs-3g and trimmed with fstrim, the peer
#                whose commands the host counts
# Runs on drives named *-8g are timed.
# Results go to the second serial port, one block per drive:
#   BEGIN <model> / <step> status <n> / <step> command <lba> <count> /
#   <step> output <line> / END <model>
# and "ALL DONE" at the end; then the VM powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
ln -s /proc/mounts /etc/mtab
for module in $(cat /lib/modules/load.list); do insmod "/lib/modules/$module" || echo "insmod $module failed"; done

expected=$(sed -n 's/.*quillet\.drives=\([0-9]*\).*/\1/p' /proc/cmdline)
results=/dev/ttyS1

# The disks: sd*, vd* and NVMe namespaces (not the per-path nvme*c*n*).
disks() { ls -d /sys/block/sd* /sys/block/vd* /sys/block/nvme* 2>/dev/null | grep -v 'nvme[0-9]*c'; }

# Disks appear asynchronously; wait (bounded) until every one is there.
tries=0
while [ "$(disks | wc -l)" -lt "${expected:-1}" ] && [ $tries -lt 300 ]; do
  sleep 0.1
  tries=$((tries + 1))
done

# run STEP COMMAND...: reports the exit status, the output and the command
# list /tmp/list (when the command wrote one).
run() {
  step=$1
  shift
  rm -f /tmp/list
  "$@" > /tmp/out 2>&1
  echo "$step status $?" >> $results
  [ -f /tmp/list ] && sed "s/^/$step command /" /tmp/list >> $results
  tr '\r' '\n' < /tmp/out | sed "/^$/d; s/^/$step output /" >> $results
  cat /tmp/out
}

for block in $(disks); do
  disk=/dev/${block##*/}
  case ${block##*/} in
    sd*) model=$(cat "$block/device/model") ;;
    vd*) model=$(cat "$block/serial") ;;
    *) model=$(cat "$block/device/serial") ;;
  esac
  model=$(echo "$model" | sed 's/ *$//')
  # A disk whose name ends in a digit numbers its partitions after a "p".
  case $disk in *[0-9]) part=${disk}p1 ;; *) part=${disk}1 ;; esac
  echo "BEGIN $model" >> $results
  tries=0
  while [ ! -b "$part" ] && [ $tries -lt 50 ]; do sleep 0.1; tries=$((tries + 1)); done
  case $model in
    trim-*-8g)
      run trim time quillet-disk --yes --commands /tmp/list "$part" < /dev/null ;;
    fstrim-*)
      mkdir -p /mnt/volume
      if ntfs-3g "$part" /mnt/volume; then
        run fstrim time fstrim -v /mnt/volume < /dev/null
        umount /mnt/volume
      else
        echo "fstrim status mount-failed" >> $results
      fi ;;
    trim-*)
      run trim quillet-disk --yes --commands /tmp/list "$part" < /dev/null ;;
    mounted-*)
      # No terminal to ask on and no --yes: a usage error before anything.
      run ask quillet-disk --commands /tmp/list "$part" < /dev/null
      # On a terminal, answered no: nothing is sent.
      run answered-no on-terminal n quillet-disk --commands /tmp/list "$part"
      mkdir -p /mnt/volume
      if ntfs-3g -o ro "$part" /mnt/volume; then
        run mounted quillet-disk --yes --commands /tmp/list "$part" < /dev/null
        umount /mnt/volume
      else
        echo "mounted status mount-failed" >> $results
      fi
      run dry quillet-disk --dry-run --commands /tmp/list "$part" < /dev/null
      run json quillet-disk --dry-run --output=json --commands /tmp/list "$part" < /dev/null ;;
    flags-*)
      run flags ata-flags-probe "$disk" < /dev/null ;;
  esac
  echo "END $model" >> $results
done
echo "ALL DONE" >> $results
sync
poweroff -f

#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need.
# As root it installs what is missing; otherwise it prints the one command
# to run.
set -euo pipefail

packages=(
  cmake make g++ python3
  googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  ntfs-3g fuse3 dosfstools mtools e2fsprogs fdisk man-db groff-base bash
  qemu-utils libnbd-dev pkg-config debhelper lintian
  libvirt-dev libvirt0 libxml2-dev nbdkit
  wine wine32:i386 wine64 fonts-wine xvfb xauth x11-utils imagemagick
  locales fonts-wqy-microhei
  qemu-system-x86 linux-image-amd64 busybox-static cpio xz-utils zstd
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

needs_i386=0
for package in "${missing[@]}"; do [[ $package == *:i386 ]] && needs_i386=1; done

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  line="apt-get update && apt-get install -y ${missing[*]}"
  [ $needs_i386 -eq 1 ] && line="dpkg --add-architecture i386 && $line"
  echo "  $line" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
if [ $needs_i386 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror in mid-sync fails one index file; the others still serve.
apt-get update -qq || echo "apt-get update reported errors; installing from the lists it has" >&2
if ! apt-get install -y -qq "${missing[@]}" >/dev/null; then
  # Without the security index of one architecture the i386 and amd64 builds
  # of a library have different candidates and cannot be installed together;
  # the point release alone offers both at one version.
  echo "Retrying from the point release alone (-t bookworm)" >&2
  apt-get install -y -qq -t bookworm "${missing[@]}" >/dev/null
fi

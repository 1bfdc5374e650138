#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need.
# Only missing packages are installed; run as root (or with sudo available).
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dosfstools mtools e2fsprogs ntfs-3g fuse3 libfuse3-dev exfatprogs exfat-fuse fdisk parted util-linux
  sleuthkit
  libewf-dev libvhdi-dev libvmdk-dev ewf-tools qemu-utils nbdkit libnbd-bin gddrescue libxml2-utils libssl-dev
  xxd python3
  imagemagick sox libsox-fmt-all ffmpeg libimage-exiftool-perl
  qt6-base-dev qt6-image-formats-plugins libudev-dev fonts-dejavu-core xvfb xauth
  dbus udev udisks2 polkitd passwd openbox at-spi2-core python3-pyatspi
  dpkg-dev desktop-file-utils appstream lintian
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

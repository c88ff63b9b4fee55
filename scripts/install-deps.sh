#!/bin/bash
# Installs everything Fotoretta needs to build, run and test on Debian 12.
set -euo pipefail
PKGS=(
  build-essential cmake ninja-build pkg-config clang
  qt6-base-dev qt6-base-dev-tools qt6-image-formats-plugins libgl-dev
  libgtest-dev googletest libbenchmark-dev
  zlib1g-dev liblzma-dev libbz2-dev libjpeg62-turbo-dev xz-utils bzip2
  dosfstools mtools ntfs-3g fdisk e2fsprogs strace
  imagemagick ghostscript sox lame ffmpeg zip p7zip-full sqlite3
  desktop-base sound-theme-freedesktop fonts-dejavu-core
  xvfb xauth policykit-1 xdotool
  lintian desktop-file-utils appstream librsvg2-bin
  libfuse3-dev fuse3 exfatprogs exfat-fuse
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

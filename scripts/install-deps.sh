#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake clang-format clang-tidy
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-ipafont-gothic fonts-ipafont-mincho
  xvfb xauth x11-utils imagemagick openbox
  dpkg-dev file
  xdotool xclip faketime dbus dbus-x11 at-spi2-core python3-pyatspi python3-pil
  libcups2-dev poppler-utils xdotool cups printer-driver-cups-pdf
  pkg-config libxxhash-dev
  xfsprogs strace procps
  exfat-fuse exfatprogs btrfs-progs e2fsprogs
  libfuse3-dev python3-fusepy
  postgresql mariadb-server systemd
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

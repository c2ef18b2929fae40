#!/usr/bin/env bash
# Installs what building, testing and the demonstration need on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake ninja-build g++ pkg-config
  libjpeg62-turbo-dev libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libgif-dev python3-pil imagemagick tinyproxy curl ccache
  libssl-dev openssl ca-certificates libpng-dev libwebp-dev
  libglib2.0-dev libglib2.0-bin dbus dbus-daemon dconf-service dconf-cli
  gsettings-desktop-schemas mate-desktop-common cinnamon-desktop-data xfconf
  libx11-dev libxext-dev libxrandr-dev libxres-dev x11-utils x11-apps xvfb xdotool
  qt6-base-dev fonts-noto-cjk trayer g++-mingw-w64-i686 python3-numpy
  libxfconf-0-3 python3-dbus python3-gi
  qt6-wayland desktop-file-utils appstream lintian dpkg-dev man-db
  sway swaybg grim nodejs gdb
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs what building, testing and the demonstration need on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake ninja-build g++ pkg-config
  libjpeg62-turbo-dev libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libgif-dev python3-pil imagemagick tinyproxy curl
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

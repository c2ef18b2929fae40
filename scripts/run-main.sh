#!/usr/bin/env bash
# Installs, builds and runs the main job: skerrow rotating pictures the
# project makes itself, without a display, ending by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target skerrow djpeg cjpeg
bash scripts/demo.sh build

#!/usr/bin/env bash
# Installs, builds and runs the main job: a short demonstration on pictures
# the project makes itself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target djpeg cjpeg
bash scripts/demo.sh build

#!/usr/bin/env bash
# Installs, builds and runs every test: once as released, once under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/check-windows-headers.sh

# The project's own builds hold warnings as errors; users' builds do not.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKERROW_WERROR=ON
cmake --build build
# The type users and packagers build, whose optimiser warns of other things:
# compiled only, without the tests and benchmarks, which the build above has.
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKERROW_WERROR=ON -DSKERROW_TESTS=OFF -DSKERROW_BENCH=OFF
cmake --build build-release
ctest --test-dir build --output-on-failure -j2
# The Debian package, its validators and the program run from it unpacked.
bash scripts/check-package.sh build

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Leaks inside libraries we do not own (Qt, fontconfig, ...) are listed there.
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKERROW_SANITIZE=ON -DSKERROW_WERROR=ON

cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j2

#!/bin/bash
# Installs the dependencies, builds Fotoretta and runs the whole test suite:
# once in a normal build, once under AddressSanitizer + UBSan, and the
# fuzz targets for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
JOBS=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"
ctest --test-dir build --output-on-failure -j"$JOBS"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFR_SANITIZE=ON -DFR_BUILD_GUI=ON -DFR_BUILD_BENCH=OFF
cmake --build build-asan -j"$JOBS"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$JOBS"

if [ -f fuzz/CMakeLists.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFR_BUILD_FUZZ=ON -DFR_BUILD_GUI=OFF -DFR_BUILD_TESTS=OFF -DFR_BUILD_BENCH=OFF
  cmake --build build-fuzz -j"$JOBS"
  bash scripts/run-fuzzers.sh build-fuzz 20
fi

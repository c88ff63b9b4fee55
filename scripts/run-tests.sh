#!/bin/bash
# Installs the dependencies, builds Fotoretta and runs the whole test suite:
# once in a normal build, once under AddressSanitizer + UBSan, and the
# fuzz targets for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
JOBS=$(nproc)
SUMMARY=$(mktemp)
trap 'rm -f "$SUMMARY"' EXIT

# Configured for /usr, as the Debian package installs it.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build -j"$JOBS"
ctest --test-dir build --output-on-failure -j"$JOBS" | tee -a "$SUMMARY"
# The Debian package of that build: lint, validation, install, recovery, removal.
bash scripts/check-package.sh build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFR_SANITIZE=ON -DFR_BUILD_GUI=ON -DFR_BUILD_BENCH=OFF
cmake --build build-asan -j"$JOBS"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$JOBS" | tee -a "$SUMMARY"

if [ -f fuzz/CMakeLists.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFR_BUILD_FUZZ=ON -DFR_BUILD_GUI=OFF -DFR_BUILD_TESTS=OFF -DFR_BUILD_BENCH=OFF
  cmake --build build-fuzz -j"$JOBS"
  bash scripts/run-fuzzers.sh build-fuzz 20
fi

# One closing line over both test runs (ctest failures have already stopped
# the script). ctest counts a skipped test among the passed ones and lists it
# as "(Skipped)" in its summary: it is counted apart here.
total=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2 \1/p' "$SUMMARY" |
  awk '{ t += $1; f += $2 } END { print t, f }')
skipped=$(grep -c '^[[:space:]]*[0-9]* - .* (Skipped)$' "$SUMMARY" || true)
set -- $total
echo "tests: $(($1 - $2 - skipped)) passed, $2 failed, $skipped skipped"

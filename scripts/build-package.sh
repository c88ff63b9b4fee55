#!/bin/bash
# Builds the Debian package fotoretta_<version>_<arch>.deb from the install
# rules (CPack), in the build folder given (default build/), configured for
# /usr. Prints the package's path as its last line.
# Usage: build-package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target fotoretta fotoretta-cli fotoretta-helper fotoretta-cli-man fotoretta-man \
  fotoretta-icons fr-package-docs
# Only what the package needs was built: install those rules alone.
(cd "$BUILD" && cpack -G DEB -D CPACK_CMAKE_GENERATOR=Ninja >/dev/null)
version=$(sed -n 's/^project(Fotoretta VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="$BUILD/fotoretta_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "build-package: $deb was not made" >&2; exit 1; }
realpath "$deb"

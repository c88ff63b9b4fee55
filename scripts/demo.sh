#!/bin/bash
# Installs the dependencies, builds Fotoretta, makes the bundled sample
# memory-card image and runs the main job on it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
mkdir -p demo
bash scripts/make-sample-card.sh demo/sample-card.img
./build/cli/fotoretta-cli disks demo/sample-card.img
# The main job: scan the card's partition and recover what was deleted.
rm -rf demo/recovered
FOTORETTA_DATA_DIR="$PWD/demo/data" \
  ./build/cli/fotoretta-cli recover demo/sample-card.img@1 --to demo/recovered
find demo/recovered -type f | sort

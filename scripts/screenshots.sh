#!/bin/bash
# Screenshots of every page and dialog of the desktop application, taken
# under Xvfb by a scripted session on the sample card image: the category
# and device pages, the scan in progress with its cancel question
# (answered No), the results with their dates, folders and condition, a
# photo preview, two files chosen, the destination dialog, the finished
# recovery and its detail list, and the thumbnails of the photos.
# Usage: screenshots.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
BUILD=$(cd "${1:?usage: screenshots.sh BUILD_DIR OUTPUT_DIR}" && pwd)
OUT=${2:?usage: screenshots.sh BUILD_DIR OUTPUT_DIR}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
TOUR="$BUILD/app/fotoretta-tour"
[ -x "$TOUR" ] || { echo "no $TOUR: build with -DFR_BUILD_GUI=ON -DFR_BUILD_TESTS=ON" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (scripts/install-deps.sh)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/disks" "$WORK/data"
bash "$(dirname "$0")/make-sample-card.sh" "$WORK/disks/disk0" >/dev/null

FOTORETTA_DISK_DIR="$WORK/disks" FOTORETTA_DATA_DIR="$WORK/data" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x800x24" "$TOUR" "$OUT"
echo "screenshots in $OUT; recovered files in $OUT/recovered:"
find "$OUT/recovered" -type f | sort

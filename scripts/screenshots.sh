#!/bin/bash
# Screenshots of the main window's first two pages, taken under Xvfb:
# the application runs with "start" (no helper) on a disk directory of
# small partitioned images, and a click on "Start" shows page 2.
# Usage: screenshots.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
BUILD=$(cd "${1:?usage: screenshots.sh BUILD_DIR OUTPUT_DIR}" && pwd)
OUT=${2:?usage: screenshots.sh BUILD_DIR OUTPUT_DIR}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
APP="$BUILD/app/fotoretta"
[ -x "$APP" ] || { echo "no $APP: build with -DFR_BUILD_GUI=ON" >&2; exit 1; }
for tool in xvfb-run xdotool import sfdisk; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/disks" "$WORK/data"
# A card with one FAT32 partition, a disk with two, a GPT disk with names.
truncate -s 64M "$WORK/disks/disk0"
echo 'start=2048, type=c' | sfdisk -q "$WORK/disks/disk0"
truncate -s 48M "$WORK/disks/disk1"
printf 'start=2048, size=40960, type=c\nstart=43008, type=7\n' | sfdisk -q "$WORK/disks/disk1"
truncate -s 32M "$WORK/disks/disk2"
printf 'label: gpt\nstart=2048, size=20480, type=linux, name="Photos"\nstart=22528, size=20480, type=linux, name="Camera backup"\n' \
  | sfdisk -q "$WORK/disks/disk2"

cat > "$WORK/shoot.sh" <<'INNER'
set -euo pipefail
"$APP" start &
pid=$!
win=""
for _ in $(seq 100); do
  win=$(xdotool search --name '^Fotoretta$' 2>/dev/null | head -1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "the window did not appear" >&2; kill $pid; exit 1; }
sleep 1
eval "$(xdotool getwindowgeometry --shell "$win")"  # X Y WIDTH HEIGHT
crop="${WIDTH}x${HEIGHT}+${X}+${Y}"
import -window root -crop "$crop" +repage "$OUT/page1.png"
# "Start" sits at the right of the bottom band of page 1.
xdotool mousemove $((X + 810)) $((Y + 565)) click 1
sleep 1
import -window root -crop "$crop" +repage "$OUT/page2.png"
kill -TERM $pid
wait $pid
INNER
APP="$APP" OUT="$OUT" FOTORETTA_DISK_DIR="$WORK/disks" FOTORETTA_DATA_DIR="$WORK/data" \
  xvfb-run -a -s "-screen 0 1280x800x24" bash "$WORK/shoot.sh"
echo "screenshots in $OUT: page1.png page2.png"

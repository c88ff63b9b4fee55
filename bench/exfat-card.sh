#!/bin/bash
# exFAT card benchmark (not part of the test suite; needs root for the loop
# device and exfat-fuse): a 1 GiB card made with mkfs.exfat holding 5,000
# photos in 10 folders, every other one deleted through exfat-fuse. Prints
# wall time, throughput and peak memory (GNU time) of the fast scan, the full
# scan and the recovery of everything found, next to the raw read rate of
# the same image. Usage: bench/exfat-card.sh [CLI] [WORK-DIR]
# With WORK-DIR the card is kept there (and reused when it exists).
set -euo pipefail
CLI=${1:-build/cli/fotoretta-cli}
if [ -n "${2:-}" ]; then WORK=$2; mkdir -p "$WORK"; else
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/fr-exfat-XXXXXX"); trap 'rm -rf "$WORK"' EXIT; fi
export FOTORETTA_DATA_DIR="$WORK/data"
IMG="$WORK/card.img"

if [ ! -s "$IMG" ]; then
  jpg=$(ls /usr/share/images/desktop-base/*.jpg 2>/dev/null | head -1 || true)
  [ -n "$jpg" ] || { convert -size 1200x800 plasma: -quality 90 "$WORK/p.jpg"; jpg="$WORK/p.jpg"; }
  # Photos of about 150 KB: the picture, then bytes of its own after its end.
  head -c 153600 "$jpg" >"$WORK/photo.jpg"
  # Written out whole, as a card is: the sweep reads every free sector.
  dd if=/dev/zero of="$IMG" bs=1M count=1024 status=none
  loop=$(losetup -f --show "$IMG")
  mkfs.exfat -L BENCH "$loop" >/dev/null
  mkdir -p "$WORK/mnt"
  mount.exfat-fuse "$loop" "$WORK/mnt"
  for d in $(seq -w 0 9); do
    mkdir -p "$WORK/mnt/DCIM/1${d}CAMRA"
    for f in $(seq -w 0 499); do cp "$WORK/photo.jpg" "$WORK/mnt/DCIM/1${d}CAMRA/IMG_${d}${f}.JPG"; done
  done
  sync
  find "$WORK/mnt/DCIM" -name 'IMG_*[13579].JPG' -delete
  sync
  umount "$WORK/mnt"
  losetup -d "$loop"
fi
bytes=$(stat -c %s "$IMG")

measure() {  # label command...
  local label=$1; shift
  /usr/bin/time -f "%e %M" -o "$WORK/time" "$@" >"$WORK/out" 2>&1 || true
  read -r secs rss <"$WORK/time"
  awk -v l="$label" -v s="$secs" -v r="$rss" -v b="$bytes" \
    'BEGIN { printf "%-22s %7.2f s  %8.1f MB/s  peak RSS %6.1f MB\n", l, s, (s > 0 ? b / s / 1e6 : 0), r / 1024 }'
  grep -a "files found\|recovered" "$WORK/out" | tail -n 1 || true
}

measure "raw read" dd if="$IMG" of=/dev/null bs=1M
measure "fast scan" "$CLI" scan "$IMG" --fast --types all
measure "full scan" "$CLI" scan "$IMG" --types all
rm -rf "$WORK/out-files"
measure "full scan + recovery" "$CLI" recover "$IMG" --types all --keep-paths --to "$WORK/out-files"
echo "recovered files: $(find "$WORK/out-files" -type f | wc -l)"

#!/bin/bash
# Scale check (not part of the test suite): a sparse image of SIZE (default
# 256G) with a picture near its start and one near its end, swept by the
# carver and by the default full scan, and a FAT32 volume of the same size
# with a deleted file near its start and a lost picture near its end, scanned
# fast and in full, and recovered. Prints wall time, throughput and peak memory of each
# step (GNU time). Usage: bench/scale-sparse.sh [CLI] [SIZE]
set -euo pipefail
CLI=${1:-build/cli/fotoretta-cli}
SIZE=${2:-256G}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/fr-scale-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export FOTORETTA_DATA_DIR="$WORK/data"
jpg=$(ls /usr/share/images/desktop-base/*.jpg 2>/dev/null | head -1 || true)
[ -n "$jpg" ] || { convert -size 640x480 plasma: "$WORK/p.jpg"; jpg="$WORK/p.jpg"; }

measure() {  # label bytes command...
  local label=$1 bytes=$2; shift 2
  /usr/bin/time -f "%e %M" -o "$WORK/time" "$@" >"$WORK/out" 2>&1 || true
  read -r secs rss <"$WORK/time"
  awk -v l="$label" -v s="$secs" -v r="$rss" -v b="$bytes" \
    'BEGIN { printf "%-28s %8.1f s  %9.1f MB/s  peak RSS %7.1f MB\n", l, s, (s > 0 ? b / s / 1e6 : 0), r / 1024 }'
  tail -n 1 "$WORK/out"
}

raw="$WORK/raw.img"
truncate -s "$SIZE" "$raw"
bytes=$(stat -c %s "$raw")
dd if="$jpg" of="$raw" bs=512 seek=2048 conv=notrunc status=none
dd if="$jpg" of="$raw" bs=512 seek=$((bytes / 512 - 4096)) conv=notrunc status=none
measure "carve-only scan" "$bytes" "$CLI" scan "$raw" --carve-only --types photo
measure "carve-only recover" "$bytes" "$CLI" recover "$raw" --carve-only --types photo --to "$WORK/out1"
measure "full scan (no volume)" "$bytes" "$CLI" scan "$raw" --types photo
measure "full recover (no volume)" "$bytes" "$CLI" recover "$raw" --types photo --to "$WORK/out3"
rm -f "$raw"

fat="$WORK/fat.img"
truncate -s "$SIZE" "$fat"
mkfs.vfat -F 32 -s 64 "$fat" >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -i "$fat" "$jpg" ::/FIRST.JPG
MTOOLS_SKIP_CHECK=1 mdel -i "$fat" ::/FIRST.JPG
dd if="$jpg" of="$fat" bs=512 seek=$((bytes / 512 - 4096)) conv=notrunc status=none
measure "fast scan (FAT32)" "$bytes" "$CLI" scan "$fat" --fast --types photo
measure "fast recover (FAT32)" "$bytes" "$CLI" recover "$fat" --fast --types photo --to "$WORK/out2"
measure "full scan (FAT32)" "$bytes" "$CLI" scan "$fat" --types photo
measure "full recover (FAT32)" "$bytes" "$CLI" recover "$fat" --types photo --to "$WORK/out4"
for d in "$WORK"/out*; do echo "$(basename "$d"): $(find "$d" -type f | wc -l) files"; done

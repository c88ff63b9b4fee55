#!/bin/bash
# Builds a sample memory-card image: an MBR disk with one FAT32 partition
# holding photos, songs and a video, some of them deleted, and a deleted
# folder. Every input comes from installed Debian packages.
# Usage: make-sample-card.sh OUTPUT.img
set -euo pipefail
OUT=${1:?usage: make-sample-card.sh OUTPUT.img}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export MTOOLS_SKIP_CHECK=1

# Sample files.
n=0
for src in /usr/share/desktop-base/*/login/sddm-preview.jpg; do
  [ -f "$src" ] || continue
  n=$((n + 1))
  convert "$src" -resize 800x450 -quality 90 "$WORK/IMG_000$n.JPG"
  [ $n -ge 4 ] && break
done
convert /usr/share/desktop-base/emerald-theme/grub/grub-16x9.png -resize 640x360 "$WORK/Screenshot.png"
i=0
for s in complete bell message dialog-information; do
  f=/usr/share/sounds/freedesktop/stereo/$s.oga
  [ -f "$f" ] || continue
  i=$((i + 1))
  sox "$f" -t wav - 2>/dev/null | lame --quiet --tt "$s" --ta "Freedesktop" --add-id3v2 - "$WORK/Song $i.mp3"
done
ffmpeg -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=15 -t 3 -c:v mpeg4 "$WORK/Holiday clip.mp4"

# A 64 MiB card: MBR with one FAT32 partition at 1 MiB.
rm -f "$OUT"
truncate -s 64M "$OUT"
printf 'label: dos\nstart=2048, type=c\n' | sfdisk --no-reread --no-tell-kernel -q "$OUT"
VOL="$WORK/vol.img"
SECTORS=$(( (64 * 1024 * 1024 / 512) - 2048 ))
mkfs.vfat -C -F 32 -s 1 -n SAMPLECARD -i 20261206 "$VOL" $((SECTORS / 2)) >/dev/null

m() { mcopy -o -i "$VOL" "$@"; }
mmd -i "$VOL" ::/DCIM ::/DCIM/100PHOTO ::/Music ::/Videos ::/Trip
for f in "$WORK"/IMG_*.JPG; do m "$f" ::/DCIM/100PHOTO/; done
m "$WORK/Screenshot.png" ::/
for f in "$WORK"/Song*.mp3; do m "$f" "::/Music/"; done
m "$WORK/Holiday clip.mp4" ::/Videos/
m "$WORK/IMG_0001.JPG" ::/Trip/beach.jpg
m "$WORK/Song 1.mp3" ::/Trip/campfire.mp3

# The accident: some files and a whole folder deleted.
mdel -i "$VOL" ::/DCIM/100PHOTO/IMG_0002.JPG ::/DCIM/100PHOTO/IMG_0003.JPG
mdel -i "$VOL" "::/Music/Song 2.mp3" ::/Screenshot.png
mdel -i "$VOL" "::/Videos/Holiday clip.mp4"
mdeltree -i "$VOL" ::/Trip

dd if="$VOL" of="$OUT" bs=512 seek=2048 conv=notrunc status=none
echo "sample card written to $OUT"

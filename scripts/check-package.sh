#!/bin/bash
# Builds the Debian package and checks it as a user's machine would take it:
# lintian finds no error, the desktop entry and the AppStream data validate,
# apt can resolve its dependencies here, and installed into a fresh root
# with dpkg its command-line tool runs and recovers the deleted files of the
# sample card; removing it then leaves nothing behind.
# The fresh root is a dpkg database of its own (dpkg --root): the package's
# files land there alone, and its programs run with this machine's
# libraries (the dependencies that apt resolved above), so no chroot, no
# network and no second Debian are needed.
# Usage: check-package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
export MTOOLS_SKIP_CHECK=1
deb=$(bash scripts/build-package.sh "$BUILD" | tail -n 1)
echo "package: $deb ($(du -k "$deb" | cut -f1) KiB)"

# The helper in /usr/libexec is run by pkexec, never by a person: it has no
# manual page.
lintian --allow-root --fail-on error --suppress-tags no-manual-page "$deb"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
dpkg-deb -x "$deb" "$WORK/contents"
desktop-file-validate "$WORK"/contents/usr/share/applications/*.desktop
appstreamcli validate --no-net "$WORK"/contents/usr/share/metainfo/*.metainfo.xml
apt-get install --simulate -qq "$deb" >/dev/null

ROOT="$WORK/root"
mkdir -p "$ROOT/var/lib/dpkg/info" "$ROOT/var/lib/dpkg/updates"
touch "$ROOT/var/lib/dpkg/status" "$ROOT/var/lib/dpkg/available"
# The dependencies live outside this root, on the machine itself.
dpkg --root="$ROOT" --log=/dev/null --force-depends --force-script-chrootless -i "$deb" >/dev/null 2>&1
"$ROOT/usr/bin/fotoretta-cli" --version
for f in /usr/bin/fotoretta /usr/libexec/fotoretta-helper /usr/share/man/man1/fotoretta-cli.1.gz /usr/share/man/man1/fotoretta.1.gz \
  /usr/share/polkit-1/actions/org.fotoretta.helper.policy /usr/share/doc/fotoretta/copyright \
  /usr/share/icons/hicolor/scalable/apps/org.fotoretta.Fotoretta.svg \
  /usr/share/icons/hicolor/48x48/apps/org.fotoretta.Fotoretta.png; do
  [ -e "$ROOT$f" ] || { echo "check-package: $f is not installed" >&2; exit 1; }
done
grep -q '/usr/libexec/fotoretta-helper' "$ROOT/usr/share/polkit-1/actions/org.fotoretta.helper.policy"

bash scripts/make-sample-card.sh "$WORK/card.img" >/dev/null
FOTORETTA_DATA_DIR="$WORK/data" "$ROOT/usr/bin/fotoretta-cli" recover "$WORK/card.img@1" --keep-paths \
  --to "$WORK/out" >"$WORK/recover.txt" 2>/dev/null
grep -q '^[1-9][0-9]* recovered, 0 failed$' "$WORK/recover.txt"
# The deleted Trip folder held copies of files still on the card: the
# recovered ones must match them byte for byte. (A deleted FAT entry has
# lost the first letter of its short name.)
mcopy -n -i "$WORK/card.img@@1M" ::/DCIM/100PHOTO/IMG_0001.JPG "$WORK/live.jpg"
mcopy -n -i "$WORK/card.img@@1M" "::/Music/Song 1.mp3" "$WORK/live.mp3"
cmp "$WORK/live.jpg" "$(find "$WORK/out" -iname "?each.jpg" | head -n 1)"
cmp "$WORK/live.mp3" "$(find "$WORK/out" -iname "?ampfire.mp3" | head -n 1)"
for name in '?MG_0002.JPG' '?MG_0003.JPG' 'Song 2.mp3' 'Holiday clip.mp4' 'Screenshot.png'; do
  [ -n "$(find "$WORK/out" -iname "$name")" ] || { echo "check-package: $name not recovered" >&2; exit 1; }
done

dpkg --root="$ROOT" --log=/dev/null --force-script-chrootless --purge fotoretta >/dev/null
left=$(find "$ROOT" -mindepth 1 -not -path "$ROOT/var" -not -path "$ROOT/var/lib" -not -path "$ROOT/var/lib/dpkg*")
[ -z "$left" ] || { echo "check-package: left after removal:" >&2; echo "$left" >&2; exit 1; }
echo "package checks passed: lintian, desktop entry, AppStream, install, recovery, removal"

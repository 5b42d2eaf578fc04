#!/usr/bin/env bash
# Checks the packages as a user meets them: the Debian package installs
# with apt, runs from the PATH, shows its manual and uninstalls cleanly; the
# Windows zip unpacks anywhere and its program cuts a clip under Wine.
# Needs root (it installs into /usr), and the default and windows builds.
#   tests/check_packages.sh
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 tools/make_clip.py "$work/clip.yuv" 12 >/dev/null
dd if="$work/clip.yuv" of="$work/expected.yuv" bs=3110400 skip=2 count=5 \
  status=none
printf 'Zorvik Plandry (10-29-2014)\nframe# 0:\rframes written: 5\n' \
  >"$work/expected.txt"

fail() { echo "check_packages: $*" >&2; exit 1; }

# The Debian package.
rm -f build/framerange_*.deb
cpack --preset default >/dev/null
deb=$(echo build/framerange_*_amd64.deb)
[ -f "$deb" ] || fail "no package: $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
[ "$(command -v framerange)" = /usr/bin/framerange ] ||
  fail "framerange is not on the PATH from /usr/bin"
(cd "$work" && framerange clip.yuv 2 5 cut.yuv >out.txt) ||
  fail "the installed framerange failed"
cmp -s "$work/out.txt" "$work/expected.txt" || fail "unexpected console text"
cmp -s "$work/cut.yuv" "$work/expected.yuv" || fail "wrong frames"
[ "$(man -w framerange)" = /usr/share/man/man1/framerange.1.gz ] ||
  fail "man does not find the manual"
man framerange 2>/dev/null | grep -q "cut a run of whole frames" ||
  fail "the manual does not show"
[ -f /usr/share/doc/framerange/README.md ] || fail "no README"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq framerange >/dev/null
for file in /usr/bin/framerange /usr/share/man/man1/framerange.1.gz \
            /usr/share/doc/framerange; do
  [ ! -e "$file" ] || fail "left behind on removal: $file"
done
echo "check_packages: $deb installs, runs, shows its manual, uninstalls"

# The Windows zip, unpacked where nothing else of the project is.
rm -f build-windows/framerange-*-win64.zip
cpack --preset windows >/dev/null
zip=$(echo build-windows/framerange-*-win64.zip)
[ -f "$zip" ] || fail "no zip: $zip"
python3 -m zipfile -e "$zip" "$work/unpacked"
exe=$(echo "$work"/unpacked/framerange-*-win64/framerange.exe)
readme=$(echo "$work"/unpacked/framerange-*-win64/README.txt)
grep -q $'\r$' "$readme" || fail "README.txt lacks Windows line ends"
(cd "$work" && "$top/cmake/wine-emulator.sh" /usr/lib/wine/wineserver \
   /usr/lib/wine/wine64 "$exe" clip.yuv 2 5 cutw.yuv >outw.txt) ||
  fail "framerange.exe from the zip failed"
tr -d '\r' <"$work/outw.txt" | cmp -s - <(tr -d '\r' <"$work/expected.txt") ||
  fail "unexpected console text from framerange.exe"
cmp -s "$work/cutw.yuv" "$work/expected.yuv" || fail "wrong frames from the zip"
echo "check_packages: $zip unpacks and cuts under Wine"

#!/usr/bin/env bash
# Renders the program's SVG icon into a Windows .ico: the sizes Explorer, the Start menu and the taskbar ask for,
# the largest kept PNG-compressed inside, as Windows expects it. Used by the build (the icon inside Leanfold.exe)
# and by the installer (the Start-menu entry's icon).
#
#   scripts/windows-icon.sh SVG OUT.ico
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: windows-icon.sh SVG OUT.ico" >&2
  exit 64
fi
svg=$1
out=$2
for tool in rsvg-convert:librsvg2-bin icotool:icoutils; do
  if ! command -v "${tool%%:*}" >/dev/null; then
    echo "windows-icon.sh: ${tool%%:*} is not installed (Debian package ${tool#*:})" >&2
    exit 69
  fi
done
mkdir -p "$(dirname "$out")"
# The sizes are rendered beside the output, in a folder only this user can enter.
work=$(mktemp -d "$(dirname "$out")/.icon.XXXXXXXX")
trap 'rm -rf "$work"' EXIT
pngs=()
for size in 16 20 24 32 40 48 64; do
  rsvg-convert -w "$size" -h "$size" -o "$work/$size.png" "$svg"
  pngs+=("$work/$size.png")
done
rsvg-convert -w 256 -h 256 -o "$work/256.png" "$svg"
icotool -c -o "$work/icon.ico" "${pngs[@]}" --raw="$work/256.png"
mv -f "$work/icon.ico" "$out"

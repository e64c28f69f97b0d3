#!/usr/bin/env bash
# Builds Leanfold's Windows installer (packaging/windows/Leanfold.nsi) from a Leanfold.exe and a
# leanfold-slim.exe, and prints its absolute path as the last line.
#
#   scripts/windows-installer.sh HOST SLIM OUT VERSION
#
# VERSION is the version Windows shows in Apps & features: one to four numbers joined by dots (2.36).
# The icon is rendered from the program's SVG icon. Needs makensis, rsvg-convert and icotool (Debian packages
# nsis, librsvg2-bin, icoutils: scripts/windows-worker.sh --deps-only installs them).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

if [ $# -ne 4 ]; then
  echo "usage: windows-installer.sh HOST SLIM OUT VERSION" >&2
  exit 64
fi
host=$1
slim=$2
out=$(realpath -m "$3")
version=$4
for exe in "$host" "$slim"; do
  if [ ! -f "$exe" ]; then
    echo "windows-installer.sh: $exe is not a file" >&2
    exit 66
  fi
done
if ! [[ "$version" =~ ^[0-9]+(\.[0-9]+){0,3}$ ]]; then
  echo "windows-installer.sh: the version '$version' is not one to four numbers joined by dots" >&2
  exit 64
fi
for tool in makensis:nsis rsvg-convert:librsvg2-bin icotool:icoutils; do
  if ! command -v "${tool%%:*}" >/dev/null; then
    echo "windows-installer.sh: ${tool%%:*} is not installed (Debian package ${tool#*:};" \
      "scripts/windows-worker.sh --deps-only installs it)" >&2
    exit 69
  fi
done

mkdir -p "$(dirname "$out")"
# The icon is made beside the output, in a folder only this user can enter.
work=$(mktemp -d "$(dirname "$out")/.installer.XXXXXXXX")
trap 'rm -rf "$work"' EXIT
svg="$root/resources/branding/source/psd-slim-tool-icon.svg"
pngs=()
for size in 16 20 24 32 40 48 64; do
  rsvg-convert -w "$size" -h "$size" -o "$work/$size.png" "$svg"
  pngs+=("$work/$size.png")
done
# The large size stays PNG-compressed inside the icon, as Windows expects it.
rsvg-convert -w 256 -h 256 -o "$work/256.png" "$svg"
icotool -c -o "$work/Leanfold.ico" "${pngs[@]}" --raw="$work/256.png"

makensis -INPUTCHARSET UTF8 -V2 \
  "-DVERSION=$version" "-DHOST=$(realpath "$host")" "-DSLIM=$(realpath "$slim")" \
  "-DICON=$work/Leanfold.ico" "-DOUTFILE=$out" \
  "$root/packaging/windows/Leanfold.nsi" >&2
echo "$out"

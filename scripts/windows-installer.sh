#!/usr/bin/env bash
# Builds Leanfold's Windows installer (packaging/windows/Leanfold.nsi) from a Leanfold.exe and a
# leanfold-slim.exe, and prints its absolute path as the last line.
#
#   scripts/windows-installer.sh HOST SLIM OUT VERSION
#
# VERSION is the version Windows shows in Apps & features: one to four numbers joined by dots (2.36).
# The programs are shipped stripped; the icon is rendered from the program's SVG icon. Needs makensis,
# rsvg-convert and icotool (Debian packages nsis, librsvg2-bin, icoutils) and the cross toolchain's strip:
# scripts/windows-worker.sh --deps-only installs them.
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
for tool in makensis:nsis rsvg-convert:librsvg2-bin icotool:icoutils \
  x86_64-w64-mingw32-strip:binutils-mingw-w64-x86-64; do
  if ! command -v "${tool%%:*}" >/dev/null; then
    echo "windows-installer.sh: ${tool%%:*} is not installed (Debian package ${tool#*:};" \
      "scripts/windows-worker.sh --deps-only installs it)" >&2
    exit 69
  fi
done

mkdir -p "$(dirname "$out")"
# The stripped programs and the icon are made beside the output, in a folder only this user can enter.
work=$(mktemp -d "$(dirname "$out")/.installer.XXXXXXXX")
trap 'rm -rf "$work"' EXIT
bash "$root/scripts/windows-icon.sh" "$root/resources/branding/source/psd-slim-tool-icon.svg" "$work/Leanfold.ico"

# Without the debugging sections that the static libraries bring in (half of Leanfold.exe), as the .deb is. strip
# stamps the PE header with the time, or SOURCE_DATE_EPOCH: the file's own time keeps the copy reproducible.
SOURCE_DATE_EPOCH=$(stat -c %Y "$host") x86_64-w64-mingw32-strip -o "$work/Leanfold.exe" "$host"
SOURCE_DATE_EPOCH=$(stat -c %Y "$slim") x86_64-w64-mingw32-strip -o "$work/leanfold-slim.exe" "$slim"

makensis -INPUTCHARSET UTF8 -V2 \
  "-DVERSION=$version" "-DHOST=$work/Leanfold.exe" "-DSLIM=$work/leanfold-slim.exe" \
  "-DICON=$work/Leanfold.ico" "-DOUTFILE=$out" \
  "$root/packaging/windows/Leanfold.nsi" >&2
echo "$out"

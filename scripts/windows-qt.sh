#!/usr/bin/env bash
# Builds Qt 6.4.2 for 64-bit Windows (static, release) from Debian 12's own qtbase source package and the Qt SVG
# module, with Debian's mingw-w64 posix toolchain and Debian's Linux Qt as the host tools (moc, rcc, uic).
# Prints the installed prefix as the last line; a prefix that is complete is reused without building.
#
#   scripts/windows-qt.sh [--prefix DIR] [--qtsvg-tarball FILE] [--no-install]
#   scripts/windows-qt.sh --deps-only     installs the cross toolchain, ninja, the host Qt and the deb-src lists
#   scripts/windows-qt.sh --check         prints the prefix if it is complete, else exits 69; builds nothing
#
# The prefix defaults to ~/.cache/leanfold/qt-6.4.2-mingw64-static (or $LEANFOLD_WINDOWS_QT); it is never inside
# the checkout. Sources and build trees live in a private folder beside it, removed once the prefix is complete.
# Qt SVG comes from Debian's qt6-svg source package when the archive serves it, otherwise from the upstream
# tarball of the same release in ../shared/third-party (or --qtsvg-tarball / $LEANFOLD_QTSVG_TARBALL), checked
# against its known sha256. The first build takes about 70 CPU-minutes; its end prints wall time and disk used.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
qt_version=6.4.2
prefix="${LEANFOLD_WINDOWS_QT:-$HOME/.cache/leanfold/qt-$qt_version-mingw64-static}"
qtsvg_tarball="${LEANFOLD_QTSVG_TARBALL:-$root/../shared/third-party/qtsvg-everywhere-src-$qt_version.tar.xz}"
qtsvg_sha256=b7f5c33044bc14926e9d7f3de46591e84ea943bb937592a5258fdfbd7f392cc6
install=1
deps_only=0
check=0
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix="$2"; shift ;;
    --qtsvg-tarball) qtsvg_tarball="$2"; shift ;;
    --no-install) install=0 ;;
    --deps-only) deps_only=1 ;;
    --check) check=1 ;;
    *) echo "windows-qt.sh: unknown argument $1" >&2; exit 64 ;;
  esac
  shift
done
prefix="$(realpath -m "$prefix")"
host_cmake=/usr/lib/x86_64-linux-gnu/cmake
stamp="$prefix/.leanfold-qt-complete"

case "$prefix/" in
  "$root"/*) echo "windows-qt.sh: the prefix $prefix is inside the checkout; a built Qt never goes there" >&2
             exit 64 ;;
esac

if [ "$check" -eq 1 ]; then
  if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
  fi
  echo "windows-qt.sh: no complete Qt for Windows in $prefix (scripts/windows-qt.sh builds it)" >&2
  exit 69
fi

if [ "$install" -eq 1 ]; then
  # The toolchain and the deb-src lists are the worker's; this build adds ninja and the Linux Qt's tools.
  bash "$root/scripts/windows-worker.sh" --deps-only
  source "$root/scripts/apt.sh"
  apt_update
  apt_install -y -qq --no-install-recommends ninja-build qt6-base-dev qt6-base-dev-tools >/dev/null
fi
if [ "$deps_only" -eq 1 ]; then
  exit 0
fi

if [ -f "$stamp" ]; then
  echo "$prefix"
  exit 0
fi

for tool in x86_64-w64-mingw32-g++-posix ninja cmake dpkg-source /usr/lib/qt6/libexec/moc; do
  if ! command -v "$tool" >/dev/null; then
    echo "windows-qt.sh: $tool is missing (scripts/windows-qt.sh --deps-only installs it)" >&2
    exit 69
  fi
done
if [ ! -f "$host_cmake/Qt6/Qt6Config.cmake" ]; then
  echo "windows-qt.sh: the Linux Qt's CMake packages are missing from $host_cmake (qt6-base-dev)" >&2
  exit 69
fi

mkdir -p -m 700 "$(dirname "$prefix")"
# One build per prefix at a time: a second run waits for nothing and says so.
exec 9>"$prefix.lock"
if ! flock -n 9; then
  echo "windows-qt.sh: another build of $prefix is running (lock $prefix.lock)" >&2
  exit 75
fi

# A prefix without the stamp is what an interrupted build left: it is removed only when this script made it
# (its marker is there) or it is empty, never a folder somebody else named.
if [ -e "$prefix" ]; then
  if [ -f "$prefix/.leanfold-qt-building" ] || [ -z "$(ls -A "$prefix")" ]; then
    rm -rf "$prefix"
  else
    echo "windows-qt.sh: $prefix exists and is not a Qt this script built; choose another --prefix" >&2
    exit 73
  fi
fi

work="$prefix.work"
rm -rf "$work"
mkdir -m 700 "$work"
if [ "$(stat -c %u "$work")" != "$(id -u)" ]; then
  echo "windows-qt.sh: $work is not owned by this user" >&2
  exit 77
fi
mkdir -m 755 "$prefix"
: >"$prefix/.leanfold-qt-building"
# Qt records the toolchain it was configured with and chain-loads it from its own qt.toolchain.cmake, silently
# skipping it when the file is gone: the prefix keeps its own copy so that it outlives this checkout.
toolchain="$prefix/lib/cmake/leanfold-mingw-w64-posix.cmake"
install -D -m 644 "$root/cmake/mingw-w64-posix.cmake" "$toolchain"
started=$(date +%s)

# fetch_debian_source <package>: unpacks the newest source version of release $qt_version that the archive
# serves into $work/<package>; fails when none downloads.
fetch_debian_source() {
  local package="$1" version versions fetch
  fetch="$work/$package-fetch"
  versions=$(apt-cache showsrc "$package" 2>/dev/null | sed -n "s/^Version: \\($qt_version[+-].*\\)/\\1/p" | sort -urV)
  mkdir -p "$fetch"
  for version in $versions; do
    if (cd "$fetch" && apt-get source --download-only -qq "$package=$version") >/dev/null 2>&1; then
      dpkg-source --no-check -x "$(ls "$fetch"/"${package}"_*.dsc | head -n 1)" "$work/$package" >/dev/null
      rm -rf "$fetch"
      echo "windows-qt.sh: $package $version from Debian's source package" >&2
      return 0
    fi
  done
  rm -rf "$fetch"
  return 1
}

if ! fetch_debian_source qt6-base; then
  echo "windows-qt.sh: Debian's qt6-base $qt_version source could not be fetched (deb-src lists missing?)" >&2
  exit 69
fi
if ! fetch_debian_source qt6-svg; then
  if [ ! -f "$qtsvg_tarball" ]; then
    echo "windows-qt.sh: Debian's qt6-svg source did not download and $qtsvg_tarball is missing" >&2
    exit 69
  fi
  sum=$(sha256sum "$qtsvg_tarball" | cut -d ' ' -f 1)
  if [ "$sum" != "$qtsvg_sha256" ]; then
    echo "windows-qt.sh: $qtsvg_tarball has sha256 $sum, expected $qtsvg_sha256" >&2
    exit 65
  fi
  mkdir "$work/qt6-svg"
  tar -xJf "$qtsvg_tarball" -C "$work/qt6-svg" --strip-components=1 --no-same-owner
  echo "windows-qt.sh: qtsvg $qt_version from $qtsvg_tarball (sha256 checked)" >&2
fi

# Debian's qtbase source has no wintab.h, hence no tablet events, and no bundled SQLite: Qt Sql goes, with the other
# modules the host never uses (PrintSupport, Concurrent, Xml). Direct2D stays on: without it the windows
# platform plugin does not link (its DirectWrite font database lives there). zstd stays off, so the host's rcc
# has to be told --no-zstd when it compiles resources for this Qt.
configure_args=(-prefix "$prefix" -release -static -static-runtime -xplatform win32-g++
  -device-option CROSS_COMPILE=x86_64-w64-mingw32- -qt-host-path /usr -nomake examples -nomake tests
  -no-opengl -no-icu -no-dbus -no-pkg-config -no-zstd -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz
  -qt-pcre -no-feature-tabletevent -no-feature-sql -no-feature-printsupport -no-feature-concurrent -no-feature-xml
  -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH_CMAKE_DIR="$host_cmake")
echo "windows-qt.sh: configure ${configure_args[*]}" >&2
mkdir "$work/qtbase-build"
(cd "$work/qtbase-build" && nice -n 19 "$work/qt6-base/configure" "${configure_args[@]}")
nice -n 19 ninja -C "$work/qtbase-build" -j2
cmake --install "$work/qtbase-build"

# Qt SVG against the freshly installed qtbase; its CMake wrapper carries the host path and the toolchain.
mkdir "$work/qtsvg-build"
(cd "$work/qtsvg-build" && nice -n 19 "$prefix/bin/qt-configure-module" "$work/qt6-svg")
nice -n 19 ninja -C "$work/qtsvg-build" -j2
cmake --install "$work/qtsvg-build"

for piece in lib/libQt6Core.a lib/libQt6Gui.a lib/libQt6Widgets.a lib/libQt6Network.a lib/libQt6Test.a \
  lib/libQt6Svg.a plugins/platforms/libqwindows.a plugins/platforms/libqoffscreen.a \
  plugins/iconengines/libqsvgicon.a; do
  if [ ! -f "$prefix/$piece" ]; then
    echo "windows-qt.sh: the build finished without $piece" >&2
    exit 70
  fi
done

used=$(du -sh "$work" | cut -f 1)
rm -rf "$work"
rm -f "$prefix/.leanfold-qt-building"
elapsed=$(($(date +%s) - started))
printf 'Qt %s for Windows, configured with: %s\n' "$qt_version" "${configure_args[*]}" >"$stamp"
echo "windows-qt.sh: built in $((elapsed / 60)) min $((elapsed % 60)) s; build trees used $used," \
  "the prefix holds $(du -sh "$prefix" | cut -f 1)" >&2
echo "$prefix"

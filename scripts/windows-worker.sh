#!/usr/bin/env bash
# Cross-builds LeanfoldWorker.exe for 64-bit Windows with mingw-w64 and prints its absolute path as the last line.
# leanfold-slim.exe, the console program, is built too, in cli/ of the same build folder.
#
#   scripts/windows-worker.sh [--no-install] [--build-dir DIR] [--test-worker] [-- extra cmake arguments]
#
# --test-worker also builds LeanfoldWorkerTest.exe beside it: the same worker with the test hooks (pause points,
# injected failures) that the shipped one never has.
#   scripts/windows-worker.sh --deps-only     installs the cross toolchain, Wine, the installer's tools and the
#                                             expat source lists
#
# expat is built static from Debian's own expat source package (the upstream tarball of Debian 12's version with
# Debian's patches); nlohmann-json is header-only and comes from the Linux package. Nothing is vendored.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-mingw"
install=1
deps_only=0
test_worker=0
cmake_extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-install) install=0 ;;
    --deps-only) deps_only=1 ;;
    --test-worker) test_worker=1 ;;
    --build-dir) build="$(realpath -m "$2")"; shift ;;
    --) shift; cmake_extra=("$@"); break ;;
    *) echo "windows-worker.sh: unknown argument $1" >&2; exit 64 ;;
  esac
  shift
done

triple=x86_64-w64-mingw32
toolchain="$root/cmake/mingw-w64-posix.cmake"
packages=(cmake make g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev nlohmann-json3-dev)
# scripts/windows-installer.sh: makensis, and the icon rendered from the SVG and packed into an .ico.
packages+=(nsis librsvg2-bin icoutils)

# Root is asked for only when something is missing (scripts/apt.sh), so once root has installed everything an
# ordinary user builds without being asked.
install_deps() {
  source "$root/scripts/apt.sh"
  # apt-get source reads deb-src lists: mirror the binary lists when the system has none, and fetch the source
  # index when apt does not know expat's source package yet.
  if [ -z "$(apt-cache showsrc expat 2>/dev/null)" ]; then
    if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      echo "windows-worker.sh: adding deb-src lists beside the binary ones" >&2
      if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
          as_root tee /etc/apt/sources.list.d/leanfold-deb-src.sources >/dev/null
      else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
          as_root tee /etc/apt/sources.list.d/leanfold-deb-src.list >/dev/null
      fi
    fi
    as_root apt-get update -qq
  else
    apt_update
  fi
  apt_install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
}

if [ "$install" -eq 1 ]; then
  install_deps
fi
if [ "$deps_only" -eq 1 ]; then
  exit 0
fi
if ! command -v "$triple-g++-posix" >/dev/null; then
  echo "windows-worker.sh: $triple-g++-posix is not installed (g++-mingw-w64-x86-64-posix)" >&2
  exit 69
fi

deps="$build/deps"
mkdir -p "$build"

# Static expat for Windows, built once per build folder.
if [ ! -f "$deps/lib/libexpat.a" ]; then
  fetch="$build/expat-source"
  rm -rf "$fetch"
  mkdir -p "$fetch"
  # The newest source version first; a version the archive no longer serves is passed over.
  versions=$(apt-cache showsrc expat 2>/dev/null | sed -n 's/^Version: //p' | sort -urV)
  if [ -z "$versions" ]; then
    echo "windows-worker.sh: no expat source package is known to apt (deb-src lists missing?)" >&2
    exit 69
  fi
  fetched=""
  for version in $versions; do
    if (cd "$fetch" && apt-get source --download-only -qq "expat=$version") >/dev/null 2>&1; then
      fetched="$version"
      break
    fi
  done
  if [ -z "$fetched" ]; then
    echo "windows-worker.sh: no expat source package could be fetched" >&2
    exit 69
  fi
  dsc=$(ls "$fetch"/expat_*.dsc | head -n 1)
  dpkg-source --no-check -x "$dsc" "$fetch/src" >/dev/null
  echo "expat $fetched from Debian's source package" >&2
  cmake -S "$fetch/src/expat" -B "$fetch/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps" -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF \
    -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF >/dev/null
  # Debian builds with autotools, whose configuration defines XML_DTD as 1, and its backported fixes test that
  # value; CMake's configuration defines it empty.
  sed -i 's/^#define XML_DTD$/#define XML_DTD 1/' "$fetch/build/expat_config.h"
  nice -n 10 cmake --build "$fetch/build" -j2 >/dev/null
  cmake --install "$fetch/build" >/dev/null
fi

# nlohmann-json is header-only: the prefix points at the Linux package's headers and CMake package, whose
# imported target then names the prefix's include folder (and only that, never /usr/include).
mkdir -p "$deps/include" "$deps/share/cmake"
ln -sfn /usr/include/nlohmann "$deps/include/nlohmann"
ln -sfn /usr/share/cmake/nlohmann_json "$deps/share/cmake/nlohmann_json"

targets=(LeanfoldWorker leanfold-slim)
hooks=OFF
[ "$test_worker" = 1 ] && targets+=(LeanfoldWorkerTest) && hooks=ON
cmake -S "$root" -B "$build/worker" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLEANFOLD_WINDOWS_DEPS="$deps" \
  -DCMAKE_BUILD_TYPE=Release -DLEANFOLD_BUILD_HOST=OFF -DBUILD_TESTING=OFF -DLEANFOLD_WORKER_TEST_HOOKS=$hooks \
  "${cmake_extra[@]}" >/dev/null
nice -n 10 cmake --build "$build/worker" -j2 --target "${targets[@]}" >&2
realpath "$build/worker/worker/LeanfoldWorker.exe"

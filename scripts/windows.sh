#!/usr/bin/env bash
# Builds Leanfold for 64-bit Windows: the worker (scripts/windows-worker.sh), then Leanfold.exe against the static
# Qt for Windows (scripts/windows-qt.sh, which reuses a complete prefix at once), with that worker embedded, then
# the installer of Leanfold.exe and leanfold-slim.exe (scripts/windows-installer.sh), Leanfold-<version>-setup.exe
# in the build folder. Its last lines are host=<path>, worker=<path> and installer=<path>.
#
#   scripts/windows.sh [--no-install] [--build-dir DIR] [--qt-prefix DIR] [--tests]
#
# --tests also builds the host's test suites and the worker with test hooks; `ctest --test-dir DIR/host` then runs
# every suite under Wine (tests/host/wine/wine-run.sh is that build's emulator).
#
# Leanfold.exe is a GUI-subsystem program linked fully static: Qt, its windows and offscreen platform plugins, the
# SVG icon engine and the compiler's runtime are inside it, so it needs only DLLs that Windows 10 itself has.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-mingw"
install=1
qt_args=()
tests=0
while [ $# -gt 0 ]; do
  case "$1" in
    --no-install) install=0 ;;
    --build-dir) build="$(realpath -m "$2")"; shift ;;
    --qt-prefix) qt_args=(--prefix "$2"); shift ;;
    --tests) tests=1 ;;
    *) echo "windows.sh: unknown argument $1" >&2; exit 64 ;;
  esac
  shift
done

no_install=()
[ "$install" -eq 0 ] && no_install=(--no-install)

test_worker=()
[ "$tests" -eq 1 ] && test_worker=(--test-worker)
worker=$(bash "$root/scripts/windows-worker.sh" "${no_install[@]}" "${test_worker[@]}" --build-dir "$build" | tail -n 1)
qt=$(bash "$root/scripts/windows-qt.sh" "${no_install[@]}" "${qt_args[@]}" | tail -n 1)
if [ ! -f "$worker" ] || [ ! -f "$qt/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
  echo "windows.sh: the worker ($worker) or the Qt for Windows ($qt) is missing" >&2
  exit 69
fi

test_args=(-DBUILD_TESTING=OFF)
targets=(Leanfold)
if [ "$tests" -eq 1 ]; then
  test_args=(-DBUILD_TESTING=ON -DLEANFOLD_WINDOWS_TEST_WORKER="$(dirname "$worker")/LeanfoldWorkerTest.exe"
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$root/tests/host/wine/wine-run.sh;$build/host/wine-template")
  targets+=(leanfold_host_tests)
fi

# Qt's toolchain file loads ours and adds the Qt prefix to the find roots; moc, rcc and uic come from the Linux
# Qt, whose CMake packages Debian keeps under the multiarch folder. The worker is embedded as windows-worker.sh
# built it, so the host build compiles no worker of its own.
cmake -S "$root" -B "$build/host" -G "Unix Makefiles" \
  -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DLEANFOLD_WINDOWS_DEPS="$build/deps" -DLEANFOLD_WINDOWS_WORKER="$worker" \
  -DCMAKE_BUILD_TYPE=Release "${test_args[@]}" >/dev/null
nice -n 10 cmake --build "$build/host" -j2 --target "${targets[@]}" >&2
host="$(realpath "$build/host/src/Leanfold.exe")"

# The version the host was configured with, so the installer and the program never disagree.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/host/CMakeCache.txt")
installer=$(bash "$root/scripts/windows-installer.sh" "$host" "$build/worker/cli/leanfold-slim.exe" \
  "$build/Leanfold-$version-setup.exe" "$version" | tail -n 1)
echo "host=$host"
echo "worker=$worker"
echo "installer=$installer"

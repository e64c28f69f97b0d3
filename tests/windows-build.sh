#!/usr/bin/env bash
# The Windows build that every test under Wine reads: the CTest entry WindowsBuild, which they require, so it runs
# once before them and they never build, and can run side by side.
#
#   windows-build.sh SOURCE_DIR BUILD_DIR QT_PREFIX
#
# Builds the worker, the worker with test hooks and leanfold-slim.exe (scripts/windows-worker.sh) into BUILD_DIR;
# where the Qt for Windows in QT_PREFIX is complete, also Leanfold.exe, the host's test suites and the installer
# (scripts/windows.sh --tests). Without that Qt only the worker is built and the host's Wine tests skip, saying so:
# building it is a one-time step of its own (scripts/windows-qt.sh, about an hour). Exits 77 (skipped) where
# mingw-w64 or Wine is missing.
set -uo pipefail
source_dir=$1
build=$2
qt=$3

for tool in x86_64-w64-mingw32-g++-posix wine; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/windows-worker.sh --deps-only installs it)"
    exit 77
  fi
done
mkdir -p "$build"
started=$(date +%s)
log="$build/build.log"
if [ -f "$qt/.leanfold-qt-complete" ]; then
  what="the worker, Leanfold.exe, the host's test suites and the installer"
  bash "$source_dir/scripts/windows.sh" --no-install --tests --build-dir "$build" --qt-prefix "$qt" >"$log" 2>&1
else
  what="the worker alone: no Qt for Windows in $qt (scripts/windows-qt.sh builds it once, in about an hour)"
  bash "$source_dir/scripts/windows-worker.sh" --no-install --test-worker --build-dir "$build" >"$log" 2>&1
fi
status=$?
if [ "$status" -eq 69 ]; then
  tail -n 20 "$log"
  echo "SKIP: a dependency of the Windows build is missing; see above"
  exit 77
elif [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  echo "FAIL: the Windows build exited with $status (whole log: $log)"
  exit 1
fi
echo "built $what in $(($(date +%s) - started)) s (log: $log)"

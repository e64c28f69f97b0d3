#!/usr/bin/env bash
# The host's own test suites, built for Windows and run under Wine: the CTest entry HostSuitesWine.
#
#   host-suites.sh BUILD_DIR QT_PREFIX
#
# Runs the CTest of the Windows build in BUILD_DIR (scripts/windows.sh --tests, which the CTest entry WindowsBuild
# runs first), whose emulator (wine-run.sh) gives each suite a private Wine prefix. Prints each suite's counts.
# Exits 77 (skipped) where the Qt for Windows or Wine is missing: building that Qt is a one-time step of its own
# (scripts/windows-qt.sh, about an hour).
set -uo pipefail
build="$1"
qt="$2"

for tool in wine wineboot wineserver; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/windows-worker.sh --deps-only installs it)"
    exit 77
  fi
done
if [ ! -f "$qt/.leanfold-qt-complete" ]; then
  echo "SKIP: no Qt for Windows in $qt; build it once with scripts/windows-qt.sh (about an hour), then run again"
  exit 77
fi
if [ ! -f "$build/host/tests/host/CTestTestfile.cmake" ]; then
  echo "SKIP: the host's suites are not built for Windows in $build (scripts/windows.sh --tests --build-dir $build)"
  exit 77
fi

tests="$build/host"
status=0
ctest --test-dir "$tests" -V --timeout 600 -j2 >"$tests/wine-suites.log" 2>&1 || status=$?
log="$tests/wine-suites.log"
# Each failed check with the lines Qt Test printed around it, then one line per suite with its passed, failed and
# skipped rows as Qt Test counted them under Wine, then CTest's own summary.
grep -B2 -A4 -E '^[0-9]+: (FAIL!|XPASS)' "$log" || true
echo "--- host suites under Wine (log: $log)"
awk '
  match($0, /^[0-9]+: \*+ Start testing of [A-Za-z]+/) { n = $1; split($0, w, " "); name[n] = w[6] }
  /^[0-9]+: Totals: / { n = $1; sub(/^[0-9]+: /, ""); print name[n] ": " $0 }
' "$log"
sed -n '/tests passed/,$p' "$log"
exit "$status"

#!/usr/bin/env bash
# The host's own test suites, built for Windows and run under Wine: the CTest entry HostSuitesWine.
#
#   host-suites.sh SOURCE_DIR BUILD_DIR QT_PREFIX
#
# Builds the Windows worker, Leanfold.exe and every host test against the static Qt for Windows in QT_PREFIX
# (scripts/windows.sh --tests, into BUILD_DIR), then runs that build's CTest, whose emulator (wine-run.sh) gives each
# suite a private Wine prefix. Prints each suite's counts. Exits 77 (skipped) where the Qt for Windows, mingw-w64
# or Wine is missing: building that Qt is a one-time step of its own (scripts/windows-qt.sh, about an hour).
set -uo pipefail
source_dir="$1"
build="$2"
qt="$3"

for tool in x86_64-w64-mingw32-g++-posix wine wineboot wineserver; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/windows-worker.sh --deps-only installs it)"
    exit 77
  fi
done
if [ ! -f "$qt/.leanfold-qt-complete" ]; then
  echo "SKIP: no Qt for Windows in $qt; build it once with scripts/windows-qt.sh (about an hour), then run again"
  exit 77
fi

if ! bash "$source_dir/scripts/windows.sh" --no-install --tests --build-dir "$build" --qt-prefix "$qt" >"$build.log" 2>&1
then
  tail -n 60 "$build.log"
  echo "the Windows build of the host's tests failed (whole log: $build.log)"
  exit 1
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

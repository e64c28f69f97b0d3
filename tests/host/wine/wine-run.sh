#!/usr/bin/env bash
# Runs one Windows test program under Wine: the emulator of the Windows build's CTest. Each test gets a private
# Wine prefix of its own under the private HOME that CTest gives it, so that no two tests share a profile, a
# %LOCALAPPDATA%, a %TEMP%, a named pipe or a mutex. The prefix is cloned from one booted once per build (the
# read-only system folders as hard links, the rest copied), because booting a prefix takes seconds and 700 MB.
#
#   wine-run.sh TEMPLATE_DIR PROGRAM.exe [arguments...]
#
# Wine does not hand QT_* variables to the program, so the prefix's user environment says QT_QPA_PLATFORM=offscreen
# (the test programs and every Leanfold.exe they start link the offscreen platform in).
set -euo pipefail
template="$1"
shift
: "${HOME:?wine-run.sh runs inside a CTest test, which gives it a private HOME}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# own_private_folder DIR: DIR is a real folder of this user that nobody else can write.
own_private_folder() {
  [ -d "$1" ] && [ ! -L "$1" ] && [ "$(stat -c %u "$1")" = "$(id -u)" ] &&
    [ $(( 0$(stat -c %a "$1") & 022 )) -eq 0 ]
}

boot_template() {
  rm -rf "$template"
  mkdir -m 700 "$template"
  WINEPREFIX="$template" wineboot --init >/dev/null 2>&1
  WINEPREFIX="$template" wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null 2>&1
  WINEPREFIX="$template" wineserver -w
  : >"$template/.leanfold-ready"
}

parent="$(dirname "$template")"
if ! own_private_folder "$parent"; then
  echo "wine-run.sh: $parent is not a private folder of this user" >&2
  exit 1
fi
(
  flock 9
  [ -f "$template/.leanfold-ready" ] && own_private_folder "$template" || boot_template
) 9>"$template.lock"

prefix="$HOME/wine"
if [ -d "$prefix" ]; then
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
fi
mkdir -m 700 "$prefix" "$prefix/drive_c"
cp -a "$template/dosdevices" "$template"/*.reg "$template/.update-timestamp" "$prefix/"
for entry in "$template/drive_c"/* "$template/drive_c/windows"/*; do
  case "$entry" in
    "$template/drive_c/windows") mkdir -p "$prefix/drive_c/windows" ;;
    "$template/drive_c/windows/system32" | "$template/drive_c/windows/winsxs") cp -al "$entry" "$prefix/drive_c/windows/" ;;
    "$template/drive_c/windows"/*) cp -a "$entry" "$prefix/drive_c/windows/" ;;
    *) cp -a "$entry" "$prefix/drive_c/" ;;
  esac
done

# Qt Test's report does not reach a pipe under Wine: a test program writes it to a file, shown once it ends.
report=()
case "$(basename "$1")" in
  Test*.exe) report=(-o "$prefix/drive_c/qtest-report.txt,txt") ;;
esac
status=0
WINEPREFIX="$prefix" wine "$@" "${report[@]}" || status=$?
[ "${#report[@]}" -eq 0 ] || cat "$prefix/drive_c/qtest-report.txt" 2>/dev/null || echo "no Qt Test report was written"
# Whatever the test started and left running ends with its prefix's server.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
exit "$status"

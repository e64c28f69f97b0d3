#!/usr/bin/env bash
# windows-installer.sh <mingw build dir> [--stand-in HOST SLIM]: the Windows installer under Wine, in a fresh
# private prefix. It installs silently and reads back every file and registry entry it promises; installs a
# higher version over it (one Apps & features entry, no file of the old version left); opens two .psd files
# with the registered command, one after the other, and sees both reach one window; sees setup and the
# uninstaller refuse while that window runs; uninstalls silently and sees everything gone but the user's
# settings and another program's association.
#
# It reads Leanfold.exe, leanfold-slim.exe and the installer that scripts/windows.sh built into the build dir (the
# CTest entry WindowsBuild, which runs first); without them, or without the Qt for Windows (scripts/windows-qt.sh
# builds it once), the test skips (CTest code 77). --stand-in takes any two programs instead of the built ones,
# to try the installer without Qt; the steps that need the real Leanfold.exe are then skipped, and say so.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# wait_count, shared with the window test.
. "$here/window-session.sh"
skip() {
  echo "skipped: $*"
  exit 77
}
failures=0
failed=""
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
  failed="$failed  $*
"
}
# expect <what> <actual> <expected>
expect() {
  if [ "$2" = "$3" ]; then
    echo "ok: $1 = $2"
  else
    fail "$1 is '$2', expected '$3'"
  fi
}

[ $# -ge 1 ] || { echo "usage: windows-installer.sh <build dir> [--stand-in HOST SLIM]"; exit 64; }
build=$(realpath -m "$1")
stand_in=0
if [ "${2:-}" = "--stand-in" ]; then
  [ $# -eq 4 ] || { echo "usage: windows-installer.sh <build dir> --stand-in HOST SLIM"; exit 64; }
  stand_in=1
  host=$(realpath "$3")
  slim=$(realpath "$4")
fi

for tool in makensis:nsis icotool:icoutils rsvg-convert:librsvg2-bin wine:wine wineboot:wine \
  wineserver:wine winepath:wine x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix; do
  command -v "${tool%%:*}" >/dev/null 2>&1 ||
    skip "${tool%%:*} is not installed (Debian package ${tool#*:}; scripts/windows-worker.sh --deps-only installs it)"
done

started=$(date +%s)
mkdir -p "$build"
if [ "$stand_in" -eq 0 ]; then
  bash "$root/scripts/windows-qt.sh" --check >/dev/null ||
    skip "the Qt for Windows is not built (run scripts/windows-qt.sh once)"
  host="$build/host/src/Leanfold.exe"
  slim="$build/worker/cli/leanfold-slim.exe"
  old=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/host/CMakeCache.txt" 2>/dev/null)
  old_setup="$build/Leanfold-$old-setup.exe"
  [ -n "$old" ] && [ -f "$host" ] && [ -f "$slim" ] && [ -f "$old_setup" ] ||
    skip "Leanfold.exe and its installer are not built in $build (scripts/windows.sh --build-dir $build)"
else
  old=$(sed -n 's/^project(Leanfold VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  old_setup="$build/Leanfold-$old-setup.exe"
  bash "$root/scripts/windows-installer.sh" "$host" "$slim" "$old_setup" "$old" >/dev/null || exit 1
fi
# The update: the same programs, one minor version up.
new="$(printf '%s' "$old" | cut -d. -f1).$(($(printf '%s' "$old" | cut -d. -f2) + 1))"
new_setup="$build/installer-test/Leanfold-$new-setup.exe"
rm -rf "$build/installer-test"
mkdir -m 0700 "$build/installer-test" || exit 1
bash "$root/scripts/windows-installer.sh" "$host" "$slim" "$new_setup" "$new" >/dev/null || exit 1
echo "installers: $old_setup ($(stat -c %s "$old_setup") bytes), $new_setup ($(stat -c %s "$new_setup") bytes)"
echo "built in $(($(date +%s) - started)) s"

# A fresh prefix of this test's own, made private in the creating call; nothing of an earlier run or of the
# user's own Wine takes part, and no window is shown. Wine would mirror the Start-menu entry and the file types
# into the desktop's menus, icons and MIME database (winemenubuilder): that stays off, and the home Wine sees is
# a private one, so the user's own desktop never gets any of it.
export WINEPREFIX="$build/installer-test/prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export HOME="$build/installer-test/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
unset DISPLAY WAYLAND_DISPLAY
mkdir -m 0700 "$WINEPREFIX" "$HOME" || exit 1
[ "$(stat -c %u "$WINEPREFIX")" = "$(id -u)" ] || { echo "FAIL: $WINEPREFIX is not ours"; exit 1; }
trap 'wineserver -k 2>/dev/null || true' EXIT
wine_started=$(date +%s)
wineboot --init 2>/dev/null || { echo "FAIL: wineboot --init"; exit 1; }

# reg_query <arguments of reg query>: its listing, without carriage returns. Now and then, on a loaded machine, a
# Wine program gives no answer at all: neither a listing nor reg's own "Unable to find". That is asked again, up
# to three times, and said, so that it never reads as a key that is missing or present.
reg_query() {
  local attempt out status
  for attempt in 1 2 3; do
    out=$(wine reg query "$@" 2>"$build/installer-test/reg.err")
    status=$?
    if [ -n "$out" ] || grep -q 'Unable to find' "$build/installer-test/reg.err"; then
      printf '%s\n' "$out" | tr -d '\r'
      return "$status"
    fi
    echo "note: 'reg query $*' gave no answer (status $status), attempt $attempt" >&2
  done
  return 2
}
# reg_value <key> [value]: the type and data of a value ("REG_SZ|data"), or of the key's default value; nothing and
# status 1 where it does not exist; "no answer" where Wine never answered, which matches no expectation.
reg_value() {
  local which=(/ve) found
  [ $# -eq 2 ] && which=(/v "$2")
  found=$(reg_query "$1" "${which[@]}")
  [ $? -eq 2 ] && { echo "no answer"; return 0; }
  # A key without a default value still lists one, "(value not set)".
  printf '%s\n' "$found" | sed -nE 's/^ {4}.* {4}(REG_[A-Z_]+)( {4}(.*))?$/\1|\3/p' |
    grep -vxF 'REG_SZ|(value not set)' | grep .
}
listing() { # listing <folder>: its entries on one line, in byte order whatever the locale
  (cd "$1" 2>/dev/null && LC_ALL=C ls -A | tr '\n' ' ')
}
key_state() { # key_state <key>: kept, gone, or "no answer"
  reg_query "$1" >/dev/null
  case $? in
  0) echo kept ;;
  1) echo gone ;;
  *) echo "no answer" ;;
  esac
}
windows_folder() { # windows_folder <variable>: the Unix path of %variable%
  winepath -u "$(wine cmd /c echo "%$1%" | tr -d '\r')"
}
local_app_data=$(windows_folder LOCALAPPDATA)
start_menu="$(windows_folder APPDATA)/Microsoft/Windows/Start Menu/Programs"
dir="$local_app_data/Programs/Leanfold"
win_dir=$(winepath -w "$dir" | tr -d '\r')
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Leanfold'
classes='HKCU\Software\Classes'
echo "program folder: $win_dir"

# Another editor that already owns .psb: its association must survive both the install and the uninstall.
wine reg add "$classes\\.psb" /ve /d Other.Editor.psb /f >/dev/null 2>&1
wine reg add "$classes\\.psb\\OpenWithProgids" /v Other.Editor.psb /t REG_NONE /f >/dev/null 2>&1

echo "--- 1. silent install of $old"
wine "$old_setup" /S
expect "setup exit status" "$?" 0
expect "program folder" "$(listing "$dir")" "Leanfold.exe Leanfold.ico Uninstall.exe leanfold-slim.exe "
# The programs are shipped stripped, with the time stamp of their files.
for program in "$host:Leanfold.exe" "$slim:leanfold-slim.exe"; do
  SOURCE_DATE_EPOCH=$(stat -c %Y "${program%%:*}") \
    x86_64-w64-mingw32-strip -o "$build/installer-test/stripped.exe" "${program%%:*}"
  cmp -s "$dir/${program#*:}" "$build/installer-test/stripped.exe" ||
    fail "the installed ${program#*:} is not ${program%%:*} stripped"
done
if [ "$stand_in" -eq 0 ]; then
  # Explorer, the taskbar and "Open with" take the program's icon and name from Leanfold.exe itself.
  resources=$(wrestool -l "$dir/Leanfold.exe" 2>/dev/null)
  expect "icon groups in Leanfold.exe" "$(grep -c 'type=group_icon' <<<"$resources")" 1
  expect "icon sizes in Leanfold.exe" "$(grep -c '\[type=icon ' <<<"$resources")" 8
  # The version resource's texts, each key followed by its value.
  version_text=$(wrestool -x --raw --type=16 "$dir/Leanfold.exe" 2>/dev/null | x86_64-w64-mingw32-strings -el -n 2)
  for entry in FileDescription:Leanfold ProductVersion:"$old" OriginalFilename:Leanfold.exe; do
    expect "Leanfold.exe's ${entry%%:*}" "$(grep -A1 -x "${entry%%:*}" <<<"$version_text" | sed -n 2p)" "${entry#*:}"
  done
fi

echo "--- 2. what it registered"
check_registration() { # check_registration <version>
  local exe="\"$win_dir\\Leanfold.exe\"" ext
  expect "DisplayName" "$(reg_value "$uninstall_key" DisplayName)" "REG_SZ|Leanfold"
  expect "DisplayVersion" "$(reg_value "$uninstall_key" DisplayVersion)" "REG_SZ|$1"
  expect "Publisher" "$(reg_value "$uninstall_key" Publisher)" "REG_SZ|Lumora"
  expect "DisplayIcon" "$(reg_value "$uninstall_key" DisplayIcon)" "REG_SZ|$win_dir\\Leanfold.ico"
  expect "InstallLocation" "$(reg_value "$uninstall_key" InstallLocation)" "REG_SZ|$win_dir"
  expect "UninstallString" "$(reg_value "$uninstall_key" UninstallString)" "REG_SZ|\"$win_dir\\Uninstall.exe\""
  expect "QuietUninstallString" "$(reg_value "$uninstall_key" QuietUninstallString)" \
    "REG_SZ|\"$win_dir\\Uninstall.exe\" /S"
  expect "NoModify" "$(reg_value "$uninstall_key" NoModify)" "REG_DWORD|0x1"
  expect "NoRepair" "$(reg_value "$uninstall_key" NoRepair)" "REG_DWORD|0x1"
  # KiB of the folder as installed: each file rounded, so within one KiB per file of the sum.
  local size bytes files
  size=$(($(reg_value "$uninstall_key" EstimatedSize | cut -d'|' -f2)))
  bytes=$(find "$dir" -type f -printf '%s\n' | awk '{ sum += $1 } END { print sum }')
  files=$(find "$dir" -type f | wc -l)
  if [ $((size * 1024 - bytes)) -gt $((files * 1024)) ] || [ $((bytes - size * 1024)) -gt $((files * 1024)) ]; then
    fail "EstimatedSize is $size KiB, the folder holds $bytes bytes"
  else
    echo "ok: EstimatedSize = $size KiB for $bytes bytes"
  fi
  for ext in psd psb; do
    expect "Lumora.Leanfold.$ext open command" "$(reg_value "$classes\\Lumora.Leanfold.$ext\\shell\\open\\command")" \
      "REG_SZ|$exe \"%1\""
    expect "Lumora.Leanfold.$ext icon" "$(reg_value "$classes\\Lumora.Leanfold.$ext\\DefaultIcon")" \
      "REG_SZ|$win_dir\\Leanfold.ico"
    expect ".$ext OpenWithProgids" "$(reg_value "$classes\\.$ext\\OpenWithProgids" "Lumora.Leanfold.$ext")" "REG_NONE|"
    expect "SupportedTypes .$ext" \
      "$(reg_value "$classes\\Applications\\Leanfold.exe\\SupportedTypes" ".$ext")" "REG_SZ|"
    expect "Capabilities .$ext" "$(reg_value 'HKCU\Software\Lumora\Leanfold\Capabilities\FileAssociations' ".$ext")" \
      "REG_SZ|Lumora.Leanfold.$ext"
  done
  # Offered, never taken over: .psd has no default program, .psb keeps the other editor.
  expect ".psd default program" "$(reg_value "$classes\\.psd" || echo none)" "none"
  expect ".psb default program" "$(reg_value "$classes\\.psb")" "REG_SZ|Other.Editor.psb"
  expect ".psb other editor offered" "$(reg_value "$classes\\.psb\\OpenWithProgids" Other.Editor.psb | cut -d'|' -f1)" \
    "REG_NONE"
  expect "Applications FriendlyAppName" "$(reg_value "$classes\\Applications\\Leanfold.exe" FriendlyAppName)" \
    "REG_SZ|Leanfold"
  expect "Applications open command" "$(reg_value "$classes\\Applications\\Leanfold.exe\\shell\\open\\command")" \
    "REG_SZ|$exe \"%1\""
  expect "ApplicationName" "$(reg_value 'HKCU\Software\Lumora\Leanfold\Capabilities' ApplicationName)" "REG_SZ|Leanfold"
  expect "ApplicationDescription" \
    "$(reg_value 'HKCU\Software\Lumora\Leanfold\Capabilities' ApplicationDescription | cut -d'|' -f1)" "REG_SZ"
  expect "RegisteredApplications" "$(reg_value 'HKCU\Software\RegisteredApplications' Leanfold)" \
    "REG_SZ|Software\\Lumora\\Leanfold\\Capabilities"
  # The shortcut names the installed program (a .lnk keeps the target's full path in the system's code page).
  if [ -f "$start_menu/Leanfold.lnk" ] && grep -aqF "$win_dir\\Leanfold.exe" "$start_menu/Leanfold.lnk"; then
    echo "ok: Start menu: Leanfold.lnk -> $win_dir\\Leanfold.exe"
  else
    fail "no Start-menu shortcut Leanfold.lnk to $win_dir\\Leanfold.exe in $start_menu"
  fi
}
check_registration "$old"

echo "--- 3. silent install of $new over $old"
# What the old version left that the new one does not make: the worker it unpacks beside itself when the
# user's data folder cannot take it.
mkdir -p "$dir/components/$old"
cp "$slim" "$dir/components/$old/LeanfoldWorker.exe"
old_uninstaller=$(sha256sum <"$dir/Uninstall.exe")
wine "$new_setup" /S
expect "setup exit status" "$?" 0
expect "program folder" "$(listing "$dir")" "Leanfold.exe Leanfold.ico Uninstall.exe leanfold-slim.exe "
[ "$(sha256sum <"$dir/Uninstall.exe")" != "$old_uninstaller" ] || fail "Uninstall.exe is still the one of $old"
apps=$(reg_query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s)
entries=$(grep -cE '^ {4}DisplayName {4}REG_SZ {4}Leanfold$' <<<"$apps" || true)
expect "Apps & features entries named Leanfold" "$entries" 1
[ "$entries" = 1 ] || printf 'reg query of the Apps & features entries printed:\n%s\n' "$apps"
check_registration "$new"

echo "--- 4. Open with, twice, into one window"
if [ "$stand_in" -eq 1 ]; then
  echo "skipped: $host is a stand-in; opening files and refusing while Leanfold runs need the real Leanfold.exe"
else
  # Qt under Wine gets no QT_QPA_PLATFORM from the Unix environment; from the user's environment in the
  # registry it does, so the command runs as registered, without -platform.
  wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null 2>&1
  command=$(reg_value "$classes\\Lumora.Leanfold.psd\\shell\\open\\command" | cut -d'|' -f2-)
  program=$(printf '%s' "$command" | sed -n 's/^"\([^"]*\)" "%1"$/\1/p')
  [ -n "$program" ] || fail "the open command '$command' is not '\"<program>\" \"%1\"'"
  documents="$build/installer-test/documents"
  mkdir -m 0700 "$documents"
  # The smallest files the type is recognised by: "8BPS", the version, six reserved bytes.
  printf '8BPS\000\001\000\000\000\000\000\000' >"$documents/first.psd"
  printf '8BPS\000\001\000\000\000\000\000\000' >"$documents/second.psd"
  log="$dir/logs/runtime.log"
  wine "$program" "$(winepath -w "$documents/first.psd" | tr -d '\r')" >"$build/installer-test/first.out" 2>&1 &
  first_wine=$!
  if wait_count "$log" 120 'standalone window shown psd-slim' 1; then
    first=$(grep 'standalone window shown psd-slim' "$log" | sed -n 's/.* pid=\([0-9]*\) .*/\1/p' | head -n 1)
    wine "$program" "$(winepath -w "$documents/second.psd" | tr -d '\r')"
    expect "second launch exit status" "$?" 0
    wait_count "$log" 60 " pid=$first .*added= 1 rejected= 0 total= 2" 1 || fail "second.psd did not reach the first window"
    expect "windows shown" "$(grep -c 'standalone window shown psd-slim' "$log")" 1
    expect "launches that forwarded one file" "$(grep -c 'standalone paths forwarded psd-slim count= 1' "$log")" 1
    grep -E 'standalone (invocation|window shown|paths forwarded)|path list' "$log" |
      sed 's/ thread=.*message=/ message=/; s/ source=.*//'

    # While that window runs, neither setup nor the uninstaller changes anything: both exit with 3.
    checksums() { (cd "$dir" && find . -type f ! -path './logs/*' -exec sha256sum {} + | LC_ALL=C sort); }
    before=$(checksums)
    wine "$old_setup" /S
    setup_status=$?
    wine "$dir/Uninstall.exe" /S "_?=$win_dir"
    uninstall_status=$?
    expect "setup while Leanfold runs: exit status" "$setup_status" 3
    expect "uninstall while Leanfold runs: exit status" "$uninstall_status" 3
    expect "files changed while Leanfold runs" "$([ "$(checksums)" = "$before" ] && echo none || echo some)" none
    expect "DisplayVersion while Leanfold runs" "$(reg_value "$uninstall_key" DisplayVersion)" "REG_SZ|$new"
  else
    fail "no window after opening first.psd; the program said:"
    cat "$build/installer-test/first.out" "$log" 2>/dev/null | tail -n 20
  fi
  # The window has no other way to be told to close here: every process of this prefix is ended.
  wineserver -k
  wait "$first_wine" 2>/dev/null || true
  wine reg delete 'HKCU\Environment' /v QT_QPA_PLATFORM /f >/dev/null 2>&1
fi

echo "--- 5. silent uninstall"
mkdir -p "$local_app_data/Lumora"
printf '[General]\nkept=1\n' >"$local_app_data/Lumora/Lumora.ini"
# As Apps & features runs it: the uninstaller copies itself away and returns at once, so the test waits for
# every process of the prefix to end (wineserver -w), that copy with them.
quiet=$(reg_value "$uninstall_key" QuietUninstallString | cut -d'|' -f2-)
uninstaller=$(printf '%s' "$quiet" | sed -n 's/^"\([^"]*\)" \/S$/\1/p')
[ -n "$uninstaller" ] || fail "QuietUninstallString '$quiet' is not '\"<uninstaller>\" /S'"
wine "$uninstaller" /S
expect "uninstaller exit status" "$?" 0
wineserver -w
expect "program folder" "$([ -e "$dir" ] && listing "$dir" || echo gone)" gone
expect "Start-menu shortcut" "$([ -e "$start_menu/Leanfold.lnk" ] && echo kept || echo gone)" gone
for key in "$uninstall_key" "$classes\\Lumora.Leanfold.psd" "$classes\\Lumora.Leanfold.psb" "$classes\\.psd" \
  "$classes\\Applications\\Leanfold.exe" 'HKCU\Software\Lumora'; do
  expect "$key" "$(key_state "$key")" gone
done
expect "RegisteredApplications Leanfold" \
  "$(reg_value 'HKCU\Software\RegisteredApplications' Leanfold || echo gone)" gone
expect ".psb OpenWithProgids Lumora.Leanfold.psb" \
  "$(reg_value "$classes\\.psb\\OpenWithProgids" Lumora.Leanfold.psb || echo gone)" gone
expect ".psb default program" "$(reg_value "$classes\\.psb")" "REG_SZ|Other.Editor.psb"
expect ".psb other editor offered" "$(reg_value "$classes\\.psb\\OpenWithProgids" Other.Editor.psb | cut -d'|' -f1)" \
  "REG_NONE"
expect "the user's Lumora.ini" "$(cat "$local_app_data/Lumora/Lumora.ini" 2>/dev/null | tr '\n' ' ')" \
  "[General] kept=1 "

echo "under Wine for $(($(date +%s) - wine_started)) s, $(($(date +%s) - started)) s in all"
if [ "$failures" -ne 0 ]; then
  # Again at the end, where a shortened log still shows it.
  printf '%s check(s) failed:\n%s' "$failures" "$failed"
  exit 1
fi
echo "all checks passed"

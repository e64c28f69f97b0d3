#!/bin/sh
# wine-window.sh <build dir> <Leanfold.exe> <Linux Leanfold>: the Windows Leanfold in a real window, under Wine's X11
# driver and Qt's own windows platform, on a private Xvfb display with a private Wine prefix.
#  1. Each interface language once: the prefix has the Noto CJK fonts under the names Windows has, and every
#     language's title is drawn without the box that the same window draws when those fonts are missing.
#  2. Two files on the command line are queued in one window; a second launch with a third file hands it to that
#     window and exits; one window exists; a window closed as Windows closes it ends the program with code 0; the
#     runtime log holds no warning.
#  3. The Linux Leanfold (xcb) with the same files and language on a display of its own: the same window size and
#     the same number of queue rows.
# The screenshots are left in <build dir>/wine-window. Skips (code 77) where Xvfb, Wine, ImageMagick or the Windows
# build is missing.
set -eu
umask 077
skip() {
  echo "skipped: $*"
  exit 77
}
fail() {
  # Standard error: a failure inside $(...) is seen too.
  echo "FAIL: $*" >&2
  exit 1
}

[ $# -eq 3 ] || { echo "usage: wine-window.sh <build dir> <Leanfold.exe> <Linux Leanfold>" >&2; exit 64; }
build=$(cd "$1" && pwd)
exe=$2
linux=$3
here=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb xauth wine wineboot wineserver xwininfo import convert compare fc-match; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/deps.sh installs it)"
done
noto=/usr/share/fonts/opentype/noto
[ -f "$noto/NotoSansCJK-Regular.ttc" ] && [ -f "$noto/NotoSansCJK-Bold.ttc" ] ||
  skip "the Noto CJK fonts are not installed (fonts-noto-cjk; scripts/deps.sh installs it)"
[ -f "$exe" ] || skip "$exe is not built (scripts/windows-qt.sh, run once, builds its Qt; then scripts/windows.sh)"
[ -x "$linux" ] || fail "$linux is not the Linux Leanfold"

started=$(date +%s)
work="$build/wine-window"
rm -rf "$work"
mkdir -m 0700 "$work"
# The Linux instance socket lives in XDG_RUNTIME_DIR and must stay within 107 bytes whatever the build folder's path:
# a folder that mktemp makes private under a fresh name, so nothing in it can have been planted.
run=$(mktemp -d /tmp/leanfold-wine-window.XXXXXXXX)
prefix="$work/prefix"
xpids=""
linux_pids=""
cleanup() {
  for pid in $linux_pids; do kill "$pid" 2>/dev/null || true; done
  # Only this prefix's server and the programs that run in it; another Wine of the user's is left alone.
  [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  for pid in $xpids; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
. "$here/window-session.sh"
. "$here/window-pixels.sh"

# A private environment: no real home, settings, fonts configuration or session of the user's takes part.
export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
# Wine's server makes its socket folder in TMPDIR and leaves it behind: inside $run it goes at the end, and its
# socket path stays short.
export XDG_RUNTIME_DIR="$run" TMPDIR="$run" LANG=C.UTF-8
unset QT_QPA_PLATFORM WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS XDG_SESSION_ID 2>/dev/null || true
mkdir -p "$XDG_CONFIG_HOME/Lumora" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"

echo "work folder: $work"

# The language the windows compared at the end are shown in, and the interface languages in the order shown.
compared=ja_JP
languages="en_US zh_CN zh_TW ko_KR ja_JP"
settings() { # settings <language>: Lumora.ini as Leanfold writes it ("general" is filed under [%General])
  printf '[%%General]\r\nlanguage=%s\r\n' "$1"
}

# The title each language gives the window (the tool catalogue's first row).
expected_title() {
  case $1 in
    zh_CN | zh_TW) echo 'PSD&PSB安全瘦身工具' ;;
    ja_JP) echo 'PSD&PSB安全スリム化ツール' ;;
    ko_KR) echo 'PSD&PSB 안전 최적화 도구' ;;
    *) echo 'PSD&PSB Safe Slim Tool' ;;
  esac
}

# --- Windows: a fresh prefix that sees only the fonts put into it ---
# Segoe UI (the page's font) and Consolas (the run log's) become the fonts the Linux window gets for them, so that
# both windows lay out the same Latin text.
latin=$(fc-match -f '%{family[0]}' 'Segoe UI')
mono=$(fc-match -f '%{family[0]}' 'Consolas')
latin_files=$(for font in 'Segoe UI' 'Segoe UI:bold' 'Consolas'; do fc-match -f '%{file}\n' "$font"; done)
start_display wine
mkdir -m 0700 "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine loads every font fontconfig knows besides those in the prefix's Fonts folder. A configuration that names no
# folder keeps the host's fonts out: what Leanfold.exe draws comes from the fonts put into the prefix below.
printf '<?xml version="1.0"?>\n<fontconfig><cachedir>%s</cachedir></fontconfig>\n' "$work/fontconfig" >"$work/fonts.conf"
export FONTCONFIG_FILE="$work/fonts.conf"
wineboot --init >"$work/wineboot.log" 2>&1 || fail "wineboot --init failed: $(cat "$work/wineboot.log")"
# A new prefix says it is Windows 7; Leanfold.exe is built for Windows 10.
wine winecfg -v win10 >"$work/winecfg.log" 2>&1 || fail "winecfg -v win10 failed: $(cat "$work/winecfg.log")"
fonts="$prefix/drive_c/windows/Fonts"
localappdata=$(winepath -u "$(wine cmd.exe /c echo '%LOCALAPPDATA%' | tr -d '\r')")
[ -d "$localappdata" ] || fail "no %LOCALAPPDATA% folder in the prefix ($localappdata)"
mkdir -p "$localappdata/Lumora" "$prefix/drive_c/Leanfold" "$prefix/drive_c/files"
# The copy inside the prefix writes its logs beside itself, in logs\.
cp "$exe" "$prefix/drive_c/Leanfold/Leanfold.exe"
win_log="$prefix/drive_c/Leanfold/logs/runtime.log"
for name in one two three; do convert -size 64x64 xc:red "$prefix/drive_c/files/$name.psd"; done

# register_fonts <family> <Windows font names...>: Wine's replacements list the family under each Windows name as a
# font family of its own, as Windows has them: what a GDI call by that name gets, and what Qt's font database
# enumerates (a FontSubstitutes entry only redirects a GDI call). Qt also finds a CJK font by writing system
# whatever its name; its fallback list names SimSun, PMingLiU, Gulim and MS UI Gothic.
register_fonts() {
  family=$1
  shift
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for name in "$@"; do printf '"%s"="%s"\r\n' "$name" "$family"; done
  } >"$work/fonts.reg"
  wine regedit /S "$work/fonts.reg" || fail "regedit did not take $work/fonts.reg"
}
echo "$latin_files" | while read -r file; do ln -sf "$file" "$fonts/"; done
register_fonts "$latin" "Segoe UI" "Segoe UI Variable"
register_fonts "$mono" "Consolas"

shown=0
# show <png name> <language> <files...>: Leanfold.exe in the background with the files, its window shown with them
# queued and captured; its Unix pid in $launched, its window in $window.
show() {
  png=$1
  language=$2
  shift 2
  settings "$language" >"$localappdata/Lumora/Lumora.ini"
  wine 'C:\Leanfold\Leanfold.exe' "$@" >"$work/$png.out" 2>&1 &
  launched=$!
  shown=$((shown + 1))
  wait_count "$win_log" 60 'standalone window shown psd-slim' "$shown" ||
    fail "no window in $language: $(cat "$work/$png.out")"
  title=$(shown_title "$win_log" "$shown")
  [ "$title" = "$(expected_title "$language")" ] || fail "the $language window is titled $title"
  wait_count "$win_log" 10 "added= $# rejected= 0 total= $#" "$shown" || fail "the $language window did not queue $*"
  window=$(the_window leanfold.exe "$title")
  shoot "$window" "$work/$png.png"
  echo "Windows window in $language: $work/$png.png"
}

# close: closes the window as Windows does (WM_CLOSE); Leanfold.exe ends with exit code 0.
close() {
  wine taskkill /im Leanfold.exe >"$work/taskkill.out" 2>&1 || fail "taskkill: $(cat "$work/taskkill.out")"
  gone "$launched" 30 || fail "Leanfold.exe did not end when its window was closed"
  wait "$launched" || fail "Leanfold.exe ended with exit code $?"
}

# Without CJK fonts first: the box this window draws for a character it has no font for.
show windows-zh_CN-without-cjk-fonts zh_CN 'C:\files\one.psd' 'C:\files\two.psd'
close

for file in "$noto/NotoSansCJK-Regular.ttc" "$noto/NotoSansCJK-Bold.ttc"; do ln -s "$file" "$fonts/"; done
register_fonts "Noto Sans CJK SC" "Microsoft YaHei" "Microsoft YaHei UI" "SimSun" "NSimSun"
register_fonts "Noto Sans CJK TC" "Microsoft JhengHei" "Microsoft JhengHei UI" "PMingLiU" "MingLiU"
register_fonts "Noto Sans CJK JP" "MS Gothic" "MS UI Gothic" "MS PGothic" "Yu Gothic UI" "Meiryo" "Meiryo UI"
register_fonts "Noto Sans CJK KR" "Malgun Gothic" "Gulim" "Dotum"
for language in $languages; do
  show "windows-$language" "$language" 'C:\files\one.psd' 'C:\files\two.psd'
  [ "$language" = "$compared" ] || close
done

# A second launch with a third file hands it to the window of the first and exits.
first=$(grep 'standalone window shown psd-slim' "$win_log" | sed -n "${shown}s/.* pid=\([0-9]*\) .*/\1/p")
first_launch=$launched
wine 'C:\Leanfold\Leanfold.exe' 'C:\files\three.psd' >"$work/second.out" 2>&1 ||
  fail "the second launch ended with exit code $?: $(cat "$work/second.out")"
wait_count "$win_log" 30 " pid=$first .*added= 1 rejected= 0 total= 3" 1 || fail "three.psd did not reach the first window"
[ "$(grep -c 'standalone window shown psd-slim' "$win_log")" -eq "$shown" ] || fail "the second launch showed a window"
grep -q 'standalone paths forwarded psd-slim count= 1' "$win_log" || fail "the second launch did not forward three.psd"
window=$(the_window leanfold.exe "$title")
shoot "$window" "$work/windows-$compared-three.png"
echo "Windows window with three.psd added: $work/windows-$compared-three.png"
grep -E 'standalone (invocation|window shown|paths forwarded)|path list' "$win_log" |
  sed 's/^[^ ]* seq=[0-9]* session=[^ ]* //; s/ thread=.*message=/ message=/; s/ source=.*//'
launched=$first_launch
close
# Nothing went wrong that Leanfold noticed, but for Wine's want of EnableNonClientDpiScaling, which Qt reports for
# every window and then does without.
complaints=$(grep -E ' level=(WARN|ERROR|FATAL) ' "$win_log" | grep -v 'EnableNonClientDpiScaling() failed') || true
[ -z "$complaints" ] || fail "Leanfold.exe logged: $complaints"
WINEPREFIX="$prefix" wineserver -k
unset FONTCONFIG_FILE

# --- Linux: the same files and language under xcb, on a display of its own ---
start_display linux
mkdir -p "$work/linux/files"
cp "$linux" "$work/linux/Leanfold"
for name in one two three; do convert -size 64x64 xc:red "$work/linux/files/$name.psd"; done
settings "$compared" >"$XDG_CONFIG_HOME/Lumora/Lumora.ini"
linux_log="$work/linux/logs/runtime.log"
QT_QPA_PLATFORM=xcb "$work/linux/Leanfold" "$work/linux/files/one.psd" "$work/linux/files/two.psd" \
  >"$work/linux/first.out" 2>&1 &
linux_pids="$!"
wait_count "$linux_log" 30 'standalone window shown psd-slim' 1 || fail "no Linux window: $(cat "$work/linux/first.out")"
QT_QPA_PLATFORM=xcb "$work/linux/Leanfold" "$work/linux/files/three.psd" >"$work/linux/second.out" 2>&1 ||
  fail "the second Linux launch failed: $(cat "$work/linux/second.out")"
wait_count "$linux_log" 30 'added= 1 rejected= 0 total= 3' 1 || fail "three.psd did not reach the Linux window"
linux_title=$(shown_title "$linux_log" 1)
complaints=$(grep -E ' level=(WARN|ERROR|FATAL) ' "$linux_log") || true
[ -z "$complaints" ] || fail "the Linux Leanfold logged: $complaints"
linux_window=$(the_window Leanfold "$linux_title")
shoot "$linux_window" "$work/linux-$compared.png"
echo "Linux window ($linux_title): $work/linux-$compared.png"

# --- What the screenshots show ---
# Without CJK fonts every CJK character of the title is the same box: the rightmost shape, found again and again.
title_band "$work/windows-zh_CN-without-cjk-fonts.png" "$work/title-without-cjk-fonts.png"
boxes=$(ink_boxes "$work/title-without-cjk-fonts.png")
tofu=$(echo "$boxes" | tail -n 1)
copies=$(echo "$boxes" | grep -c "^${tofu%%+*}+")
[ "$copies" -ge 6 ] || fail "without CJK fonts the title shows no row of boxes ($boxes): there is nothing to look for"
convert "$work/title-without-cjk-fonts.png" -crop "$tofu" +repage "$work/tofu.png"
cjk_start=$(echo "$boxes" | grep "^${tofu%%+*}+" | head -n 1 | cut -d+ -f2)
echo "without CJK fonts: $copies boxes of ${tofu%%+*} pixels from x=$cjk_start ($work/tofu.png)"

found=$(match "$work/title-without-cjk-fonts.png" "$work/tofu.png")
awk -v d="$found" 'BEGIN { exit !(d < 0.1) }' || fail "the box is not found where it was cut from ($found)"

for language in $languages; do
  title_band "$work/windows-$language.png" "$work/title-$language.png"
  distance=$(match "$work/title-$language.png" "$work/tofu.png")
  # The title's own characters that are not ASCII each draw at least one shape right of where the boxes began.
  characters=$(expected_title "$language" | tr -d '\000-\177' | wc -m)
  shapes=$(ink_boxes "$work/title-$language.png" | awk -F+ -v x="$cjk_start" '$2 >= x' | wc -l)
  echo "title in $language: closest to the box $distance; $shapes shapes for $characters CJK characters"
  awk -v d="$distance" 'BEGIN { exit !(d >= 0.1) }' || fail "the $language title draws the box of a missing font"
  [ "$shapes" -ge "$characters" ] || fail "the $language title draws $shapes shapes for $characters characters"
done

# The Windows window against the Linux one with the same three files queued, in the same language. Their layout is
# fixed by the style sheet and the same font files; only the rasterisers differ (Wine's GDI, FreeType on Linux), by
# a pixel or two per line of text, and the native styles draw nothing the style sheet does not cover here. So the
# sizes must be equal and the widgets found by their colours within a few pixels of each other; pixels are not
# compared (antialiasing, text widths).
windows_png="$work/windows-$compared-three.png"
linux_png="$work/linux-$compared.png"
windows_size=$(identify -format %wx%h "$windows_png")
linux_size=$(identify -format %wx%h "$linux_png")
echo "window size: Windows $windows_size, Linux $linux_size"
[ "$windows_size" = "$linux_size" ] || fail "the windows differ in size"
read -r windows_list windows_rows <<EOF
$(queue_layout "$windows_png")
EOF
read -r linux_list linux_rows <<EOF
$(queue_layout "$linux_png")
EOF
echo "queue list: Windows $windows_list with $windows_rows rows, Linux $linux_list with $linux_rows rows"
[ "$windows_rows" -eq 3 ] || fail "the Windows queue list shows $windows_rows rows, not 3"
[ "$linux_rows" -eq 3 ] || fail "the Linux queue list shows $linux_rows rows, not 3"
near "$windows_list" "$linux_list" || fail "the queue lists are not in the same place"
width=${linux_size%x*}
half=$((${linux_size#*x} / 2))
# The blue buttons: "Choose files" in the upper left quarter, "Start" in the lower half.
for widget in "Choose files button:$((width / 2))x$half+0+0" "Start button:${width}x$half+0+$half"; do
  on_windows=$(colour_box "$windows_png" '#2563EB' "${widget#*:}")
  on_linux=$(colour_box "$linux_png" '#2563EB' "${widget#*:}")
  echo "${widget%%:*}: Windows $on_windows, Linux $on_linux"
  near "$on_windows" "$on_linux" || fail "the ${widget%%:*} is not in the same place"
done
echo "PASS in $(($(date +%s) - started)) s; screenshots in $work"

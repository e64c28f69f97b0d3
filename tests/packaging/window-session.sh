# window-session.sh, sourced: waiting for a window program and capturing its window on a private Xvfb display.
# The caller defines fail() and $work, a private folder, and collects the Xvfb process ids in $xpids.

# start_display <name>: a private Xvfb on the first free display number (Xvfb picks it and reports it through
# -displayfd), reachable only with a fresh cookie; sets DISPLAY and XAUTHORITY.
start_display() {
  cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  # The server accepts the cookies of its -auth file whatever display number it lands on.
  : >"$work/$1.server-auth"
  : >"$work/$1.xauthority"
  xauth -q -f "$work/$1.server-auth" add :0 . "$cookie"
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp -auth "$work/$1.server-auth" \
    3>"$work/$1.display" 2>"$work/$1.xvfb.log" &
  xpids="$xpids $!"
  i=0
  until [ -s "$work/$1.display" ]; do
    [ "$i" -lt 100 ] || fail "Xvfb did not start: $(cat "$work/$1.xvfb.log")"
    sleep 0.1
    i=$((i + 1))
  done
  DISPLAY=":$(cat "$work/$1.display")"
  export DISPLAY XAUTHORITY="$work/$1.xauthority"
  xauth -q -f "$XAUTHORITY" add "$DISPLAY" . "$cookie"
  xwininfo -root >/dev/null || fail "display $DISPLAY does not answer"
}

# program_windows <WM_CLASS instance>: "id name" of each viewable top-level window of that program.
program_windows() {
  xwininfo -root -children | sed -n 's/^ *\(0x[0-9a-f]*\) \(.*\): ("\([^"]*\)" .*/\1 \3 \2/p' |
    while read -r id instance name; do
      if [ "$instance" = "$1" ] && xwininfo -id "$id" | grep -q 'Map State: IsViewable'; then echo "$id $name"; fi
    done
}

# the_window <WM_CLASS instance> <title>: the id of the program's one viewable window, which has that title (the
# window is mapped a moment after the program logs that it showed it).
the_window() {
  i=0
  while :; do
    windows=$(program_windows "$1")
    [ "$(echo "$windows" | grep -c .)" -eq 1 ] && [ "${windows#* }" = "\"$2\"" ] && break
    [ "$i" -lt 100 ] || fail "expected one window of $1 titled $2, found: ${windows:-none}"
    sleep 0.1
    i=$((i + 1))
  done
  echo "${windows%% *}"
}

# shoot <window id> <png>: the window's pixels once three grabs half a second apart in all are the same (painting
# has finished).
shoot() {
  geometry=$(xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /Width:/ {w=$NF} /Height:/ {h=$NF} END {print w "x" h "+" x "+" y}')
  import -window root -crop "$geometry" +repage "$2"
  same=0
  i=0
  while [ "$same" -lt 2 ]; do
    [ "$i" -lt 60 ] || fail "the window in $2 did not stop changing"
    sleep 0.25
    import -window root -crop "$geometry" +repage "$2.next.png"
    if [ "$(compare -metric AE "$2" "$2.next.png" null: 2>&1)" = 0 ]; then same=$((same + 1)); else same=0; fi
    mv "$2.next.png" "$2"
    i=$((i + 1))
  done
}

# wait_count <log> <seconds> <grep -E pattern> <count>: until the log holds that many matching records.
wait_count() {
  i=0
  while [ "$i" -lt "$(($2 * 10))" ]; do
    n=$(grep -Ec -- "$3" "$1" 2>/dev/null) || true
    [ "${n:-0}" -ge "$4" ] && return 0
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# gone <pid> <seconds>: the process has exited (a zombie not yet reaped counts as exited).
gone() {
  i=0
  while [ "$i" -lt "$(($2 * 10))" ]; do
    case "$(ps -o stat= -p "$1" 2>/dev/null)" in "" | Z*) return 0 ;; esac
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# shown_title <log> <n>: the title of the n-th window shown since the log began.
shown_title() {
  grep -E 'standalone window shown psd-slim' "$1" | sed -n "$2"'s/.*title= \(.*\)" source=.*/\1/p'
}

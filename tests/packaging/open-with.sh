#!/bin/sh
# open-with.sh <build dir>: "Open with" as a desktop does it. Leanfold, its desktop entry and its MIME type are
# installed into a private prefix; as an ordinary user with private XDG folders under Xvfb, `gio open` of a PSD
# starts Leanfold with it, and a second `gio open` of a PSB while it runs lands in the same window's queue.
# Run as root (CI), the user is nobody. Skips (CTest code 77) where Xvfb or gio are missing.
set -eu
skip() {
  echo "skipped: $*"
  exit 77
}

if [ "${2:-}" != "--as-user" ]; then
  build=$(cd "$1" && pwd)
  here=$(cd "$(dirname "$0")" && pwd)
  for tool in xvfb-run Xvfb gio update-mime-database update-desktop-database; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/deps.sh installs it)"
  done
  if [ "$(id -u)" -ne 0 ]; then
    # mktemp makes the folder with mode 0700 under a fresh name: nobody else can have planted it. Under /tmp, not
    # the test's own TMPDIR: the instance socket inside it must stay within 107 bytes, whatever the checkout's path.
    work=$(mktemp -d /tmp/leanfold-open-with.XXXXXXXX)
    trap 'rm -rf "$work"' EXIT
    cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
    sh "$here/open-with.sh" "$build" --as-user "$work"
    exit $?
  fi
  # As root the user is nobody, who can reach neither the test home nor a checkout under /root. What nobody runs
  # and works on goes into a folder of root's under /tmp, private when mktemp makes it and then opened for
  # passing through only: nobody owns its own folder inside and runs a copy of this script that only root can
  # change; no one else can add anything.
  top=$(mktemp -d /tmp/leanfold-open-with.XXXXXXXX)
  trap 'rm -rf "$top"' EXIT
  chmod 0711 "$top"
  cp "$here/open-with.sh" "$top/open-with.sh"
  chmod 0644 "$top/open-with.sh"
  work="$top/user"
  mkdir -m 0700 "$work"
  cmake --install "$build" --prefix "$work/prefix" >"$top/install.log" 2>&1 || { cat "$top/install.log"; exit 1; }
  chown -R nobody:nogroup "$work"
  setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env -- sh "$top/open-with.sh" - --as-user "$work"
  exit $?
fi

# From here on as the ordinary user, in an environment of its own.
work=$3
[ "$(id -u)" -ne 0 ] || { echo "the user part must not run as root"; exit 1; }
export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export XDG_RUNTIME_DIR="$work/run"
export XDG_DATA_DIRS="$work/prefix/share:/usr/share"
export PATH="$work/prefix/bin:/usr/bin:/bin" LANG=C.UTF-8 TMPDIR="$work/tmp"
unset XDG_SESSION_ID DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM 2>/dev/null || true
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$TMPDIR" "$work/files"
mkdir -m 0700 "$XDG_RUNTIME_DIR"

update-mime-database "$work/prefix/share/mime"
update-desktop-database "$work/prefix/share/applications"

# The smallest files the types recognise: "8BPS", the version, six reserved bytes.
printf '8BPS\000\001\000\000\000\000\000\000' >"$work/files/x.psd"
printf '8BPS\000\002\000\000\000\000\000\000' >"$work/files/y.psb"
psb_type=$(gio info -a standard::content-type "$work/files/y.psb" | sed -n 's/.*standard::content-type: //p')
echo "y.psb is $psb_type; default application: $(gio mime "$psb_type" | head -n 1)"
[ "$psb_type" = "image/x-psb" ] || { echo "FAIL: y.psb is not recognised as image/x-psb"; exit 1; }

log="$work/prefix/bin/logs/runtime.log"
cat >"$work/session.sh" <<'SESSION'
#!/bin/sh
# Inside Xvfb: two "Open with" launches, then a look at what the runtime log says.
set -u
log=$1
files=$2
wait_for() { # wait_for <seconds> <grep pattern>
  i=0
  while [ "$i" -lt "$(($1 * 10))" ]; do
    grep -q -- "$2" "$log" 2>/dev/null && return 0
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}
gio open "$files/x.psd"
wait_for 30 'standalone window shown psd-slim' || { echo "FAIL: no window after gio open x.psd"; exit 1; }
first=$(grep 'standalone window shown psd-slim' "$log" | sed -n 's/.* pid=\([0-9]*\) .*/\1/p' | head -n 1)
gio open "$files/y.psb"
status=0
wait_for 30 " pid=$first .*added= 1 rejected= 0 total= 2" || { echo "FAIL: y.psb did not reach the first window"; status=1; }
windows=$(grep -c 'standalone window shown psd-slim' "$log")
forwarded=$(grep -c 'standalone paths forwarded psd-slim count= 1' "$log")
echo "windows shown: $windows; launches that forwarded one file: $forwarded; first instance pid: $first"
grep -E 'standalone (invocation|window shown|paths forwarded)|path list' "$log" | sed 's/ thread=.*message=/ message=/; s/ source=.*//'
[ "$windows" -eq 1 ] && [ "$forwarded" -eq 1 ] || status=1
kill "$first" 2>/dev/null
exit "$status"
SESSION
xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" sh "$work/session.sh" "$log" "$work/files"

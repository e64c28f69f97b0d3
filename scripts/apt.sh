# Sourced by deps.sh and windows-worker.sh: installs Debian packages, asking for root only when something is
# missing. Root runs apt-get directly; an ordinary user is asked for sudo; without sudo the script stops and says
# how root installs everything once.
export DEBIAN_FRONTEND=noninteractive
apt_update_pending=0

# as_root <command> [arguments...]
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo DEBIAN_FRONTEND=noninteractive "$@"
  else
    echo "$(basename "$0"): sudo is not installed; run this once as root: su -c 'bash scripts/deps.sh'" >&2
    exit 1
  fi
}

# The package lists are fetched only once an install finds something missing.
apt_update() {
  apt_update_pending=1
}

# apt_install <apt-get install arguments...>: does nothing when every package is present.
apt_install() {
  # A simulation needs no root and resolves virtual package names as the real run would. It fails where the
  # package lists do not know a name yet: then the lists are fetched and the install runs.
  local simulated missing
  if simulated=$(command apt-get -s install "$@" 2>/dev/null); then
    missing=$(printf '%s\n' "$simulated" | sed -n 's/^Inst \([^ ]*\).*/\1/p' | tr '\n' ' ')
    [ -n "$missing" ] || return 0
  else
    missing="$*"
  fi
  echo "$(basename "$0"): installing ${missing}" >&2
  if [ "$apt_update_pending" -eq 1 ]; then
    as_root apt-get update -qq
    apt_update_pending=0
  fi
  as_root apt-get install "$@"
}

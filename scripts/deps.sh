#!/usr/bin/env bash
# Installs what building, running and testing Leanfold needs, from Debian 12's packages. Root installs directly;
# an ordinary user is asked for sudo for apt-get alone, and only when a package is missing, so on a machine
# where root has run this script once nobody is asked anything.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

# apt-get as every line below calls it: "update" waits until an install finds something missing; an install of
# packages that are all present does nothing.
update_pending=0
real_apt_get() {
  if [ "$(id -u)" -eq 0 ]; then
    command apt-get "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo DEBIAN_FRONTEND=noninteractive apt-get "$@"
  else
    echo "deps.sh: sudo is not installed; run this once as root: su -c 'bash scripts/deps.sh'" >&2
    exit 1
  fi
}
apt-get() {
  if [ "$1" = update ]; then
    update_pending=1
    return 0
  fi
  # A simulation needs no root and resolves virtual package names as the real run would.
  # It fails where the package lists do not know a name yet: then the lists are fetched and the install runs.
  local simulated missing
  if simulated=$(command apt-get -s "$@" 2>/dev/null); then
    missing=$(printf '%s\n' "$simulated" | sed -n 's/^Inst \([^ ]*\).*/\1/p' | tr '\n' ' ')
    [ -n "$missing" ] || return 0
  else
    missing="$*"
  fi
  echo "deps.sh: installing ${missing}" >&2
  if [ "$update_pending" -eq 1 ]; then
    real_apt_get update -qq
    update_pending=0
  fi
  real_apt_get "$@"
}

apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  cmake make g++ pkg-config \
  qt6-base-dev qt6-base-dev-tools libqt6svg6-dev qt6-svg-dev qt6-qpa-plugins \
  libgl-dev nlohmann-json3-dev libexpat1-dev \
  imagemagick libimage-exiftool-perl time xvfb xauth fonts-noto-cjk >/dev/null
# Linux desktop integration: the icons rendered from their SVG, the validators of the desktop entry, AppStream
# data and .deb, the .deb itself, and "Open with" through gio and the MIME and desktop databases.
apt-get install -y -qq --no-install-recommends \
  librsvg2-bin desktop-file-utils appstream lintian dpkg-dev file fakeroot \
  libglib2.0-bin shared-mime-info xdg-utils >/dev/null
# File systems that share blocks between files (XFS with reflink, btrfs): the clone tests make loop-mounted
# images with mkfs.xfs, and bench/run.sh --cow with both.
apt-get install -y -qq --no-install-recommends xfsprogs btrfs-progs >/dev/null
# setfacl gives the worker tests a file with a POSIX ACL, which a slim must keep; strace fails each call of the
# worker's write path in turn; mkfs.ext4 makes the disk that fills during write-back.
apt-get install -y -qq --no-install-recommends acl strace e2fsprogs >/dev/null
# The Windows worker: the mingw-w64 cross toolchain, Wine for its tests, and Debian's expat source package
# (deb-src lists are added when missing); scripts/windows-worker.sh holds the list.
bash "$(dirname "$0")/windows-worker.sh" --deps-only

#!/usr/bin/env bash
# Installs what building, running and testing Leanfold needs, from Debian 12's packages. Root installs directly;
# an ordinary user is asked for sudo for apt-get alone, and only when a package is missing, so on a machine
# where root has run this script once nobody is asked anything.
set -euo pipefail
source "$(dirname "$0")/apt.sh"

apt_update
apt_install -y -qq --no-install-recommends \
  cmake make g++ pkg-config ccache \
  qt6-base-dev qt6-base-dev-tools libqt6svg6-dev qt6-svg-dev qt6-qpa-plugins qt6-translations-l10n \
  libgl-dev nlohmann-json3-dev libexpat1-dev \
  imagemagick libimage-exiftool-perl time xvfb xauth x11-utils fontconfig fonts-noto-cjk >/dev/null
# Linux desktop integration: the icons rendered from their SVG, the validators of the desktop entry, AppStream
# data and .deb, the .deb itself, and "Open with" through gio and the MIME and desktop databases.
apt_install -y -qq --no-install-recommends \
  librsvg2-bin desktop-file-utils appstream lintian dpkg-dev file fakeroot \
  libglib2.0-bin shared-mime-info xdg-utils >/dev/null
# File systems that share blocks between files (XFS with reflink, btrfs): the clone tests make loop-mounted
# images with mkfs.xfs, and bench/run.sh --cow with both.
apt_install -y -qq --no-install-recommends xfsprogs btrfs-progs >/dev/null
# setfacl gives the worker tests a file with a POSIX ACL, which a slim must keep; strace fails each call of the
# worker's write path in turn; mkfs.ext4 makes the disk that fills during write-back.
apt_install -y -qq --no-install-recommends acl strace e2fsprogs >/dev/null
# The Windows worker: the mingw-w64 cross toolchain, Wine for its tests, and Debian's expat source package
# (deb-src lists are added when missing); scripts/windows-worker.sh holds the list.
bash "$(dirname "$0")/windows-worker.sh" --deps-only

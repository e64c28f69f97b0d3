#!/usr/bin/env bash
# Installs what building, running and testing Leanfold needs, from Debian 12's packages.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh installs packages and must run as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  cmake make g++ pkg-config \
  qt6-base-dev qt6-base-dev-tools libqt6svg6-dev qt6-svg-dev qt6-qpa-plugins \
  libgl-dev nlohmann-json3-dev libexpat1-dev \
  imagemagick libimage-exiftool-perl time xvfb xauth fonts-noto-cjk >/dev/null
# The Windows worker: the mingw-w64 cross toolchain, Wine for its tests, and Debian's expat source package
# (deb-src lists are added when missing); scripts/windows-worker.sh holds the list.
bash "$(dirname "$0")/windows-worker.sh" --deps-only

#!/usr/bin/env bash
# Installs the dependencies, builds Leanfold and starts it; arguments (files, folders) go to Leanfold.
# Run it as the user who is to use Leanfold: only apt-get is asked to run as root (through sudo, when needed).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "${SUDO_USER}" != root ]; then
  echo "run.sh: started through sudo; run it as ${SUDO_USER} instead (bash scripts/run.sh): it asks sudo for" \
    "apt-get alone, and Leanfold should not run as root for you" >&2
  exit 1
fi
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run.sh: no graphical session here (DISPLAY and WAYLAND_DISPLAY are unset); starting Leanfold under Xvfb" >&2
  exec xvfb-run -a ./build/src/Leanfold "$@"
fi
exec ./build/src/Leanfold "$@"

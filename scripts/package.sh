#!/usr/bin/env bash
# Installs the dependencies, builds Leanfold in release mode and makes its .deb; the last line printed is the
# .deb's absolute path (install it with: apt install <that path>).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-package -j"$(nproc)"
rm -f build-package/leanfold_*.deb
(cd build-package && cpack -G DEB >/dev/null)
deb=$(ls build-package/leanfold_*.deb)
echo "$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"

#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs every test through CTest. Runs as root (CI) or as an
# ordinary user, who is asked for sudo for apt-get alone.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)" --timeout 600

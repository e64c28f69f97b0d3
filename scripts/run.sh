#!/usr/bin/env bash
# Installs the dependencies, builds Leanfold and starts it; arguments (files, folders) go to Leanfold.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)"
exec ./build/src/Leanfold "$@"

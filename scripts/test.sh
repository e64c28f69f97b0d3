#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs every test through CTest. Runs as root (CI) or as an
# ordinary user, who is asked for sudo for apt-get alone.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# A compiler cache of this user's own (ccache keeps it under ~/.cache), shared by the Linux build and the Windows
# one the Wine tests make: a fresh clone compiles only what changed since the last run. Paths are taken relative
# to the checkout, so a clone in another folder finds the same entries.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_DIR="${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}" CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)" --timeout 600

#!/usr/bin/env bash
# Times the tool page's queue with 10,000 PSD files (or the count given) in a private temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target BenchQueue
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/run" "$scratch/tmp"
HOME="$scratch" XDG_CONFIG_HOME="$scratch/.config" XDG_RUNTIME_DIR="$scratch/run" TMPDIR="$scratch/tmp" \
  QT_QPA_PLATFORM=offscreen "$build/bench/queue/BenchQueue" "$@"

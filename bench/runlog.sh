#!/usr/bin/env bash
# Peak memory and the longest event-loop stall of the host while a worker floods its run log:
# bench/runlog.sh [LOG lines] [standard error MB]   (default 100000 lines and 20 MB)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target BenchRunLog
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/run" "$scratch/tmp"
HOME="$scratch" XDG_CONFIG_HOME="$scratch/.config" XDG_RUNTIME_DIR="$scratch/run" TMPDIR="$scratch/tmp" \
  QT_QPA_PLATFORM=offscreen "$build/bench/runlog/BenchRunLog" "$@"

#!/usr/bin/env bash
# The instance endpoint under hostile messages: peak memory and the longest event-loop stall of the receiver.
# Usage: bench/endpoint.sh [stall [connections] | repeat [entries]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target BenchEndpoint >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/run" "$scratch/tmp"
HOME="$scratch" XDG_CONFIG_HOME="$scratch/.config" XDG_RUNTIME_DIR="$scratch/run" TMPDIR="$scratch/tmp" \
  QT_QPA_PLATFORM=offscreen "$build/bench/endpoint/BenchEndpoint" "$@"

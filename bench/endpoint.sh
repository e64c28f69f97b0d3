#!/usr/bin/env bash
# The instance endpoint under hostile messages: peak memory and the longest event-loop stall of the receiver.
# Usage: bench/endpoint.sh [stall [connections] | repeat [entries]]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
runHostBench BenchEndpoint bench/endpoint/BenchEndpoint "$@"

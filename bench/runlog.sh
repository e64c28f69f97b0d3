#!/usr/bin/env bash
# Peak memory and the longest event-loop stall of the host while a worker floods its run log:
# bench/runlog.sh [LOG lines] [standard error MB]   (default 100000 lines and 20 MB)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
runHostBench BenchRunLog bench/runlog/BenchRunLog "$@"

#!/usr/bin/env bash
# Times the tool page's queue with 10,000 PSD files (or the count given) in a private temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
runHostBench BenchQueue bench/queue/BenchQueue "$@"

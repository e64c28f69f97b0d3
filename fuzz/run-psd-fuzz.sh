#!/usr/bin/env bash
# Runs the PSD round-trip fuzzer, seeded from the small files of the shared corpus.
# Usage: fuzz/run-psd-fuzz.sh <FuzzPsdRoundTrip binary> [seconds] [corpus folder]
# Seeds are copied into a fresh private folder (mktemp -d gives 0700); the corpus itself is never written.
set -euo pipefail
fuzzer=$1
seconds=${2:-600}
corpus=${3:-${LEANFOLD_CORPUS:-$(dirname "$0")/../../shared/corpus}}
work=$(mktemp -d "${TMPDIR:-/tmp}/psdfuzz.XXXXXX")
mkdir "$work/seeds" "$work/artifacts"
find "$corpus" -type f \( -iname '*.psd' -o -iname '*.psb' \) -size -48k -print0 |
  while IFS= read -r -d '' f; do cp "$f" "$work/seeds/$(sha256sum "$f" | cut -c1-16)"; done
echo "seeds: $(ls "$work/seeds" | wc -l) in $work/seeds"
nice -n 19 "$fuzzer" -jobs=1 -workers=1 -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
  -artifact_prefix="$work/artifacts/" "$work/seeds" 2>&1 | tee "$work/fuzz.log" | grep -E '^#[0-9]+.*(pulse|DONE)|ERROR|SUMMARY|Done' || true
echo "log: $work/fuzz.log; artifacts: $work/artifacts"
ls -l "$work/artifacts"

#!/usr/bin/env bash
# Runs the PSD round-trip fuzzer, seeded from the small files of the shared corpus.
# Usage: fuzz/run-psd-fuzz.sh <FuzzPsdRoundTrip binary> [seconds] [corpus folder]
# Seeds are copied into a fresh private folder (mktemp -d gives 0700); the corpus itself is never written.
set -euo pipefail
fuzzer=$(realpath "$1")
dict=$(realpath "$(dirname "$0")/FuzzPsdRoundTrip.dict")
seconds=${2:-600}
corpus=${3:-${LEANFOLD_CORPUS:-$(dirname "$0")/../../shared/corpus}}
work=$(mktemp -d "${TMPDIR:-/tmp}/psdfuzz.XXXXXX")
mkdir "$work/seeds" "$work/artifacts"
find "$corpus" -type f \( -iname '*.psd' -o -iname '*.psb' \) -size -48k -print0 |
  while IFS= read -r -d '' f; do cp "$f" "$work/seeds/$(sha256sum "$f" | cut -c1-16)"; done
echo "seeds: $(ls "$work/seeds" | wc -l) in $work/seeds"
# With -jobs libFuzzer writes fuzz-N.log into the working folder: run from the private folder.
cd "$work"
nice -n 19 "$fuzzer" -jobs=1 -workers=1 -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 -dict="$dict" \
  -artifact_prefix="$work/artifacts/" "$work/seeds" 2>&1 | tee "$work/fuzz.log" | grep -E '^#[0-9]+.*(pulse|DONE)|ERROR|SUMMARY|Done' || true
# -jobs sends the run's own output to fuzz-0.log.
grep -hE 'DONE|ERROR|SUMMARY|^Done' "$work"/fuzz-*.log 2>/dev/null || true
echo "logs: $work/fuzz.log $work/fuzz-0.log; artifacts: $work/artifacts"
ls -l "$work/artifacts"

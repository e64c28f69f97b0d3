#!/usr/bin/env bash
# Figures for leanfold-slim against exiftool on the same trees (never a test: nothing here passes or fails).
#
#   bash bench/cli.sh
#
# Rows: 200 small corpus documents with history (copies of the shared corpus in a folder tree); the ~200 MB 16-bit
# PSD of bench/run.sh (2,000 history events); the ~300 MiB XMP packet of bench/packet.sh (4,450,000 ancestors,
# 20,000 history events). For each: wall time, peak RSS (/usr/bin/time -f %M) and bytes saved, of leanfold-slim
# (every file verified and flushed before it replaces the original) and of exiftool removing the same two elements
# in place, recursively (exiftool -r -overwrite_original -XMP-xmpMM:History= -XMP-photoshop:DocumentAncestors=),
# followed by sync since leanfold-slim's results are durable too. Each starts from a fresh copy of the tree.
# exiftool writes the whole packet anew, without the padding and indentation the editor left, so its bytes saved
# include those; leanfold-slim cuts the two elements and keeps every other byte of the packet as it was.
# A second line per tree sets leanfold-slim --dry-run (what a run would remove and save, nothing written) against
# exiftool listing the same two tags (exiftool -r -XMP-photoshop:DocumentAncestors -XMP-xmpMM:History).
# Goal: leanfold-slim faster than exiftool on every row.
# Environment: BENCH_TMP (default /work/bench-tmp), BUILD_DIR (default build-bench), LEANFOLD_SLIM (a built
# leanfold-slim to use instead of building one), REPS (rounds for the small rows, default 3; the median is
# printed), CORPUS (default ../shared/corpus), EXIFTOOL_TIMEOUT (seconds for exiftool on the packet, default 300;
# it runs once there).
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${REPS:-3}
corpus=${CORPUS:-../shared/corpus}
exifTimeout=${EXIFTOOL_TIMEOUT:-300}
for tool in exiftool /usr/bin/time g++ timeout; do
  command -v "$tool" >/dev/null || { echo "missing $tool (bash scripts/deps.sh installs it)" >&2; exit 1; }
done
[ -f "$corpus/MANIFEST.tsv" ] || { echo "no corpus at $corpus (set CORPUS)" >&2; exit 1; }

source bench/common.sh
slim=${LEANFOLD_SLIM:-}
if [ -z "$slim" ]; then
  build=${BUILD_DIR:-build-bench}
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DLEANFOLD_BUILD_HOST=OFF >/dev/null
  nice -n 10 cmake --build "$build" --target leanfold-slim -j2 >"$build/cli-build.log" 2>&1 ||
    { cat "$build/cli-build.log"; exit 1; }
  slim="$(pwd)/$build/cli/leanfold-slim"
fi
LEANFOLD_WORKER=unused benchSetUp cli
trap 'rm -rf "$work"' EXIT
g++ -O2 -std=c++20 -o "$work/makeBench" bench/MakeBenchDocument.cpp
g++ -O2 -std=c++20 -o "$work/makePacket" bench/MakePacketDocument.cpp

treeBytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d", s }'; }

# measure <tool> <tree>: copies the seed tree to $work/run, runs the tool on it; sets runTime, runRss (KiB),
# runSaved, runStatus.
measure() {
  local tool=$1 seed=$2 t0 t1
  rm -rf "$work/run"
  cp -a "$seed" "$work/run"
  sync
  runStatus=0
  t0=$(now)
  if [ "$tool" = slim ]; then
    /usr/bin/time -f %M -o "$work/rss" "$slim" --quiet "$work/run" >"$work/out" 2>&1 || runStatus=$?
  else
    timeout "$exifTimeout" /usr/bin/time -f %M -o "$work/rss" exiftool -q -q -m -r -overwrite_original \
      -ext psd -ext psb -XMP-xmpMM:History= -XMP-photoshop:DocumentAncestors= "$work/run" >"$work/out" 2>&1 ||
      runStatus=$?
    sync
  fi
  t1=$(now)
  runTime=$(elapsed "$t0" "$t1")
  runRss=$(tail -1 "$work/rss" 2>/dev/null || echo 0)
  [[ $runRss =~ ^[0-9]+$ ]] || runRss=0
  runSaved=$(($(treeBytes "$seed") - $(treeBytes "$work/run")))
}

row() { # name seed-tree rounds
  local name=$1 seed=$2 rounds=$3 tool times rss saved status label line=""
  for tool in slim exif; do
    times="" rss=0
    for _ in $(seq "$rounds"); do
      measure "$tool" "$seed"
      times="$times $runTime"
      [ "$runRss" -gt "$rss" ] && rss=$runRss
      saved=$runSaved status=$runStatus
    done
    local t
    t=$(echo "$times" | median)
    [ "$tool" = slim ] && slimTime=$t || exifTime=$t
    label=exiftool
    [ "$tool" = slim ] && label=leanfold-slim
    line="$line | $label $t s, peak $((rss / 1024)) MiB, saved $saved B"
    [ "$status" = 0 ] || line="$line (exit $status: $(head -c 160 "$work/out" | tr '\n' ' '))"
  done
  local mib
  mib=$(awk -v s="$(treeBytes "$seed")" 'BEGIN { print s / 1048576 }')
  printf '%-28s %7.1f MiB%s | slim/exiftool %s\n' "$name" "$mib" "$line" "$(ratio "$slimTime" "$exifTime")"
}

# dryRow name seed-tree rounds: what a run would do, found without writing: leanfold-slim --dry-run against
# exiftool listing the same two tags. Neither writes, so both read the seed tree itself.
dryRow() {
  local name=$1 seed=$2 rounds=$3 tool t0 t1 times rss r line="" predicted
  for tool in dry list; do
    times="" rss=0
    for _ in $(seq "$rounds"); do
      t0=$(now)
      if [ "$tool" = dry ]; then
        /usr/bin/time -f %M -o "$work/rss" "$slim" --dry-run --json "$seed" >"$work/out" 2>/dev/null || true
      else
        timeout "$exifTimeout" /usr/bin/time -f %M -o "$work/rss" exiftool -q -q -m -r -ext psd -ext psb \
          -XMP-photoshop:DocumentAncestors -XMP-xmpMM:History "$seed" >"$work/list" 2>&1 || true
      fi
      t1=$(now)
      times="$times $(elapsed "$t0" "$t1")"
      r=$(tail -1 "$work/rss" 2>/dev/null || echo 0)
      [[ $r =~ ^[0-9]+$ ]] && [ "$r" -gt "$rss" ] && rss=$r
    done
    local t
    t=$(echo "$times" | median)
    if [ "$tool" = dry ]; then
      dryTime=$t
      predicted=$(tail -1 "$work/out" | sed -n 's/.*"bytesSaved":\([-0-9]*\).*/\1/p')
      line="$line | leanfold-slim --dry-run $t s, peak $((rss / 1024)) MiB, would save ${predicted:-?} B"
    else
      listTime=$t
      line="$line | exiftool listing $t s, peak $((rss / 1024)) MiB, $(wc -l < "$work/list") lines"
    fi
  done
  printf '%-28s %-12s%s | dry-run/listing %s\n' "$name" "(dry run)" "$line" "$(ratio "$dryTime" "$listTime")"
}

echo "leanfold-slim: $slim; $(exiftool -ver | sed 's/^/exiftool /'); median of $reps rounds (the packet: once)"

# 200 small corpus documents with history: the manifest's files with xmpMM:History up to 4 MiB, taken in turn,
# ten to a folder.
mkdir -p "$work/small"
mapfile -t files < <(awk -F'\t' 'NR == 1 { for (i = 1; i <= NF; i++) c[$i] = i; next }
  $c["xmpMM_History"] > 0 && $c["bytes"] <= 4194304 { print $c["file"] }' "$corpus/MANIFEST.tsv")
for i in $(seq 0 199); do
  f=${files[$((i % ${#files[@]}))]}
  mkdir -p "$work/small/d$((i / 10))"
  cp "$corpus/$f" "$work/small/d$((i / 10))/$i.${f##*.}"
done
chmod -R u+w "$work/small"
row "200 small corpus documents" "$work/small" "$reps"
dryRow "200 small corpus documents" "$work/small" "$reps"
rm -rf "$work/small"

mkdir -p "$work/big"
"$work/makeBench" "$work/big/doc.psd" psd 2400 2200 4 2000 0
row "PSD ~200 MB, 2000 events" "$work/big" "$reps"
dryRow "PSD ~200 MB, 2000 events" "$work/big" "$reps"
rm -rf "$work/big"

mkdir -p "$work/packet"
"$work/makePacket" "$work/packet/doc.psd" 4450000 20000
row "300 MiB XMP packet" "$work/packet" 1
dryRow "300 MiB XMP packet" "$work/packet" 1
rm -rf "$work/packet" "$work/run"

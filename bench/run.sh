#!/usr/bin/env bash
# Figures for LeanfoldWorker.exe on large documents (never a test: nothing here passes or fails).
#
#   bash bench/run.sh [--huge | --huge-deep | --cow | --wine | --many | --second-run]
#
# Makes a ~200 MB 16-bit PSD and a ~1 GB 16-bit PSB of random noise (plus a >4 GiB PSB with --huge), each with
# an XMP packet of 2,000 history events, and for each prints: the worker's wall time and peak RSS; cp + sync of
# the same file; exiftool removing the same two elements from a copy (then sync, as the worker's result is
# synced too); and the ratios. Targets: worker <= 1.5x cp+sync, <= 0.6x exiftool, peak RSS < 64 MiB.
# --huge-deep runs only a >4 GiB PSB whose 'lnk2' embeds two ~33 MB PSB documents with the same history, in deep
# mode (exiftool does not reach embedded documents, so it has no figure there). Target: peak RSS < 64 MiB, as for
# a plain file: a cleaned payload is spliced from the original's bytes, never held.
# --cow mounts an XFS (reflink=1) and a btrfs image on loop devices (needs root, xfsprogs and btrfs-progs; says so
# and skips otherwise) and prints, on each and on the folder's own file system, for a ~200 MB PSD and a ~1.6 GB
# PSB: the worker against a reflink copy (cp --reflink=always, sync) and against a durable full copy (cp
# --reflink=never, sync, mv, sync). Targets on XFS and btrfs: the worker at 1.6 GB within 1.5x its time at 200 MB,
# and at most 0.1x the durable full copy. A second line per file does the same with the document in the page cache
# (as one just saved or opened is): replacing it frees those pages when its last descriptor closes, which on btrfs
# costs time with the file's size (tenths of a second a GiB, a few ms on XFS), so the worker is set against the same
# replacement by hand: a reflink copy renamed over the cached document (cp --reflink=always, sync, mv, sync).
# --many slims 200 and then 2,000 copies of a small corpus file (MANY_FILE, default the 27 KiB
# ag-psd/test/layer-mask/src.psd of /work/shared/corpus, which carries History and DocumentAncestors) in one job, and
# prints per round: the worker, exiftool removing the same two elements from the same copies (then sync), and the
# floor, one cp of all copies plus one sync; then how many flushes the worker makes (strace -f -c: fsync,
# fdatasync, sync_file_range, syncfs). LEANFOLD_WORKER_BEFORE (another build, e.g. of an older commit) is measured
# beside it. Target: worker <= exiftool.
# --second-run slims the ~200 MB PSD, then runs the worker over the slimmed file again (nothing left to remove) and
# prints both times, the ratio and the file's inode and modification time before and after the second run. Target:
# second run <= 0.1x the first, same inode and time. The default run prints this row after its PSD row.
# After the last round of each plain (not deep) file, bench/CheckSlimmed says whether every byte outside resource
# 1060 was kept and no history is left in the new packet.
# Environment: BENCH_TMP (default /work/bench-tmp), BUILD_DIR (default build-bench), LEANFOLD_WORKER (a built
# worker to use instead of building one), REPS (rounds per figure, default 3; the median is printed).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
huge=0
hugeDeep=0
[ "${1:-}" = "--huge" ] && huge=1
[ "${1:-}" = "--huge-deep" ] && hugeDeep=1
cow=0
[ "${1:-}" = "--cow" ] && cow=1
wine=0
[ "${1:-}" = "--wine" ] && wine=1
many=0
[ "${1:-}" = "--many" ] && many=1
secondRunOnly=0
[ "${1:-}" = "--second-run" ] && secondRunOnly=1
reps=${REPS:-3}

for tool in exiftool /usr/bin/time g++; do
  command -v "$tool" >/dev/null || { echo "missing $tool (bash scripts/deps.sh installs it)" >&2; exit 1; }
done

source bench/common.sh
benchSetUp run
mounts=()
cleanup() {
  local m
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
g++ -O2 -std=c++20 -o "$work/make" bench/MakeBenchDocument.cpp
g++ -O2 -std=c++20 -o "$work/check" bench/CheckSlimmed.cpp

bench() { # name format width height layers [embedded documents, deep mode when > 0]
  local name=$1 format=$2 width=$3 height=$4 layers=$5 embedded=${6:-0}
  local seed="$work/seed.$format" deep=false
  [ "$embedded" -gt 0 ] && deep=true
  "$work/make" "$seed" "$format" "$width" "$height" "$layers" 2000 "$embedded"
  local size
  size=$(stat -c %s "$seed")
  sync

  # The machine is shared: each figure is the median of $reps rounds, taken in turn.
  local cpTimes="" exifTimes="" workerTimes="" rssMax=0 t0 t1 r
  local exifSize=0 slimSize=0
  for r in $(seq "$reps"); do
    t0=$(now); cp "$seed" "$work/cp.$format"; sync; t1=$(now)
    cpTimes="$cpTimes $(elapsed "$t0" "$t1")"
    rm -f "$work/cp.$format"; sync

    if [ "$deep" = false ]; then
      cp "$seed" "$work/exif.$format"; sync
      t0=$(now)
      exiftool -q -m -overwrite_original -XMP-xmpMM:History= -XMP-photoshop:DocumentAncestors= "$work/exif.$format"
      sync; t1=$(now)
      exifTimes="$exifTimes $(elapsed "$t0" "$t1")"
      exifSize=$(stat -c %s "$work/exif.$format")
      rm -f "$work/exif.$format"; sync
    fi

    cp "$seed" "$work/slim.$format"; sync
    printf '{"files":["%s"],"deep":%s}' "$work/slim.$format" "$deep" > "$work/job.json"
    t0=$(now)
    /usr/bin/time -v -o "$work/time.txt" "$worker" --job "$work/job.json" > "$work/out.txt"
    t1=$(now)
    workerTimes="$workerTimes $(elapsed "$t0" "$t1")"
    local rss
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
    [ "$rss" -gt "$rssMax" ] && rssMax=$rss
    slimSize=$(stat -c %s "$work/slim.$format")
    grep -q '"failed":0' "$work/out.txt" || { echo "worker failed:"; cat "$work/out.txt"; }
    [ "$deep" = false ] || grep -E '^(LOG|DONE)' "$work/out.txt" | sed 's/^/    /' | sort -u
    # Deep mode also rewrites embedded documents outside resource 1060: only the plain results are compared.
    [ "$deep" = true ] || [ "$r" != "$reps" ] || "$work/check" "$seed" "$work/slim.$format" | sed 's/^/    /' || true
    rm -f "$work/slim.$format"; sync
  done
  rm -f "$seed"; sync

  local cpTime exifTime workerTime
  cpTime=$(echo "$cpTimes" | median)
  if [ "$deep" = true ]; then
    workerTime=$(echo "$workerTimes" | median)
    printf '%-28s %5d MiB | deep worker %7.3f s, peak RSS %5.1f MiB | cp+sync %7.3f s (x%s) | saved %d B\n' \
      "$name" $((size / 1048576)) "$workerTime" "$(awk -v k="$rssMax" 'BEGIN { print k / 1024 }')" \
      "$cpTime" "$(ratio "$workerTime" "$cpTime")" $((size - slimSize))
    echo "    rounds: worker$workerTimes | cp+sync$cpTimes"
    return
  fi
  exifTime=$(echo "$exifTimes" | median)
  workerTime=$(echo "$workerTimes" | median)
  printf '%-22s %5d MiB | worker %7.3f s, peak RSS %5.1f MiB | cp+sync %7.3f s (x%s) | exiftool+sync %7.3f s (x%s) | saved %d B (exiftool %d B)\n' \
    "$name" $((size / 1048576)) "$workerTime" "$(awk -v k="$rssMax" 'BEGIN { print k / 1024 }')" \
    "$cpTime" "$(ratio "$workerTime" "$cpTime")" "$exifTime" "$(ratio "$workerTime" "$exifTime")" \
    $((size - slimSize)) $((size - exifSize))
  echo "    rounds: worker$workerTimes | cp+sync$cpTimes | exiftool+sync$exifTimes"
}

cowBench() { # label folder format width height: worker, reflink copy and durable full copy, on folder's file system
  local label=$1 dir=$2 format=$3 width=$4 height=$5
  local seed="$dir/seed.$format" size
  "$work/make" "$seed" "$format" "$width" "$height" 4 2000 0
  size=$(stat -c %s "$seed")
  exiftool -q -m -o "$dir/exif.$format" -XMP-xmpMM:History= -XMP-photoshop:DocumentAncestors= "$seed"
  local exifSaved=$((size - $(stat -c %s "$dir/exif.$format")))
  rm -f "$dir/exif.$format"
  sync
  local workerTimes="" reflinkTimes="" fullTimes="" cachedTimes="" replaceTimes="" t0 t1 r slimSize=0 reflink=yes
  cp --reflink=always "$seed" "$dir/probe.$format" 2>/dev/null || reflink=no
  rm -f "$dir/probe.$format"
  for r in $(seq "$reps"); do
    if [ "$reflink" = yes ]; then
      t0=$(now); cp --reflink=always "$seed" "$dir/ref.$format"; sync; t1=$(now)
      reflinkTimes="$reflinkTimes $(elapsed "$t0" "$t1")"
      rm -f "$dir/ref.$format"; sync
    fi
    t0=$(now); cp --reflink=never "$seed" "$dir/full.tmp"; sync; mv "$dir/full.tmp" "$dir/full.$format"; sync; t1=$(now)
    fullTimes="$fullTimes $(elapsed "$t0" "$t1")"
    rm -f "$dir/full.$format"; sync
    # The document to slim is a copy of its own (shared blocks where the file system can), as a user's file is.
    cp --reflink=auto "$seed" "$dir/slim.$format"; sync
    printf '{"files":["%s"],"deep":false}' "$dir/slim.$format" > "$work/job.json"
    t0=$(now)
    "$worker" --job "$work/job.json" > "$work/out.txt"
    t1=$(now)
    workerTimes="$workerTimes $(elapsed "$t0" "$t1")"
    grep -q '"failed":0' "$work/out.txt" || { echo "worker failed:"; cat "$work/out.txt"; }
    slimSize=$(stat -c %s "$dir/slim.$format")
    [ "$r" != "$reps" ] || "$work/check" "$seed" "$dir/slim.$format" | sed 's/^/    /' || true
    rm -f "$dir/slim.$format"; sync

    # The same document read into the page cache first: the original's pages go when it is replaced.
    cp --reflink=auto "$seed" "$dir/slim.$format"; sync; cat "$dir/slim.$format" > /dev/null
    t0=$(now)
    "$worker" --job "$work/job.json" > "$work/out.txt"
    t1=$(now)
    cachedTimes="$cachedTimes $(elapsed "$t0" "$t1")"
    grep -q '"failed":0' "$work/out.txt" || { echo "worker failed (cached original):"; cat "$work/out.txt"; }
    rm -f "$dir/slim.$format"; sync
    if [ "$reflink" = yes ]; then
      cp --reflink=auto "$seed" "$dir/slim.$format"; sync; cat "$dir/slim.$format" > /dev/null
      t0=$(now); cp --reflink=always "$dir/slim.$format" "$dir/replace.tmp"; sync; mv "$dir/replace.tmp" "$dir/slim.$format"; sync; t1=$(now)
      replaceTimes="$replaceTimes $(elapsed "$t0" "$t1")"
      rm -f "$dir/slim.$format"; sync
    fi
  done
  rm -f "$seed"; sync
  local workerTime fullTime reflinkTime="n/a" vsReflink="n/a"
  workerTime=$(echo "$workerTimes" | median)
  fullTime=$(echo "$fullTimes" | median)
  if [ "$reflink" = yes ]; then
    reflinkTime=$(echo "$reflinkTimes" | median)
    vsReflink=$(ratio "$workerTime" "$reflinkTime")
  fi
  printf '%-6s %5d MiB | worker %7.3f s | reflink copy %7s s (x%s) | durable full copy %7.3f s (x%s) | saved %d B, exiftool %d B, less by %d B\n' \
    "$label" $((size / 1048576)) "$workerTime" "$reflinkTime" "$vsReflink" "$fullTime" "$(ratio "$workerTime" "$fullTime")" \
    $((size - slimSize)) "$exifSaved" $((exifSaved - (size - slimSize)))
  echo "    rounds: worker$workerTimes | reflink$reflinkTimes | full$fullTimes"
  local cachedTime replaceTime="n/a" vsReplace="n/a"
  cachedTime=$(echo "$cachedTimes" | median)
  if [ "$reflink" = yes ]; then
    replaceTime=$(echo "$replaceTimes" | median)
    vsReplace=$(ratio "$cachedTime" "$replaceTime")
  fi
  printf '%-6s %5d MiB | cached original: worker %7.3f s | reflink copy renamed over it %7s s (x%s)\n' \
    "$label" $((size / 1048576)) "$cachedTime" "$replaceTime" "$vsReplace"
  echo "    rounds: worker$cachedTimes | reflink replace$replaceTimes"
}

# manyBench count: one job of count copies of the small file, worker against exiftool and cp + sync.
manyBench() {
  local count=$1 r t0 t1 i
  local workerTimes="" beforeTimes="" exifTimes="" exifBareTimes="" floorTimes="" tMid
  local dir="$work/many"
  copies() { # fresh copies in $dir, synced, and the job naming them
    rm -rf "$dir"; mkdir "$dir"
    for i in $(seq -w "$count"); do cp "$manyFile" "$dir/f$i.psd"; done
    chmod 644 "$dir"/*.psd
    python3 -c 'import json, sys; print(json.dumps({"files": sys.argv[1:]}))' "$dir"/*.psd > "$work/job.json"
    sync
  }
  for r in $(seq "$reps"); do
    copies
    t0=$(now); cp -r "$dir" "$work/floor"; sync; t1=$(now)
    floorTimes="$floorTimes $(elapsed "$t0" "$t1")"
    rm -rf "$work/floor"; sync
    t0=$(now)
    exiftool -q -m -overwrite_original -XMP-xmpMM:History= -XMP-photoshop:DocumentAncestors= "$dir"/*.psd
    tMid=$(now); sync; t1=$(now)
    exifBareTimes="$exifBareTimes $(elapsed "$t0" "$tMid")"
    exifTimes="$exifTimes $(elapsed "$t0" "$t1")"
    copies
    t0=$(now); "$worker" --job "$work/job.json" > "$work/out.txt"; t1=$(now)
    workerTimes="$workerTimes $(elapsed "$t0" "$t1")"
    grep -q "\"exported\":$count,\"skipped\":0,\"failed\":0" "$work/out.txt" || { echo "worker failed:"; tail -3 "$work/out.txt"; }
    [ "$r" != "$reps" ] || "$work/check" "$manyFile" "$dir/f$(seq -w "$count" | head -n 1).psd" | sed 's/^/    /' || true
    if [ -n "${LEANFOLD_WORKER_BEFORE:-}" ]; then
      copies
      t0=$(now); "$LEANFOLD_WORKER_BEFORE" --job "$work/job.json" > "$work/out.txt"; t1=$(now)
      beforeTimes="$beforeTimes $(elapsed "$t0" "$t1")"
    fi
  done
  local workerTime exifTime exifBareTime floorTime
  workerTime=$(echo "$workerTimes" | median)
  exifTime=$(echo "$exifTimes" | median)
  exifBareTime=$(echo "$exifBareTimes" | median)
  floorTime=$(echo "$floorTimes" | median)
  printf '%5d files of %d B | worker %7.3f s | exiftool+sync %7.3f s (worker x%s) | cp+sync %7.3f s (worker x%s)\n' \
    "$count" "$(stat -c %s "$manyFile")" "$workerTime" "$exifTime" "$(ratio "$workerTime" "$exifTime")" \
    "$floorTime" "$(ratio "$workerTime" "$floorTime")"
  # exiftool never flushes: without the sync it is faster than any durable tool can be, and is the target.
  printf '      exiftool alone (no sync) %7.3f s (worker x%s)\n' "$exifBareTime" "$(ratio "$workerTime" "$exifBareTime")"
  echo "    rounds: worker$workerTimes | exiftool+sync$exifTimes | exiftool alone$exifBareTimes | cp+sync$floorTimes"
  if [ -n "$beforeTimes" ]; then
    echo "    before ($LEANFOLD_WORKER_BEFORE): median $(echo "$beforeTimes" | median) s, rounds$beforeTimes"
  fi
  if command -v strace >/dev/null; then
    local side program
    for side in worker before; do
      program=$worker
      [ "$side" = worker ] || program=${LEANFOLD_WORKER_BEFORE:-}
      [ -n "$program" ] || continue
      copies
      strace -f -c -o "$work/strace.txt" -e trace=fsync,fdatasync,sync_file_range,syncfs \
        "$program" --job "$work/job.json" > /dev/null
      echo "    flushes ($side): $(awk '$NF ~ /^(fsync|fdatasync|sync_file_range|syncfs)$/ { printf "%s %s  ", $NF, $4 }' "$work/strace.txt")"
    done
  else
    echo "    flushes: strace is not installed"
  fi
  rm -rf "$dir"; sync
}

# secondRun: the ~200 MB PSD slimmed, then the slimmed file again.
secondRun() {
  local firstTimes="" secondTimes="" t0 t1 r before after
  "$work/make" "$work/second.psd" psd 2400 2200 4 2000 0
  for r in $(seq "$reps"); do
    cp "$work/second.psd" "$work/slim.psd"; sync
    printf '{"files":["%s"]}' "$work/slim.psd" > "$work/job.json"
    t0=$(now); "$worker" --job "$work/job.json" > "$work/out.txt"; t1=$(now)
    firstTimes="$firstTimes $(elapsed "$t0" "$t1")"
    sync
    before=$(stat -c 'inode %i, modified %y' "$work/slim.psd")
    t0=$(now); "$worker" --job "$work/job.json" > "$work/out2.txt"; t1=$(now)
    secondTimes="$secondTimes $(elapsed "$t0" "$t1")"
    after=$(stat -c 'inode %i, modified %y' "$work/slim.psd")
    grep -q '"failed":0,"bytesSaved":0,"modifications":0' "$work/out2.txt" || { echo "second run:"; cat "$work/out2.txt"; }
    rm -f "$work/slim.psd"; sync
  done
  rm -f "$work/second.psd"
  local firstTime secondTime
  firstTime=$(echo "$firstTimes" | median)
  secondTime=$(echo "$secondTimes" | median)
  printf 'second run, PSD ~200 MB | first run %7.3f s | second run %7.3f s (x%s, target <= 0.1)\n' \
    "$firstTime" "$secondTime" "$(ratio "$secondTime" "$firstTime")"
  echo "    rounds: first$firstTimes | second$secondTimes"
  echo "    before the second run: $before"
  echo "    after the second run:  $after"
}

echo "worker: $worker"
if [ "$many" = 1 ]; then
  manyFile=${MANY_FILE:-/work/shared/corpus/ag-psd/test/layer-mask/src.psd}
  [ -f "$manyFile" ] || { echo "--many: no $manyFile (set MANY_FILE)"; exit 1; }
  echo "target: worker <= exiftool; median of $reps rounds; $(df -T "$work" | awk 'NR == 2 { print $2 }') here"
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  manyBench 200
  manyBench 2000
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
  exit 0
fi
if [ "$secondRunOnly" = 1 ]; then
  secondRun
  exit 0
fi
if [ "$cow" = 1 ]; then
  why=""
  [ "$(id -u)" -eq 0 ] || why="needs root (loop devices, mount)"
  for tool in mkfs.xfs mkfs.btrfs mount umount; do
    [ -n "$why" ] || command -v "$tool" >/dev/null || why="missing $tool (xfsprogs, btrfs-progs: bash scripts/deps.sh)"
  done
  [ -n "$why" ] || [ -e /dev/loop-control ] || why="no loop devices here"
  if [ -n "$why" ]; then
    echo "--cow skipped: $why"
    exit 0
  fi
  echo "targets (XFS, btrfs): worker at 1.6 GB <= 1.5x worker at 200 MB, <= 0.1x durable full copy; median of $reps rounds"
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  for fs in xfs btrfs; do
    truncate -s 8G "$work/$fs.img"
    if [ "$fs" = xfs ]; then mkfs.xfs -q -m reflink=1 "$work/$fs.img"; else mkfs.btrfs -q "$work/$fs.img" >/dev/null; fi
    mkdir -p "$work/$fs"
    mount -o loop "$work/$fs.img" "$work/$fs"
    mounts+=("$work/$fs")
    chmod 700 "$work/$fs"
  done
  mkdir -p "$work/here"
  here=$(findmnt -n -o FSTYPE -T "$work/here" 2>/dev/null || stat -f -c %T "$work/here")
  for fs in xfs btrfs here; do
    label=$fs
    [ "$fs" = here ] && label=$here
    cowBench "$label" "$work/$fs" psd 2400 2200
    cowBench "$label" "$work/$fs" psb 7200 5600
  done
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
  exit 0
fi
if [ "$wine" = 1 ]; then
  # --wine: the Windows worker (scripts/windows-worker.sh, or LEANFOLD_WINDOWS_WORKER) under Wine with a private
  # prefix, beside the Linux worker, on the ~200 MB PSD. A figure only: Wine's file I/O is not Windows'.
  winWorker=${LEANFOLD_WINDOWS_WORKER:-$(bash scripts/windows-worker.sh --no-install --build-dir "$root/build-mingw" | tail -n 1)}
  export WINEPREFIX="$work/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineboot --init >/dev/null 2>&1
  "$work/make" "$work/seed.psd" psd 2400 2200 4 2000 0
  size=$(stat -c %s "$work/seed.psd")
  linuxTimes="" wineTimes=""
  for r in $(seq "$reps"); do
    for side in linux wine; do
      cp "$work/seed.psd" "$work/slim.psd"; sync
      if [ "$side" = linux ]; then
        printf '{"files":["%s"]}' "$work/slim.psd" > "$work/job.json"
        t0=$(now); "$worker" --job "$work/job.json" > "$work/out.txt"; t1=$(now)
        linuxTimes="$linuxTimes $(elapsed "$t0" "$t1")"
      else
        printf '{"files":["Z:%s"]}' "$work/slim.psd" > "$work/job.json" # Wine shows / as Z:
        t0=$(now); wine "$winWorker" --job "Z:$work/job.json" > "$work/out.txt"; t1=$(now)
        wineTimes="$wineTimes $(elapsed "$t0" "$t1")"
      fi
      grep -q '"failed":0' "$work/out.txt" || { echo "$side worker failed:"; cat "$work/out.txt"; }
      rm -f "$work/slim.psd"; sync
    done
  done
  linuxTime=$(echo "$linuxTimes" | median)
  wineTime=$(echo "$wineTimes" | median)
  printf 'PSD ~200 MB (%d MiB) | Linux worker %7.3f s | Windows worker under Wine %7.3f s (x%s)\n' \
    $((size / 1048576)) "$linuxTime" "$wineTime" "$(ratio "$wineTime" "$linuxTime")"
  echo "    rounds: Linux$linuxTimes | Wine$wineTimes"
  wineserver -k || true
  exit 0
fi
if [ "$hugeDeep" = 1 ]; then
  echo "target: peak RSS < 64 MiB, however many payloads are edited (here two of ~33 MB); median of $reps rounds"
  bench "PSB ~4.5 GB, 2 embedded PSB" psb 12000 10000 4 2
  exit 0
fi
echo "targets: worker/cp+sync <= 1.5, worker/exiftool <= 0.6, peak RSS < 64 MiB; median of $reps rounds"
# 16-bit RGB with transparency: 8 bytes a pixel per layer, 6 for the merged image.
bench "PSD ~200 MB, 4 layers" psd 2400 2200 4
secondRun
bench "PSB ~1 GB, 4 layers" psb 5600 4800 4
if [ "$huge" = 1 ]; then
  bench "PSB ~4.5 GB, 4 layers" psb 12000 10000 4
fi

#!/usr/bin/env bash
# Figures for the streaming XMP clean on bloated packets (never a test: nothing here passes or fails).
#
#   bash bench/packet.sh
#   ROWS="spaced declined" EXIFTOOL=0 bash bench/packet.sh
#
# Makes small PSDs whose XMP packet is the bulk of the file: one of ~300 MiB (4,450,000 ancestors and 20,000
# history events; row "300mib"), one with 1,000,000 ancestors (~69 MB; "ancestors"), one with 1,000,000 history
# events (~440 MB; "events"), and two of ~99 MB made of many small removed elements that give the content skip a
# start tag every 200 bytes: end tags written </photoshop:DocumentAncestors > ("spaced"), and the same with a
# comment first in each, which the skip gives up on at once ("declined"). For each it prints: the worker's wall
# time and peak RSS (median of REPS rounds); the same with the content skip turned off (the test build of the
# worker, LeanfoldWorkerTest, with LEANFOLD_WORKER_TEST_XMP_PARSE_ALL); cp + sync of the same file (a durable
# copy); exiftool removing the same two elements from a copy, run ONCE with a timeout (it is slow and large on
# such packets); and the ratios.
# bench/CheckSlimmed then says whether every byte outside resource 1060 was kept and no history is left.
# Targets for the 300 MiB packet: peak RSS within 64 MiB, worker at most 1.5x cp+sync. On every packet the skip
# costs at most what parsing everything costs (worker / skip off at most about 1).
# Environment: BENCH_TMP (default /work/bench-tmp), BUILD_DIR (default build-bench), LEANFOLD_WORKER (a built
# worker to use instead of building one), LEANFOLD_WORKER_TEST (a built LeanfoldWorkerTest.exe for the skip-off
# figures; without it and without LEANFOLD_WORKER one is built, otherwise they are left out),
# LEANFOLD_WORKER_BEFORE (an older worker: its figures are printed too), REPS (default 3), ROWS (the rows to
# run, default all), EXIFTOOL (0: no exiftool figures), EXIFTOOL_TIMEOUT (seconds, default 300).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
reps=${REPS:-3}
exifTimeout=${EXIFTOOL_TIMEOUT:-300}

for tool in /usr/bin/time g++ timeout; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
haveExif=1
if [ "${EXIFTOOL:-1}" = 0 ]; then
  haveExif=0
else
  command -v exiftool >/dev/null || { haveExif=0; echo "exiftool missing: no exiftool figures"; }
fi
rows=${ROWS:-300mib ancestors events spaced declined}

source bench/common.sh
testWorker=${LEANFOLD_WORKER_TEST:-}
benchSetUp packet
if [ -z "$testWorker" ] && [ -z "${LEANFOLD_WORKER:-}" ]; then
  cmake -S . -B "$build" -DLEANFOLD_WORKER_TEST_HOOKS=ON >/dev/null
  cmake --build "$build" --target LeanfoldWorkerTest -j2 >/dev/null
  testWorker="$(pwd)/$build/worker/LeanfoldWorkerTest.exe"
fi
before=${LEANFOLD_WORKER_BEFORE:-}
trap 'rm -rf "$work"' EXIT
g++ -O2 -std=c++20 -o "$work/make" bench/MakePacketDocument.cpp
g++ -O2 -std=c++20 -o "$work/check" bench/CheckSlimmed.cpp

# Runs worker $1 on a fresh copy of $2 $reps times; sets runTime (median, s), runRss (max, KiB), runSize. Extra
# arguments are set in the worker's environment.
runWorker() {
  local exe=$1 seed=$2 times="" t0 t1 rss
  shift 2
  runRss=0
  for _ in $(seq "$reps"); do
    cp "$seed" "$work/slim.psd"
    sync
    printf '{"files":["%s"]}' "$work/slim.psd" >"$work/job.json"
    t0=$(now)
    env "$@" /usr/bin/time -f %M -o "$work/rss" "$exe" --job "$work/job.json" >"$work/worker.out"
    t1=$(now)
    grep -q '"failed":0' "$work/worker.out" || { runError=$(grep -m1 '^LOG' "$work/worker.out" || true); return 1; }
    times="$times $(elapsed "$t0" "$t1")"
    rss=$(tail -1 "$work/rss")
    [ "$rss" -gt "$runRss" ] && runRss=$rss
  done
  runTime=$(echo "$times" | median)
  runSize=$(stat -c %s "$work/slim.psd")
}

bench() { # row name arguments of MakePacketDocument after the file
  local row=$1 name=$2 seed="$work/seed.psd"
  case " $rows " in *" $row "*) ;; *) return 0 ;; esac
  shift 2
  "$work/make" "$seed" "$@"
  local size
  size=$(stat -c %s "$seed")
  sync

  local cpTimes="" t0 t1
  for _ in $(seq "$reps"); do
    rm -f "$work/copy.psd"
    sync
    t0=$(now)
    cp "$seed" "$work/copy.psd"
    sync "$work/copy.psd"
    t1=$(now)
    cpTimes="$cpTimes $(elapsed "$t0" "$t1")"
  done
  rm -f "$work/copy.psd"
  local cpTime
  cpTime=$(echo "$cpTimes" | median)

  runWorker "$worker" "$seed" || { echo "worker failed: $runError"; exit 1; }
  local workerTime=$runTime workerRss=$runRss slimSize=$runSize
  echo "== $name: $(awk -v s="$size" 'BEGIN { printf "%.1f MiB", s / 1048576 }') file, slimmed to $slimSize bytes"
  echo "   worker:     ${workerTime} s, peak RSS $((workerRss / 1024)) MiB (median of $reps)"
  echo "   cp + sync:  ${cpTime} s   worker / cp+sync = $(ratio "$workerTime" "$cpTime")"
  "$work/check" "$seed" "$work/slim.psd" | sed 's/^/   /' || true
  if [ -n "$testWorker" ]; then
    mv "$work/slim.psd" "$work/slim-skip.psd"
    if runWorker "$testWorker" "$seed" LEANFOLD_WORKER_TEST_XMP_PARSE_ALL=1; then
      local same="the same file as with the skip"
      cmp -s "$work/slim.psd" "$work/slim-skip.psd" || same="A FILE OTHER THAN WITH THE SKIP ($runSize bytes)"
      echo "   skip off:   ${runTime} s, peak RSS $((runRss / 1024)) MiB (median of $reps), slimmed to $same"
      echo "   worker / skip off = $(ratio "$workerTime" "$runTime")"
    else
      echo "   skip off:   the worker fails the file: $runError"
    fi
  fi
  if [ -n "$before" ]; then
    if runWorker "$before" "$seed"; then
      echo "   before:     ${runTime} s, peak RSS $((runRss / 1024)) MiB (the older worker; slimmed to $runSize bytes)"
    else
      echo "   before:     the older worker fails the file: $runError"
    fi
  fi
  if [ "$haveExif" = 1 ]; then
    cp "$seed" "$work/exif.psd"
    sync
    t0=$(now)
    local status=0
    timeout "$exifTimeout" /usr/bin/time -f %M -o "$work/exifrss" exiftool -q -q -overwrite_original \
      -XMP-photoshop:DocumentAncestors= -XMP-xmpMM:History= "$work/exif.psd" >/dev/null 2>"$work/exif.err" || status=$?
    sync
    t1=$(now)
    local exifTime
    exifTime=$(elapsed "$t0" "$t1")
    if [ "$status" = 124 ]; then
      echo "   exiftool:   did not finish within ${exifTimeout} s (killed; run once)"
    elif [ "$status" = 137 ]; then
      echo "   exiftool:   killed after ${exifTime} s (SIGKILL: the kernel's out-of-memory killer, see dmesg; run once)"
    elif [ "$status" != 0 ]; then
      echo "   exiftool:   failed with status $status after ${exifTime} s: $(head -c 200 "$work/exif.err")"
    else
      echo "   exiftool:   ${exifTime} s, peak RSS $(($(tail -1 "$work/exifrss") / 1024)) MiB, result $(stat -c %s "$work/exif.psd") bytes (run once)"
      echo "   worker / exiftool = $(ratio "$workerTime" "$exifTime")"
    fi
    rm -f "$work/exif.psd" "$work/exif.psd_exiftool_tmp" # a killed exiftool leaves its temporary behind
  fi
  rm -f "$seed" "$work/slim.psd" "$work/slim-skip.psd"
}

bench 300mib "300 MiB packet" 4450000 20000
bench ancestors "1,000,000 ancestors" 1000000 0
bench events "1,000,000 history events" 0 1000000
bench spaced "510,000 removed elements, end tags with a space" --elements 510000 1 spaced
bench declined "446,000 removed elements the skip declines" --elements 446000 1 declined

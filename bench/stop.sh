#!/usr/bin/env bash
# Figures for a stop request (never a test: nothing here passes or fails).
#
#   bash bench/stop.sh
#
# Makes a ~1.3 GB 16-bit PSB of random noise with 2,000 history events. For each way of asking (a STOP line on
# standard input, as the host asks when its window closes, and SIGTERM) and each moment (0, 50, 200 and 500 ms
# after the worker's temporary file appeared beside the document), starts LeanfoldWorker.exe on a fresh copy, asks
# it to stop and prints the time from the request to its exit, its exit code, the temporaries left and whether the
# document is unchanged. Target: the exit well within 2 s of the request (the host ends the worker after 2 s), no
# temporary left, the document unchanged (or, asked after its last check, completely slimmed).
# Environment: as bench/run.sh (BENCH_TMP, BUILD_DIR, LEANFOLD_WORKER).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
benchSetUp stop
trap 'rm -rf "$work"' EXIT
g++ -O2 -std=c++20 -o "$work/make" bench/MakeBenchDocument.cpp

seed="$work/seed.psb"
"$work/make" "$seed" psb 6400 5400 4 2000
sum=$(sha256sum <"$seed")
printf 'document: %d MiB, file system: %s\n' $(($(stat -c %s "$seed") >> 20)) "$(stat -f -c %T "$work")"

for how in STOP SIGTERM; do
  for delay in 0 0.05 0.2 0.5; do
    mkdir "$work/f"
    cp "$seed" "$work/f/big.psb"
    sync
    printf '{"files":["%s"]}' "$work/f/big.psb" >"$work/job.json"
    mkfifo "$work/in"
    "$worker" --job "$work/job.json" <"$work/in" >"$work/out.txt" &
    pid=$!
    exec 3>"$work/in" # held open: the end of standard input is no stop
    until ls -A "$work/f" | grep -q psdslim_ || ! kill -0 "$pid" 2>/dev/null; do sleep 0.005; done
    sleep "$delay"
    t0=$(now)
    if [ "$how" = STOP ]; then echo STOP >&3; else kill -TERM "$pid"; fi
    rc=0
    wait "$pid" || rc=$?
    t1=$(now)
    exec 3>&-
    left=$(ls -A "$work/f" | grep -c psdslim || true)
    state=changed
    [ "$(sha256sum <"$work/f/big.psb")" = "$sum" ] && state=unchanged
    grep -q '^DONE' "$work/out.txt" && state="$state (DONE written)"
    printf '%-7s %3.0f ms after the temporary appeared: exit %3d after %s s; temporaries left: %d; document %s\n' \
      "$how" "$(awk -v d="$delay" 'BEGIN { print d * 1000 }')" "$rc" "$(elapsed "$t0" "$t1")" "$left" "$state"
    rm -rf "$work/f" "$work/in"
  done
done

#!/usr/bin/env bash
# Measures the single-instance roads with real Leanfold processes, headless, in a private throw-away home:
#   - a bare second launch (no files): wall time until it exits;
#   - a second launch with one file, through the endpoint: from its start to the first instance's queue record;
#   - the same through the inbox (the endpoint's socket file removed first).
# Usage: bench/single-instance.sh [path/to/Leanfold] [runs]
set -euo pipefail
exe="$(realpath "${1:-build/src/Leanfold}")"
runs="${2:-10}"
log="$(dirname "$exe")/logs/runtime.log"

home="$(mktemp -d)"   # mkdtemp: a new folder only we can enter
first_pid=""
cleanup() {
  [ -n "$first_pid" ] && kill "$first_pid" 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
mkdir -p "$home/run" "$home/.config" "$home/files"
chmod 700 "$home/run"
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run" TMPDIR="$home" QT_QPA_PLATFORM=offscreen

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# Waits until runtime.log holds a record of pid $1 containing $2; prints the record's own time in epoch ms.
record_ms() {
  local line=""
  for _ in $(seq 1 3000); do
    line="$(grep -a " pid=$1 " "$log" 2>/dev/null | grep -a -F -- "$2" | tail -n 1 || true)"
    [ -n "$line" ] && break
    sleep 0.005
  done
  [ -n "$line" ] || { echo "no record '$2' from pid $1" >&2; exit 1; }
  echo $(( $(date -d "${line%% *}" +%s%N) / 1000000 ))
}
stats() { sort -n | awk '{ a[NR] = $1 } END { printf "min %d ms, median %d ms, max %d ms (n=%d)\n", a[1], a[int((NR + 1) / 2)], a[NR], NR }'; }

"$exe" >/dev/null 2>&1 &
first_pid=$!
record_ms "$first_pid" "standalone window shown" >/dev/null
server="$(ls "$home/run/Lumora/" | grep '^Lumora\.psd-slim\.' || true)"

total=0
echo "bare second launch (exit code and wall time):"
for i in $(seq 1 "$runs"); do
  t0=$(now_ms); "$exe" >/dev/null 2>&1; code=$?; t1=$(now_ms)
  [ "$code" -eq 0 ] || { echo "exit code $code" >&2; exit 1; }
  echo $(( t1 - t0 ))
done | stats

echo "second launch with one file, endpoint road (launch start to queue record):"
for i in $(seq 1 "$runs"); do
  f="$home/files/endpoint-$i.psd"; : > "$f"; total=$(( total + 1 ))
  t0=$(now_ms); "$exe" "$f" >/dev/null 2>&1
  t1=$(record_ms "$first_pid" "total= $total")
  echo $(( t1 - t0 ))
done | stats
total=$runs

rm -f "$home/run/Lumora/$server"
echo "second launch with one file, inbox road (socket file removed; launch start to queue record):"
for i in $(seq 1 "$runs"); do
  f="$home/files/inbox-$i.psd"; : > "$f"; total=$(( total + 1 ))
  t0=$(now_ms); "$exe" "$f" >/dev/null 2>&1
  t1=$(record_ms "$first_pid" "total= $total")
  echo $(( t1 - t0 ))
done | stats

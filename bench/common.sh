# Shared by the bench scripts, sourced from the project's root folder: the worker to measure, a private work
# folder and the timing helpers.

# benchSetUp <name>: sets worker (LEANFOLD_WORKER, or a Release build in BUILD_DIR, default build-bench) and work
# (a fresh folder <name>.XXXXXX in BENCH_TMP, default /work/bench-tmp, which is made private first).
benchSetUp() {
  build=${BUILD_DIR:-build-bench}
  worker=${LEANFOLD_WORKER:-}
  if [ -z "$worker" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DLEANFOLD_BUILD_HOST=OFF >/dev/null
    cmake --build "$build" --target LeanfoldWorker -j2 >/dev/null
    worker="$(pwd)/$build/worker/LeanfoldWorker.exe"
  fi
  tmp=${BENCH_TMP:-/work/bench-tmp}
  mkdir -p "$tmp"
  chmod 700 "$tmp"
  work=$(mktemp -d "$tmp/$1.XXXXXX")
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# runHostBench <target> <program under the build folder> [arguments]: builds a Qt bench program (Release, with the
# host) and runs it headless, with a private HOME, XDG folders and temporary folder removed afterwards.
runHostBench() {
  local target=$1 program=$2
  shift 2
  build=${BUILD_DIR:-build-bench}
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DLEANFOLD_BUILD_HOST=ON >/dev/null
  cmake --build "$build" -j2 --target "$target" >/dev/null
  benchScratch=$(mktemp -d)
  trap 'rm -rf "$benchScratch"' EXIT
  mkdir -m 700 "$benchScratch/run" "$benchScratch/tmp"
  HOME="$benchScratch" XDG_CONFIG_HOME="$benchScratch/.config" XDG_RUNTIME_DIR="$benchScratch/run" \
    TMPDIR="$benchScratch/tmp" QT_QPA_PLATFORM=offscreen "$build/$program" "$@"
}

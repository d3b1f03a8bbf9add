#!/usr/bin/env bash
# Copy and listing benchmark: the copy engine over a directory listing against "cp -a", and the
# listing against "find -printf". Warm cache, one file system, no per-file fsync.
# Usage: bench/copy_bench.sh [work folder]   (default /tmp/kpw-bench; needs about 2.2 GiB)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/kpw-bench}
BUILD=${KPW_BENCH_BUILD:-$ROOT/build-bench}
RUNS=5
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKPW_BENCH=ON -DKPW_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target kpw_copy_bench >/dev/null
TOOL=$BUILD/bench/kpw_copy_bench

rm -rf "$WORK"
mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT

echo "Making the trees in $WORK ..."
python3 - "$WORK" <<'PY'
import os, sys, random
work = sys.argv[1]
rnd = random.Random(1)
# 20,000 small files (100 B to 16 KiB) in 200 folders on two levels.
for d in range(200):
    folder = os.path.join(work, "small", "group%02d" % (d // 20), "set%03d" % d)
    os.makedirs(folder)
    for f in range(100):
        with open(os.path.join(folder, "file%03d.dat" % f), "wb") as out:
            out.write(os.urandom(rnd.randint(100, 16384)))
# 4 files of 256 MiB.
os.makedirs(os.path.join(work, "large"))
block = os.urandom(1 << 20)
for i in range(4):
    with open(os.path.join(work, "large", "big%d.bin" % i), "wb") as out:
        for _ in range(256):
            out.write(block)
# 200,000 entries for the listing: 2,000 folders of 99 empty files.
for d in range(2000):
    folder = os.path.join(work, "many", "d%02d" % (d // 100), "e%04d" % d)
    os.makedirs(folder)
    for f in range(99):
        open(os.path.join(folder, "n%02d" % f), "wb").close()
PY
sync

# Five timed copies of one tree each way, the target removed and written back between runs.
bench_copy() {
  local name=$1 ours=() cps=() t
  # Warm-up: both readers pull the source into the cache.
  cp -a "$WORK/$name" "$WORK/out-warm" && rm -rf "$WORK/out-warm"
  for _ in $(seq $RUNS); do
    rm -rf "$WORK/out"; sync
    t=$(timed cp -a "$WORK/$name" "$WORK/out"); cps+=("$t")
    rm -rf "$WORK/out"; sync
    mkdir "$WORK/out"
    t=$(timed "$TOOL" copy "$WORK/$name" "$WORK/out"); ours+=("$t")
  done
  "$TOOL" copy "$WORK/$name" "$WORK/check" >/dev/null 2>&1 || true
  diff -r "$WORK/$name" "$WORK/check" >/dev/null || { echo "copy of $name differs from the source"; exit 1; }
  rm -rf "$WORK/out" "$WORK/check"
  local mo mc
  mo=$(median "${ours[@]}"); mc=$(median "${cps[@]}")
  printf '%-28s engine %7.3f s   cp -a %7.3f s   ratio %.2f\n' "copy $name" "$mo" "$mc" "$(echo "$mo / $mc" | bc -l)"
}

bench_copy small
bench_copy large

ours=(); finds=()
find "$WORK/many" -printf '%p %s %T@\n' >/dev/null
for _ in $(seq $RUNS); do
  finds+=("$(timed find "$WORK/many" -printf '%p %s %T@\n')")
  ours+=("$(timed "$TOOL" list "$WORK/many")")
done
mo=$(median "${ours[@]}"); mf=$(median "${finds[@]}")
printf '%-28s listing %6.3f s   find %7.3f s   ratio %.2f\n' "list 200,000 entries" "$mo" "$mf" "$(echo "$mo / $mf" | bc -l)"
"$TOOL" list "$WORK/many" 2>&1 >/dev/null | sed 's/^/  /'

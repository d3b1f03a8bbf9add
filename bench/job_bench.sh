#!/usr/bin/env bash
# Job benchmark: copy rows through "kopiwart FILE -S -A -N" against cp -a and rsync on the same
# trees (20,000 files of 1-64 KiB in 200 folders, plus 4 files of 256 MiB), warm cache, one file
# system, no per-file fsync, medians of 5 runs:
#   (a) first copy: "Copy" row against cp -a and rsync -a, and the peak memory of the row;
#   (b) nothing changed: "Copy" row with schedule word 0x8000 (only newer) against rsync -a;
#   (c) 1,000 source files deleted: "Copy Del" row with 0x8000 against rsync -a --delete.
# Usage: bench/job_bench.sh [work folder]   (default /tmp/kpw-job-bench; needs about 6 GiB)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/kpw-job-bench}
BUILD=${KPW_BENCH_BUILD:-$ROOT/build-job-bench}
RUNS=5
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

for tool in rsync bc python3; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)"; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time is missing (package \"time\")"; exit 1; }

bench_prepare
[[ -x $PROGRAM ]] || { echo "$PROGRAM was not built"; exit 1; }

# prepare_row MODE SOURCE TARGET SCHEDULE: ROW becomes the command of one row of mode "" (Copy)
# or "/COPY_DEL"; run_row runs it.
prepare_row() {
  local mode=$1 src=$2 dst=$3 word=$4
  {
    printf '[EINTRAG]\r\n\tQ:%s\r\n\tZ:%s\r\n\t/UNTER\r\n' "$src" "$dst"
    [[ -n $mode ]] && printf '\t%s\r\n' "$mode"
    printf '/ZEITPLAN=0x%X,1\r\n' "$word"
  } > "$WORK/job.kpw"
  ROW=(env -u DISPLAY "$PROGRAM" "$WORK/job.kpw" -S -A -N)
}
run_row() { prepare_row "$@"; "${ROW[@]}"; }

echo "Making the trees in $WORK ..."
make_main_tree "$WORK/src"
sync

fresh() { rm -rf "$WORK/dst"; sync; }
check_same() {
  diff -r "$WORK/src" "$WORK/dst" >/dev/null || { echo "the copy differs from the source ($1)"; exit 1; }
}

# Warm cache: every reader has read the source once.
cp -a "$WORK/src" "$WORK/warm" && rm -rf "$WORK/warm"

# (a) first copy.
ours=(); cps=(); rsyncs=()
for _ in $(seq $RUNS); do
  fresh; cps+=("$(timed cp -a "$WORK/src" "$WORK/dst")")
  fresh; rsyncs+=("$(timed rsync -a "$WORK/src/" "$WORK/dst/")")
  fresh; ours+=("$(timed run_row "" "$WORK/src" "$WORK/dst" 0)")
done
check_same "first copy"
fresh
prepare_row "" "$WORK/src" "$WORK/dst" 0
/usr/bin/time -v -o "$WORK/time.txt" "${ROW[@]}" >/dev/null 2>&1 || true
peak=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$WORK/time.txt")
ma=$(median "${ours[@]}"); mc=$(median "${cps[@]}"); mr=$(median "${rsyncs[@]}")
printf '(a) first copy        Copy row %7.3f s   cp -a %7.3f s   rsync -a %7.3f s   vs cp %.2fx   vs rsync %.2fx   peak %s KiB\n' \
  "$ma" "$mc" "$mr" "$(echo "$ma / $mc" | bc -l)" "$(echo "$ma / $mr" | bc -l)" "$peak"

# (b) nothing changed: the target from (a) stays.
check_same "before the second run"
ours=(); rsyncs=()
for _ in $(seq $RUNS); do
  rsyncs+=("$(timed rsync -a "$WORK/src/" "$WORK/dst/")")
  ours+=("$(timed run_row "" "$WORK/src" "$WORK/dst" 0x8000)")
done
check_same "second run"
mb=$(median "${ours[@]}"); mr=$(median "${rsyncs[@]}")
printf '(b) nothing changed   Copy row %7.3f s   rsync -a %7.3f s   vs rsync %.2fx\n' "$mb" "$mr" "$(echo "$mb / $mr" | bc -l)"

# (c) 1,000 source files deleted: the full mirror is put back by hard links before each run.
mv "$WORK/dst" "$WORK/mirror"
python3 - "$WORK/src" <<'PY'
import os, sys, random
root = sys.argv[1]
files = sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs if f.endswith(".dat"))
for path in random.Random(3).sample(files, 1000):
    os.remove(path)
PY
ours=(); rsyncs=()
for _ in $(seq $RUNS); do
  fresh; cp -al "$WORK/mirror" "$WORK/dst"; sync
  rsyncs+=("$(timed rsync -a --delete "$WORK/src/" "$WORK/dst/")")
  fresh; cp -al "$WORK/mirror" "$WORK/dst"; sync
  ours+=("$(timed run_row /COPY_DEL "$WORK/src" "$WORK/dst" 0x8000)")
done
check_same "Copy Del"
mc=$(median "${ours[@]}"); mr=$(median "${rsyncs[@]}")
printf '(c) 1,000 deleted     Copy Del %7.3f s   rsync -a --delete %7.3f s   vs rsync %.2fx\n' \
  "$mc" "$mr" "$(echo "$mc / $mr" | bc -l)"

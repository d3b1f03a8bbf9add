#!/usr/bin/env bash
# Large job lists: open, save and clear a job file of 100,000 rows through the document and the
# job list (bench/list_bench.cpp), and run 10,000 rows whose sources are missing through
# "kopiwart FILE -S -A -N" (every row fails; exit status 1 expected). Medians of 5 runs.
# Usage: bench/list_bench.sh [work folder]   (default /tmp/kpw-list-bench; needs about 60 MiB)
# LIST_ROWS and RUN_ROWS change the row counts.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/kpw-list-bench}
BUILD=${KPW_BENCH_BUILD:-$ROOT/build-list-bench}
RUNS=5
LIST_ROWS=${LIST_ROWS:-100000}
RUN_ROWS=${RUN_ROWS:-10000}
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

for tool in bc python3; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)"; exit 1; }
done

bench_prepare kpw_list_bench
[[ -x $PROGRAM ]] || { echo "the program was not built: $PROGRAM"; exit 1; }

# make_jobs FILE ROWS KIND: a job file in the writer's own form, Windows-1252 (its umlauts make it
# no UTF-8). KIND "list": seven modes, filters on every other row; "missing": "Copy" rows whose
# sources do not exist.
make_jobs() {
  python3 - "$WORK" "$@" <<'PY'
import sys
work, path, rows, kind = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
modes = ["", "/COPY_DEL", "/ZIP", "/SYNCH", "/MOVE", "/UPDATE", "/DEL"]
out = []
for i in range(rows):
    out.append("[EINTRAG]")
    if kind == "missing":
        out += ["\tQ:%s/fehlt/Bücher %05d" % (work, i), "\tZ:%s/ziel/%05d" % (work, i), "\t/UNTER"]
        continue
    mode = modes[i % len(modes)]
    out.append("\tQ:%s/quelle/Bücher/%06d" % (work, i))
    if mode != "/DEL":
        out.append("\tZ:%s/ziel/Größe %06d%s" % (work, i, ".zip" if mode == "/ZIP" else ""))
    if i % 2:
        out += ["\tP:*.txt;*.odt", "\tM:*.tmp;~*"]
    if i % 3:
        out.append("\t/UNTER")
    if mode:
        out.append("\t" + mode)
out.append("/ZEITPLAN=0x0,1")
with open(path, "wb") as f:
    f.write(("\r\n".join(out) + "\r\n").encode("cp1252"))
PY
}

echo "Making the job files in $WORK ..."
make_jobs "$WORK/list.kpw" "$LIST_ROWS" list
make_jobs "$WORK/missing.kpw" "$RUN_ROWS" missing

# Open, save, clear.
opens=(); saves=(); clears=()
field() { awk -v key="$1" -v n="$2" '$1 == key {print $n}' "$WORK/out.txt"; }
for _ in $(seq $RUNS); do
  "$DRIVER" "$WORK/list.kpw" "$WORK/saved.kpw" > "$WORK/out.txt"
  [[ $(field open 3) == "$LIST_ROWS" ]] || { echo "opened $(field open 3) rows instead of $LIST_ROWS"; exit 1; }
  [[ $(field clear 3) == 0 ]] || { echo "$(field clear 3) rows left after clearing"; exit 1; }
  cmp -s "$WORK/list.kpw" "$WORK/saved.kpw" || { echo "the saved job file differs from the opened one"; exit 1; }
  opens+=("$(field open 2)")
  saves+=("$(field save 2)")
  clears+=("$(field clear 2)")
done
printf 'open  %d rows   %7.3f s   (goal < 1 s)\n' "$LIST_ROWS" "$(median "${opens[@]}")"
printf 'save  %d rows   %7.3f s   (goal < 1 s; the saved file equals the opened one)\n' "$LIST_ROWS" "$(median "${saves[@]}")"
printf 'clear %d rows   %7.3f s\n' "$LIST_ROWS" "$(median "${clears[@]}")"

# A run whose rows all fail: the job file is copied afresh, as the run stores its last-run time.
runs=()
for _ in $(seq $RUNS); do
  cp "$WORK/missing.kpw" "$WORK/run.kpw"
  start=$(date +%s.%N)
  rc=0
  env -u DISPLAY "$PROGRAM" "$WORK/run.kpw" -S -A -N >/dev/null 2>"$WORK/run.err" || rc=$?
  end=$(date +%s.%N)
  ((rc == 1)) || { echo "the run ended with status $rc instead of 1"; tail -3 "$WORK/run.err"; exit 1; }
  [[ ! -e $WORK/ziel ]] || { echo "a failed row wrote its target"; exit 1; }
  runs+=("$(echo "$end - $start" | bc -l)")
done
printf 'run   %d rows, sources missing   %7.3f s   (goal < 2 s)\n' "$RUN_ROWS" "$(median "${runs[@]}")"

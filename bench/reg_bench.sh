#!/usr/bin/env bash
# Registry store benchmark: a store that holds a value of 100 MiB (imported by a "Reg" row from a
# .reg file as regedit writes it), then a one-file "Copy" row run by "kopiwart FILE -S -A -N";
# wall time and peak memory, medians of 5 runs:
#   (a) a start that records its job file first among the recent files (one write of the store);
#   (b) a start whose job file stands first already (the store is not written).
# Usage: bench/reg_bench.sh [work folder] [value in MiB]   (default /tmp/kpw-reg-bench, 100;
#        needs about 1 GiB)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/kpw-reg-bench}
MIB=${2:-100}
BUILD=${KPW_BENCH_BUILD:-$ROOT/build-reg-bench}
RUNS=5

for tool in bc python3; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)"; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time is missing (package \"time\")"; exit 1; }

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKPW_TESTS=OFF -DKPW_GUI=OFF >/dev/null
cmake --build "$BUILD" --target kopiwart >/dev/null
PROGRAM=$BUILD/app/kopiwart
rm -rf "$WORK"
mkdir -p "$WORK/src" "$WORK/config"
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME=$WORK/config
echo eins > "$WORK/src/a.txt"

# job FILE MODE SOURCE [TARGET]: a job file of one row.
job() {
  {
    printf '[EINTRAG]\r\n\tQ:%s\r\n' "$3"
    [[ -n ${4:-} ]] && printf '\tZ:%s\r\n' "$4"
    [[ -n $2 ]] && printf '\t%s\r\n' "$2"
    printf '/ZEITPLAN=0x0,1\r\n'
  } > "$1"
}
# measure JOBFILE: "seconds kib" of one unattended run.
measure() {
  /usr/bin/time -f '%e %M' -o "$WORK/time" env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    "$PROGRAM" "$1" -S -A -N >/dev/null 2>&1 </dev/null || { echo "failed: $1" >&2; exit 1; }
  cat "$WORK/time"
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

echo "Importing a value of $MIB MiB ..."
python3 - "$WORK/big.reg" "$MIB" <<'PY'
import os, sys
path, mib = sys.argv[1], int(sys.argv[2])
# One random MiB, written as regedit does (25 bytes a line), repeated.
text = os.urandom(1 << 20).hex(",")
piece = ",\\\r\n  ".join(text[i:i + 74] for i in range(0, len(text), 75))
with open(path, "w", newline="") as out:
    out.write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Bench]\r\n\"Gross\"=hex:")
    for i in range(mib):
        out.write((",\\\r\n  " if i else "") + piece)
    out.write("\r\n\r\n")
PY
job "$WORK/import.kpw" /REG "$WORK/big.reg"
read -r secs kib < <(measure "$WORK/import.kpw")
store=$XDG_CONFIG_HOME/Tavrin/registry.reg
echo "import: $secs s, $((kib / 1024)) MiB; store: $(($(stat -c %s "$store") >> 20)) MiB"

# (a) two job files taking turns: each start puts its own first.
job "$WORK/a.kpw" "" "$WORK/src" "$WORK/dst-a"
job "$WORK/b.kpw" "" "$WORK/src" "$WORK/dst-b"
times_a=(); mem_a=()
for i in $(seq $RUNS); do
  for f in a b; do
    read -r secs kib < <(measure "$WORK/$f.kpw")
    times_a+=("$secs"); mem_a+=("$kib")
  done
done
# (b) the same job file again and again.
before=$(stat -c '%i %Y' "$store")
times_b=(); mem_b=()
for i in $(seq $RUNS); do
  read -r secs kib < <(measure "$WORK/b.kpw")
  times_b+=("$secs"); mem_b+=("$kib")
done
[[ $(stat -c '%i %Y' "$store") == "$before" ]] || echo "the store was written by a start that changed nothing" >&2
cmp -s "$WORK/src/a.txt" "$WORK/dst-b/a.txt" || { echo "the copy differs"; exit 1; }

printf '%-52s %8s %10s\n' "case" "seconds" "peak MiB"
printf '%-52s %8s %10s\n' "(a) start with a new first recent file (one write)" "$(median "${times_a[@]}")" \
  "$(($(median "${mem_a[@]}") / 1024))"
printf '%-52s %8s %10s\n' "(b) start with the same first recent file (no write)" "$(median "${times_b[@]}")" \
  "$(($(median "${mem_b[@]}") / 1024))"

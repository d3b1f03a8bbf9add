#!/usr/bin/env bash
# Zip benchmark: packing a tree through CZipFile against "zip -r -9" on one core and on four, and
# unpacking against "unzip", medians of 5 runs, warm cache, one file system.
#   tree "main": the main-job benchmark's tree (20,000 files of 1-64 KiB in 200 folders, 4 files
#                of 256 MiB; random bytes, so nothing shrinks);
#   tree "text": 5,000 text files of 1-64 KiB and one text file of 64 MiB (deflate has work to do).
# Packing on one core runs both under "taskset -c 0"; on four cores ours runs under "taskset -c 0-3"
# (zip uses one core either way). Unpacking runs both on one core. Where "kopiwart -S -A -N" runs
# "Zip" rows, a Zip row is timed too (four cores).
# Usage: bench/zip_bench.sh [work folder] [tree...]   (default /tmp/kpw-zip-bench main text; needs about 8 GiB)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/tmp/kpw-zip-bench}
shift || true
TREES=("$@")
((${#TREES[@]})) || TREES=(main text)
BUILD=${KPW_BENCH_BUILD:-$ROOT/build-zip-bench}
RUNS=${KPW_BENCH_RUNS:-5}
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"
BENCH_STOP_ON_FAILURE=1

for tool in zip unzip taskset bc python3; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)"; exit 1; }
done
(( $(nproc) >= 4 )) || echo "Note: fewer than 4 cores ($(nproc)); the four-core figures use what there is."

bench_prepare kpw_zip_bench

# Whether the program runs Zip rows.
mkdir -p "$WORK/probe/src" && echo probe > "$WORK/probe/src/p.txt"
printf '[EINTRAG]\r\n\tQ:%s\r\n\tZ:%s\r\n\t/UNTER\r\n\t/ZIP\r\n/ZEITPLAN=0x0,1\r\n' "$WORK/probe/src" "$WORK/probe/p.zip" > "$WORK/probe/p.kpw"
USE_PROGRAM=0
if [[ -x $PROGRAM ]] && env -u DISPLAY "$PROGRAM" "$WORK/probe/p.kpw" -S -A -N >/dev/null 2>&1 &&
   unzip -tq "$WORK/probe/p.zip" >/dev/null 2>&1; then
  USE_PROGRAM=1
  echo "Zip rows also run through: $PROGRAM -S -A -N"
else
  echo "The program does not run Zip rows yet: only the driver $DRIVER (CZipFile) is timed."
fi
rm -rf "$WORK/probe"

make_tree() {  # name folder
  if [[ $1 == main ]]; then
    make_main_tree "$2"
    return
  fi
  python3 - "$2" <<'PY'
import os, sys, random
root = sys.argv[1]
rnd = random.Random(7)
words = [w.encode() for w in ("Archiv Sicherung Datei Ordner kopieren zip 2024 Zeile Wert Eintrag "
         "alpha beta gamma delta 0x1F 17 4711 Kopiwart Job Quelle Ziel").split()]
def text(size):
    parts, n = [], 0
    while n < size:
        line = b" ".join(rnd.choice(words) for _ in range(rnd.randint(3, 12))) + b" %d\n" % rnd.randint(0, 99999)
        parts.append(line)
        n += len(line)
    return b"".join(parts)[:size]
for d in range(50):
    folder = os.path.join(root, "docs%02d" % d)
    os.makedirs(folder)
    for f in range(100):
        with open(os.path.join(folder, "note%03d.txt" % f), "wb") as out:
            out.write(text(rnd.randint(1 << 10, 64 << 10)))
with open(os.path.join(root, "log.txt"), "wb") as out:
    for _ in range(64):
        out.write(text(1 << 20))
PY
}

ratio() { echo "$1 / $2" | bc -l; }

for tree in "${TREES[@]}"; do
  SRC=$WORK/$tree
  echo "Making tree \"$tree\" in $SRC ..."
  make_tree "$tree" "$SRC"
  sync
  size=$(du -sm "$SRC" | cut -f1)
  tar -cf - -C "$SRC" . > /dev/null  # warm cache

  zips=(); one=(); four=(); rows=()
  for _ in $(seq "$RUNS"); do
    rm -f "$WORK/zip.zip"; sync
    zips+=("$(cd "$SRC" && timed taskset -c 0 zip -q -r -9 "$WORK/zip.zip" .)")
    rm -f "$WORK/one.zip"; sync
    one+=("$(timed taskset -c 0 "$DRIVER" pack "$WORK/one.zip" "$SRC")")
    rm -f "$WORK/four.zip"; sync
    four+=("$(timed taskset -c 0-3 "$DRIVER" pack "$WORK/four.zip" "$SRC")")
    if ((USE_PROGRAM)); then
      rm -f "$WORK/row.zip"
      printf '[EINTRAG]\r\n\tQ:%s\r\n\tZ:%s\r\n\t/UNTER\r\n\t/ZIP\r\n/ZEITPLAN=0x0,1\r\n' "$SRC" "$WORK/row.zip" > "$WORK/job.kpw"
      sync
      rows+=("$(timed taskset -c 0-3 env -u DISPLAY "$PROGRAM" "$WORK/job.kpw" -S -A -N)")
    fi
  done
  cmp -s "$WORK/one.zip" "$WORK/four.zip" || { echo "one-core and four-core archives differ"; exit 1; }
  unzip -tq "$WORK/four.zip" >/dev/null || { echo "unzip -t rejects our archive"; exit 1; }

  mz=$(median "${zips[@]}"); m1=$(median "${one[@]}"); m4=$(median "${four[@]}")
  zs=$(du -m "$WORK/zip.zip" | cut -f1); os=$(du -m "$WORK/four.zip" | cut -f1)
  echo "tree \"$tree\": $size MiB; archives: zip -9 $zs MiB, ours $os MiB (one and four cores byte for byte the same)"
  printf '  pack, 1 core     CZipFile %7.2f s   zip -r -9 %7.2f s   zip/ours %.2fx\n' "$m1" "$mz" "$(ratio "$mz" "$m1")"
  printf '  pack, 4 cores    CZipFile %7.2f s   zip -r -9 %7.2f s   zip/ours %.2fx\n' "$m4" "$mz" "$(ratio "$mz" "$m4")"
  if ((USE_PROGRAM)); then
    mr=$(median "${rows[@]}")
    printf '  pack, 4 cores    Zip row  %7.2f s   zip -r -9 %7.2f s   zip/ours %.2fx\n' "$mr" "$mz" "$(ratio "$mz" "$mr")"
  fi

  # Unpack the same archive (zip's) with both, one core each.
  unz=(); ours=()
  for _ in $(seq "$RUNS"); do
    rm -rf "$WORK/out"; sync
    unz+=("$(timed taskset -c 0 unzip -q "$WORK/zip.zip" -d "$WORK/out")")
    rm -rf "$WORK/out"; sync
    ours+=("$(timed taskset -c 0 "$DRIVER" unpack "$WORK/zip.zip" "$WORK/out")")
  done
  diff -r "$SRC" "$WORK/out" >/dev/null || { echo "the unpacked tree differs from the source"; exit 1; }
  mu=$(median "${unz[@]}"); mo=$(median "${ours[@]}")
  printf '  unpack, 1 core   CZipFile %7.2f s   unzip     %7.2f s   unzip/ours %.2fx\n' "$mo" "$mu" "$(ratio "$mu" "$mo")"
  rm -rf "$WORK/out" "$WORK"/*.zip "$SRC"
done

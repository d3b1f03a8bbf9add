#!/usr/bin/env bash
# FAT benchmark: "Ftp" rows run by "kopiwart FILE -S -A -N" write a tree into a FAT32 image
# through disk:// and read it back, against mcopy -s on the same image; medians of 5 runs, warm
# cache. The tree: 10,000 files of 1-16 KiB in 100 folders and one file of 256 MiB; the same files
# once more all in one folder, beside the same large file. The image lies once on tmpfs and once on disk; the trees and the
# copies read back stay on tmpfs. The sync after each write is timed on its own: the row syncs the
# image when it lets it go, mcopy leaves that to the sync.
# Usage: bench/fat_bench.sh [tmpfs folder] [disk folder]
#        (defaults /dev/shm/kpw-fat-bench and /var/tmp/kpw-fat-bench; each needs about 1.5 GiB)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/dev/shm/kpw-fat-bench}
DISK=${2:-/var/tmp/kpw-fat-bench}
BUILD=${KPW_BENCH_BUILD:-$ROOT/build-fat-bench}
RUNS=${KPW_BENCH_RUNS:-5}
IMAGE_KIB=$((640 << 10))
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

for tool in mkfs.fat fsck.fat mcopy bc python3; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)"; exit 1; }
done

bench_prepare
[[ -x $PROGRAM ]] || { echo "$PROGRAM was not built"; exit 1; }
rm -rf "$DISK"
mkdir -p "$DISK"
trap 'rm -rf "$WORK" "$DISK"' EXIT
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

echo "Making the trees in $WORK ..."
python3 - "$WORK/spread/tree" "$WORK/flat/tree" <<'PY'
import os, sys, random
spread, flat = sys.argv[1], sys.argv[2]
rnd = random.Random(7)
pool = os.urandom(16 << 10)
os.makedirs(flat)
for d in range(100):
    folder = os.path.join(spread, "set%02d" % d)
    os.makedirs(folder)
    for f in range(100):
        size = rnd.randint(1 << 10, 16 << 10)
        data = bytes([d, f]) + pool[:size - 2]
        for path in (os.path.join(folder, "file%03d.dat" % f), os.path.join(flat, "f%02d_%03d.dat" % (d, f))):
            with open(path, "wb") as out:
                out.write(data)
block = os.urandom(1 << 20)
for root in (spread, flat):
    with open(os.path.join(root, "big.bin"), "wb") as out:
        for _ in range(256):
            out.write(block)
PY
# The image as mkfs.fat leaves it, copied for every write.
mkfs.fat -C -F 32 "$WORK/blank.img" $IMAGE_KIB >/dev/null

# The image's path escaped for the host of a disk:// URL.
url() { python3 -c 'import sys, urllib.parse; print("disk://" + urllib.parse.quote(sys.argv[1], safe=""))' "$1"; }
fresh_image() { cp "$WORK/blank.img" "$1"; sync; }
clean() {
  local out
  out=$(fsck.fat -n "$1" 2>&1) || { echo "fsck.fat finds faults in $1:"; echo "$out"; exit 1; }
  ! grep -q -e "would" -e "Free cluster summary wrong" -e "Dirty bit" <<<"$out" ||
    { echo "fsck.fat finds faults in $1:"; echo "$out"; exit 1; }
}

# bench_medium FOLDER NAME: all cases with the image in FOLDER.
bench_medium() {
  local dir=$1 name=$2 img=$1/fat.img
  local w=() ws=() r=() mw=() mws=() mr=() fw=() fws=() mfw=() mfws=()
  local back=$WORK/back
  for _ in $(seq "$RUNS"); do
    # Ours: the spread tree with the large file, written and read back.
    fresh_image "$img"
    w+=("$(timed row "$WORK/spread/tree" "$(url "$img")/tree")")
    ws+=("$(timed sync)")
    clean "$img"
    rm -rf "$back"; mkdir -p "$back"
    r+=("$(timed row "$(url "$img")/tree" "$back/tree")")
    same_tree "$WORK/spread/tree" "$back/tree"
    # mcopy on the same tree.
    fresh_image "$img"
    mw+=("$(timed mcopy -s -Q -i "$img" "$WORK/spread/tree" ::/)")
    mws+=("$(timed sync)")
    rm -rf "$back"; mkdir -p "$back"
    mr+=("$(timed mcopy -s -Q -n -i "$img" ::/tree "$back/")")
    same_tree "$WORK/spread/tree" "$back/tree"
    # The 10,000 files in one folder, written by both.
    fresh_image "$img"
    fw+=("$(timed row "$WORK/flat/tree" "$(url "$img")/tree")")
    fws+=("$(timed sync)")
    clean "$img"
    fresh_image "$img"
    mfw+=("$(timed mcopy -s -Q -i "$img" "$WORK/flat/tree" ::/)")
    mfws+=("$(timed sync)")
  done
  rm -f "$img"
  local a b c d e f g h i j
  a=$(median "${w[@]}"); b=$(median "${ws[@]}"); c=$(median "${mw[@]}"); d=$(median "${mws[@]}")
  e=$(median "${r[@]}"); f=$(median "${mr[@]}")
  g=$(median "${fw[@]}"); h=$(median "${fws[@]}"); i=$(median "${mfw[@]}"); j=$(median "${mfws[@]}")
  echo "image on $name ($dir):"
  printf '  write 10,000 files in 100 folders + 256 MiB  Ftp row %7.3f s + sync %6.3f s   mcopy -s %7.3f s + sync %6.3f s   ratio %.2f (with syncs %.2f)\n' \
    "$a" "$b" "$c" "$d" "$(echo "$a / $c" | bc -l)" "$(echo "($a + $b) / ($c + $d)" | bc -l)"
  printf '  read them back                               Ftp row %7.3f s              mcopy -s %7.3f s              ratio %.2f\n' \
    "$e" "$f" "$(echo "$e / $f" | bc -l)"
  printf '  write 10,000 files in one folder             Ftp row %7.3f s + sync %6.3f s   mcopy -s %7.3f s + sync %6.3f s   ratio %.2f\n' \
    "$g" "$h" "$i" "$j" "$(echo "$g / $i" | bc -l)"
  printf '  one folder / 100 folders (Ftp row, with syncs): %.2f\n' "$(echo "($g + $h) / ($a + $b)" | bc -l)"
}

bench_medium "$WORK" tmpfs
bench_medium "$DISK" disk

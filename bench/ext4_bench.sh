#!/usr/bin/env bash
# ext4 benchmark: the engine writes a tree into an ext4 image through the volume file API
# (bench/ext4_bench.cpp: attach, journalled writes, detach), against `debugfs -w` `write` on the same
# image, which neither journals nor syncs; medians of 5 runs, warm cache. The tree: 10,000 files of
# 1-16 KiB in 100 folders and one file of 256 MiB. The image lies once on tmpfs and once on disk;
# the tree stays on tmpfs. The `sync` after each write is timed on its own (the engine's own sync,
# when it lets the image go, is part of its time). The first run of each medium is checked:
# `e2fsck -fn` without a problem line, and `debugfs rdump` gives back the tree.
# Usage: bench/ext4_bench.sh [tmpfs folder] [disk folder]
#        (defaults /dev/shm/kpw-ext4-bench and /var/tmp/kpw-ext4-bench; each needs about 1 GiB)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/dev/shm/kpw-ext4-bench}
DISK=${2:-/var/tmp/kpw-ext4-bench}
BUILD=${KPW_BENCH_BUILD:-$ROOT/build-ext4-bench}
RUNS=${KPW_BENCH_RUNS:-5}
# shellcheck source=bench/lib.sh
source "$ROOT/bench/lib.sh"

for tool in mke2fs e2fsck debugfs bc python3; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)"; exit 1; }
done

# The driver alone (Release, no tests); the program is not needed here.
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKPW_BENCH=ON -DKPW_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target kpw_ext4_bench >/dev/null
DRIVER=$BUILD/bench/kpw_ext4_bench
rm -rf "$WORK" "$DISK"
mkdir -p "$WORK" "$DISK"
trap 'rm -rf "$WORK" "$DISK"' EXIT

echo "Making the tree in $WORK ..."
make_small_files "$WORK/tree" 100
# One file of 256 MiB: a random MiB, repeated.
head -c $((1 << 20)) /dev/urandom > "$WORK/block"
for _ in $(seq 256); do cat "$WORK/block"; done > "$WORK/tree/big.bin"
rm "$WORK/block"
# The debugfs script writing the same tree: folders made, each filled from inside.
python3 - "$WORK/tree" > "$WORK/debugfs.script" <<'PY'
import os, sys
root = sys.argv[1]
print("mkdir /tree")
for d in sorted(os.listdir(root)):
    path = os.path.join(root, d)
    if os.path.isdir(path):
        print("mkdir /tree/%s" % d)
        print("cd /tree/%s" % d)
        for f in sorted(os.listdir(path)):
            print("write %s %s" % (os.path.join(path, f), f))
print("cd /tree")
for f in sorted(os.listdir(root)):
    if not os.path.isdir(os.path.join(root, f)):
        print("write %s %s" % (os.path.join(root, f), f))
PY
mke2fs -q -F -t ext4 "$WORK/blank.img" 640M

fresh_image() { cp "$WORK/blank.img" "$1"; sync; }
# Problem lines of e2fsck -fn (none on a clean image), and the tree read back by debugfs.
check() {  # image who
  local out
  out=$(e2fsck -fn "$1" 2>&1 | grep -v -e '^Pass ' -e '^e2fsck ' -e ' files (' -e '^$' || true)
  [[ -z $out ]] || { echo "e2fsck finds faults after $2:"; echo "$out"; exit 1; }
  rm -rf "$WORK/back"
  mkdir -p "$WORK/back"
  debugfs -R "rdump /tree $WORK/back" "$1" >/dev/null 2>&1
  diff -r "$WORK/tree" "$WORK/back/tree" >&2 || { echo "the tree read back after $2 differs"; exit 1; }
  rm -rf "$WORK/back"
}
ours() { "$DRIVER" "$1" "$WORK/tree" /tree; }

bench_medium() {  # folder name
  local img=$1/ext4.img w=() ws=() d=() ds=()
  for run in $(seq "$RUNS"); do
    fresh_image "$img"
    w+=("$(timed ours "$img")")
    ws+=("$(timed sync)")
    ((run > 1)) || check "$img" "the engine"
    fresh_image "$img"
    d+=("$(timed debugfs -w -f "$WORK/debugfs.script" "$img")")
    ds+=("$(timed sync)")
    ((run > 1)) || check "$img" "debugfs"
  done
  rm -f "$img"
  local a b c e
  a=$(median "${w[@]}"); b=$(median "${ws[@]}"); c=$(median "${d[@]}"); e=$(median "${ds[@]}")
  echo "image on $2 ($1):"
  printf '  write 10,000 files in 100 folders + 256 MiB  engine %7.3f s + sync %6.3f s   debugfs %7.3f s + sync %6.3f s   ratio %.2f (with syncs %.2f)\n' \
    "$a" "$b" "$c" "$e" "$(echo "$a / $c" | bc -l)" "$(echo "($a + $b) / ($c + $e)" | bc -l)"
}

BENCH_STOP_ON_FAILURE=1
bench_medium "$WORK" tmpfs
bench_medium "$DISK" disk

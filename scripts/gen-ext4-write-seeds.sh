#!/usr/bin/env bash
# Makes the seed images of the ext4 writing fuzz target with mke2fs into tests/fuzz/data: small
# volumes of 1 KiB blocks with files, a hashed folder, a block-mapped ext2 tree and a journal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/tests/fuzz/data
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export E2FSPROGS_FAKE_TIME=1700000000 MKE2FS_DEVICE_SECTSIZE=512

tree=$tmp/tree
mkdir -p "$tree/ordner/tief" "$tree/leer"
printf 'kopiwart\n' >"$tree/klein.txt"
head -c 20000 /dev/zero | tr '\0' 'a' >"$tree/ordner/mittel.bin"
head -c 3000 /dev/zero | tr '\0' 'b' >"$tree/ordner/tief/c.txt"
truncate -s 70000 "$tree/loch.bin"
printf 'x' | dd of="$tree/loch.bin" bs=1 seek=50000 conv=notrunc status=none
ln -s ordner/mittel.bin "$tree/verweis"

hashed=$tmp/hashed
mkdir -p "$hashed/viele"
for i in $(seq 1 150); do printf '%s' "$i" >"$hashed/viele/datei-mit-langem-namen-$i.txt"; done
printf 'eins' >"$hashed/eins.txt"

make() {  # name, size, source, mke2fs options...
  local img=$out/$1 size=$2 src=$3
  shift 3
  rm -f "$img"
  mke2fs -q -F -b 1024 -N 256 -U 0f0e0d0c-0b0a-0908-0706-050403020100 -E hash_seed=01020304-0506-0708-090a-0b0c0d0e0f10 \
    -d "$src" "$@" "$img" "$size" >/dev/null
}
make ext4w_files.img 256k "$tree" -t ext4 -O ^has_journal
make ext4w_nocsum.img 256k "$tree" -t ext4 -O ^has_journal,^metadata_csum
make ext4w_ext2.img 256k "$tree" -t ext2
make ext4w_hashed.img 512k "$hashed" -t ext4 -O ^has_journal,^metadata_csum
e2fsck -fyD "$out/ext4w_hashed.img" >/dev/null 2>&1 || true
make ext4w_journal.img 2m "$tree" -t ext4

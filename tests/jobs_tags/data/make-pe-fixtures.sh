#!/usr/bin/env bash
# Builds the small Windows programs whose version the version-tag tests read, from our own
# resource script, with the mingw-w64 resource compiler and linker (Debian packages
# binutils-mingw-w64-x86-64, binutils-mingw-w64-i686, gcc-mingw-w64-x86-64, gcc-mingw-w64-i686).
# The results are committed beside this script, so the tests need no mingw.
# Usage: tests/jobs_tags/data/make-pe-fixtures.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/f.c" <<'C'
int kpw_fixture(void) { return 42; }
C

# version_rc MAJOR MINOR THIRD FOURTH
version_rc() {
  cat <<RC
1 VERSIONINFO
FILEVERSION $1,$2,$3,$4
PRODUCTVERSION 9,8,7,6
FILEFLAGSMASK 0x3f
FILEOS 0x40004
FILETYPE 0x2
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040704b0"
    BEGIN
      VALUE "CompanyName", "Kopiwart test fixture"
      VALUE "FileVersion", "$1.$2.$3.$4"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x407, 1200
  END
END
RC
}

# build ARCH NAME EXT [rc file]: a DLL (EXT dll) or a console-less program (EXT exe).
build() {
  local arch=$1 name=$2 ext=$3 rc=${4:-}
  local objs=("$work/f-$arch.o")
  "$arch-w64-mingw32-gcc" -c -O2 -o "$work/f-$arch.o" "$work/f.c"
  if [[ -n $rc ]]; then
    "$arch-w64-mingw32-windres" -i "$rc" -o "$work/$name.res.o"
    objs+=("$work/$name.res.o")
  fi
  local kind=(--dll)
  [[ $ext == exe ]] && kind=(--subsystem windows)
  "$arch-w64-mingw32-ld" "${kind[@]}" -e 0 -s --no-insert-timestamp --file-alignment 512 -o "$here/$name.$ext" "${objs[@]}"
}

for arch in i686 x86_64; do
  bits=32; [[ $arch == x86_64 ]] && bits=64
  for v in "1 2 0 0" "1 2 3 0" "1 2 3 4" "10 7 300 65535"; do
    read -r a b c d <<<"$v"
    version_rc "$a" "$b" "$c" "$d" > "$work/v.rc"
    build "$arch" "v$a.$b.$c.$d-pe$bits" dll "$work/v.rc"
  done
  # A program (.exe) and one without any resources.
  version_rc 3 14 15 9 > "$work/v.rc"
  build "$arch" "prog-pe$bits" exe "$work/v.rc"
  build "$arch" "nores-pe$bits" dll
done
chmod 644 "$here"/*.dll "$here"/*.exe
ls -l "$here"/*.dll "$here"/*.exe

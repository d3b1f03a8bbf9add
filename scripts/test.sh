#!/usr/bin/env bash
# Builds and runs every test: the normal build, an ASan + UBSan build, a short run of each fuzz
# target, and a TSan build of the threaded tests.
# Usage: scripts/test.sh [normal|asan|fuzz|tsan]... (default: all four)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variants=("$@")
((${#variants[@]})) || variants=(normal asan fuzz tsan)
jobs=$(nproc)

run_ctest() {  # build-dir [ctest args...]
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 "$@")
}

for v in "${variants[@]}"; do
  echo "=== $v ==="
  case $v in
    normal)
      "$root/scripts/setup.sh" "$root/build"
      run_ctest "$root/build" ;;
    asan)
      "$root/scripts/setup.sh" "$root/build-asan" -DKPW_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest "$root/build-asan" ;;
    fuzz)
      "$root/scripts/fuzz.sh" "${KPW_FUZZ_SECONDS:-20}" ;;
    tsan)
      "$root/scripts/setup.sh" "$root/build-tsan" -DKPW_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest "$root/build-tsan" -L threaded ;;
    *) echo "unbekannte Variante: $v" >&2; exit 2 ;;
  esac
done

#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan and UBSan, coverage on the libraries)
# and runs each for a number of seconds on a corpus seeded from tests/fuzz/<target>.seeds, as many at
# once as there are processors.
# Exits non-zero when a target fails to build or finds a crash (its input is kept under
# build-fuzz/artifacts/). Usage: scripts/fuzz.sh [seconds per target, default 30] [target...]
# scripts/fuzz.sh --build [target...] only builds them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
build=$root/build-fuzz

targets=("$@")
if ((${#targets[@]} == 0)); then
  for src in "$root"/tests/fuzz/*_fuzz.cpp; do
    [[ -e $src ]] && targets+=("$(basename "$src" .cpp)")
  done
fi
if ((${#targets[@]} == 0)); then
  echo "Keine Fuzz-Ziele gefunden." >&2
  exit 1
fi

cmake -S "$root" -B "$build" -G Ninja -DKPW_FUZZ=ON -DKPW_GUI=OFF -DKPW_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" --target "${targets[@]}"
[[ $seconds == --build ]] && exit 0

mkdir -p "$build/artifacts" "$build/logs"
rm -f "$build"/logs/*.failed
fuzz_one() {  # target: seeds its corpus, runs it, prints its log when it is done
  local t=$1 corpus=$build/corpus/$1 log=$build/logs/$1.log
  mkdir -p "$corpus"
  if [[ -f $root/tests/fuzz/$t.seeds ]]; then
    while read -r pattern; do
      [[ -z $pattern || $pattern == \#* ]] && continue
      for f in $root/$pattern; do
        [[ -f $f ]] && cp -f "$f" "$corpus/"
      done
    done < "$root/tests/fuzz/$t.seeds"
  fi
  local rc=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 "$corpus" >"$log" 2>&1 || rc=$?
  echo "=== $t: ${seconds}s ==="
  cat "$log"
  if ((rc)); then
    echo "$t: Fehler gefunden (siehe $build/artifacts/)" >&2
    return 1
  fi
}

# One target per processor at a time: each still gets a processor for its full time.
for t in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= $(nproc))); do
    wait -n || true
  done
  (fuzz_one "$t" || touch "$build/logs/$t.failed") &
done
wait
if compgen -G "$build/logs/*.failed" >/dev/null; then
  exit 1
fi

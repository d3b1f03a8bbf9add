#!/usr/bin/env bash
# The full crash sweep of ext4 writing: every crash scenario of the test program test_ext4crash cut
# after every one of its writes (not only the sample the tests run), each cut replayed by e2fsck and
# by the engine and checked. Scenarios run side by side; a summary line per scenario and the totals.
# Usage: bench/ext4_crash_sweep.sh [build folder] [parallel scenarios]
#        (defaults: build, 4; the build folder is configured when it has no build yet)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
JOBS=${2:-4}
[[ -f $BUILD/build.ninja ]] || cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target test_ext4crash >/dev/null
PROGRAM=$BUILD/tests/ext4crash/test_ext4crash
OUT=$(mktemp -d /tmp/kpw-crash-sweep-XXXXXX)
trap 'rm -rf "$OUT"' EXIT

# The scenarios: every case of the suite that cuts.
mapfile -t cases < <("$PROGRAM" --gtest_list_tests --gtest_filter='Ext4Crash.*' |
  awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}')
start=$SECONDS
printf '%s\n' "${cases[@]}" |
  KPW_CRASH_SWEEP=1 xargs -P "$JOBS" -I{} sh -c '"$1" --gtest_filter="$2" > "$3/$2.log" 2>&1; echo $? > "$3/$2.rc"' \
    sh "$PROGRAM" {} "$OUT"

failed=0
for c in "${cases[@]}"; do
  rc=$(cat "$OUT/$c.rc")
  grep -h '^\[crash\]' "$OUT/$c.log" || true
  if grep -q '^\[  SKIPPED \]' "$OUT/$c.log"; then
    echo "$c: skipped: $(grep -m1 -A1 'Skipped$' "$OUT/$c.log" | tail -1)"
  elif [[ $rc != 0 ]]; then
    failed=$((failed + 1))
    echo "$c: FAILED; the first cuts that failed:"
    sed -n '/cuts failed; the first:/,/^\[  FAILED/p' "$OUT/$c.log" | head -60 || true
  fi
done
awk '/^\[crash\]/ {for (i = 1; i <= NF; i++) {if ($(i+1) == "cuts") cuts += $i; if ($(i+1) == "failed") bad += $i}}
     END {printf "total: %d cuts checked, %d failed\n", cuts, bad}' "$OUT"/*.log
echo "scenarios failed: $failed of ${#cases[@]}; $((SECONDS - start)) s"
((failed == 0))

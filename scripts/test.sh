#!/usr/bin/env bash
# Builds and runs every test: the normal build (with the benchmark drivers, the check that no file
# includes a header of a target its own does not link, and the bundled example), an ASan + UBSan
# build, a short run of each fuzz target, and a TSan build of the threaded tests without the window
# (which also checks the program without a window). Each variant builds only what it runs; the
# times of each step are summed up at the end.
# Usage: scripts/test.sh [normal|asan|fuzz|tsan]... (default: all four)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
variants=("$@")
((${#variants[@]})) || variants=(normal asan fuzz tsan)
for v in "${variants[@]}"; do
  [[ $v =~ ^(normal|asan|fuzz|tsan)$ ]] || { echo "unbekannte Variante: $v" >&2; exit 2; }
done
jobs=$(nproc)

times=()
step() {  # name command...
  local name=$1 start=$SECONDS
  shift
  "$@"
  times+=("$(printf '%-12s %4d s' "$name" $((SECONDS - start)))")
}
summary() {
  if ((${#times[@]})); then
    printf 'Zeiten:\n'
    printf '  %s\n' "${times[@]}"
  fi
}
trap summary EXIT

# The test builds carry line tables only (-g1): enough for the sanitizers' reports and a backtrace,
# and a quarter cheaper to compile than full debug information. TSan builds at -O1: at -O0 its
# packing tests run longer than the optimiser costs to build.
flags() {  # build-type compiler-flags: the cmake arguments that set both
  local type=$1 f=$2
  printf '%s\n' "-DCMAKE_BUILD_TYPE=$type" "-DCMAKE_C_FLAGS_${type^^}=$f" "-DCMAKE_CXX_FLAGS_${type^^}=$f"
}
mapfile -t normal_flags < <(flags RelWithDebInfo "-O2 -g1 -DNDEBUG")
mapfile -t asan_flags < <(flags Debug "-O0 -g1")
mapfile -t tsan_flags < <(flags Debug "-O1 -g1")

run_ctest() {  # build-dir [ctest args...]
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$jobs" --timeout 600 "$@")
}

# The README's first command: the bundled example runs and its copy equals the sample tree.
example() {
  rm -rf "$root/build/demo-output"
  "$root/scripts/run-example.sh" && diff -r "$root/examples/sample" "$root/build/demo-output"
}

# The program built without a window runs "-S -N" and refuses a start that needs the window,
# even where a display is there.
without_window() {  # program
  local out=$root/build-tsan/nogui-output status=0 text
  rm -rf "$out"
  KPW_DEMO_TARGET=$out "$1" "$root/examples/demo.kpw" -S -A -N
  diff -r "$root/examples/sample" "$out"
  text=$(QT_QPA_PLATFORM=offscreen "$1" "$root/examples/demo.kpw" 2>&1) || status=$?
  [[ $status == 2 && $text == *"kann hier nicht angezeigt werden"* ]] ||
    { echo "Start mit Fenster ohne Fenster: Status $status: $text" >&2; return 1; }
}

step packages "$root/scripts/setup.sh" --packages
for v in "${variants[@]}"; do
  echo "=== $v ==="
  case $v in
    normal)
      step "normal build" "$root/scripts/setup.sh" "$root/build" -DKPW_BENCH=ON "${normal_flags[@]}"
      step "includes" "$root/scripts/check-includes.py" "$root/build"
      step "normal test" run_ctest "$root/build"
      step "example" example ;;
    asan)
      step "asan build" "$root/scripts/setup.sh" "$root/build-asan" -DKPW_SANITIZE=address "${asan_flags[@]}"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        step "asan test" run_ctest "$root/build-asan" ;;
    fuzz)
      step "fuzz build" "$root/scripts/fuzz.sh" --build
      step "includes" "$root/scripts/check-includes.py" "$root/build-fuzz"
      step "fuzz run" "$root/scripts/fuzz.sh" "${KPW_FUZZ_SECONDS:-20}" ;;
    tsan)
      # Debian's Qt is not built for TSan: this is also the build without a window.
      step "tsan build" "$root/scripts/setup.sh" --target threaded_tests "$root/build-tsan" \
        -DKPW_SANITIZE=thread -DKPW_GUI=OFF "${tsan_flags[@]}"
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 step "tsan test" run_ctest "$root/build-tsan" -L threaded
      TSAN_OPTIONS=halt_on_error=1 step "no window" without_window "$root/build-tsan/app/kopiwart" ;;
  esac
done

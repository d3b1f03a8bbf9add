#!/usr/bin/env bash
# Line coverage of the code by the tests (a --coverage build, every ctest suite run once), and the
# size of the tests against the code: physical lines of the .cpp and .h files under tests/
# (support and fuzz included) against those of every other folder except bench/, in all and per
# area (a top-level code folder, each test folder counted for the code it tests).
# Usage: scripts/coverage.sh [ratio]   ("ratio" skips the build and prints the sizes only)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The area a test folder tests; folders not named here (support, fuzz) count in the total only.
area_of_test() {
  case $1 in
    text_* | compact_path) echo lib/text ;;
    system_*) echo lib/system ;;
    platform | gui_platform) echo platform ;;
    controls | gui_controls) echo controls ;;
    archive) echo archive ;;
    app | app_* | startup | runner | gui_app | gui_view | gui_startup | gui_frame | gui_dialogs) echo app ;;
    remote*) echo remote ;;
    disks | filesystem* | fat* | exfat* | ext4*) echo FileSystem ;;
    panes* | gui_panes) echo panes ;;
    support | fuzz) echo "" ;;
    *) echo jobs ;;
  esac
}

lines() { find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 2>/dev/null | xargs -0 -r cat | wc -l; }
# t as a percentage of c with one decimal: rounding down to whole percents would show 35.9 % as 35 %.
percent() { awk -v t="$1" -v c="$2" 'BEGIN { printf "%.1f", c ? 100 * t / c : 0 }'; }

code_folders=()
for d in platform lib/text lib/system controls jobs archive remote FileSystem panes app; do
  [[ -d $d ]] && code_folders+=("$d")
done

if [[ ${1:-} != ratio ]]; then
  command -v gcovr >/dev/null || { echo "gcovr fehlt (scripts/packages.txt)"; exit 1; }
  build=$root/build-coverage
  flags="--coverage -fprofile-update=atomic"
  # AUTO and -UQt6_DIR: the window is measured too, also where Qt came after the first configure.
  "$root/scripts/setup.sh" "$build" -DKPW_GUI=AUTO -UQt6_DIR -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
  find "$build" -name '*.gcda' -delete
  # Notes of objects the build no longer makes (a file moved or left a target) would count as
  # unexecuted code, or clash with the new notes of the same source.
  (cd "$build" && find . -name '*.gcno' -printf '%P\n' | sed 's/\.gcno$/.o/' | sort) >"$build/notes.txt"
  (cd "$build" && ninja -t targets all | sed -n 's/\.o: .*/.o/p' | sort) >"$build/objects.txt"
  comm -23 "$build/notes.txt" "$build/objects.txt" | sed 's/\.o$/.gcno/' |
    (cd "$build" && xargs -r rm -f)
  (cd "$build" && ctest -j "$(nproc)" --timeout 600 >/dev/null) || echo "Achtung: nicht alle Tests bestanden"
  filters=()
  for d in "${code_folders[@]}"; do filters+=(--filter "$root/$d/"); done
  gcovr -r "$root" "${filters[@]}" --json-summary "$build/coverage.json" "$build" >/dev/null
  python3 - "$build/coverage.json" "${code_folders[@]}" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
areas = sys.argv[2:]
sums = {a: [0, 0] for a in areas}
for f in data["files"]:
    name = f["filename"]
    for a in sorted(areas, key=len, reverse=True):
        if name.startswith(a + "/"):
            sums[a][0] += f["line_covered"]
            sums[a][1] += f["line_total"]
            break
print("Zeilenabdeckung")
for a in areas:
    c, t = sums[a]
    if t:
        print(f"  {a:<12} {100.0 * c / t:5.1f} %  ({c} von {t})")
print(f"  {'gesamt':<12} {data['line_percent']:5.1f} %  ({data['line_covered']} von {data['line_total']})")
PY
fi

echo "Tests gegen Code (Zeilen der .cpp- und .h-Dateien)"
declare -A test_lines=()
for t in tests/*/; do
  t=${t%/}
  a=$(area_of_test "${t#tests/}")
  [[ -n $a ]] && test_lines[$a]=$(( ${test_lines[$a]:-0} + $(lines "$t") ))
done
for d in "${code_folders[@]}"; do
  c=$(lines "$d")
  t=${test_lines[$d]:-0}
  printf '  %-12s %6d Tests / %6d Code = %5s %%\n' "$d" "$t" "$c" "$(percent "$t" "$c")"
done
all_tests=$(lines tests)
all_code=$(lines "${code_folders[@]}")
printf '  %-12s %6d Tests / %6d Code = %5s %%\n' gesamt "$all_tests" "$all_code" "$(percent "$all_tests" "$all_code")"

#!/usr/bin/env python3
# Writes the case map of names that Windows' file systems compare without regard to case (simple
# upper-case mappings of the Basic Multilingual Plane, from Python's Unicode database), or the code
# page 850 table of FAT short names.
# Usage: scripts/gen-upcase.py case > lib/text/upcase.cpp
#        scripts/gen-upcase.py cp850 > FileSystem/Fat/fat_cp850.cpp
import sys
import unicodedata

runs = []
for cp in range(0x10000):
    if 0xD800 <= cp < 0xE000:
        continue
    up = chr(cp).upper()
    if len(up) != 1 or ord(up) == cp or ord(up) > 0xFFFF:
        continue
    # A letter outside ASCII never becomes an ASCII one ("ı" stays apart from "i").
    if cp >= 0x80 and ord(up) < 0x80:
        continue
    d = ord(up) - cp
    if runs:
        s, c, dd, st = runs[-1]
        last = s + (c - 1) * st
        if dd == d and c == 1 and cp - last in (1, 2):
            runs[-1] = (s, 2, d, cp - last)
            continue
        if dd == d and c > 1 and cp - last == st:
            runs[-1] = (s, c + 1, d, st)
            continue
    runs.append((cp, 1, d, 1))

cp850 = bytes(range(128, 256)).decode("cp850")



def case_map():
    out = []
    out.append("// The case map of names compared without regard to case (made by scripts/gen-upcase.py).")
    out.append('#include "lib/text/upcase.h"')
    out.append("")
    out.append("#include <algorithm>")
    out.append("#include <iterator>")
    out.append("")
    out.append("namespace {")
    out.append("")
    out.append("// Runs of characters that map to their upper case by one offset: first, count, offset, step.")
    out.append("struct CaseRun {")
    out.append("  char16_t first;")
    out.append("  u16 count;")
    out.append("  i32 offset;")
    out.append("  u8 step;")
    out.append("};")
    out.append("")
    out.append("constexpr CaseRun kCaseRuns[] = {")
    line = "   "
    for s, c, d, st in runs:
        item = " {0x%04X, %d, %d, %d}," % (s, c, d, st)
        if len(line) + len(item) > 110:
            out.append(line)
            line = "   "
        line += item
    out.append(line)
    out.append("};")
    out.append("")
    out.append("}  // namespace")
    out.append("")
    out.append("char16_t EncUpcase(char16_t c) {")
    out.append("  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;")
    out.append("  const CaseRun* it = std::upper_bound(std::begin(kCaseRuns), std::end(kCaseRuns), c,")
    out.append("                                       [](char16_t ch, const CaseRun& r) { return ch < r.first; });")
    out.append("  if (it == std::begin(kCaseRuns)) return c;")
    out.append("  --it;")
    out.append("  const u32 distance = static_cast<u32>(c - it->first);")
    out.append("  if (distance % it->step != 0 || distance / it->step >= it->count) return c;")
    out.append("  return static_cast<char16_t>(static_cast<i32>(c) + it->offset);")
    out.append("}")
    return out


def cp850_table():
    out = []
    out.append("// The code page 850 table of FAT short names (made by scripts/gen-upcase.py).")
    out.append('#include "FileSystem/Fat/fat_names.h"')
    out.append("")
    out.append("namespace {")
    out.append("")
    out.append("// Code page 850, bytes 0x80-0xFF.")
    out.append("constexpr char16_t kCp850[128] = {")
    for i in range(0, 128, 8):
        out.append("    " + " ".join("0x%04X," % ord(ch) for ch in cp850[i:i + 8]))
    out.append("};")
    out.append("")
    out.append("}  // namespace")
    out.append("")
    out.append("char16_t FatCp850ToUnicode(u8 byte) { return byte < 0x80 ? byte : kCp850[byte - 0x80]; }")
    out.append("")
    out.append("int FatUnicodeToCp850(char16_t c) {")
    out.append("  if (c < 0x80) return c;")
    out.append("  for (int i = 0; i < 128; ++i)")
    out.append("    if (kCp850[i] == c) return 0x80 + i;")
    out.append("  return -1;")
    out.append("}")
    return out


what = sys.argv[1] if len(sys.argv) > 1 else ""
if what == "case":
    print("\n".join(case_map()))
elif what == "cp850":
    print("\n".join(cp850_table()))
else:
    sys.exit("Usage: gen-upcase.py case|cp850")

// The series of a "Shrink" row: its tag in the target, the names of its copies, their days.
#pragma once

#include "lib/system/sys_types.h"
#include "platform/win_types.h"

#include <string>
#include <string_view>
#include <vector>

// The target of a series, split at its tag ("#D#", "#d#" or "#1#" to "#5#").
struct ShrinkTarget {
  std::string path;    // the target, without a trailing separator
  std::string folder;  // the folder part, up to and with its last separator ("" = working folder)
  std::string before;  // the file-name text before the tag
  std::string after;   // the text after the tag
  char letter = 0;     // 'D', 'd', or '1' to '5'

  bool IsDate() const { return letter == 'D' || letter == 'd'; }
  int Digits() const { return IsDate() ? 0 : letter - '0'; }
  // The listing pattern of the series: folder + before + "*" + after.
  std::string Pattern() const { return folder + before + "*" + after; }
};

enum class ShrinkTagResult {
  Ok,
  NoTag,     // the first "#" starts no series tag
  InFolder,  // the tag lies in the folder part
};
// Finds the tag at the first "#" of the target.
ShrinkTagResult ShrinkFindTag(std::string_view target, ShrinkTarget& out);

// Day numbers count days since 1970-01-01 of a calendar date; the dates are local ones, the
// same days that the date tags write into names.
// The local day of a time; -1 for a time that is no use (0, or above 0xFFFF0000).
i64 ShrinkLocalDay(SysUtc t);
// The day of now (seconds since 1970), read through the date tag itself, so that it is the day
// the tag writes.
i64 ShrinkToday(i64 now);
// The text that the date tag letter ('D' or 'd') gives for a day, without the blank.
std::string ShrinkDateText(i64 day, char letter);

// Whether a name (the last component) is a copy of the series: before + exactly what the tag
// gives + after. A date tag's text is the date as the tag writes it (and the blank the tag puts
// after it there); a generation tag's text is exactly k digits. *day gets a date's day number,
// or -1 for a generation.
bool ShrinkMatchName(const ShrinkTarget& target, std::string_view name, i64* day);

struct ShrinkCopy {
  std::string path;
  i64 day = -1;  // -1: no usable date
  i64 age = -1;  // today - day; -1 without a day
};

// Lists the copies of the series in its folder: folders only, or files only. A folder that does
// not exist holds no copies. False (last error set) when the folder exists but cannot be read.
bool ShrinkListSeries(const ShrinkTarget& target, bool folders, i64 today, std::vector<ShrinkCopy>& out);

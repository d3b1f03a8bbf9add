// The series of a "Shrink" row: its tag in the target, the names of its copies, their days.
#include "jobs/workers/shrink_series.h"

#include "jobs/tags/path_tags.h"
#include "jobs/tags/tag_splice.h"
#include "lib/system/dirlisting.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/text/calendar.h"
#include "lib/text/fmt.h"
#include "lib/text/num.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

namespace {

bool IsSep(char c) { return c == '/'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The creation time of a listed copy, or 0 when it has none: where the file system keeps no
// birth time the listing gives the status-change time, which every rename of a rotation renews.
SysUtc CreationTime(const std::string& path, const SysFileInfo& info) {
  const SysOsPath os(path.c_str());
  struct statx st {};
  if (!os.ok() || ::statx(AT_FDCWD, os.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BTIME | STATX_CTIME, &st) != 0)
    return 0;
  if (st.stx_mask & STATX_BTIME) return info.timeCreate;
  // A time other than the change time was put there on purpose (the tests' seam).
  return info.timeCreate != static_cast<SysUtc>(st.stx_ctime.tv_sec) ? info.timeCreate : 0;
}

}  // namespace

ShrinkTagResult ShrinkFindTag(std::string_view target, ShrinkTarget& out) {
  std::string path(target);
  // "bk_#D#/" names the same folder copy as "bk_#D#".
  while (path.size() > 1 && IsSep(path.back())) path.pop_back();
  const std::size_t hash = path.find('#');
  if (hash == std::string::npos || hash + 2 >= path.size() || path[hash + 2] != '#') return ShrinkTagResult::NoTag;
  const char letter = path[hash + 1];
  if (letter != 'D' && letter != 'd' && (letter < '1' || letter > '5')) return ShrinkTagResult::NoTag;
  const std::size_t dirLen = static_cast<std::size_t>(SysPathDirLen(static_cast<int>(path.size()), path.c_str()));
  if (hash < dirLen) return ShrinkTagResult::InFolder;
  out.path = path;
  out.folder = path.substr(0, dirLen);
  out.before = path.substr(dirLen, hash - dirLen);
  out.after = path.substr(hash + 3);
  out.letter = letter;
  return ShrinkTagResult::Ok;
}

i64 ShrinkLocalDay(SysUtc t) {
  if (t <= 0 || t > static_cast<SysUtc>(0xFFFF0000u)) return -1;
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm local{};
  if (!::localtime_r(&tt, &local)) return -1;
  return kpw_calendar::DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::string ShrinkDateText(i64 day, char letter) {
  const std::time_t t = static_cast<std::time_t>(day * 86400);
  std::tm utc{};
  if (!::gmtime_r(&t, &utc)) return {};
  const unsigned year = static_cast<unsigned>(utc.tm_year + 1900);
  const unsigned month = static_cast<unsigned>(utc.tm_mon + 1);
  const unsigned mday = static_cast<unsigned>(utc.tm_mday);
  if (letter == 'd') {
    static const char kWeekdays[] = "SoMoDiMiDoFrSaSo";
    return FmtString("%u-%02u-%02u (%.2s)", year, month, mday, kWeekdays + 2 * (utc.tm_wday % 7));
  }
  return FmtString("%u-%02u-%02u", year, month, mday);
}

namespace {

// The day of a tag text such as "2026-12-06" or "2026-12-06 (So)": read as a date at UTC
// midnight, which makes seconds / 86400 the number of its calendar day; the text must be exactly
// what the tag writes for that day.
i64 DayOfDateText(std::string_view text, char letter) {
  if (text.empty() || !IsDigit(text[0])) return -1;
  int consumed = 0;
  const std::string copy(text);
  const i64 t = NumTextToTimeNA(copy.c_str(), NTT_UTC, static_cast<int>(copy.size()), &consumed);
  if (t <= 0 || t % 86400 != 0) return -1;
  const i64 day = t / 86400;
  return ShrinkDateText(day, letter) == text ? day : -1;
}

}  // namespace

i64 ShrinkToday(i64 now) {
  char text[64];
  if (ExpandDateTag("#D#", text, sizeof text, now) <= 0) return -1;
  return DayOfDateText(text, 'D');
}

bool ShrinkMatchName(const ShrinkTarget& target, std::string_view name, i64* day) {
  if (day) *day = -1;
  const std::size_t fixed = target.before.size() + target.after.size();
  if (name.size() <= fixed) return false;
  if (name.substr(0, target.before.size()) != target.before) return false;
  if (name.substr(name.size() - target.after.size()) != target.after) return false;
  std::string_view middle = name.substr(target.before.size(), name.size() - fixed);
  if (!target.IsDate()) {
    if (middle.size() != static_cast<std::size_t>(target.Digits())) return false;
    for (char c : middle)
      if (!IsDigit(c)) return false;
    return true;
  }
  const char next = target.after.empty() ? '\0' : target.after[0];
  if (kpw::tags::NeedsBlankAfter(next)) {
    if (middle.empty() || middle.back() != ' ') return false;
    middle.remove_suffix(1);
  }
  const i64 d = DayOfDateText(middle, target.letter);
  if (d < 0) return false;
  if (day) *day = d;
  return true;
}

bool ShrinkListSeries(const ShrinkTarget& target, bool folders, i64 today, std::vector<ShrinkCopy>& out) {
  out.clear();
  const std::string pattern = target.Pattern();
  CDirListing listing;
  const int flags = CDirListing::DL_READ_ALL | (folders ? CDirListing::DL_ONLY_FOLDERS : 0);
  listing.Open(pattern.c_str(), flags, nullptr, nullptr);
  if (listing.GetReadState() == 2) {
    // A series whose folder is not there yet has no copies.
    const std::string folder = target.folder.empty() ? std::string(".") : target.folder;
    if (SysFileExist(folder.c_str()) != 0) return false;
    return true;
  }
  for (int i = 0; i < listing.GetCount(); ++i) {
    const CDirListing::Entry* entry = listing.GetEntry(i);
    if (!entry || entry->IsFolder() != folders) continue;
    int length = 0;
    const char* name = listing.GetPath(i, &length, CDirListing::DL_PATH_NAME);
    if (!name) continue;
    i64 day = -1;
    if (!ShrinkMatchName(target, std::string_view(name, static_cast<std::size_t>(length)), &day)) continue;
    ShrinkCopy copy;
    copy.path = target.folder + std::string(name, static_cast<std::size_t>(length));
    copy.day = target.IsDate() ? day : ShrinkLocalDay(CreationTime(copy.path, entry->info));
    copy.age = (copy.day >= 0 && today >= 0) ? today - copy.day : -1;
    out.push_back(std::move(copy));
  }
  return true;
}

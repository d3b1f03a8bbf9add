// The date tags "#D#" and "#d#".
#include "jobs/tags/path_tags.h"
#include "jobs/tags/tag_splice.h"
#include "lib/text/fmt.h"

#include <cstring>
#include <ctime>

int ExpandDateTag(const char* source, char* destination, int destinationSize, i64 nowSeconds) {
  if (!source) source = "";
  const char* hash = std::strchr(source, '#');
  if (!hash || (hash[1] != 'D' && hash[1] != 'd') || hash[2] != '#')
    return kpw::tags::CopyUnchanged(source, destination, destinationSize);

  const std::time_t now = static_cast<std::time_t>(nowSeconds);
  std::tm local{};
  if (!::localtime_r(&now, &local)) local = std::tm{};  // outside the C library's range
  const unsigned year = static_cast<unsigned>(local.tm_year + 1900);
  const unsigned month = static_cast<unsigned>(local.tm_mon + 1);
  const unsigned day = static_cast<unsigned>(local.tm_mday);
  char date[64];
  if (hash[1] == 'D') {
    FmtSnprintfA(date, sizeof date, "%u-%02u-%02u", year, month, day);
  } else {
    static const char kWeekdays[] = "SoMoDiMiDoFrSaSo";
    FmtSnprintfA(date, sizeof date, "%u-%02u-%02u (%.2s)", year, month, day,
                 kWeekdays + 2 * (local.tm_wday % 7));
  }
  const int at = static_cast<int>(hash - source);
  return kpw::tags::Splice(source, at, at + 3, date, true, destination, destinationSize);
}

// "Version": stamps a version number or the date into a text file between two markers.
#include "jobs/tags/path_tags.h"
#include "jobs/tags/version_info.h"
#include "jobs/tags/version_text.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/worker_support.h"
#include "lib/system/sys.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_replace.h"
#include "lib/text/num.h"
#include "lib/text/str.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr int kVersionMax = 255;         // characters of a version text
constexpr int kTemplateMax = 256;        // characters of a filled template
constexpr int kMarkerMax = 128;          // characters of a marker
constexpr int kMarkerDistanceMax = 256;  // characters between the two markers

// The date by the plus cell's letter, filled into the template after its first ":".
int DateVersion(const char* plus, i64 now, char* version, int size) {
  u32 code = 0x1D;
  switch (plus[0]) {
    case 'a': code = 0x72; break;
    case 'A': code = 0x73; break;
    case 'i': code = 0x50; break;
    case 'I': code = 0x51; break;
    case 'd': code = 0x1C; break;
    case 'D': code = 0x1D; break;
    default: break;
  }
  char date[64];
  if (NumFormatTimeA(date, now, code, sizeof date) < 1) return 0;
  StrTrimA(date, date);
  const char* colon = std::strchr(plus, ':');
  if (!colon) return StrCopyA(version, date, std::min(size, kVersionMax + 1));
  char filled[kTemplateMax + 1];
  StrUnescapeA(filled, colon + 1, kVersionMax + 1);
  StrReplaceAllA(filled, "%s", date, sizeof filled);
  return StrCopyA(version, filled, size);
}

// The whole file; false when it is empty, cannot be read or changes size while it is read.
bool ReadWhole(const char* path, std::string& out) {
  const SysOsPath os(path);
  if (!os.ok()) return false;
  struct stat st {};
  return SysReadWholeFile(os.c_str(), out, &st) == 0 && st.st_size >= 1 && st.st_size < INT_MAX &&
         static_cast<i64>(out.size()) == st.st_size;
}

}  // namespace

int RunVersion(JobContext& ctx, const JobArgs& args) {
  char version[kTemplateMax + 1] = {};
  int length;
  if (std::strcmp(args.source, "DATE") == 0) {
    length = DateVersion(args.plus, ctx.env.Now(), version, sizeof version);
  } else if (SysPathExtInList(args.source, "exe;dll;sys;ocx") > 0) {
    length = ReadVersionInfo(args.source, 0, version, kVersionMax + 1);
  } else {
    length = ReadVersionText(args.source, args.plus, version, kVersionMax + 1);
  }
  if (length < 1) return JOB_FAILED;

  char startMarker[kMarkerMax + 1], endMarker[kMarkerMax + 1];
  const char* cell = args.minus;
  cell += StrReadTokenA(startMarker, cell, sizeof startMarker, '\\', '"', -1);
  StrReadTokenA(endMarker, cell, sizeof endMarker, '\\', '"', -1);
  const int startLength = static_cast<int>(std::strlen(startMarker));
  const int endLength = static_cast<int>(std::strlen(endMarker));
  if (startLength == 0 || endLength == 0) return JOB_FAILED;

  std::string text;
  if (!ReadWhole(args.target, text)) return JOB_FAILED;
  const int size = static_cast<int>(text.size());
  // Counted searches: a NUL byte before the markers does not hide them.
  const int start = StrFindBytesNoCaseA(text.data(), startMarker, size, startLength);
  if (start < 0) return JOB_FAILED;
  const int from = start + startLength;
  const int distance = StrFindBytesNoCaseA(text.data() + from, endMarker, size - from, endLength);
  if (distance < 0 || distance > kMarkerDistanceMax) return JOB_FAILED;
  if (distance == length && std::memcmp(text.data() + from, version, static_cast<std::size_t>(length)) == 0)
    return JOB_DONE;

  std::string stamped;
  stamped.reserve(text.size() + static_cast<std::size_t>(length));
  stamped.append(text, 0, static_cast<std::size_t>(from));
  stamped.append(version, static_cast<std::size_t>(length));
  stamped.append(text, static_cast<std::size_t>(from + distance), std::string::npos);
  // Mode, owner and group stay; a read-only file is not stamped.
  const SysOsPath target(args.target);
  if (!target.ok() || SysReplaceFile(target.c_str(), stamped, true) != 0) return JOB_FAILED;
  ++ctx.run.FilesCopied();
  return JOB_DONE;
}

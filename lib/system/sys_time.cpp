// File times: FILETIME conversions, comparison with tolerance, setting write and access times.
#include "lib/system/sys_time.h"

#include "lib/system/sys_ospath.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace {
int Order(i64 a, i64 b) { return a < b ? -1 : (a > b ? 1 : 0); }

i64 FloorDiv2(i64 v) { return v / 2 - (v < 0 && v % 2 != 0 ? 1 : 0); }
}  // namespace

int SysFileTimeToTime(const FILETIME* fileTime, SysUtc* out) {
  if (!fileTime || !out || FileTimeToU64(*fileTime) == 0) return 0;
  *out = FileTimeToUnix(*fileTime);
  return 1;
}

void SysTime64ToFileTime(i64 seconds, FILETIME* out) {
  if (out) *out = FileTimeFromUnix(seconds);
}

int SysCompareFileTime(SysUtc a, SysUtc b, int granularity) {
  if (granularity < 2) return Order(a, b);
  // Halves of any two times differ by less than the range of i64.
  const i64 d = FloorDiv2(a) - FloorDiv2(b);
  if (granularity >= 3 && (d >= 1799 && d <= 1801)) return 0;
  if (granularity >= 3 && (d <= -1799 && d >= -1801)) return 0;
  return Order(d, 0);
}

int SysCompareFileTime(const FILETIME* a, const FILETIME* b, int granularity) {
  const FILETIME fa = a ? *a : FILETIME{};
  const FILETIME fb = b ? *b : FILETIME{};
  if (granularity < 2) {
    const u64 ta = FileTimeToU64(fa), tb = FileTimeToU64(fb);
    return ta < tb ? -1 : (ta > tb ? 1 : 0);
  }
  return SysCompareFileTime(FileTimeToUnix(fa), FileTimeToUnix(fb), granularity);
}

BOOL SysSetFileTimes(const char* path, const FILETIME* write, const FILETIME* /*creation*/, const FILETIME* access) {
  const SysOsPath os(path);
  if (!os.ok()) return FALSE;
  struct timespec ts[2];
  auto fill = [](const FILETIME* ft, struct timespec& t) {
    if (!ft) {
      t.tv_sec = 0;
      t.tv_nsec = UTIME_OMIT;
      return;
    }
    i64 hundredNs = 0;
    t.tv_sec = static_cast<time_t>(FileTimeToUnix(*ft, &hundredNs));
    t.tv_nsec = static_cast<long>(hundredNs * 100);
  };
  fill(access, ts[0]);
  fill(write, ts[1]);
  if (::utimensat(AT_FDCWD, os.c_str(), ts, 0) != 0) {
    SysFail(errno, os.c_str());
    return FALSE;
  }
  return TRUE;
}

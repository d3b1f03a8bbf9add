// File times: FILETIME conversions, comparison with tolerance, setting write and access times.
#include "lib/system/sys_time.h"

#include "lib/system/sys_ospath.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace {
constexpr u64 kTicksPerSecond = 10000000;

int Sign(i64 v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

i64 FloorDiv2(i64 v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }
}  // namespace

int SysFileTimeToTime(const FILETIME* fileTime, SysUtc* out) {
  if (!fileTime || !out) return 0;
  const u64 ticks = FileTimeToU64(*fileTime);
  const u64 seconds = ticks / kTicksPerSecond;
  if (seconds < static_cast<u64>(kFileTimeEpochOffset)) return 0;
  *out = static_cast<SysUtc>(seconds - static_cast<u64>(kFileTimeEpochOffset));
  return 1;
}

void SysTime64ToFileTime(i64 seconds, FILETIME* out) {
  if (!out) return;
  if (seconds <= 0) {
    *out = FILETIME{};
    return;
  }
  *out = U64ToFileTime((static_cast<u64>(seconds) + static_cast<u64>(kFileTimeEpochOffset)) * kTicksPerSecond);
}

int SysCompareFileTime(SysUtc a, SysUtc b, int granularity) {
  if (granularity < 2) return Sign(a - b);
  const i64 d = FloorDiv2(a) - FloorDiv2(b);
  if (granularity >= 3 && (d >= 1799 && d <= 1801)) return 0;
  if (granularity >= 3 && (d <= -1799 && d >= -1801)) return 0;
  return Sign(d);
}

int SysCompareFileTime(const FILETIME* a, const FILETIME* b, int granularity) {
  const u64 ta = a ? FileTimeToU64(*a) : 0;
  const u64 tb = b ? FileTimeToU64(*b) : 0;
  if (granularity < 2) return ta < tb ? -1 : (ta > tb ? 1 : 0);
  return SysCompareFileTime(static_cast<SysUtc>(ta / kTicksPerSecond), static_cast<SysUtc>(tb / kTicksPerSecond),
                            granularity);
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
    const i64 ticks = static_cast<i64>(FileTimeToU64(*ft)) - kFileTimeEpochOffset * static_cast<i64>(kTicksPerSecond);
    i64 sec = ticks / static_cast<i64>(kTicksPerSecond);
    i64 rem = ticks % static_cast<i64>(kTicksPerSecond);
    if (rem < 0) {
      rem += kTicksPerSecond;
      --sec;
    }
    t.tv_sec = sec;
    t.tv_nsec = rem * 100;
  };
  fill(access, ts[0]);
  fill(write, ts[1]);
  if (::utimensat(AT_FDCWD, os.c_str(), ts, 0) != 0) {
    SysFail(errno, os.c_str());
    return FALSE;
  }
  return TRUE;
}

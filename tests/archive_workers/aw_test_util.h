// Helpers of the archive worker tests: scratch folders, files, a fixed clock, a run to call
// workers with, and the zip tools that check archives.
#pragma once

#include "archive/zip_file.h"
#include "jobs/run_host.h"
#include "jobs/tags/path_tags.h"
#include "jobs/worker.h"
#include "jobs/workers/archive_workers.h"
#include "tests/support/files.h"
#include "tests/support/run.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace awtest {

namespace fs = std::filesystem;

using kpwtest::Exists;
using kpwtest::HaveTool;
using kpwtest::Quote;
using kpwtest::ReadFile;
using kpwtest::SetMTime;
using kpwtest::Shell;
using kpwtest::WriteFile;

// The names in a folder, sorted.
inline std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
  return names;
}

// A fresh folder below the temporary folder (mode 0755), removed with everything in it.
class ScratchDir : public kpwtest::TempDir {
 public:
  ScratchDir() : kpwtest::TempDir("arcw") { ::chmod(path().c_str(), 0755); }
};

// Days since 1970 of a calendar date, and back, by the C library (independent of the code
// under test).
inline i64 DayOf(int year, int month, int day) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  return static_cast<i64>(::timegm(&t)) / 86400;
}
inline std::string DateText(i64 day) {
  const std::time_t t = static_cast<std::time_t>(day * 86400);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

inline constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

// Fixes the clock of the date tags and the time zone (Central Europe) for one test. The clock
// stands at a local time of day on a local calendar day.
class FixedClock {
 public:
  explicit FixedClock(i64 day, int hour = 12, int minute = 0) : tz_(kCentralEurope) {
    Set(day, hour, minute);
    kpwtest::TestEnv().clock = &Now;
  }
  ~FixedClock() { kpwtest::TestEnv().clock = nullptr; }
  FixedClock(const FixedClock&) = delete;
  FixedClock& operator=(const FixedClock&) = delete;

  // Local time of day on the local calendar day.
  void Set(i64 day, int hour = 12, int minute = 0) { s_now = LocalTime(day, hour, minute); }
  static i64 LocalTime(i64 day, int hour, int minute) {
    const std::time_t noon = static_cast<std::time_t>(day * 86400);
    std::tm tm{};
    ::gmtime_r(&noon, &tm);
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return static_cast<i64>(std::mktime(&tm));
  }
  static i64 Now() { return s_now; }

 private:
  static inline i64 s_now = 0;
  kpwtest::ScopedTimeZone tz_;
};

// A run state whose box records each question and answers from a queue (then IDOK); its call
// takes the cells in the order the archive rows use them most.
class RunRig : public kpwtest::RunRig {
 public:
  int Call(JobWorkerFn worker, const std::string& source, const std::string& target, u32 flags = 0,
           const std::string& extra = "", int subdirs = 1, const std::string& plus = "",
           const std::string& minus = "") {
    return kpwtest::RunRig::Call(worker, source, target, flags, plus, minus, subdirs, extra);
  }
};

// Whether the archive engine can write archives in this build.
inline bool EngineReady() {
  ScratchDir dir;
  CZipFile zip;
  const std::string path = dir / "probe.zip";
  if (zip.Open(path.c_str(), ARC_OPEN_CREATE, 9) == ARC_ERR_NOT_AVAILABLE) return false;
  return zip.Close() == 0;
}

}  // namespace awtest

// Helpers of the tag tests: a scratch folder, small files, the fixture folder and a fixed clock.
#pragma once

#include "jobs/tags/path_tags.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tagtest {

inline std::string DataPath(const std::string& name) { return std::string(KPW_TEST_DATA) + "/" + name; }

inline std::vector<unsigned char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using kpwtest::WriteFile;

inline void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::string& path) { return kpwtest::ReadFile(path); }

using ScratchDir = kpwtest::TempDir;

// Fixes the clock of the date tags and the time zone for one test.
class FixedTime {
 public:
  FixedTime(i64 seconds, const char* tz) : tz_(tz) {
    s_now = seconds;
    kpwtest::TestEnv().clock = &Now;
  }
  ~FixedTime() { kpwtest::TestEnv().clock = nullptr; }
  FixedTime(const FixedTime&) = delete;
  FixedTime& operator=(const FixedTime&) = delete;

 private:
  static i64 Now() { return s_now; }
  static inline i64 s_now = 0;
  kpwtest::ScopedTimeZone tz_;
};

// 2026-12-05 23:30 UTC: Saturday in UTC, Sunday 2026-12-06 00:30 in Central Europe.
inline constexpr i64 kSaturdayNightUtc = 1796513400;
inline constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

}  // namespace tagtest

// Helpers of the tag tests: a scratch folder, small files, the fixture folder and a fixed clock.
#pragma once

#include "jobs/path_tags.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::string& path) {
  const auto bytes = ReadAll(path);
  return {bytes.begin(), bytes.end()};
}

// A fresh folder below the temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kpw-tags-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) path_ = buf.data();
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Fixes the clock of the date tags and the time zone for one test.
class FixedTime {
 public:
  FixedTime(i64 seconds, const char* tz) {
    s_now = seconds;
    const char* old = std::getenv("TZ");
    hadTz_ = old != nullptr;
    if (old) oldTz_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
    SetTagClock(&Now);
  }
  ~FixedTime() {
    SetTagClock(nullptr);
    if (hadTz_) ::setenv("TZ", oldTz_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  FixedTime(const FixedTime&) = delete;
  FixedTime& operator=(const FixedTime&) = delete;

 private:
  static i64 Now() { return s_now; }
  static inline i64 s_now = 0;
  bool hadTz_ = false;
  std::string oldTz_;
};

// 2026-12-05 23:30 UTC: Saturday in UTC, Sunday 2026-12-06 00:30 in Central Europe.
inline constexpr i64 kSaturdayNightUtc = 1796513400;
inline constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

}  // namespace tagtest

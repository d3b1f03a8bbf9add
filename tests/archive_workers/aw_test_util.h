// Helpers of the archive worker tests: scratch folders, files, a fixed clock, a run to call
// workers with, and the zip tools that check archives.
#pragma once

#include "jobs/archive_workers.h"
#include "jobs/path_tags.h"
#include "jobs/run_host.h"
#include "jobs/worker.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace awtest {

namespace fs = std::filesystem;

inline void WriteFile(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The names in a folder, sorted.
inline std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
  return names;
}

// A fresh folder below the temporary folder (mode 0755), removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (fs::temp_directory_path() / "kpw-arcw-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
    ::chmod(path_.c_str(), 0755);
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
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
  explicit FixedClock(i64 day, int hour = 12, int minute = 0) {
    const char* old = std::getenv("TZ");
    hadTz_ = old != nullptr;
    if (old) oldTz_ = old;
    ::setenv("TZ", kCentralEurope, 1);
    ::tzset();
    Set(day, hour, minute);
    SetTagClock(&Now);
  }
  ~FixedClock() {
    SetTagClock(nullptr);
    if (hadTz_) ::setenv("TZ", oldTz_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
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
  bool hadTz_ = false;
  std::string oldTz_;
};

// A run state whose box records each question and answers from a queue (then IDOK).
class RunRig {
 public:
  RunRig() {
    state.StartRun();
    state.SetMessageBox([this](const std::string& text, const char*, u32 type) -> int {
      std::lock_guard lock(mutex_);
      boxes.push_back({text, type});
      if (answers.empty()) return IDOK;
      const int answer = answers.front();
      answers.erase(answers.begin());
      return answer;
    });
  }
  int Call(JobWorkerFn worker, const std::string& source, const std::string& target, u32 flags = 0,
           const std::string& extra = "", int subdirs = 1, const std::string& plus = "",
           const std::string& minus = "") {
    JobArgs args;
    args.source = source.c_str();
    args.target = target.c_str();
    args.plus = plus.c_str();
    args.minus = minus.c_str();
    args.subdirs = subdirs;
    args.extra = extra.c_str();
    args.flags = flags;
    JobContext ctx{state, kept};
    return worker(ctx, args);
  }
  u32 Counted() { return state.FilesCopied().load(); }
  std::string AllBoxes() {
    std::string all;
    for (const auto& b : boxes) all += b.text + "\n";
    return all;
  }

  struct Box {
    std::string text;
    u32 type;
  };
  CRunState state;
  CUrlConnection* kept = nullptr;
  std::vector<Box> boxes;
  std::vector<int> answers;

 private:
  std::mutex mutex_;
};

// Runs a shell command; its standard output, and the exit status in *status.
inline std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int rc = ::pclose(pipe);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

}  // namespace awtest

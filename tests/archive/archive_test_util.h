// Helpers of the archive tests: test data, the oracle tools, packing, and the events an archive reports.
#pragma once

#include "archive/zip_file.h"
#include "tests/support/files.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ziptest {

using kpwtest::Exists;
using kpwtest::MTime;
using kpwtest::ReadFile;
using kpwtest::SetMTime;
using kpwtest::TempDir;
using kpwtest::WriteFile;
namespace fs = std::filesystem;

// Text that deflates well, and bytes that do not.
inline std::string TextData(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* words[] = {"Archiv ", "Datei ",     "kopieren ", "Ordner ",
                                "zip ",    "Sicherung ", "\n",        "2024 "};
  std::string s;
  while (s.size() < size) s += words[rng() % 8];
  s.resize(size);
  return s;
}
inline std::string RandomData(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

struct RunResult {
  int status = -1;
  std::string output;
};

// Runs a shell command (the tools of scripts/packages.txt: zip, unzip, 7zz, bsdtar, python3),
// collecting stdout and stderr.
inline RunResult Shell(const std::string& command) {
  RunResult r;
  r.output = kpwtest::Shell(command + " 2>&1", &r.status);
  return r;
}

// Runs a shell command in a folder; its exit status.
inline int ShellIn(const std::string& folder, const std::string& command) {
  return Shell("cd " + kpwtest::Quote(folder) + " && " + command).status;
}

// Runs a Python program with the arguments.
inline RunResult Python(const std::string& program, const std::vector<std::string>& args = {}) {
  TempDir dir;
  WriteFile(dir / "prog.py", program);
  std::string cmd = "python3 " + kpwtest::Quote(dir / "prog.py");
  for (const std::string& a : args) cmd += " " + kpwtest::Quote(a);
  return Shell(cmd);
}

// Whether two trees hold the same files and folders.
inline void ExpectTreesEqual(const std::string& a, const std::string& b) {
  const RunResult r = Shell("diff -r " + kpwtest::Quote(a) + " " + kpwtest::Quote(b));
  EXPECT_EQ(r.status, 0) << r.output;
}

// Packs a source folder into archive with the flags and level; returns the file count.
inline int Pack(const std::string& archive, const std::string& source, int mode = ARC_OPEN_CREATE,
                int level = 9, int threads = 0, const char* folder = nullptr, u32 flags = ARC_FLAG_RECURSE) {
  CZipFile zip;
  zip.SetThreadCount(threads);
  EXPECT_EQ(zip.Open(archive.c_str(), mode, level), 0) << zip.GetErrorText();
  zip.SetFlags(flags);
  const int n = zip.AddTree(source.c_str(), nullptr, nullptr, folder);
  EXPECT_EQ(zip.GetLastError(), 0) << zip.GetErrorText();
  EXPECT_EQ(zip.Close(), 0) << zip.GetErrorText();
  return n;
}

// Records the events an archive reports and answers them as told.
struct EventLog {
  std::vector<std::pair<int, std::string>> events;
  int errorAnswer = 1;
  int abortAtEvent = 0;  // stop with a non-zero answer at this event (its n-th time)
  int abortAfter = 1;
  int seen = 0;
  static int Callback(void* ctx, int event, int, CArcFile*, const char* text) {
    auto* self = static_cast<EventLog*>(ctx);
    self->events.emplace_back(event, text ? text : "");
    if (event == ARC_EVENT_ERROR) return self->errorAnswer;
    return event == self->abortAtEvent && ++self->seen >= self->abortAfter ? 1 : 0;
  }
  int Count(int event) const {
    int n = 0;
    for (const auto& e : events) n += e.first == event;
    return n;
  }
  std::vector<std::string> Errors() const {
    std::vector<std::string> out;
    for (const auto& e : events)
      if (e.first == ARC_EVENT_ERROR) out.push_back(e.second);
    return out;
  }
};

// The names in a folder.
inline std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
  return names;
}

// Every file an archive unpacks to: relative path -> content.
inline std::map<std::string, std::string> Contents(const std::string& archive) {
  TempDir dir;
  CZipFile zip;
  EXPECT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
  EXPECT_EQ(zip.ExtractAll(dir.path().c_str(), nullptr), 0) << zip.GetErrorText();
  return kpwtest::FileContents(dir.path());
}

// Opens an archive and unpacks it into target, reporting to log.
inline int Unpack(const std::string& archive, const std::string& target, EventLog& log, CZipFile& zip) {
  EXPECT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
  zip.SetCallback(&log, &EventLog::Callback);
  return zip.ExtractAll(target.c_str(), nullptr);
}

}  // namespace ziptest

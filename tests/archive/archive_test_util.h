// Helpers of the archive tests: temporary folders, files, running the oracle tools.
#pragma once

#include "archive/zip_file.h"
#include "tests/support/files.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <random>
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

inline void MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  ASSERT_FALSE(ec) << path << ": " << ec.message();
}

// Text that deflates well, and bytes that do not.
inline std::string TextData(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* words[] = {"Archiv ", "Datei ", "kopieren ", "Ordner ", "zip ", "Sicherung ", "\n", "2024 "};
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

// Runs a shell command, collecting stdout and stderr.
inline RunResult Shell(const std::string& command) {
  RunResult r;
  r.output = kpwtest::Shell(command + " 2>&1", &r.status);
  return r;
}

// The path of a tool, or empty when it is not installed.
inline std::string Tool(const std::string& name) {
  const RunResult r = Shell("command -v " + name);
  if (r.status != 0) return {};
  std::string path = r.output;
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  return path;
}
inline std::string SevenZip() {
  std::string t = Tool("7zz");
  return t.empty() ? Tool("7z") : t;
}

// Runs a Python program with the arguments; the program text comes on stdin.
inline RunResult Python(const std::string& program, const std::vector<std::string>& args = {}) {
  TempDir dir;
  WriteFile(dir / "prog.py", program);
  std::string cmd = "python3 '" + (dir / "prog.py") + "'";
  for (const std::string& a : args) cmd += " '" + a + "'";
  return Shell(cmd);
}

// Packs a source folder into archive with the flags and level; returns the file count.
inline int Pack(const std::string& archive, const std::string& source, int mode = ARC_OPEN_CREATE, int level = 9,
                int threads = 0, const char* folder = nullptr, u32 flags = ARC_FLAG_RECURSE) {
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
  static int Callback(void* ctx, int event, int index, CArcFile* archive, const char* text) {
    auto* self = static_cast<EventLog*>(ctx);
    std::string t = text ? text : "";
    if (event == ARC_EVENT_ENTRY) {
      std::string name;
      if (auto* zip = dynamic_cast<CZipFile*>(archive)) zip->GetEntryName(index, name);
      t = name;
    }
    self->events.emplace_back(event, t);
    if (event == ARC_EVENT_ERROR) return self->errorAnswer;
    if (event == self->abortAtEvent && ++self->seen >= self->abortAfter) return 1;
    return 0;
  }
  int Count(int event) const {
    int n = 0;
    for (const auto& e : events) n += e.first == event;
    return n;
  }
};

}  // namespace ziptest

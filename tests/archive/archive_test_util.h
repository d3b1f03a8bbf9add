// Helpers of the archive tests: temporary folders, files, running the oracle tools.
#pragma once

#include "archive/zip_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ziptest {

class TempDir {
 public:
  // base: the folder to make it in (null: $TMPDIR, else /tmp).
  explicit TempDir(const char* base = nullptr) {
    if (!base) base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kpw-zip-XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    if (!made) std::abort();
    m_path = made;
  }
  ~TempDir() {
    const std::string cmd = "chmod -R u+rwx '" + m_path + "' 2>/dev/null; rm -rf '" + m_path + "'";
    if (std::system(cmd.c_str()) != 0) { /* best effort */ }
  }
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

inline void MakeDirs(const std::string& path) {
  const std::string cmd = "mkdir -p '" + path + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
}

inline void WriteFile(const std::string& path, const std::string& data) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos) MakeDirs(path.substr(0, slash));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

inline void SetMtime(const std::string& path, time_t t) {
  const struct timespec times[2] = {{t, 0}, {t, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

inline time_t Mtime(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mtime;
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
  std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) r.output.append(buffer, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
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

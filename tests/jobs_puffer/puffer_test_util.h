// Helpers of the buffer list tests: a scratch world of computers and a carrier, files and trees.
#pragma once

#include "jobs/job_extra.h"
#include "jobs/puffer/puffer_list.h"
#include "tests/support/files.h"
#include "tests/support/puffer_fault.h"
#include "tests/support/puffer_folders.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace puffertest {

namespace fs = std::filesystem;

using kpwtest::Exists;
using kpwtest::ReadFile;

inline void WriteFile(const std::string& path, const std::string& text, long long mtime = 0) {
  kpwtest::WriteFile(path, text);
  if (mtime) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
}

// Relative path to contents of every regular file below dir.
inline std::map<std::string, std::string> Tree(const std::string& dir) { return kpwtest::FileContents(dir); }

inline unsigned long long TreeBytes(const std::string& dir) {
  unsigned long long n = 0;
  for (const auto& [name, text] : Tree(dir)) n += text.size();
  return n;
}

// Three computers and a carrier below one scratch folder; the host name decides who runs.
class PufferWorld : public ::testing::Test, protected kpwtest::PufferFolders {
 protected:
  void TearDown() override {
    kpwtest::TestEnv().hostName = kpwtest::kTestHost;
    PufferTestSetFault(nullptr);
  }

  // The source's run: a new list when there is none, then an exchange.
  int Source(u64 room = 0, PufferReport* report = nullptr, const char* plus = "", const char* minus = "") {
    kpwtest::TestEnv().hostName = "buero-pc.example.org";
    PufferList engine(kpwtest::TestEnv().hostName);
    int r = 0;
    if (!Exists(list)) r = engine.Save(list.c_str(), src.c_str(), plus, minus, room);
    if (r >= 0) r = engine.Exchange(list.c_str(), src.c_str(), "BUERO-PC", 0);
    if (report) *report = engine.Report();
    return r;
  }
  // A destination's run, registering it when need be.
  int Dest(const char* host, const std::string& dir, PufferReport* report = nullptr) {
    kpwtest::TestEnv().hostName = host;
    PufferList engine(kpwtest::TestEnv().hostName);
    int r = engine.Exchange(list.c_str(), dir.c_str(), PufferList::ShortHostName(kpwtest::TestEnv().hostName).c_str(), 1);
    if (r == PUFFER_NOT_REGISTERED) r = engine.Exchange(list.c_str(), dir.c_str(), nullptr, 0);
    if (report) *report = engine.Report();
    return r;
  }
  int D1(PufferReport* report = nullptr) { return Dest("laptop", d1, report); }
  int D2(PufferReport* report = nullptr) { return Dest("heim-pc", d2, report); }
  // Rounds of source, D1, D2 until nothing more is copied (at most n).
  void Converge(int n = 6) {
    for (int i = 0; i < n; ++i) {
      const int a = Source(), b = D1(), c = D2();
      ASSERT_GE(a, 0);
      ASSERT_GE(b, 0);
      ASSERT_GE(c, 0);
      if (a + b + c == 0 && i > 0) return;
    }
  }
};

}  // namespace puffertest

// Helpers of the buffer list tests: a source, two destinations and a carrier, and their runs.
#pragma once

#include "jobs/puffer/puffer_list.h"
#include "tests/support/files.h"
#include "tests/support/puffer_fault.h"
#include "tests/support/puffer_folders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

namespace puffertest {

namespace fs = std::filesystem;

using kpwtest::Exists;
using kpwtest::ReadFile;

inline std::map<std::string, std::string> Tree(const std::string& dir) {
  return kpwtest::FileContents(dir);
}

inline void WriteFile(const std::string& path, const std::string& text, long long mtime = 0) {
  kpwtest::WriteFile(path, text);
  if (mtime) kpwtest::SetMTime(path, mtime);
}

inline PufferListFile ParseFile(const std::string& path) {
  PufferListFile file;
  PufferParseList(ReadFile(path), file);
  return file;
}

// The source is "buero-pc.example.org" (its rows name "BUERO-PC"); "laptop" and "heim-pc" take.
class PufferWorld : public ::testing::Test, protected kpwtest::PufferFolders {
 protected:
  void TearDown() override { PufferTestSetFault(nullptr); }

  // The source's run: a new list when there is none, then an exchange.
  int Source(u64 room = 0, PufferReport* report = nullptr) {
    PufferList engine("buero-pc.example.org");
    int r = Exists(list) ? 0 : engine.Save(list.c_str(), src.c_str(), "", "", room);
    if (r >= 0) r = engine.Exchange(list.c_str(), src.c_str(), "BUERO-PC", 0);
    if (report) *report = engine.Report();
    return r;
  }
  // A destination's run, registering it when need be.
  int Dest(const char* host, const std::string& dir, PufferReport* report = nullptr) {
    PufferList engine(host);
    int r = engine.Exchange(list.c_str(), dir.c_str(), host, 1);
    if (r == PUFFER_NOT_REGISTERED) r = engine.Exchange(list.c_str(), dir.c_str(), nullptr, 0);
    if (report) *report = engine.Report();
    return r;
  }
  int D1(PufferReport* report = nullptr) { return Dest("laptop", d1, report); }
  int D2(PufferReport* report = nullptr) { return Dest("heim-pc", d2, report); }
  // Rounds of source, D1, D2 until nothing more is copied.
  void Converge() {
    for (int i = 0; i < 6; ++i) {
      const int a = Source(), b = D1(), c = D2();
      ASSERT_TRUE(a >= 0 && b >= 0 && c >= 0) << a << " " << b << " " << c;
      if (a + b + c == 0 && i > 0) return;
    }
  }
};

}  // namespace puffertest

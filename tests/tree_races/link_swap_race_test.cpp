// A folder below a row's target swapped with a link to an outside folder, again and again while
// the row runs: nothing outside is written, replaced or deleted, whatever the mode.
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/local_workers.h"
#include "tests/support/link_swapper.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

constexpr int kTries = 50;
constexpr int kFiles = 40;

enum class Mode { Copy, Update, Synch, CopyDel, Del };

// One try: a source tree, a target whose folder "sub" is swapped with a link to "outside", and
// the row. Returns what became of "outside" ("" when it is untouched).
std::string Try(Mode mode) {
  TempDir dir("race");
  const std::string src = dir / "src", dst = dir / "dst", outside = dir / "outside";
  for (int i = 0; i < kFiles; ++i) {
    const std::string f = "f" + std::to_string(i), g = "g" + std::to_string(i);
    Put(src + "/sub/" + f, "new", kT + 100);
    // The target's own files: older ones to replace, surplus ones to delete.
    Put(dst + "/sub/" + f, "old", kT);
    Put(dst + "/sub/" + g, "surplus", kT);
    // The outside folder holds files of the same names, which must stay as they are.
    Put(outside + "/" + f, "outside", kT);
    Put(outside + "/" + g, "outside", kT);
  }
  Put(src + "/top", "top", kT + 100);
  const std::string before = Contents(outside);
  const std::string link = dir / "swap";
  if (::symlink(outside.c_str(), link.c_str()) != 0) return "no link";

  RunRig run;
  {
    LinkSwapper swapper(dst + "/sub", link);
    EXPECT_TRUE(WaitUntil([&] { return swapper.Swaps() >= 2; })) << "the folder and the link were not swapped";
    switch (mode) {
      case Mode::Copy: run.Call(RunCopy, src, dst); break;
      case Mode::Update: run.Call(RunUpdate, src, dst); break;
      case Mode::Synch: run.Call(RunSynch, src, dst); break;
      case Mode::CopyDel: run.Call(RunCopyDel, src, dst); break;
      case Mode::Del: run.Call(RunDel, dst, ""); break;
    }
  }
  const std::string after = Contents(outside);
  return after == before ? std::string() : after;
}

class LinkSwapRace : public ::testing::TestWithParam<Mode> {};

TEST_P(LinkSwapRace, NothingOutsideIsTouched) {
  const ScopedTestEnv env;
  int touched = 0;
  std::string example;
  for (int i = 0; i < kTries; ++i) {
    const std::string outside = Try(GetParam());
    if (outside.empty()) continue;
    ++touched;
    if (example.empty()) example = outside;
  }
  EXPECT_EQ(touched, 0) << "the outside folder after a try: " << example.substr(0, 400);
}

std::string ModeName(const ::testing::TestParamInfo<Mode>& info) {
  switch (info.param) {
    case Mode::Copy: return "Copy";
    case Mode::Update: return "Update";
    case Mode::Synch: return "Synch";
    case Mode::CopyDel: return "CopyDel";
    case Mode::Del: return "Del";
  }
  return "Mode";
}

INSTANTIATE_TEST_SUITE_P(Modes, LinkSwapRace,
                         ::testing::Values(Mode::Copy, Mode::Update, Mode::Synch, Mode::CopyDel, Mode::Del), ModeName);

}  // namespace

// A folder below a row's target swapped with a link to an outside folder, or to another folder of
// the target, again and again while the row runs: nothing the link leads to is written, replaced
// or deleted, whatever the mode; nor by a tree's removal.
#include "jobs/workers/copy_workers.h"
#include "jobs/workers/local_workers.h"
#include "lib/system/sys_fd.h"
#include "lib/system/sys_file.h"
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

// Where the swapped link leads: a folder outside the target (an absolute link), or the target's
// own folder "inside" (a relative link that stays below the target; the row's minus filter leaves
// that folder out, so that only the link could reach it).
enum class Goal { Outside, Inside };

// One try: a source tree, a target whose folder "sub" is swapped with a link, and the row. Returns
// what became of the folder the link leads to ("" when it is untouched).
std::string Try(Mode mode, Goal goal) {
  TempDir dir("race");
  const std::string src = dir / "src", dst = dir / "dst";
  const std::string outside = goal == Goal::Outside ? dir / "outside" : dst + "/inside";
  const std::string minus = goal == Goal::Outside ? "" : "inside";
  for (int i = 0; i < kFiles; ++i) {
    // Files in the swapped folder and a level below it, where the link is a folder on the way.
    const std::string f = (i % 2 ? "deep/f" : "f") + std::to_string(i), g = (i % 2 ? "deep/g" : "g") + std::to_string(i);
    Put(src + "/sub/" + f, "new", kT + 100);
    // The target's own files: older ones to replace, surplus ones to delete.
    Put(dst + "/sub/" + f, "old", kT);
    Put(dst + "/sub/" + g, "surplus", kT);
    // The outside folder holds files of the same names, which must stay as they are.
    Put(outside + "/" + f, "outside", kT);
    Put(outside + "/" + g, "outside", kT);
  }
  Put(src + "/top", "top", kT + 100);
  // A folder read between "sub" and "sub/deep", so that "sub/deep" is opened from the top.
  Put(src + "/zz/z", "z", kT + 100);
  const std::string before = Contents(outside);
  const std::string link = dir / "swap";
  // The relative link leads to dst/inside once it stands in dst.
  if (::symlink(goal == Goal::Outside ? outside.c_str() : "inside", link.c_str()) != 0) return "no link";

  RunRig run;
  {
    LinkSwapper swapper(dst + "/sub", link);
    EXPECT_TRUE(WaitUntil([&] { return swapper.Swaps() >= 2; })) << "the folder and the link were not swapped";
    switch (mode) {
      case Mode::Copy: run.Call(RunCopy, src, dst, 0, "", minus); break;
      case Mode::Update: run.Call(RunUpdate, src, dst, 0, "", minus); break;
      case Mode::Synch: run.Call(RunSynch, src, dst, 0, "", minus); break;
      case Mode::CopyDel: run.Call(RunCopyDel, src, dst, 0, "", minus); break;
      case Mode::Del: run.Call(RunDel, dst, "", 0, "", minus); break;
    }
  }
  const std::string after = Contents(outside);
  return after == before ? std::string() : after;
}

class LinkSwapRace : public ::testing::TestWithParam<std::tuple<Mode, Goal>> {};

TEST_P(LinkSwapRace, NothingTheLinkLeadsToIsTouched) {
  const ScopedTestEnv env;
  int touched = 0;
  std::string example;
  for (int i = 0; i < kTries; ++i) {
    const std::string outside = Try(std::get<0>(GetParam()), std::get<1>(GetParam()));
    if (outside.empty()) continue;
    ++touched;
    if (example.empty()) example = outside;
  }
  EXPECT_EQ(touched, 0) << "the folder the link leads to after a try: " << example.substr(0, 400);
}

std::string ModeName(const ::testing::TestParamInfo<std::tuple<Mode, Goal>>& info) {
  const std::string goal = std::get<1>(info.param) == Goal::Outside ? "Outside" : "Inside";
  switch (std::get<0>(info.param)) {
    case Mode::Copy: return "Copy" + goal;
    case Mode::Update: return "Update" + goal;
    case Mode::Synch: return "Synch" + goal;
    case Mode::CopyDel: return "CopyDel" + goal;
    case Mode::Del: return "Del" + goal;
  }
  return "Mode";
}

INSTANTIATE_TEST_SUITE_P(Modes, LinkSwapRace,
                         ::testing::Combine(::testing::Values(Mode::Copy, Mode::Update, Mode::Synch, Mode::CopyDel,
                                                              Mode::Del),
                                            ::testing::Values(Goal::Outside, Goal::Inside)),
                         ModeName);

// A tree removed (the old copy of a series that "Shrink" thins) while it is swapped with a link,
// again and again: what the link leads to stays.
TEST(TreeRemovalRace, NeverFollowsTheFolderSwappedForALink) {
  int touched = 0;
  for (int i = 0; i < kTries; ++i) {
    TempDir dir("rmtree-race");
    const std::string old = dir / "old", outside = dir / "outside", link = dir / "swap";
    for (int k = 0; k < kFiles; ++k) {
      Put(old + "/sub/f" + std::to_string(k), "old");
      Put(outside + "/f" + std::to_string(k), "outside");
    }
    const std::string before = Contents(outside);
    ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
    const SysFd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(parent);
    {
      LinkSwapper swapper(old, link);
      while (swapper.Swaps() < 2) std::this_thread::yield();
      SysRmdirTreeAt(parent.Get(), "old", 0);
    }
    if (Contents(outside) != before) ++touched;
  }
  EXPECT_EQ(touched, 0);
}

// Inside the tree a link that cannot be removed (another user's, in a sticky folder) is never
// taken for the folder it leads to.
TEST(TreeRemovalRace, NeverEntersALinkItCannotRemove) {
  TempDir dir("rmtree-sticky");
  const std::string old = dir / "old", outside = dir / "outside";
  Put(old + "/mine.txt", "mine");
  Put(outside + "/f", "outside");
  ASSERT_EQ(::symlink(outside.c_str(), (old + "/sub").c_str()), 0);
  // The folder and the link stay root's; the tree's files and the outside folder are nobody's,
  // who may delete them wherever a removal reaches.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(old.c_str(), 01777), 0);
  for (const std::string& p : {old + "/mine.txt", outside, outside + "/f"}) ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0);
  const int status = InChild([&] {
    if (!BecomeNobody()) return 77;
    const SysFd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return SysRmdirTreeAt(parent.Get(), "old", 0) ? 1 : 0;  // the link stays, so the folder does
  });
  ASSERT_NE(status, 77);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Contents(outside), "f=outside");
  EXPECT_FALSE(Exists(old + "/mine.txt"));
}

}  // namespace

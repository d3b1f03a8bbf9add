// "Synch" against rsync run in both directions ("newer wins, nothing deleted") on random trees.
#include "lw_test_util.h"

#include <random>

using namespace lwtest;

namespace {

struct Side {
  std::map<std::string, std::pair<std::string, i64>> files;  // content and write time
};

// Regular files only; no empty folders (rsync makes those, Synch does not); times of files on both
// sides are equal within a second only where the contents are the same (rsync compares sizes
// then), and never about an hour apart (Synch's daylight-saving window).
void RandomTrees(u32 seed, Side& a, Side& b) {
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<u32>(n)); };
  auto content = [&] { return std::string(static_cast<std::size_t>(pick(200)), static_cast<char>('a' + pick(26))); };
  for (int i = 0; i < 300; ++i) {
    std::string path;
    for (int depth = pick(3); depth > 0; --depth) path += "d" + std::to_string(pick(3)) + "/";
    path += "f" + std::to_string(pick(40));
    if (a.files.count(path) || b.files.count(path)) continue;
    const i64 base = kT + pick(100000);
    switch (pick(3)) {
      case 0: a.files[path] = {content(), base}; break;
      case 1: b.files[path] = {content(), base}; break;
      default: {
        static const i64 kNear[] = {0, 1, -1};
        static const i64 kApart[] = {2, -2, 3, -17, 600, -3000, 3597, -3597, 3603, -3700, 86400};
        if (pick(4) == 0) {
          const std::string same = content();
          a.files[path] = {same, base};
          b.files[path] = {same, base + kNear[pick(3)]};
        } else {
          a.files[path] = {content(), base};
          b.files[path] = {content(), base + kApart[pick(11)]};
        }
      }
    }
  }
}

void Materialise(const std::string& root, const Side& side) {
  fs::create_directories(root);
  for (const auto& [path, file] : side.files) WriteAt(root + "/" + path, file.first, file.second);
}

std::map<std::string, std::pair<std::string, i64>> State(const std::string& root) {
  std::map<std::string, std::pair<std::string, i64>> out;
  for (const auto& [path, content] : Tree(root)) out[path] = {content, MTime(root + "/" + path)};
  return out;
}

TEST(SynchRsync, SameResultAsRsyncInBothDirections) {
  if (std::system("rsync --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "rsync is not installed";
  for (u32 seed : {1u, 2u, 3u, 4u}) {
    Scratch dir;
    Side a, b;
    RandomTrees(seed, a, b);
    Materialise(dir / "a", a);
    Materialise(dir / "b", b);
    Materialise(dir / "ra", a);
    Materialise(dir / "rb", b);
    WorkerRun run;
    EXPECT_EQ(run(RunSynch, dir / "a", dir / "b", 0), JOB_DONE) << seed;
    const std::string rsync = "rsync -rt --update --modify-window=1 ";
    ASSERT_EQ(std::system((rsync + dir / "ra/ " + dir / "rb/").c_str()), 0);
    ASSERT_EQ(std::system((rsync + dir / "rb/ " + dir / "ra/").c_str()), 0);
    EXPECT_EQ(State(dir / "a"), State(dir / "ra")) << seed;
    EXPECT_EQ(State(dir / "b"), State(dir / "rb")) << seed;
    // Both sides hold every file afterwards, and a second run finds nothing to do.
    EXPECT_EQ(Tree(dir / "a").size(), Tree(dir / "b").size()) << seed;
    const u32 copied = run.Copied();
    EXPECT_GT(copied, 0u);
    EXPECT_EQ(run(RunSynch, dir / "a", dir / "b", 0), JOB_DONE);
    EXPECT_EQ(run.Copied(), copied) << seed;
  }
}

}  // namespace

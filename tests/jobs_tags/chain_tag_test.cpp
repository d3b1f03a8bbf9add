// Generation tags: the generation-0 path, shifting the chain with gaps and when full, folders,
// file systems without no-replace renames, and renames that must never replace anything.
#include "tag_test_util.h"

#include "jobs/tags/path_tags.h"
#include "platform/last_error.h"
#include "tests/support/sys_seams.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

using tagtest::ReadText;
using tagtest::ScratchDir;
using tagtest::WriteFile;

namespace {

namespace fs = std::filesystem;

// Runs the tests of a fixture once normally and once as on a file system without
// RENAME_NOREPLACE.
class ChainTag : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { SysTestForceFallbacks(GetParam()); }
  void TearDown() override { SysTestForceFallbacks(false); }

  int Rotate(const std::string& text, std::string* out = nullptr, u32 mode = 0, int size = 1284) {
    std::string buf(static_cast<std::size_t>(size), '\0');
    const int r = ExpandChainTag(text.c_str(), buf.data(), size, mode);
    if (out) *out = buf.c_str();
    return r;
  }
  std::string P(const std::string& name) const { return dir_ / name; }
  ScratchDir dir_;
};

TEST_P(ChainTag, NothingToShift) {
  std::string out;
  EXPECT_EQ(Rotate(P("log#2#.txt"), &out), 0);
  EXPECT_EQ(out, P("log00.txt"));
}

TEST_P(ChainTag, ShiftsUpAndFreesGenerationZero) {
  WriteFile(P("log00.txt"), "newest");
  WriteFile(P("log01.txt"), "older");
  std::string out;
  EXPECT_EQ(Rotate(P("log#2#.txt"), &out), 2);
  EXPECT_EQ(out, P("log00.txt"));
  EXPECT_FALSE(fs::exists(P("log00.txt")));
  EXPECT_EQ(ReadText(P("log01.txt")), "newest");
  EXPECT_EQ(ReadText(P("log02.txt")), "older");
}

TEST_P(ChainTag, GapStopsTheCount) {
  WriteFile(P("b0.zip"), "g0");
  WriteFile(P("b1.zip"), "g1");
  WriteFile(P("b3.zip"), "g3");
  EXPECT_EQ(Rotate(P("b#1#.zip")), 2);
  EXPECT_EQ(ReadText(P("b1.zip")), "g0");
  EXPECT_EQ(ReadText(P("b2.zip")), "g1");
  EXPECT_EQ(ReadText(P("b3.zip")), "g3");  // untouched
  EXPECT_FALSE(fs::exists(P("b0.zip")));
}

TEST_P(ChainTag, FullChainMovesNothing) {
  for (char c = '0'; c <= '9'; ++c) WriteFile(P(std::string("f") + c), std::string(1, c));
  EXPECT_EQ(Rotate(P("f#1#")), -2);
  for (char c = '0'; c <= '9'; ++c) EXPECT_EQ(ReadText(P(std::string("f") + c)), std::string(1, c));
}

TEST_P(ChainTag, FiveDigitsCarryAcrossTheCounter) {
  for (int i = 0; i <= 10; ++i) {
    char name[16];
    snprintf(name, sizeof name, "g%05d", i);
    WriteFile(P(name), std::to_string(i));
  }
  EXPECT_EQ(Rotate(P("g#5#")), 11);
  EXPECT_FALSE(fs::exists(P("g00000")));
  EXPECT_EQ(ReadText(P("g00001")), "0");
  EXPECT_EQ(ReadText(P("g00010")), "9");
  EXPECT_EQ(ReadText(P("g00011")), "10");
}

TEST_P(ChainTag, FoldersRotateAndATrailingSeparatorWorks) {
  fs::create_directories(P("save00/sub"));
  fs::create_directories(P("save01"));
  WriteFile(P("save00/sub/a"), "zero");
  WriteFile(P("save01/a"), "one");
  std::string out;
  EXPECT_EQ(Rotate(P("save#2#/"), &out), 2);
  EXPECT_EQ(out, P("save00/"));
  EXPECT_FALSE(fs::exists(P("save00")));
  EXPECT_EQ(ReadText(P("save01/sub/a")), "zero");
  EXPECT_EQ(ReadText(P("save02/a")), "one");
  EXPECT_EQ(Rotate(P("save#2#\\")), 0);  // nothing at 00 any more
}

TEST_P(ChainTag, ABackslashIsAByteOfTheName) {
  fs::create_directories(P("sub"));
  WriteFile(P("sub/b0"), "zero");
  WriteFile(P("sub\\b0"), "other");
  std::string out;
  EXPECT_EQ(Rotate(dir_.path() + "/sub\\b#1#", &out), 1);
  EXPECT_EQ(ReadText(P("sub\\b1")), "other");
  EXPECT_EQ(ReadText(P("sub/b0")), "zero");
}

TEST_P(ChainTag, DanglingLinkIsAGenerationToo) {
  WriteFile(P("k0"), "file");
  ASSERT_EQ(::symlink("nowhere", P("k1").c_str()), 0);
  EXPECT_EQ(Rotate(P("k#1#")), 2);
  EXPECT_EQ(ReadText(P("k1")), "file");
  EXPECT_TRUE(fs::is_symlink(P("k2")));
}

TEST_P(ChainTag, NumberInPlaceOfTheZeros) {
  WriteFile(P("n000"), "x");
  std::string out;
  EXPECT_EQ(Rotate(P("n#3#"), &out, 0x80000000u | 42), 0);
  EXPECT_EQ(out, P("n042"));
  EXPECT_EQ(Rotate(P("n#3#"), &out, 0x80000000u | 123456), 0);
  EXPECT_EQ(out, P("n456"));
  EXPECT_EQ(Rotate(P("n#5#.x"), &out, 0x80000000u | 0x7FFFFFFF), 0);
  EXPECT_EQ(out, P("n83647.x"));
  EXPECT_EQ(Rotate(P("n#3#"), &out, 5), 0);  // any other mode: only the path
  EXPECT_EQ(out, P("n000"));
  EXPECT_TRUE(fs::exists(P("n000")));  // nothing moved
}

TEST_P(ChainTag, FirstGenerationTagCounts) {
  std::string out;
  EXPECT_EQ(Rotate("a#9#b#x##3#c#2#", &out, 7), 0);
  EXPECT_EQ(out, "a#9#b#x#000c#2#");
  EXPECT_EQ(Rotate("no tag #6# here", &out), -1);
  EXPECT_EQ(Rotate("", &out), -1);
}

TEST_P(ChainTag, PathThatDoesNotFitFailsAndMovesNothing) {
  WriteFile(P("t0"), "zero");
  const std::string text = P("t#1#");
  const int needed = static_cast<int>(text.size()) - 2 + 1;  // "#1#" becomes "0", plus the NUL
  char buf[1284];
  std::memset(buf, 'q', sizeof buf);
  SetLastError(0);
  EXPECT_EQ(ExpandChainTag(text.c_str(), buf, needed - 1, 0), -1);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(buf[0], 'q');  // never an empty or cut target
  EXPECT_TRUE(fs::exists(P("t0")));
  EXPECT_EQ(ExpandChainTag(text.c_str(), buf, needed, 0), 1);
  EXPECT_EQ(std::string(buf), P("t0"));
}

TEST_P(ChainTag, SameBufferAsSource) {
  char buf[1284];
  snprintf(buf, sizeof buf, "%s", P("s#4#.bak").c_str());
  EXPECT_EQ(ExpandChainTag(buf, buf, sizeof buf, 0), 0);
  EXPECT_EQ(std::string(buf), P("s0000.bak"));
}

TEST_P(ChainTag, FailedRenameFailsTheRow) {
  // The tag in a folder name: "x0/f" exists, but there is no folder "x1" to move it into.
  fs::create_directories(P("x0"));
  WriteFile(P("x0/f"), "zero");
  EXPECT_EQ(Rotate(P("x#1#/f")), -1);
  EXPECT_EQ(ReadText(P("x0/f")), "zero");
}

TEST_P(ChainTag, NameThatCannotBeLookedUpFailsTheRow) {
  SetLastError(0);
  EXPECT_EQ(Rotate(P(std::string(300, 'n') + "#1#")), -1);  // longer than a name may be
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

INSTANTIATE_TEST_SUITE_P(Rename, ChainTag, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithoutNoReplace" : "NoReplace"; });

}  // namespace

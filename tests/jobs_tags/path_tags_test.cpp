// The path tags: dates under a fixed clock, versions of programs and text files, generation chains.
#include "jobs/tags/path_tags.h"

#include "platform/last_error.h"
#include "tests/support/files.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using kpwtest::ReadFile;
using kpwtest::WriteFile;

// 2026-12-05 23:30 UTC: Saturday in UTC, Sunday 2026-12-06 00:30 in Central Europe.
constexpr i64 kSaturdayNightUtc = 1796513400;
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

const std::string kDll64 = std::string(KPW_TEST_DATA) + "/v1.2.0.0-pe64.dll";

// The expansion, or the result in "<>" when it fails, with "touched" when the destination changed.
std::string Shown(int n, const std::string& buf) {
  if (n >= 0) return buf.c_str();
  return "<" + std::to_string(n) + ">" + (buf[0] == 'q' ? "" : " touched");
}

std::string Date(const std::string& text, i64 now = kSaturdayNightUtc, int size = 1284) {
  std::string buf(static_cast<std::size_t>(size), 'q');
  return Shown(ExpandDateTag(text.c_str(), buf.data(), size, now), buf);
}

std::string Version(const std::string& text, const std::string& file, int size = 1284) {
  std::string buf(static_cast<std::size_t>(size), 'q');
  return Shown(ExpandVersionTag(text.c_str(), buf.data(), size, file.c_str()), buf);
}

TEST(DateTag, LocalDateWeekdayTheBlankRuleAndWhatDoesNotFit) {
  kpwtest::ScopedTimeZone tz(kCentralEurope);  // Sunday 00:30 there
  EXPECT_EQ(Date("backup/#d#.zip"), "backup/2026-12-06 (So).zip");
  // No blank before ".", "_", "0", a blank or at the end of the text; one before anything else.
  const std::pair<const char*, const char*> blankRule[] = {
      {".zip", ".zip"}, {"_x", "_x"}, {"0", "0"}, {" x", " x"}, {"", ""}, {"x", " x"}, {"/x", " /x"},
  };
  for (const auto& [after, expected] : blankRule)
    EXPECT_EQ(Date(std::string("#D#") + after), std::string("2026-12-06") + expected) << after;
  // Only the first "#" counts, and only its tag is replaced.
  for (const char* text : {"a#x#D#", "#Dx#", "no tag"}) EXPECT_EQ(Date(text), text);
  EXPECT_EQ(Date("#D##D#"), "2026-12-06 #D#");

  // What does not fit fails with the path error and leaves the destination.
  EXPECT_EQ(Date("a/#D#.zip", kSaturdayNightUtc, 17), "a/2026-12-06.zip");
  SetLastError(0);
  EXPECT_EQ(Date("a/#D#.zip", kSaturdayNightUtc, 16), "<-1>");
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(Date("abcd", kSaturdayNightUtc, 4), "<-1>");  // an unchanged text must fit too
  // In one buffer of the runner's size: a text near its end does not grow past it.
  const std::string longText = std::string(1280, 'x') + "#D#";
  std::string big = longText;
  big.resize(1284, '\0');
  EXPECT_EQ(ExpandDateTag(big.data(), big.data(), 1284, kSaturdayNightUtc), -1);
  EXPECT_EQ(std::string(big.c_str()), longText);
}

TEST(VersionTag, FormsTokensAndTheBlankRule) {
  EXPECT_EQ(Version("out/#@4#.zip", kDll64), "out/1.2.0.0.zip");
  EXPECT_EQ(Version("out/#@#.zip", kDll64), "out/1.02.zip");
  EXPECT_EQ(Version("out/v#@2#x", kDll64), "out/v1.2 x");
  kpwtest::TempDir dir;
  const std::string header = dir / "version.h";
  WriteFile(header, "#pragma once\n#define VERSION \"2.7.1\"\n");
  WriteFile(dir / "v.ini", "VERSION=4.1\n");
  EXPECT_EQ(Version(R"(rel/#@"*VERSION \"" "*" "\""#.tar)", header), "rel/2.7.1.tar");
  EXPECT_EQ(Version(R"(rel/#@ "*VERSION \""  "*"  #/x)", header), "rel/2.7.1 /x");
  // Unquoted tokens end at the closing "#"; quoted ones may hold it.
  EXPECT_EQ(Version(R"(rel/#@\.VERSION= *#.zip)", dir / "v.ini"), "rel/4.1.zip");
  EXPECT_EQ(Version(R"(rel/#@"#define VERSION \"" *#)", header), "rel/2.7.1");
  for (const char* text : {"plain", "#@", "#@4", "#@4x", "a#b#@4#", "#@\"x\" \"y\" \"z\" \"w\"#", "#@\"x\""})
    EXPECT_EQ(Version(text, kDll64), text) << text;
  char buf[32] = "a/#@2#-b";
  EXPECT_EQ(ExpandVersionTag(buf, buf, sizeof buf, kDll64.c_str()), 8);
  EXPECT_STREQ(buf, "a/1.2 -b");
}

TEST(VersionTag, NoVersionOrNoRoomFailsAndLeavesTheDestination) {
  kpwtest::TempDir dir;
  // A program by its extension, letter case ignored.
  fs::copy_file(kDll64, dir / "Tool.EXE");
  fs::copy_file(kDll64, dir / "tool.bin");
  EXPECT_EQ(Version("#@4#", dir / "Tool.EXE"), "1.2.0.0");
  EXPECT_EQ(Version("#@4#", dir / "tool.bin"), "<-1>");
  EXPECT_EQ(Version(R"(#@"*VERSION " "*"#)", dir / "missing.h"), "<-1>");
  SetLastError(0);
  EXPECT_EQ(Version("p/#@4#", kDll64, 9), "<-1>");
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  // A long version from a text file is not cut to a small buffer: it fits the path or fails.
  const std::string longVersion = "1.2.3-rc.1+build.2026.12.06.abcdef0123456789";
  WriteFile(dir / "v.h", "#define VERSION \"" + longVersion + "\"\n");
  EXPECT_EQ(Version(R"(#@"*VERSION \"" "*"#)", dir / "v.h"), longVersion);
  EXPECT_EQ(Version(R"(#@"*VERSION \"" "*"#)", dir / "v.h", static_cast<int>(longVersion.size())), "<-1>");
}

// Chains rotate alike with and without no-replace renames in the file system.
class ChainTag : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { SysTestForceFallbacks(GetParam()); }
  void TearDown() override { SysTestForceFallbacks(false); }
  int Rotate(const std::string& text, std::string* out = nullptr, u32 mode = 0) {
    std::string buf(1284, 'q');
    const int r = ExpandChainTag(text.c_str(), buf.data(), 1284, mode);
    if (out) *out = buf.c_str();
    return r;
  }
  std::string P(const std::string& name) const { return dir_ / name; }
  kpwtest::TempDir dir_;
};

TEST_P(ChainTag, ShiftsTheGenerationsUpAndFreesGenerationZero) {
  std::string out;
  EXPECT_EQ(Rotate(P("log#2#.txt"), &out), 0);
  EXPECT_EQ(out, P("log00.txt"));
  // A gap stops the count; a dangling link is a generation too.
  WriteFile(P("b0"), "g0");
  ASSERT_EQ(::symlink("nowhere", P("b1").c_str()), 0);
  WriteFile(P("b3"), "g3");
  EXPECT_EQ(Rotate(P("b#1#")), 2);
  EXPECT_FALSE(fs::exists(P("b0")));
  EXPECT_EQ(ReadFile(P("b1")), "g0");
  EXPECT_TRUE(fs::is_symlink(P("b2")));
  EXPECT_EQ(ReadFile(P("b3")), "g3");
  // Folders; a "\" is a byte of a name.
  WriteFile(P("save0/a"), "zero");
  EXPECT_EQ(Rotate(P("save#1#/"), &out), 1);
  EXPECT_EQ(ReadFile(P("save1/a")), "zero");
  WriteFile(P("sub/b0"), "zero");
  WriteFile(P("sub\\b0"), "other");
  EXPECT_EQ(Rotate(P("sub\\b#1#")), 1);
  EXPECT_EQ(ReadFile(P("sub\\b1")), "other");
  EXPECT_EQ(ReadFile(P("sub/b0")), "zero");
}

TEST_P(ChainTag, PathFormsAndFailures) {
  std::string out;
  WriteFile(P("n000"), "x");
  EXPECT_EQ(Rotate(P("n#3#"), &out, 0x80000000u | 123456), 0);
  EXPECT_EQ(out, P("n456"));
  EXPECT_EQ(Rotate(P("n#3#"), &out, 5), 0);  // any other mode: only the path
  EXPECT_EQ(out, P("n000"));
  EXPECT_TRUE(fs::exists(P("n000")));
  EXPECT_EQ(Rotate("a#9#b#x##3#c#2#", &out, 7), 0);
  EXPECT_EQ(out, "a#9#b#x#000c#2#");
  EXPECT_EQ(Rotate("no tag #6# here"), -1);
  char buf[1284];
  std::snprintf(buf, sizeof buf, "%s", P("s#4#.bak").c_str());
  EXPECT_EQ(ExpandChainTag(buf, buf, sizeof buf, 0), 0);
  EXPECT_EQ(std::string(buf), P("s0000.bak"));

  // A generation-0 path that does not fit fails and moves nothing: never an empty or cut target.
  WriteFile(P("t0"), "zero");
  const std::string text = P("t#1#");
  std::memset(buf, 'q', sizeof buf);
  SetLastError(0);
  EXPECT_EQ(ExpandChainTag(text.c_str(), buf, static_cast<int>(text.size()) - 2, 0), -1);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(buf[0], 'q');
  EXPECT_TRUE(fs::exists(P("t0")));
  // A rename that fails ("x1" does not exist) and a name that cannot be looked up fail the row.
  WriteFile(P("x0/f"), "zero");
  EXPECT_EQ(Rotate(P("x#1#/f")), -1);
  EXPECT_EQ(ReadFile(P("x0/f")), "zero");
  SetLastError(0);
  EXPECT_EQ(Rotate(P(std::string(300, 'n') + "#1#")), -1);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

INSTANTIATE_TEST_SUITE_P(Rename, ChainTag, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithoutNoReplace" : "NoReplace"; });

}  // namespace

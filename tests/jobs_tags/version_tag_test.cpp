// Version tags: programs and text files as sources, the blank rule, failures and over-long results.
#include "tag_test_util.h"

#include "jobs/tags/path_tags.h"
#include "platform/last_error.h"

#include <filesystem>
#include <string>

using tagtest::DataPath;
using tagtest::ScratchDir;

namespace {

std::string Expand(const std::string& text, const std::string& file, int size = 1284) {
  std::string buf(static_cast<std::size_t>(size), 'q');
  const int n = ExpandVersionTag(text.c_str(), buf.data(), size, file.c_str());
  if (n < 0) return "<" + std::to_string(n) + ">" + (buf[0] == 'q' ? "" : " touched");
  return buf.c_str();
}

const std::string kDll32 = DataPath("v1.2.0.0-pe32.dll");
const std::string kDll64 = DataPath("v1.2.0.0-pe64.dll");

TEST(VersionTag, FormsFromPrograms) {
  for (const auto& dll : {kDll32, kDll64}) {
    EXPECT_EQ(Expand("out/#@4#.zip", dll), "out/1.2.0.0.zip");
    EXPECT_EQ(Expand("out/#@0#.zip", dll), "out/1.02.zip");
    EXPECT_EQ(Expand("out/#@#.zip", dll), "out/1.02.zip");
    EXPECT_EQ(Expand("out/v#@2#", dll), "out/v1.2");
  }
  EXPECT_EQ(Expand("#@0#.zip", DataPath("v1.2.3.0-pe64.dll")), "1.2.3.zip");
  EXPECT_EQ(Expand("#@0#.zip", DataPath("v1.2.3.4-pe32.dll")), "1.2.3.4.zip");
  EXPECT_EQ(Expand("#@#", DataPath("prog-pe64.exe")), "3.14.15.9");
}

TEST(VersionTag, ExtensionDecidesAndCaseIsIgnored) {
  ScratchDir dir;
  std::filesystem::copy_file(kDll64, dir / "Tool.EXE");
  std::filesystem::copy_file(kDll64, dir / "tool.Sys");
  std::filesystem::copy_file(kDll64, dir / "tool.ocx");
  std::filesystem::copy_file(kDll64, dir / "tool.bin");
  EXPECT_EQ(Expand("#@4#", dir / "Tool.EXE"), "1.2.0.0");
  EXPECT_EQ(Expand("#@4#", dir / "tool.Sys"), "1.2.0.0");
  EXPECT_EQ(Expand("#@4#", dir / "tool.ocx"), "1.2.0.0");
  EXPECT_EQ(Expand("#@4#", dir / "tool.bin"), "<-1>");  // a program, but not by its name
  tagtest::WriteFile(dir / "notes.txt", "VERSION 5.5\n");
  EXPECT_EQ(Expand("#@1#", dir / "notes.txt"), "<-1>");
  EXPECT_EQ(Expand("#@4#", dir / "missing.exe"), "<-1>");
  EXPECT_EQ(Expand("#@4#", DataPath("nores-pe32.dll")), "<-1>");
}

// The blank rule of the date tags holds for version tags too.
TEST(VersionTag, BlankRule) {
  const struct {
    const char* after;
    const char* expected;
  } cases[] = {
      {".zip", "1.2.zip"}, {"_x", "1.2_x"}, {"0", "1.20"},  {" x", "1.2 x"},   {"", "1.2"},
      {"x", "1.2 x"},      {"1", "1.2 1"},  {"/x", "1.2 /x"}, {"\\x", "1.2 \\x"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Expand(std::string("#@2#") + c.after, kDll64), c.expected) << "after: '" << c.after << "'";
}

TEST(VersionTag, TokensReadATextFile) {
  ScratchDir dir;
  const std::string header = dir / "version.h";
  tagtest::WriteFile(header, "#pragma once\n#define VERSION \"2.7.1\"\n");
  EXPECT_EQ(Expand(R"(rel/#@"*VERSION \"" "*" "\""#.tar)", header), "rel/2.7.1.tar");
  EXPECT_EQ(Expand(R"(rel/#@"*VERSION \"" "*"#)", header), "rel/2.7.1");
  EXPECT_EQ(Expand(R"(rel/#@ "*VERSION \""  "*"  #/x)", header), "rel/2.7.1 /x");
  EXPECT_EQ(Expand(R"(rel/#@"*RELEASE " "*"#)", header), "<-1>");
  // Unquoted tokens end at the closing "#"; quoted ones may hold it.
  tagtest::WriteFile(dir / "v.ini", "VERSION=4.1\n");
  EXPECT_EQ(Expand(R"(rel/#@\.VERSION= *#.zip)", dir / "v.ini"), "rel/4.1.zip");
  EXPECT_EQ(Expand(R"(rel/#@"#define VERSION \"" *#)", header), "rel/2.7.1");
  // The tokens need not come from a program: a text file of any name.
  EXPECT_EQ(Expand(R"(#@"*VERSION \"" "*"#)", dir / "missing.h"), "<-1>");
}

TEST(VersionTag, IncompleteTagsStayAsTheyAre) {
  for (const char* text : {"plain", "#@", "#@4", "#@4x", "a#b#@4#", "#@\"x\" \"y\" \"z\" \"w\"#", "#@\"x\""})
    EXPECT_EQ(Expand(text, kDll64), text) << text;
}

TEST(VersionTag, OverLongResultFails) {
  // "p/#@4#" becomes "p/1.2.0.0": 9 characters.
  EXPECT_EQ(Expand("p/#@4#", kDll64, 10), "p/1.2.0.0");
  SetLastError(0);
  EXPECT_EQ(Expand("p/#@4#", kDll64, 9), "<-1>");
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);

  // A long version from a text file is not cut to a small buffer: it fits the path or fails.
  ScratchDir dir;
  const std::string longVersion = "1.2.3-rc.1+build.2026.12.06.abcdef0123456789";
  tagtest::WriteFile(dir / "v.h", "#define VERSION \"" + longVersion + "\"\n");
  EXPECT_EQ(Expand(R"(#@"*VERSION \"" "*"#)", dir / "v.h"), longVersion);
  EXPECT_EQ(Expand(R"(#@"*VERSION \"" "*"#)", dir / "v.h", static_cast<int>(longVersion.size())), "<-1>");
}

TEST(VersionTag, SameBufferAsSource) {
  char buf[32] = "a/#@2#-b";
  EXPECT_EQ(ExpandVersionTag(buf, buf, sizeof buf, kDll32.c_str()), 8);
  EXPECT_STREQ(buf, "a/1.2 -b");
}

}  // namespace

// Command line: switches in either sign and case, absolute paths as files, further arguments.
#include "app/command_line.h"

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

CommandLineInfo Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "kopiwart");
  return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLineTest, OnlyTheLetterAfterTheSignCountsAndAbsolutePathsAreFiles) {
  for (const char* s : {"-s", "-S", "/S", "/s", "-Sync", "-sofort"}) {
    const CommandLineInfo info = Parse({"jobs.kpw", s});
    EXPECT_TRUE(info.startAtOnce && !info.always && !info.noWindow) << s;
    EXPECT_EQ(info.file, "jobs.kpw") << s;
  }
  const CommandLineInfo all = Parse({"/a", "-n", "/home/u/jobs.kpw", "/S", "b.kpw", ""});
  EXPECT_TRUE(all.startAtOnce && all.always && all.noWindow);
  EXPECT_EQ(all.file, "/home/u/jobs.kpw");
  EXPECT_EQ(all.unused, (std::vector<std::string>{"b.kpw", ""}));  // the first file counts
  const CommandLineInfo none = Parse({"-x", "-", "--", "/q", "a.kpw"});
  EXPECT_FALSE(none.startAtOnce || none.always || none.noWindow);
  EXPECT_EQ(none.file, "a.kpw");
  EXPECT_TRUE(none.unused.empty());
  // A one-letter file in the root is a file too; a dash form never is.
  EXPECT_EQ(Parse({"/ab"}).file, "/ab");
  EXPECT_EQ(Parse({"/"}).file, "/");
  EXPECT_EQ(Parse({"-ab"}).file, "");
}

TEST(CommandLineTest, BackslashesSeparateUnlessTheFileHasThatName) {
  kpwtest::TempDir dir;
  kpwtest::WriteFile(dir / "sub/jobs.kpw", "");
  EXPECT_EQ(CommandLineFilePath(dir.path() + "\\sub\\jobs.kpw"), dir / "sub/jobs.kpw");
  kpwtest::WriteFile(dir / "a\\b.kpw", "");
  EXPECT_EQ(CommandLineFilePath(dir / "a\\b.kpw"), dir / "a\\b.kpw");
  EXPECT_EQ(CommandLineFilePath("/x/y.kpw"), "/x/y.kpw");
}

}  // namespace

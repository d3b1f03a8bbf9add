// Command line: switches in either sign and case, absolute paths as files, further arguments.
#include "app/command_line.h"

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(CommandLineTest, OnlyTheLetterAfterTheSignCountsAndAbsolutePathsAreFiles) {
  const struct {
    std::vector<const char*> args;
    const char* flags;  // the switches found, as "SAN"
    const char* file;
    std::vector<std::string> unused;
  } cases[] = {
      {{"jobs.kpw", "-s"}, "S", "jobs.kpw", {}},
      {{"-Sync", "jobs.kpw"}, "S", "jobs.kpw", {}},
      {{"/s", "jobs.kpw"}, "S", "jobs.kpw", {}},
      {{"/a", "-n", "/home/u/jobs.kpw", "/S", "b.kpw", ""}, "SAN", "/home/u/jobs.kpw", {"b.kpw", ""}},
      {{"-x", "-", "--", "/q", "a.kpw"}, "", "a.kpw", {}},
      {{"/ab"}, "", "/ab", {}},  // a one-letter file in the root is a file too; a dash form never is
      {{"/"}, "", "/", {}},
      {{"-ab"}, "A", "", {}},
  };
  for (const auto& c : cases) {
    std::vector<const char*> args = c.args;
    args.insert(args.begin(), "kopiwart");
    const CommandLineInfo info = ParseCommandLine(static_cast<int>(args.size()), args.data());
    const std::string flags =
        std::string(info.startAtOnce ? "S" : "") + (info.always ? "A" : "") + (info.noWindow ? "N" : "");
    EXPECT_EQ(flags, c.flags) << c.args[0];
    EXPECT_EQ(info.file, c.file) << c.args[0];
    EXPECT_EQ(info.unused, c.unused) << c.args[0];
  }
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

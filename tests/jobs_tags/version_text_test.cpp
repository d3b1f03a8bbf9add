// Version numbers read out of text files by three tokens, on real version lines.
#include "jobs/tags/version_text.h"

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char kHeader[] =
    "// product version\n"
    "#pragma once\n"
    "#define VERSION_NAME \"Kopiwart\"\n"
    "#define VERSION \"1.2.3\"\n"
    "#define VERSION_BUILD 42\n";

const char kIni[] =
    "[general]\n"
    "\tVersion = 4.5.6-beta\n"
    "other_version = 9.9\n";

TEST(VersionText, TokensOnVersionLines) {
  kpwtest::TempDir dir;
  const std::string file = dir / "version.h";
  const std::string longLine = std::string(1030, 'x') + " VERSION \"9.9.9\"\n#define VERSION \"1.2.3\"\n";
  struct Case {
    std::string content;
    const char* tokens;
    int size;
    const char* expected;  // "<fail>": -1 and an emptied buffer
  } cases[] = {
      // The third token defaults to "*"; letter case is ignored.
      {kHeader, R"("*VERSION \"" "*" "\"")", 256, "1.2.3"},
      {kHeader, R"("*version \"" "*")", 256, "1.2.3"},
      // "\.": the word begins the line after its indent; "*word": the word anywhere, first line wins.
      {kIni, R"("\.version = " "*")", 256, "4.5.6-beta"},
      {"other_version = 9.9\n", R"("\.version = " "*")", 256, "<fail>"},
      {" FILEVERSION 3,1,4,1\r\n", R"("\.FILEVERSION " "*,*,*,*")", 256, "3,1,4,1"},
      {kHeader, R"("*RELEASE \"" "*" "\"")", 256, "<fail>"},
      {"#define VERSION 1.2 x\n", R"("*VERSION " "*" ";")", 256, "<fail>"},
      // The rest of a line beyond 1023 characters is neither looked at nor a line of its own.
      {longLine, R"("*VERSION \"" "*" "\"")", 256, "1.2.3"},
      {std::string(1000, 'x') + "VERSION \"7.7\"\n", R"("*VERSION \"" "*" "\"")", 256, "7.7"},
      // Cut to the buffer at whole characters.
      {kHeader, R"("*VERSION \"" "*" "\"")", 4, "1.2"},
      {"VERSION 1.0-\xc3\xa4x\n", R"("\.VERSION " "*")", 6, "1.0-"},
      {"VERSION 1.0-\xc3\xa4x\n", R"("\.VERSION " "*")", 7, "1.0-\xc3\xa4"},
  };
  for (const Case& c : cases) {
    kpwtest::WriteFile(file, c.content);
    std::string buf(static_cast<std::size_t>(c.size), 'z');
    const int n = ReadVersionText(file.c_str(), c.tokens, buf.data(), c.size);
    EXPECT_EQ(n < 0 ? "<fail>" : buf.c_str(), std::string(c.expected)) << c.tokens << " in " << c.content;
    EXPECT_TRUE(n >= 0 || buf[0] == '\0') << c.tokens;
  }
  char buf[8] = "abc";
  EXPECT_EQ(ReadVersionText((dir / "missing.h").c_str(), "\"*\"", buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(ReadVersionText(dir.path().c_str(), "\"*\"", buf, sizeof buf), -1);  // a folder
}

}  // namespace

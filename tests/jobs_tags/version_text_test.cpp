// Version numbers read out of text files by three tokens, on real version lines.
#include "tag_test_util.h"

#include "jobs/tags/version_text.h"

#include <cstring>
#include <string>

using tagtest::ScratchDir;
using tagtest::WriteFile;

namespace {

class VersionText : public ::testing::Test {
 protected:
  std::string Read(const std::string& content, const char* tokens, int size = 256) {
    WriteFile(dir_ / "version.h", content);
    std::string buf(static_cast<std::size_t>(size), 'z');
    const int n = ReadVersionText((dir_ / "version.h").c_str(), tokens, buf.data(), size);
    if (n < 0) {
      EXPECT_EQ(buf[0], '\0') << "the buffer is emptied";
      return "<fail>";
    }
    EXPECT_EQ(std::strlen(buf.c_str()), static_cast<std::size_t>(n));
    return buf.c_str();
  }
  ScratchDir dir_;
};

const char kHeader[] =
    "// product version\n"
    "#pragma once\n"
    "#define VERSION_NAME \"Kopiwart\"\n"
    "#define VERSION \"1.2.3\"\n"
    "#define VERSION_BUILD 42\n";

TEST_F(VersionText, QuotedDefine) {
  EXPECT_EQ(Read(kHeader, R"("*VERSION \"" "*" "\"")"), "1.2.3");
  // Letter case is ignored; the third token defaults to "*".
  EXPECT_EQ(Read(kHeader, R"("*version \"" "*")"), "1.2.3");
  EXPECT_EQ(Read(kHeader, R"("*VERSION_BUILD " "*")"), "42");
  EXPECT_EQ(Read(kHeader, R"("*VERSION_NAME \"" "*" "\"")"), "Kopiwart");
}

TEST_F(VersionText, LineFilters) {
  const char* ini =
      "[general]\n"
      "  name = tool\n"
      "\tVersion = 4.5.6-beta\n"
      "other_version = 9.9\n";
  // "\." : the word begins the line after its indent.
  EXPECT_EQ(Read(ini, R"("\.version = " "*")"), "4.5.6-beta");
  // "*word": the word anywhere in the line; the first line that matches wins.
  EXPECT_EQ(Read(ini, R"("*version = " "*")"), "4.5.6-beta");
  EXPECT_EQ(Read(ini, R"("*_version = " "*")"), "9.9");
  // The filter word must begin the line: "other_version" is not "version".
  EXPECT_EQ(Read("other_version = 9.9\n", R"("\.version = " "*")"), "<fail>");
}

TEST_F(VersionText, RcAndMakefileLines) {
  EXPECT_EQ(Read(" FILEVERSION 3,1,4,1\r\n PRODUCTVERSION 3,1,4,1\r\n", R"("\.FILEVERSION " "*,*,*,*")"),
             "3,1,4,1");
  EXPECT_EQ(Read("VERSION := 2.0.1 # release\n", R"("\.VERSION := " "*" " ")"), "2.0.1");
  EXPECT_EQ(Read("set(PROJECT_VERSION 0.9.12)\n", R"x("*PROJECT_VERSION " "*" ")")x"), "0.9.12");
}

TEST_F(VersionText, NoQualifyingLine) {
  EXPECT_EQ(Read(kHeader, R"("*RELEASE \"" "*" "\"")"), "<fail>");
  EXPECT_EQ(Read("#define VERSION \"\"\n", R"("*VERSION \"" "*" "\"")"), "<fail>");  // empty version
  EXPECT_EQ(Read("#define VERSION 1.2 x\n", R"("*VERSION " "*" ";")"), "<fail>");    // third misses
  EXPECT_EQ(Read("", R"("*VERSION " "*")"), "<fail>");
  EXPECT_EQ(Read(kHeader, ""), "<fail>");

  char buf[8] = "abc";
  EXPECT_EQ(ReadVersionText((dir_ / "missing.h").c_str(), "\"*\"", buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(ReadVersionText(dir_.path().c_str(), "\"*\"", buf, sizeof buf), -1);  // a folder
}

TEST_F(VersionText, LongLinesAreNotSplit) {
  // The rest of a line beyond 1023 characters is not looked at, nor taken for a line of its own.
  std::string text(1030, 'x');
  text += " VERSION \"9.9.9\"\n#define VERSION \"1.2.3\"\n";
  EXPECT_EQ(Read(text, R"("*VERSION \"" "*" "\"")"), "1.2.3");

  std::string fits(1000, 'x');
  fits += "VERSION \"7.7\"\n";
  EXPECT_EQ(Read(fits, R"("*VERSION \"" "*" "\"")"), "7.7");
}

TEST_F(VersionText, CutToTheBufferAtWholeCharacters) {
  EXPECT_EQ(Read(kHeader, R"("*VERSION \"" "*" "\"")", 4), "1.2");
  // "1.0-\xc3\xa4" is cut before the two-byte character, never inside it.
  EXPECT_EQ(Read("VERSION 1.0-\xc3\xa4x\n", R"("\.VERSION " "*")", 6), "1.0-");
  EXPECT_EQ(Read("VERSION 1.0-\xc3\xa4x\n", R"("\.VERSION " "*")", 7), "1.0-\xc3\xa4");
}

}  // namespace

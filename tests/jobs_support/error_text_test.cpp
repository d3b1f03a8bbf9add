// German error texts: known codes, unknown codes, the table's size and distinctness.
#include "jobs/error_text.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(Win32ErrorText, KnownCodesGiveTheirTexts) {
  EXPECT_STREQ(Win32ErrorText(2, "x"), "Eine Datei wurde nicht gefunden");
  EXPECT_STREQ(Win32ErrorText(112, "x"), "Die  Festplatte ist voll");
  EXPECT_STREQ(Win32ErrorText(1326, "x"), "Es gab einen Fehler bein Login");
  EXPECT_STREQ(Win32ErrorText(4309, "x"), "Das Gerät ist ist blockiert");
  EXPECT_STREQ(Win32ErrorText(110, "x"), "Fehler beim Öffnen der Datei");
}

TEST(Win32ErrorText, OtherCodesGiveTheDefault) {
  const char* def = "Vorgabe";
  for (DWORD code : {0u, 1u, 4u, 22u, 1225u, 4310u, 0xFFFFFFFFu}) EXPECT_EQ(Win32ErrorText(code, def), def) << code;
  EXPECT_EQ(Win32ErrorText(4, nullptr), nullptr);
  EXPECT_STREQ(Win32ErrorText(4, ""), "");
}

TEST(Win32ErrorText, ThirtyNineDistinctTexts) {
  std::set<std::string> texts;
  int found = 0;
  for (DWORD code = 0; code < 5000; ++code) {
    if (const char* t = Win32ErrorText(code, nullptr)) {
      ++found;
      texts.insert(t);
    }
  }
  EXPECT_EQ(found, 39);
  EXPECT_EQ(texts.size(), 39u);
}

// Codes that the errno table of the platform layer produces and users see often.
TEST(Win32ErrorText, CodesOfTheErrnoTableHaveTexts) {
  for (DWORD code : {2u, 3u, 5u, 6u, 87u, 112u, 1231u, 1232u, 1226u, 1460u})
    EXPECT_NE(Win32ErrorText(code, nullptr), nullptr) << code;
}

}  // namespace

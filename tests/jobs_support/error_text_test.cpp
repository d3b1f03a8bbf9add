// German error texts: the codes the program knows, exactly as users know them, and the default.
#include "jobs/error_text.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(Win32ErrorText, ThirtyNineCodesWithTheirTextsAndTheDefaultForOthers) {
  EXPECT_STREQ(Win32ErrorText(2, "x"), "Eine Datei wurde nicht gefunden");
  EXPECT_STREQ(Win32ErrorText(112, "x"), "Die  Festplatte ist voll");
  EXPECT_STREQ(Win32ErrorText(1326, "x"), "Es gab einen Fehler bein Login");
  EXPECT_STREQ(Win32ErrorText(4309, "x"), "Das Gerät ist ist blockiert");
  const char* def = "Vorgabe";
  for (DWORD code : {0u, 1u, 4u, 22u, 1225u, 4310u, 0xFFFFFFFFu})
    EXPECT_EQ(Win32ErrorText(code, def), def) << code;
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

}  // namespace

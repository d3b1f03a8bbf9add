// Look settings: round trip through the registry store, defaults, and the menu colour mixes.
#include "app/frame_settings.h"

#include "lib/system/registry.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct FrameSettingsTest : ::testing::Test {
  kpwtest::TempDir config{"frame-settings"};
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1); }
};

TEST_F(FrameSettingsTest, DefaultsRoundTripAndStoredForm) {
  const FrameSettings fresh = LoadFrameSettings();
  EXPECT_EQ(fresh.flatMode, 1);
  EXPECT_EQ(fresh.menuMode, 1);
  for (const FrameSettings s : {FrameSettings{0, 0}, FrameSettings{1, 0}, FrameSettings{0, 1}}) {
    ASSERT_TRUE(SaveFrameSettings(s));
    const FrameSettings back = LoadFrameSettings();
    EXPECT_EQ(back.flatMode, s.flatMode);
    EXPECT_EQ(back.menuMode, s.menuMode);
  }
  // Where other code looks for them: REG_DWORD values under the application's "Settings".
  CRegistry reg;
  ASSERT_TRUE(
      reg.Open(HKEY_CURRENT_USER, (CRegistry::ApplicationKeyPath() + "\\Settings").c_str(), REG_OPEN_READ));
  RegValueInfo info;
  ASSERT_TRUE(reg.QueryValue("MenuMode", info));
  EXPECT_EQ(info.type, static_cast<DWORD>(REG_DWORD));
  DWORD flat = 7;
  EXPECT_TRUE(reg.GetDword("FlatMode", flat));
  EXPECT_EQ(flat, 0u);
}

TEST_F(FrameSettingsTest, ValueOfAnotherTypeKeepsTheDefault) {
  ASSERT_TRUE(SaveFrameSettings({0, 0}));
  CRegistry reg;
  ASSERT_TRUE(
      reg.Open(HKEY_CURRENT_USER, (CRegistry::ApplicationKeyPath() + "\\Settings").c_str(), REG_OPEN_WRITE));
  ASSERT_TRUE(reg.SetString("MenuMode", "0"));
  EXPECT_EQ(LoadFrameSettings().menuMode, 1);
  EXPECT_EQ(LoadFrameSettings().flatMode, 0);
}

TEST(MenuColours, MixesAndPaletteColours) {
  EXPECT_EQ(MixColor(0xFFFFFF, 0x000000, 2), 0x7F7F7Fu);
  EXPECT_EQ(MixColor(0x000000, 0xC8640C, 3), 0x964B09u);  // three quarters of each channel
  EXPECT_EQ(MixColor(0x123456, 0xABCDEF, 0), 0x123456u);
  const MenuPalette p{0xF0F0F0, 0xC06000, 0xFFFFFF, 0x808080, 0x000000};
  const MenuColors plain = MenuColorsFor(0, p);
  EXPECT_EQ(plain.background, p.menu);
  EXPECT_EQ(plain.highlight, p.highlight);
  EXPECT_EQ(plain.grayText, p.grayText);
  EXPECT_EQ(plain.text, p.menuText);
  const MenuColors flat = MenuColorsFor(1, p);
  EXPECT_EQ(flat.highlight, 0xDFAF7Fu);       // half window, half highlight
  EXPECT_EQ(flat.highlightFrame, 0xCF873Fu);  // three quarters highlight
  EXPECT_EQ(flat.imageLight, 0xDFDFDFu);      // one quarter grey text
  EXPECT_EQ(flat.imageDark, 0x9F9F9Fu);       // three quarters grey text
  EXPECT_EQ(flat.text, p.menuText);
}

}  // namespace

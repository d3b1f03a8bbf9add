// The tray icon's plain functions (the tip's cut, a null tip, a removal without an icon) and the
// taskbar's answers on a system without a taskbar interface.
#include "app/tray_taskbar.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// What the functions hand to the tray.
struct RecordingTray : ITrayBackend {
  struct Call {
    std::string op;
    UINT icon;
    std::optional<std::string> tip;
  };
  bool Add(UINT icon, const std::optional<std::string>& tip) override {
    calls.push_back({"add", icon, tip});
    return !std::exchange(shown, true);
  }
  bool Modify(UINT icon, const std::optional<std::string>& tip) override {
    calls.push_back({"modify", icon, tip});
    return shown;
  }
  bool Delete() override {
    calls.push_back({"delete", 0, std::nullopt});
    return std::exchange(shown, false);
  }
  void SetNotify(NotifyFn) override {}
  std::vector<Call> calls;
  bool shown = false;
};

TEST(TrayIcon, TipIsCutTo63CharactersAndANullTipGivesNone) {
  RecordingTray tray;
  // Removing an icon that was never added harms nothing.
  EXPECT_FALSE(TrayIconDelete(tray));
  EXPECT_FALSE(TrayIconModify(tray, IDR_MAINFRAME, "x"));

  const std::string hundred(100, 'a');
  EXPECT_TRUE(TrayIconAdd(tray, IDR_MAINFRAME, hundred.c_str()));
  EXPECT_FALSE(TrayIconAdd(tray, IDR_MAINFRAME, "zweimal"));
  EXPECT_TRUE(TrayIconModify(tray, IDR_MAINFRAME, nullptr));
  EXPECT_TRUE(TrayIconDelete(tray));
  ASSERT_EQ(tray.calls.size(), 6u);
  EXPECT_EQ(tray.calls[2].icon, 128u);
  EXPECT_EQ(tray.calls[2].tip, std::string(63, 'a'));
  EXPECT_EQ(tray.calls[4].tip, std::nullopt);

  // 63 characters, not bytes: umlauts stay whole.
  std::string umlauts;
  for (int i = 0; i < 70; ++i) umlauts += "\xC3\xA4";  // "ä"
  EXPECT_EQ(TrayTipText(umlauts).size(), 126u);
  EXPECT_EQ(TrayTipText("Sicherung"), "Sicherung");
  EXPECT_EQ(TrayTipText(""), "");
}

TEST(Taskbar, ButtonsSucceedWithoutDoingAnythingAndProgressAnswersZero) {
  EXPECT_EQ(TaskbarInit(), TRUE);
  EXPECT_EQ(TaskbarDeleteTab(), TRUE);
  EXPECT_EQ(TaskbarAddTab(), TRUE);
  EXPECT_EQ(TaskbarSetProgressValue(5, 10, 0), FALSE);
  EXPECT_EQ(TaskbarSetProgressState(2), FALSE);
}

}  // namespace

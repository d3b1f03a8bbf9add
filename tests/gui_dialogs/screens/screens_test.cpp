// A dialog closed on the second of two screens reopens there; off both screens it opens at its default place.
#include "app/gui/dialog_places.h"
#include "app/gui/settings_dlg.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

// The screens: A (primary) at the origin, B to its right.
constexpr char kScreens[] =
    R"({"screens":[{"name":"A","x":0,"y":0,"width":1024,"height":768,"logicalDpi":96,"logicalBpi":96,"dpr":1},)"
    R"({"name":"B","x":1024,"y":0,"width":1280,"height":1024,"logicalDpi":96,"logicalBpi":96,"dpr":1}]})";

QPoint OpenAndClose(CDialogPlaces& places, const std::function<void(QWidget&)>& act) {
  CCopySettingsDlg dlg(nullptr, &places);
  std::string text;
  dlg.SetText(&text);
  QPoint opened;
  QTimer::singleShot(0, &dlg, [&] {
    opened = dlg.pos();
    act(dlg);
    static_cast<QPushButton*>(dlg.GetDlgItem(IDCANCEL))->click();
  });
  QTimer::singleShot(10000, &dlg, [&] { dlg.done(99); });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  return opened;
}

TEST(DialogScreens, ClosedOnTheSecondScreenItReopensThereAndNowhereElse) {
  ASSERT_EQ(QGuiApplication::screens().size(), 2);
  ASSERT_EQ(QGuiApplication::primaryScreen()->name(), QStringLiteral("A"));
  CDialogPlaces places;
  const QPoint defaultPlace = OpenAndClose(places, [](QWidget& dlg) { dlg.move(1500, 600); });
  EXPECT_LT(defaultPlace.x(), 1024);
  EXPECT_EQ(OpenAndClose(places, [](QWidget& dlg) {
              EXPECT_EQ(dlg.screen()->name(), QStringLiteral("B"));
              dlg.move(1024 - 60, 700);  // astride both, within the left margin of B
            }),
            QPoint(1500, 600));
  EXPECT_EQ(OpenAndClose(places, [](QWidget& dlg) { dlg.move(2250, 40); }), QPoint(1024 - 60, 700));
  // On B but past its right margin: the default place.
  EXPECT_EQ(OpenAndClose(places, [](QWidget&) {}), defaultPlace);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string config = (std::filesystem::temp_directory_path() /
                              ("kpw-screens-" + std::to_string(::getpid()) + ".json")).string();
  std::ofstream(config) << kScreens;
  ::setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1);
  char runtime[] = "/tmp/kpw-screens-run-XXXXXX";
  if (!::mkdtemp(runtime)) return 2;
  ::setenv("XDG_RUNTIME_DIR", runtime, 1);
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  const int status = RUN_ALL_TESTS();
  std::filesystem::remove(config);
  std::filesystem::remove_all(runtime);
  return status;
}

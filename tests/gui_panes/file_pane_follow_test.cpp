// The file pane follows its folder: entries made, removed or renamed there show without reopening it.
#include "panes/gui/datei_view.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTreeView>

#include <stdio.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>

namespace {

std::vector<std::string> Shown(QTreeView* list) {
  std::vector<std::string> names;
  for (int r = 0; r < list->model()->rowCount(); ++r)
    names.push_back(list->model()->index(r, 0).data().toString().toStdString());
  return names;
}

// Runs the main loop until done holds, for at most five seconds.
bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

struct FollowingPane : ::testing::Test {
  void SetUp() override {
    kpwtest::WriteFile(dir / "daten/a.txt", "a");
    kpwtest::WriteFile(dir / "daten/b.txt", "b");
    ASSERT_EQ(::mkdir((dir / "daten/unter").c_str(), 0755), 0);
    window.resize(400, 200);
    pane = new DateiView;
    ASSERT_TRUE(pane->Create(0x70, QRect(0, 0, 400, 200), &window, 0x88770012));
    window.show();
  }
  std::vector<std::string> Names() { return Shown(pane->List()); }
  bool WaitForNames(const std::vector<std::string>& want) {
    return WaitFor([&] { return Names() == want; });
  }
  kpwtest::TempDir dir{"pane-follow"};
  QWidget window;
  DateiView* pane = nullptr;  // a child of window
};

TEST_F(FollowingPane, MadeRemovedAndRenamedEntriesShow) {
  ASSERT_TRUE(pane->OpenPath((dir / "daten").c_str()));
  EXPECT_EQ(pane->WatchedFolders(), (std::vector<std::string>{dir.path(), dir / "daten"}));
  kpwtest::WriteFile(dir / "daten/c.txt", std::string(5000, 'c'));
  EXPECT_TRUE(WaitForNames({"unter", "a.txt", "b.txt", "c.txt"}));
  EXPECT_EQ(pane->List()->model()->index(3, DateiView::kColSize).data().toString(), QStringLiteral("5 KB"));
  ASSERT_EQ(::unlink((dir / "daten/a.txt").c_str()), 0);
  EXPECT_TRUE(WaitForNames({"unter", "b.txt", "c.txt"}));
  ASSERT_EQ(::rename((dir / "daten/b.txt").c_str(), (dir / "daten/0.txt").c_str()), 0);
  ASSERT_EQ(::mkdir((dir / "daten/neu").c_str(), 0755), 0);
  EXPECT_TRUE(WaitForNames({"neu", "unter", "0.txt", "c.txt"}));

  // Only the folder shown is watched, and the one above it for its name.
  emit pane->List()->activated(pane->List()->model()->index(1, 0));
  ASSERT_EQ(pane->Folder(), dir / "daten/unter");
  EXPECT_EQ(pane->WatchedFolders(), (std::vector<std::string>{dir / "daten", dir / "daten/unter"}));
  kpwtest::WriteFile(dir / "daten/unter/x", "x");
  EXPECT_TRUE(WaitForNames({"x"}));
}

TEST_F(FollowingPane, SelectionCurrentEntryAndScrollPositionStay) {
  for (int i = 0; i < 300; ++i) {
    char name[16];
    ::snprintf(name, sizeof name, "f%03d", i);
    kpwtest::WriteFile(dir / ("daten/" + std::string(name)), "");
  }
  ASSERT_TRUE(pane->OpenPath((dir / "daten").c_str()));
  QTreeView* list = pane->List();
  QApplication::processEvents();
  // Rows 3 + 150 and 3 + 152 are f150 and f152; the view shows them in its middle.
  list->selectionModel()->setCurrentIndex(list->model()->index(153, 0),
                                          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  list->selectionModel()->select(list->model()->index(155, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  list->scrollTo(list->model()->index(153, 0), QAbstractItemView::PositionAtCenter);
  QApplication::processEvents();
  const int top = list->verticalScrollBar()->value();
  ASSERT_GT(top, 0);
  const std::vector<std::string> selected = {dir / "daten/f150", dir / "daten/f152"};
  ASSERT_EQ(pane->SelectedPaths(), selected);

  // Entries come and go above and below, and the selected ones change.
  kpwtest::WriteFile(dir / "daten/f299", "nun größer");
  kpwtest::WriteFile(dir / "daten/f150", "auch");
  ASSERT_EQ(::unlink((dir / "daten/f010").c_str()), 0);
  ASSERT_EQ(::unlink((dir / "daten/f151").c_str()), 0);
  kpwtest::WriteFile(dir / "daten/g", "");
  ASSERT_TRUE(WaitFor([&] { return Names().back() == "g" && Names().size() == 302u; }));
  EXPECT_EQ(pane->SelectedPaths(), selected);
  EXPECT_EQ(list->currentIndex().data().toString(), QStringLiteral("f150"));
  EXPECT_EQ(list->verticalScrollBar()->value(), top);

  // The current entry itself goes: the selection that is left stays.
  ASSERT_EQ(::unlink((dir / "daten/f150").c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return Names().size() == 301u; }));
  EXPECT_EQ(pane->SelectedPaths(), std::vector<std::string>{dir / "daten/f152"});
  EXPECT_EQ(list->verticalScrollBar()->value(), top);
}

TEST_F(FollowingPane, AFolderThatGoesAwayGivesWayToTheNearestOneAbove) {
  ASSERT_EQ(::mkdir((dir / "daten/unter/tief").c_str(), 0755), 0);
  ASSERT_TRUE(pane->OpenPath((dir / "daten/unter/tief").c_str()));
  std::filesystem::remove_all(dir / "daten/unter");
  EXPECT_TRUE(WaitFor([&] { return pane->Folder() == dir / "daten"; }));
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(pane->WatchedFolders(), (std::vector<std::string>{dir.path(), dir / "daten"}));

  // Renamed away: its parent shows it under its new name.
  ASSERT_EQ(::mkdir((dir / "daten/alt").c_str(), 0755), 0);
  ASSERT_TRUE(pane->OpenPath((dir / "daten/alt").c_str()));
  ASSERT_EQ(::rename((dir / "daten/alt").c_str(), (dir / "daten/neu").c_str()), 0);
  EXPECT_TRUE(WaitFor([&] { return pane->Folder() == dir / "daten"; }));
  EXPECT_TRUE(WaitForNames({"neu", "a.txt", "b.txt"}));

  // Removed and made again before the pane looked: it stays, and is watched anew.
  ASSERT_TRUE(pane->OpenPath((dir / "daten/neu").c_str()));
  ASSERT_EQ(::rmdir((dir / "daten/neu").c_str()), 0);
  ASSERT_EQ(::mkdir((dir / "daten/neu").c_str(), 0755), 0);
  kpwtest::WriteFile(dir / "daten/neu/eins", "");
  EXPECT_TRUE(WaitForNames({"eins"}));
  EXPECT_EQ(pane->Folder(), dir / "daten/neu");
  kpwtest::WriteFile(dir / "daten/neu/zwei", "");
  EXPECT_TRUE(WaitForNames({"eins", "zwei"}));

  // Renamed away and another made under its name: the pane shows and watches the new one.
  ASSERT_EQ(::rename((dir / "daten/neu").c_str(), (dir / "daten/weg").c_str()), 0);
  ASSERT_EQ(::mkdir((dir / "daten/neu").c_str(), 0755), 0);
  EXPECT_TRUE(WaitForNames({}));
  kpwtest::WriteFile(dir / "daten/weg/nicht", "");
  kpwtest::WriteFile(dir / "daten/neu/drei", "");
  EXPECT_TRUE(WaitForNames({"drei"}));
  EXPECT_EQ(pane->Folder(), dir / "daten/neu");
}

// Names are bytes: one that is no UTF-8 is dragged and kept under its own name.
TEST_F(FollowingPane, NamesThatAreNoUtf8KeepTheirBytes) {
  const std::string odd = "caf\xE9.txt";
  kpwtest::WriteFile(dir / ("daten/" + odd), "latin1");
  ASSERT_TRUE(pane->OpenPath((dir / "daten").c_str()));
  ASSERT_EQ(Names().size(), 4u);
  QTreeView* list = pane->List();
  int row = -1;
  for (int r = 0; r < list->model()->rowCount(); ++r)
    if (list->model()->index(r, 0).data().toString().startsWith(QStringLiteral("caf"))) row = r;
  ASSERT_GE(row, 0);
  list->selectionModel()->select(list->model()->index(row, 0),
                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  EXPECT_EQ(pane->SelectedPaths(), std::vector<std::string>{dir / ("daten/" + odd)});
  // A change elsewhere in the folder keeps that row and its selection.
  kpwtest::WriteFile(dir / "daten/d.txt", "");
  ASSERT_TRUE(WaitFor([&] { return Names().size() == 5u; }));
  EXPECT_EQ(pane->SelectedPaths(), std::vector<std::string>{dir / ("daten/" + odd)});
}

}  // namespace

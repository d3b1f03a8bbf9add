// The common controls' services: clipboard text, file icons by kind and name, the splitter bar.
#include "controls/gui/clipboard.h"
#include "controls/gui/shell_icons.h"
#include "controls/gui/track_splitter.h"
#include "controls/gui/treelist_icons.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QClipboard>
#include <QSplitterHandle>
#include <QTest>

#include <sys/stat.h>

namespace {

TEST(ClipSetText, PutsTheWholeUtf8TextOnTheClipboard) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  ASSERT_TRUE(ClipSetText("Größe/Ordner", -1));
  EXPECT_EQ(clipboard->text(), QStringLiteral("Größe/Ordner"));
  ASSERT_TRUE(ClipSetText("abcdef", 3));
  EXPECT_EQ(clipboard->text(), QStringLiteral("abc"));
  const std::string longText = "/" + std::string(5000, 'x') + "/ende";
  ASSERT_TRUE(ClipSetText(longText.c_str(), -1));
  EXPECT_EQ(clipboard->text().toStdString(), longText);
  EXPECT_FALSE(ClipSetText(nullptr, -1));
  EXPECT_EQ(clipboard->text().toStdString(), longText);
}

TEST(ShellGetFileIcon, KindsAndNamesGiveKeysOfTheSmallIconList) {
  kpwtest::TempDir dir("shell-icons");
  ASSERT_EQ(::mkdir((dir / "ordner").c_str(), 0755), 0);
  kpwtest::WriteFile(dir / "brief.txt", "x");
  CTreeListIcons& icons = ShellSmallIcons();
  const int folder = ShellGetFileIcon((dir / "ordner").c_str(), SHELL_ICON_SMALL);
  EXPECT_EQ(icons.KeyOf(folder), "folder");
  const int text = ShellGetFileIcon((dir / "brief.txt").c_str(), SHELL_ICON_SMALL);
  EXPECT_EQ(icons.KeyOf(text), "text/plain");
  // By name the path need not exist, and a folder's name is only a name.
  EXPECT_EQ(ShellGetFileIcon((dir / "fehlt.txt").c_str(), 17), text);
  EXPECT_EQ(icons.KeyOf(ShellGetFileIcon((dir / "ordner").c_str(), 17)), "application/octet-stream");
  EXPECT_LT(ShellGetFileIcon((dir / "fehlt.txt").c_str(), SHELL_ICON_SMALL), 0);
  EXPECT_LT(ShellGetFileIcon(nullptr, 17), 0);
  EXPECT_FALSE(icons.Icon(folder).isNull());
}

struct SplitterRig : ::testing::Test {
  void SetUp() override {
    splitter.resize(300, 407);
    // As the view's panes: any height down to 0.
    for (QWidget* w : {&upper, &lower, &other}) w->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Ignored);
    lower.setMinimumHeight(1);
    splitter.addWidget(&upper);
    splitter.addWidget(&lower);
    splitter.addWidget(&other);
    splitter.setCollapsible(1, false);
    splitter.setCollapsible(2, false);
    other.hide();
    splitter.show();
    splitter.SetSplit(100);
    splitter.OnSplitMoved([this](int split) { moved.push_back(split); });
  }
  void TearDown() override {
    // The widgets are the fixture's: out of the splitter before it goes.
    for (QWidget* w : {&upper, &lower, &other}) w->setParent(nullptr);
  }
  CTrackSplitter splitter;
  QWidget upper, lower, other;
  std::vector<int> moved;
};

TEST_F(SplitterRig, TheBarIsSevenPixelsAndStaysInTheWindow) {
  EXPECT_EQ(splitter.handleWidth(), 7);
  EXPECT_EQ(upper.height(), 100);
  EXPECT_EQ(lower.y(), 107);
  EXPECT_EQ(lower.height(), 300);
  EXPECT_EQ(WndTrackSplitter(splitter, 50), 50);
  EXPECT_EQ(upper.height(), 150);
  EXPECT_EQ(WndTrackSplitter(splitter, -1000), -150);  // above the top: the list has height 0
  EXPECT_EQ(upper.height(), 0);
  EXPECT_EQ(WndTrackSplitter(splitter, 5000), 399);  // below the bottom: the lower pane keeps a pixel
  EXPECT_EQ(lower.height(), 1);
  EXPECT_EQ(WndTrackSplitter(splitter, 0), 0);
  EXPECT_EQ(moved, (std::vector<int>{150, 0, 399}));
  // The hidden pane takes no room; when it shows instead, it gets the lower place.
  lower.hide();
  other.show();
  splitter.SetSplit(120);
  EXPECT_EQ(upper.height(), 120);
  EXPECT_EQ(other.y(), 127);
}

TEST_F(SplitterRig, AMouseDragOfTheBarMovesIt) {
  QSplitterHandle* bar = splitter.handle(1);
  ASSERT_TRUE(bar->isVisible());
  const QPoint grip(bar->width() / 2, 3);
  QTest::mousePress(bar, Qt::LeftButton, {}, grip);
  QMouseEvent move(QEvent::MouseMove, QPointF(grip + QPoint(0, 40)), bar->mapToGlobal(QPointF(grip + QPoint(0, 40))),
                   Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(bar, &move);
  QTest::mouseRelease(bar, Qt::LeftButton, {}, grip + QPoint(0, 40));
  EXPECT_EQ(upper.height(), 140);
  ASSERT_FALSE(moved.empty());
  EXPECT_EQ(moved.back(), 140);
}

}  // namespace

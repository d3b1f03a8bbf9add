// The job list as users of other desktop programs work it: typing on a cell, Tab between cells,
// Space/F2/double click on "Unter", the menu keys, the current cell's frame, the title's mark of
// unsaved changes, the filter bar's rows, new rows while the bar hides every row, the icons after
// a run, a list that grows with the window.
#include "app/gui/job_list_wnd.h"
#include "tests/support/gui/gui_rig.h"

#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

#include <set>

namespace {

using namespace kpwgui;

class ViewKeys : public ::testing::Test {
 protected:
  void Start(std::string rows = {}) {
    if (rows.empty())
      rows = JobRow("/daten/a", "/sicherung/a") + JobRow("/daten/b", "/sicherung/b", "/ZIP") +
             JobRow("/daten/c", "/sicherung/c", "/MOVE", "", false);
    file = dir / "jobs.kpw";
    kpwtest::WriteFile(file, rows + kAlways);
    ASSERT_TRUE(rig.Init({file.c_str()}));
    rig.Activate();
  }
  CTreeListStore& Store() { return rig.View().List(); }
  std::string Cell(int row, int column) { return rig.View().GetCell(row, column).value_or("?"); }
  void FocusCell(int row, int column) {
    const HTREEITEM item = Store().GetItemOfRow(row);
    ASSERT_TRUE(Store().SelectFocus(item));
    ASSERT_TRUE(Store().SelectSubItem(column, item));
    rig.Settle();
    rig.List().setFocus();
  }
  // Each character goes where the keyboard sends it: to the widget with the focus then.
  void Type(const QString& text) {
    for (const QChar c : text) {
      QWidget* target = QApplication::focusWidget();
      ASSERT_NE(target, nullptr);
      // A capital comes with Shift, as from a keyboard.
      QTest::keyClick(target, c.toLatin1(), c.isUpper() ? Qt::ShiftModifier : Qt::NoModifier);
    }
  }
  // Return in the open editor; the edit ends from the loop.
  void Commit() {
    QWidget* editor = rig.List().Editor();
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.List().Editor() == nullptr; }, 5000));
    rig.Settle();
  }
  QString Title() {
    rig.frame.Router().RunIdleUpdate();
    return rig.frame.windowTitle();
  }
  QRect CellRect(int row, int column) {
    rig.Settle();
    return rig.List().visualRect(rig.List().model()->index(row, column));
  }

  kpwtest::TempDir dir{"view-keys"};
  std::string file;
  CScriptedPrompter prompter{{IDOK}};
  Rig rig;
};

TEST_F(ViewKeys, TypingOnACellStartsItsEditorWithEveryCharacterTyped) {
  Start();
  FocusCell(0, 1);
  Type(QStringLiteral("/neu/ziel"));
  auto* edit = qobject_cast<QLineEdit*>(rig.List().Editor());
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->text(), QStringLiteral("/neu/ziel"));
  Commit();
  EXPECT_EQ(Cell(0, 1), "/neu/ziel");
  EXPECT_TRUE(rig.View().IsListModified());
  // The mode cell: a letter picks the first mode it begins with.
  FocusCell(1, 5);
  Type(QStringLiteral("U"));
  auto* combo = qobject_cast<QComboBox*>(rig.List().Editor());
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->currentText(), QStringLiteral("Update"));
  Commit();
  EXPECT_EQ(Cell(1, 5), "Update");
  // On "Unter" a letter does nothing.
  FocusCell(0, 4);
  Type(QStringLiteral("x"));
  EXPECT_EQ(rig.List().Editor(), nullptr);
  EXPECT_EQ(Cell(0, 4), "Ja");
}

TEST_F(ViewKeys, TheTitleMarksUnsavedChanges) {
  Start();
  EXPECT_EQ(Title(), QStringLiteral("jobs.kpw - Kopiwart"));
  ASSERT_TRUE(rig.frame.SendCommand(ID_EDIT_DELETE));
  EXPECT_EQ(Title(), QStringLiteral("jobs.kpw* - Kopiwart"));
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILE_SAVE));
  EXPECT_EQ(Title(), QStringLiteral("jobs.kpw - Kopiwart"));
}

TEST_F(ViewKeys, TabAndShiftTabMoveTheEditBetweenTheCellsOfTheRow) {
  Start();
  FocusCell(0, 0);
  rig.Key(Qt::Key_F2);
  ASSERT_NE(rig.List().Editor(), nullptr);
  Type(QStringLiteral("/q"));
  std::vector<int> columns;
  for (int i = 0; i < 4; ++i) {
    QTest::keyClick(rig.List().Editor(), Qt::Key_Tab);
    rig.Settle();
    ASSERT_NE(rig.List().Editor(), nullptr) << i;
    columns.push_back(rig.List().currentIndex().column());
  }
  // "Unter" has no editor: Tab goes past it.
  EXPECT_EQ(columns, (std::vector<int>{1, 2, 3, 5}));
  QTest::keyClick(rig.List().Editor(), Qt::Key_Backtab, Qt::ShiftModifier);
  rig.Settle();
  ASSERT_NE(rig.List().Editor(), nullptr);
  EXPECT_EQ(rig.List().currentIndex().column(), 3);
  EXPECT_EQ(rig.List().currentIndex().row(), 0);
  EXPECT_EQ(Cell(0, 0), "/q");  // the cell left with Tab kept its edit
  QTest::keyClick(rig.List().Editor(), Qt::Key_Escape);
}

TEST_F(ViewKeys, SpaceF2ReturnAndADoubleClickToggleUnterOnce) {
  Start();
  FocusCell(0, 4);
  ASSERT_EQ(Cell(0, 4), "Ja");
  rig.Key(Qt::Key_Space);
  EXPECT_EQ(Cell(0, 4), "Nein");
  rig.Key(Qt::Key_F2);  // the menu's key
  EXPECT_EQ(Cell(0, 4), "Ja");
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(Cell(0, 4), "Nein");
  EXPECT_EQ(rig.List().Editor(), nullptr);
  // A double click toggles once, on the focused cell and on another.
  QTest::mouseDClick(rig.List().viewport(), Qt::LeftButton, {}, CellRect(0, 4).center());
  rig.Settle();
  EXPECT_EQ(Cell(0, 4), "Ja");
  QTest::qWait(QApplication::doubleClickInterval() + 50);
  QTest::mouseDClick(rig.List().viewport(), Qt::LeftButton, {}, CellRect(1, 4).center());
  rig.Settle();
  EXPECT_EQ(Cell(1, 4), "Nein");
  // Space elsewhere selects, as in other lists: no editor, no change.
  FocusCell(0, 0);
  rig.Key(Qt::Key_Space);
  EXPECT_EQ(rig.List().Editor(), nullptr);
  EXPECT_EQ(Cell(0, 0), "/daten/a");
}

TEST_F(ViewKeys, TheMenuKeysWorkOnTheList) {
  Start();
  FocusCell(0, 0);
  rig.Key(Qt::Key_Insert);
  EXPECT_EQ(rig.View().GetInfo(0), 4);
  FocusCell(0, 0);
  rig.Key(Qt::Key_Down, Qt::ControlModifier);
  EXPECT_EQ(Cell(1, 0), "/daten/a");
  rig.Key(Qt::Key_Up, Qt::ControlModifier);
  EXPECT_EQ(Cell(0, 0), "/daten/a");
  // Shift+F10 opens the list's context menu at the current cell.
  FocusCell(1, 6);
  QString first;
  QRect popupAt;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!popup) return;
    first = popup->actions().front()->text();
    popupAt = popup->geometry();
    popup->close();
  });
  poll.start(5);
  Watchdog watchdog(10000);
  QTest::keyClick(&rig.List(), Qt::Key_F10, Qt::ShiftModifier);
  poll.stop();
  EXPECT_EQ(first.remove(QLatin1Char('&')), QStringLiteral("Feld kopieren"));
  const QRect cell = CellRect(1, 6);
  EXPECT_EQ(popupAt.top(), rig.List().viewport()->mapToGlobal(cell.bottomLeft()).y());
}

TEST_F(ViewKeys, TheCurrentCellHasAFrameOfItsOwn) {
  Start();
  FocusCell(0, 1);
  ASSERT_TRUE(rig.List().hasFocus());
  const QImage image = rig.List().viewport()->grab().toImage();
  const QRect current = CellRect(0, 1), other = CellRect(0, 2);
  const int y = current.center().y();
  // The left edge of the current cell differs from the same place of its neighbour in the row.
  EXPECT_NE(image.pixel(current.left(), y), image.pixel(other.left(), y));
  EXPECT_EQ(image.pixel(other.left() + 3, y), image.pixel(other.left(), y));
}

TEST_F(ViewKeys, WithTheFilterBarRowsKeepTheirHeightAndTheBarSaysWhatItIsFor) {
  Start();
  const int height = CellRect(0, 0).height();
  ASSERT_GE(height, 16);
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILTER_BAR));
  EXPECT_EQ(CellRect(0, 0).height(), height);  // the bar
  EXPECT_EQ(CellRect(1, 0).height(), height);
  // An empty cell of the bar shows its grey word; the job rows' empty cells show nothing.
  FocusCell(1, 0);
  const QImage image = rig.List().viewport()->grab().toImage();
  auto colours = [&](const QRect& r) {
    std::set<QRgb> seen;
    for (int x = r.left() + 2; x < r.right() - 1; ++x)
      for (int y = r.top() + 2; y < r.bottom() - 1; ++y) seen.insert(image.pixel(x, y));
    return seen.size();
  };
  EXPECT_GT(colours(CellRect(0, 2)), 1u);
  EXPECT_EQ(colours(CellRect(2, 2)), 1u);
}

TEST_F(ViewKeys, NewRowsTakeTheLastJobRowAsTemplateWhenTheBarHidesEveryRow) {
  Start();
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILTER_BAR));
  Store().SetItemText(rig.View().GetFilterBarItem(), "/nirgends*", 0);
  rig.View().ApplyFilter(true);
  rig.Settle();
  ASSERT_EQ(Store().GetRowCount(), 1);  // only the bar shows
  const std::string dropped = dir / "neu.txt";
  kpwtest::WriteFile(dropped, "x");
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(dropped))});
  const QPoint below(10, rig.List().viewport()->height() - 3);
  QDragEnterEvent enter(below, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(rig.List().viewport(), &enter);
  QDropEvent drop(below, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(rig.List().viewport(), &drop);
  rig.Settle();
  const std::vector<HTREEITEM> items = Store().GetAllItems();
  ASSERT_EQ(items.size(), 5u);
  const HTREEITEM added = items.back();
  EXPECT_EQ(Store().GetItemText(added, 0), dropped);
  EXPECT_EQ(Store().GetItemText(added, 1), "/sicherung/c");
  EXPECT_EQ(Store().GetItemText(added, 4), "Nein");
  EXPECT_EQ(Store().GetItemText(added, 5), "Move");
}

TEST_F(ViewKeys, AfterARunTheTargetsIconsAreReadAgain) {
  const std::string src = dir / "quelle", dst = dir / "ziel";
  kpwtest::WriteFile(src + "/a.txt", "x");
  Start(JobRow(src, dst));
  auto targetIcon = [&] {
    return rig.frame.Icons().KeyOf(Store().GetItemImage(Store().GetItemOfRow(0), 1));
  };
  EXPECT_NE(targetIcon(), "folder");
  Watchdog watchdog;
  rig.Key(Qt::Key_F5);
  ASSERT_EQ(kpwtest::ReadFile(dst + "/a.txt"), "x");
  EXPECT_EQ(targetIcon(), "folder");
}

TEST_F(ViewKeys, TheListGrowsWithTheWindow) {
  Start();
  const int before = rig.List().height();
  rig.frame.resize(1400, 900);
  rig.Settle();
  EXPECT_GE(rig.List().height(), 2 * before);
  EXPECT_GE(rig.List().height() / CellRect(0, 0).height(), 8);
}

}  // namespace

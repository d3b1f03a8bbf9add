// The job list's rows in the window: the cell editor's limit, new rows and dragged rows.
#include "tests/support/gui/gui_rig.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>

#include <algorithm>

namespace {

using namespace kpwgui;

// Types text into a widget key by key, as a keyboard would.
void Type(QWidget* w, const QString& text) {
  for (const QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(w, &release);
  }
}

// Opens a job list of two rows in the window.
void OpenTwoRows(const kpwtest::TempDir& dir, Rig& rig) {
  const std::string file = dir / "jobs.kpw";
  kpwtest::WriteFile(file, JobRow("/daten/a", "/sicherung/a") + JobRow("/daten/b", "/sicherung/b") + kAlways);
  ASSERT_TRUE(rig.Init({file.c_str()}));
  rig.Activate();
}

TEST(ViewRows, TheCellEditorStopsAtTheCellLimitAndKeepsALongerCellWhole) {
  kpwtest::TempDir dir("gui-limit");
  CScriptedPrompter prompter;
  Rig rig;
  OpenTwoRows(dir, rig);

  // 2,000 characters typed into a target cell: the editor takes 1,283 and no more.
  rig.View().List().SelectSubItem(JOB_COL_TARGET, rig.View().List().GetItemOfRow(0));
  rig.Key(Qt::Key_F2);
  auto* editor = qobject_cast<QLineEdit*>(rig.List().Editor());
  ASSERT_NE(editor, nullptr);
  editor->clear();
  Type(editor, "/" + QString(1999, QChar(u'ä')));
  EXPECT_EQ(editor->text().size(), kJobCellMaxChars);
  QTest::keyClick(editor, Qt::Key_Return);
  rig.Settle();
  EXPECT_EQ(rig.View().GetCell(0, JOB_COL_TARGET).value_or("").size(), 1u + 1282u * 2u);

  // A cell that came in longer: opened and closed unchanged, it stays whole.
  const std::string longer = "/sicherung/" + std::string(2000, 'z');
  const HTREEITEM second = rig.View().List().GetItemOfRow(1);
  rig.View().List().SetItemText(second, longer, JOB_COL_TARGET);
  rig.View().List().SelectSubItem(JOB_COL_TARGET, second);
  rig.Key(Qt::Key_F2);
  editor = qobject_cast<QLineEdit*>(rig.List().Editor());
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text().size(), static_cast<qsizetype>(longer.size()));
  QTest::keyClick(editor, Qt::Key_End);
  Type(editor, "zz");
  QTest::keyClick(editor, Qt::Key_Return);
  rig.Settle();
  EXPECT_EQ(rig.View().GetCell(1, JOB_COL_TARGET).value_or("").size(), longer.size());
  EXPECT_TRUE(prompter.asked.empty());
}

TEST(ViewRows, ANewRowIsSelectedOnItsSourceAndADraggedRowStaysSelected) {
  kpwtest::TempDir dir("gui-rows");
  CScriptedPrompter prompter;
  Rig rig;
  OpenTwoRows(dir, rig);
  rig.View().List().SelectSubItem(JOB_COL_TARGET, rig.View().List().GetItemOfRow(0));
  rig.Settle();

  auto selectedRows = [&] {
    std::vector<int> rows;
    for (const QModelIndex& i : rig.List().selectionModel()->selectedRows()) rows.push_back(i.row());
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  ASSERT_TRUE(rig.frame.SendCommand(ID_NEW_ENTRY));
  rig.Settle();
  ASSERT_EQ(rig.View().List().GetRowCount(), 3);
  EXPECT_EQ(selectedRows(), std::vector<int>{2});
  EXPECT_EQ(rig.List().currentIndex(), rig.List().model()->index(2, JOB_COL_SOURCE));

  // The new row, dragged onto the first, is still the selected one there.
  const HTREEITEM added = rig.View().List().GetItemOfRow(2);
  ASSERT_TRUE(rig.List().DropRow(added, rig.List().visualRect(rig.List().model()->index(0, 1)).center()));
  rig.Settle();
  EXPECT_EQ(rig.View().List().GetItemOfRow(0), added);
  EXPECT_EQ(selectedRows(), std::vector<int>{0});
  EXPECT_EQ(rig.List().currentIndex().row(), 0);
  EXPECT_EQ(rig.View().List().GetFocusedItem(), added);
  EXPECT_TRUE(rig.app.GetDocument()->IsModified());
}

}  // namespace

// The lists of the special-settings dialogs under the keyboard and the mouse as a user works
// them: typing on a line, Return on a line that is not edited, a click below the lines.
#include "app/gui/settings_dlg.h"
#include "tests/gui_dialogs/dialog_driver.h"

#include <QMouseEvent>

namespace {

using namespace kpwdlg;
using Strings = std::vector<std::string>;

// Each key goes where the keyboard sends it: to the widget that has the focus then.
void TypeKeys(const QString& text) {
  for (const QChar c : text) {
    QWidget* target = QApplication::focusWidget();
    ASSERT_NE(target, nullptr);
    // A capital comes with Shift, as from a keyboard.
    QTest::keyClick(target, c.toLatin1(), c.isUpper() ? Qt::ShiftModifier : Qt::NoModifier);
  }
}

// Return in the open editor: the edit ends (the view commits it from its loop).
void Commit(CTreeListCtrl& list) {
  ASSERT_NE(list.Editor(), nullptr);
  QTest::keyClick(list.Editor(), Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return list.Editor() == nullptr; }, 5000));
  list.Sync();
}

void Show(CDialog& dlg) {
  dlg.activateWindow();
  QApplication::setActiveWindow(&dlg);
}

TEST(SettingsListKeys, TypingOnALineStartsItsEditorWithEveryCharacterTyped) {
  CCopySettingsDlg dlg;
  std::string text = "alt";
  dlg.SetText(&text);
  const INT_PTR answer = RunModal(dlg, [&] {
    Show(dlg);
    CTreeListCtrl& list = *dlg.ListCtrl(IDC_FOLDER_LIST);
    // A click on the empty last line, then typing: nothing typed is lost.
    const QRect last = list.visualRect(list.model()->index(1, 0));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, last.center());
    list.setFocus();
    TypeKeys(QStringLiteral("Unter2"));
    ASSERT_NE(list.Editor(), nullptr);
    Commit(list);
    EXPECT_EQ(Rows(list), (Strings{"alt", "Unter2", ""}));
    // Typing on a line that holds text replaces it, as a cell of a table does.
    list.Store().SelectFocus(list.Store().GetItemOfRow(0));
    list.Sync();
    list.setFocus();
    TypeKeys(QStringLiteral("neu"));
    Commit(list);
    EXPECT_EQ(Rows(list), (Strings{"neu", "Unter2", ""}));
    Click(dlg, IDOK);
  });
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(text, "neu;Unter2");
}

TEST(SettingsListKeys, ReturnOnALineThatIsNotEditedPressesOk) {
  CSubdirSettingsDlg dlg;
  std::string text = "a;b";
  dlg.SetText(&text);
  const INT_PTR answer = RunModal(dlg, [&] {
    Show(dlg);
    CTreeListCtrl& list = *dlg.ListCtrl(IDC_FOLDER_LIST);
    list.Store().SelectFocus(list.Store().GetItemOfRow(1));
    list.Sync();
    list.setFocus();
    ASSERT_EQ(list.Editor(), nullptr);
    QTest::keyClick(&list, Qt::Key_Return);
  });
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(text, "a;b");
}

TEST(SettingsListKeys, AClickBelowTheLinesStartsTheNewLine) {
  CCopySettingsDlg dlg;
  std::string text = "a";
  dlg.SetText(&text);
  const INT_PTR answer = RunModal(dlg, [&] {
    Show(dlg);
    CTreeListCtrl& list = *dlg.ListCtrl(IDC_FOLDER_LIST);
    const QPoint below(10, list.viewport()->height() - 4);
    ASSERT_FALSE(list.indexAt(below).isValid());
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, below);
    auto* edit = qobject_cast<QLineEdit*>(list.Editor());
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(list.currentIndex().row(), 1);  // the empty last line
    TypeKeys(QStringLiteral("b"));
    Commit(list);
    EXPECT_EQ(Rows(list), (Strings{"a", "b", ""}));
    Click(dlg, IDOK);
  });
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(text, "a;b");
}

}  // namespace

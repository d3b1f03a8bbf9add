// The job-list window driven as a user would: keys, cell edit, delete and undo, save, closing.
#include "controls/gui/toolbar_new.h"
#include "tests/support/gui/gui_rig.h"

#include <QLineEdit>
#include <QMenuBar>

#include <algorithm>

namespace {

using namespace kpwgui;

std::string SevenRows(const std::string& firstTarget) {
  std::string text;
  for (int i = 1; i <= 7; ++i)
    text += JobRow("/daten/quelle" + std::to_string(i),
                   i == 1 ? firstTarget : "/sicherung/ziel" + std::to_string(i));
  return text + kAlways;
}

void SelectRows(CTreeListCtrl& list, std::initializer_list<int> rows) {
  QItemSelection selection;
  for (int row : rows) {
    const QModelIndex index = list.model()->index(row, 0);
    selection.select(index, index);
  }
  list.selectionModel()->setCurrentIndex(list.model()->index(*rows.begin(), 0),
                                         QItemSelectionModel::NoUpdate);
  list.selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

TEST(ViewSession, EditDeleteUndoSaveGivesTheExpectedFile) {
  kpwtest::TempDir dir("gui-session");
  const std::string file = dir / "jobs.kpw";
  kpwtest::WriteFile(file, SevenRows("/sicherung/ziel1"));
  Watchdog watchdog;
  CScriptedPrompter prompter;
  Rig rig;
  ASSERT_TRUE(rig.Init({file.c_str()}));
  rig.Activate();
  ASSERT_EQ(rig.View().List().GetRowCount(), 7);

  // F2 on the focused target cell opens its editor; Enter takes the new text.
  rig.List().selectionModel()->setCurrentIndex(rig.List().model()->index(0, 1),
                                               QItemSelectionModel::ClearAndSelect);
  rig.Key(Qt::Key_F2);
  auto* editor = qobject_cast<QLineEdit*>(rig.List().Editor());
  ASSERT_NE(editor, nullptr);
  editor->setText("/sicherung/neu");
  QTest::keyClick(editor, Qt::Key_Return);
  rig.Settle();
  EXPECT_EQ(rig.View().GetCell(0, 1).value_or(""), "/sicherung/neu");

  // One Del press deletes the two selected rows once; Alt+Backspace brings them back in place.
  rig.List().setFocus();
  SelectRows(rig.List(), {1, 4});
  rig.Key(Qt::Key_Delete);
  EXPECT_EQ(rig.View().List().GetRowCount(), 5);
  EXPECT_EQ(rig.View().GetCell(1, 0).value_or(""), "/daten/quelle3");
  rig.Key(Qt::Key_Backspace, Qt::AltModifier);
  EXPECT_EQ(rig.View().List().GetRowCount(), 7);

  EXPECT_TRUE(rig.frame.SendCommand(ID_FILE_SAVE));
  EXPECT_EQ(kpwtest::ReadFile(file), SevenRows("/sicherung/neu"));
  EXPECT_FALSE(rig.app.GetDocument()->IsModified());
  EXPECT_TRUE(prompter.asked.empty());
}

TEST(ViewSession, ClosingAModifiedListAsksAndCancelKeepsTheWindow) {
  kpwtest::TempDir dir("gui-close");
  const std::string file = dir / "jobs.kpw";
  kpwtest::WriteFile(file, SevenRows("/sicherung/ziel1"));
  CScriptedPrompter prompter({IDCANCEL});
  Rig rig;
  ASSERT_TRUE(rig.Init({file.c_str()}));
  rig.Activate();
  SelectRows(rig.List(), {2});
  rig.Key(Qt::Key_Delete);
  ASSERT_TRUE(rig.app.GetDocument()->IsModified());

  rig.frame.close();
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Änderungen an " + file + " speichern?");
  EXPECT_EQ(prompter.asked[0].type, u32{MB_YESNOCANCEL | MB_ICONEXCLAMATION});
  EXPECT_TRUE(rig.frame.isVisible());
  EXPECT_EQ(kpwtest::ReadFile(file), SevenRows("/sicherung/ziel1"));
}

// The menu: the commands' texts and keys (shown beside them), the recent files' slots.
TEST(ViewSession, MenuCarriesTheCommandsAndKeys) {
  Rig rig;
  ASSERT_TRUE(rig.Init({}));
  struct Expect {
    UINT id;
    const char* text;
    const char* key;
  };
  const Expect table[] = {
      {ID_FILE_NEW, "&Neu", "Ctrl+N"},
      {ID_FILE_OPEN, "Ö&ffnen...", "Ctrl+O"},
      {ID_FILE_SAVE, "&Speichern", "Ctrl+S"},
      {ID_FILE_SAVE_AS, "Speichern &unter...", nullptr},
      {ID_RUN, "Kopiwart ausführen", "F5"},
      {ID_EDIT_DELETE, "Löschen", "Del"},
      {ID_EDIT_UNDO, "Wiederherstellen", "Alt+Backspace"},
      {ID_SELECT_ALL, "Alles auswählen", "Ctrl+A"},
      {ID_EDIT_CELL, nullptr, "F2"},
      {ID_SCHEDULE, "Zeitplan", "F4"},
      {ID_APP_ABOUT, "Info über Kopiwart", nullptr},
      {ID_PROGRAM_INFO, "Programminfo", nullptr},
      {ID_SYNTAX_INFO, "Syntaxinfo", "F1"},
      {ID_CONFIGURE, "Konfigurieren", nullptr},
      {ID_APP_EXIT, "&Beenden", "Ctrl+Q"},
      {ID_NEW_ENTRY, "Neuer Eintrag", "Ins"},
      {ID_MOVE_UP, "Nach oben", "Ctrl+Up"},
      {ID_MOVE_DOWN, "Nach unten", "Ctrl+Down"},
      {ID_INSERT_FILES, "Einfügen", nullptr},
      {ID_TOGGLE_REGISTRY, "Registry", nullptr},
      {ID_PATH_BARS, "Pfadleisten", nullptr},
      {ID_PARENT_FOLDER, "Übergeordneter Ordner", nullptr},
  };
  int keys = 0;
  for (QAction* action : rig.frame.actions()) keys += action->shortcut().isEmpty() ? 0 : 1;
  EXPECT_EQ(keys, 14);
  for (const Expect& e : table) {
    SCOPED_TRACE(e.id);
    QAction* found = nullptr;
    for (QAction* action : rig.frame.actions())
      if (CCommandRouter::CommandIdOf(action) == e.id) found = action;
    ASSERT_NE(found, nullptr);
    // Every item has its underlined letter; the text is the command's with it.
    if (e.text) {
      EXPECT_EQ(found->text().remove(QLatin1Char('&')).toStdString(), QString::fromUtf8(e.text).remove(QLatin1Char('&')).toStdString());
    }
    EXPECT_EQ(found->text().count(QLatin1Char('&')), 1) << found->text().toStdString();
    EXPECT_EQ(found->shortcut().toString().toStdString(), e.key ? e.key : "");
  }
  int recent = 0;
  for (QAction* action : rig.frame.RecentMenuOwner()->actions()) {
    const UINT id = CCommandRouter::CommandIdOf(action);
    recent += id >= ID_FILE_MRU_FILE1 && id <= ID_FILE_MRU_LAST;
  }
  EXPECT_EQ(recent, 9);
  // In each popup every item has a letter of its own; "Ansicht" holds the toolbar's commands too.
  for (QAction* top : rig.frame.menuBar()->actions()) {
    ASSERT_NE(top->menu(), nullptr);
    EXPECT_TRUE(top->text().contains(QLatin1Char('&'))) << top->text().toStdString();
    QString letters;
    for (QAction* action : top->menu()->actions()) {
      const QString text = action->text();
      if (action->isSeparator() || text.isEmpty()) continue;
      const qsizetype amp = text.indexOf(QLatin1Char('&'));
      ASSERT_GE(amp, 0) << text.toStdString();
      const QChar letter = text[amp + 1].toLower();
      EXPECT_FALSE(letters.contains(letter)) << text.toStdString();
      letters += letter;
    }
  }
  std::vector<UINT> view;
  for (QAction* top : rig.frame.menuBar()->actions())
    if (top->text() == QStringLiteral("&Ansicht"))
      for (QAction* action : top->menu()->actions()) view.push_back(CCommandRouter::CommandIdOf(action));
  for (UINT id : {UINT{ID_INSERT_FILES}, UINT{ID_TOGGLE_REGISTRY}, UINT{ID_PATH_BARS}, UINT{ID_PARENT_FOLDER}})
    EXPECT_NE(std::find(view.begin(), view.end(), id), view.end()) << id;
  // They work with the toolbar hidden.
  rig.frame.ToolBar()->hide();
  for (QAction* top : rig.frame.menuBar()->actions())
    if (top->text() == QStringLiteral("&Ansicht"))
      for (QAction* action : top->menu()->actions()) {
        rig.frame.Router().Refresh(action);  // as when the menu opens
        if (CCommandRouter::CommandIdOf(action) == ID_TOGGLE_REGISTRY) action->trigger();
      }
  EXPECT_TRUE(rig.frame.ViewWindow()->RegistryPaneShown());
  // Nothing to run in an empty list.
  EXPECT_FALSE(rig.frame.Router().Query(ID_RUN).IsEnabled());
}

// Ctrl+S saves, Ctrl+N starts a new list, Ctrl+O asks for a file to open.
TEST(ViewSession, TheFileCommandsHaveTheirKeys) {
  kpwtest::TempDir dir("gui-keys");
  const std::string file = dir / "jobs.kpw";
  kpwtest::WriteFile(file, SevenRows("/sicherung/ziel1"));
  CScriptedPrompter prompter;
  Rig rig;
  ASSERT_TRUE(rig.Init({file.c_str()}));
  std::vector<bool> asked;
  rig.frame.SetFileChooser([&](bool save, const std::string&) {
    asked.push_back(save);
    return std::string();
  });
  rig.Activate();
  SelectRows(rig.List(), {6});
  rig.Key(Qt::Key_Delete);
  ASSERT_TRUE(rig.app.GetDocument()->IsModified());
  rig.Key(Qt::Key_S, Qt::ControlModifier);
  EXPECT_FALSE(rig.app.GetDocument()->IsModified());
  EXPECT_EQ(kpwtest::ReadFile(file).find("quelle7"), std::string::npos);
  rig.Key(Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(asked, std::vector<bool>{false});
  rig.Key(Qt::Key_N, Qt::ControlModifier);
  EXPECT_EQ(rig.View().List().GetRowCount(), 0);
  EXPECT_TRUE(rig.app.GetDocument()->GetPathName().empty());
  EXPECT_TRUE(prompter.asked.empty());
}

}  // namespace

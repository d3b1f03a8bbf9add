// Job-list view: adding, checking, deleting and undoing, moving, editing and filtering rows.
#include "app/kopiwart_view.h"

#include "lib/system/vars.h"
#include "tests/support/logged_connection.h"
#include "tests/support/scripted_host.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>

namespace {

std::string Cwd() {
  char buf[PATH_MAX];
  return ::getcwd(buf, sizeof buf) ? buf : "";
}

class ViewTest : public ::testing::Test {
 protected:
  int Add(const std::string& src, const std::string& tgt = "/t", int mode = JOB_MODE_COPY, int pos = -1) {
    return view.AddEntry(pos, src, tgt, "", "", 1, mode, "");
  }
  std::string Cell(int row, int col) { return view.GetCell(row, col).value_or("<none>"); }
  std::string Entry(int index, int col) { return view.GetEntryText(index, col).value_or("<none>"); }
  std::vector<std::string> Sources() {
    std::vector<std::string> out;
    for (const JobEntry& e : view.GetAllEntries()) out.push_back(e.Cell(JOB_COL_SOURCE));
    return out;
  }
  void Select(int row) {
    view.List().SetItemState(view.List().GetItemOfRow(row), TVIS_SELECTED, TVIS_SELECTED);
  }
  void Focus(int row, int column = 0) { view.List().SelectSubItem(column, view.List().GetItemOfRow(row)); }
  // Shows the filter bar with a mode filter and lets the filter timer run out.
  void FilterModes(const std::string& mode) {
    if (view.GetInfo(4) == 0) view.OnFilterBar();
    view.List().EndEdit(view.GetFilterBarItem(), JOB_COL_MODE, mode);
    host.AdvanceTime(600);
  }

  ScriptedRunHost host;
  CKopiwartView view{host};
};

TEST_F(ViewTest, AddEntryKeepsModesThatCanHandleThePathAndCleansTheSource) {
  const struct {
    const char *source, *target;
    int mode;
    const char* cell;
  } modes[] = {
      {"/a", "ftp://h/x", JOB_MODE_COPY, "Ftp"},
      {"/a", "FTP://h/x", JOB_MODE_FTP_DEL, "Ftp Del"},
      {"/a", "sftp://h/x", JOB_MODE_KOPIWART, "Kopiwart"},
      {"ftp://h/src", "/t", JOB_MODE_KOPIWART, "Ftp"},  // mirrors local trees
      {"disk://img/0/a", "/t", JOB_MODE_FTP_DEL, "Ftp Del"},
      {"/a", "HKEY_CURRENT_USER\\x", JOB_MODE_COPY, "Reg"},
      {"HKEY_CURRENT_USER\\S", "/x.reg", JOB_MODE_REG_ADD, "Reg Add"},
  };
  for (const auto& m : modes)
    EXPECT_EQ(Cell(Add(m.source, m.target, m.mode), JOB_COL_MODE), m.cell) << m.source;
  // A registry source: "Reg" with no filters and "Ja"; a "Reg" row with a folder keeps its filters.
  int row =
      view.AddEntry(-1, "HKEY_CURRENT_USER\\Software", "/x.reg", "*.txt", "*.bak", 0, JOB_MODE_COPY, "");
  EXPECT_EQ(Cell(row, JOB_COL_MODE) + Cell(row, JOB_COL_PLUS) + Cell(row, JOB_COL_SUBDIRS), "RegJa");
  row = view.AddEntry(-1, "/etc/regs", "/t", "*.reg", "old*", 0, JOB_MODE_REG, "x");
  EXPECT_EQ(Cell(row, JOB_COL_PLUS) + Cell(row, JOB_COL_SUBDIRS), "*.regNein");
  EXPECT_EQ(view.IsListModified(), 0);  // AddEntry never marks the list

  const std::string cwd = Cwd();
  const std::pair<const char*, std::string> sources[] = {
      {"/", "/"},
      {"/a/b/", "/a/b"},
      {"", cwd},
      {"sub/../x/./y", cwd == "/" ? "/x/y" : cwd + "/x/y"},
      {"DATE", "DATE"},
      {"$(X)/y", "$(X)/y"},
      {"C:\\Daten\\", "C:\\Daten"},
      {"\\\\server\\share", "\\\\server\\share"},
      {"/a\nb", "/a b"},  // line breaks never reach a cell
  };
  for (const auto& [in, out] : sources) EXPECT_EQ(Cell(Add(in), JOB_COL_SOURCE), out) << in;
  row = view.AddEntry(-1, "/a", "/t\r\n\t/DEL", "p\r", "", 1, 0, "x\ny");
  EXPECT_EQ(Cell(row, JOB_COL_TARGET) + "|" + Cell(row, JOB_COL_PLUS) + "|" + Cell(row, JOB_COL_EXTRA),
            "/t  \t/DEL|p |x y");
}

TEST_F(ViewTest, PositionsAndTemplatesWithTheFilterBar) {
  Add("/r0");
  Add("/r1");
  view.OnFilterBar();
  ASSERT_EQ(view.GetInfo(4), 1);
  EXPECT_EQ(Add("/first", "/t", 0, 0), 1);  // position 0 lands behind the bar
  EXPECT_EQ(Add("/last"), 4);               // -1 appends behind the last job row
  EXPECT_EQ(Sources(), (std::vector<std::string>{"/first", "/r0", "/r1", "/last"}));
  EXPECT_EQ(Entry(0, 0), "/first");  // job indexes skip the bar
  EXPECT_EQ(Cell(0, 0), "");         // row 0 is the bar
  // A new row from the last job row's template, never from the bar's filter texts.
  view.List().SetItemText(view.GetFilterBarItem(), "BAR", JOB_COL_TARGET);
  view.SetCell("/tt", 4, JOB_COL_TARGET);
  const int row = view.InsertEntry(-1, -1, "/new");
  EXPECT_EQ(row, 5);
  EXPECT_EQ(Cell(row, JOB_COL_TARGET), "/tt");
  EXPECT_EQ(Cell(view.InsertEntry(-1, 0, "/new2"), JOB_COL_TARGET), "/t");  // template 0 -> row 1
}

TEST_F(ViewTest, CellAccessorsNeverCutACharacter) {
  Add("/a");
  EXPECT_EQ(view.SetCell("\xC3\xA4\xC3\xB6\xC3\xBC", 0, 3), 0);
  for (const auto& [row, column] : {std::pair{1, 0}, {0, 7}, {-1, 0}})
    EXPECT_EQ(view.SetCell("x", row, column), -1);
  char buf[6];
  EXPECT_EQ(view.GetCell(buf, sizeof buf, 0, 3), 4);  // never half a character
  EXPECT_STREQ(buf, "\xC3\xA4\xC3\xB6");
  EXPECT_EQ(view.GetCell(buf, sizeof buf, 1, 3), -1);
  EXPECT_EQ(view.GetCellOfItem(buf, sizeof buf, TLI_NULL, 0), -1);
  EXPECT_EQ(view.GetCellOfItem(buf, sizeof buf, view.List().GetItemOfRow(0), 5), 4);
  EXPECT_STREQ(buf, "Copy");
  EXPECT_EQ(view.GetEntryText(buf, sizeof buf, 1, 0), -1);
  // A long text is kept whole, pasted or added: its row is refused when it runs, never cut.
  EXPECT_EQ(view.SetCell(std::string(1300, 'x'), 0, 6), 0);
  EXPECT_EQ(Cell(0, 6).size(), 1300u);
  const std::string longTarget = "/keep/" + std::string(2000, 'y');
  EXPECT_EQ(view.SetCell(longTarget, 0, JOB_COL_TARGET), 0);
  EXPECT_EQ(Cell(0, JOB_COL_TARGET), longTarget);
  const int row = view.AddEntry(-1, "/s/" + std::string(2000, 'z'), longTarget, "", "", 1, JOB_MODE_DEL, "");
  EXPECT_EQ(Cell(row, JOB_COL_SOURCE).size(), 2003u);
  EXPECT_EQ(Cell(row, JOB_COL_TARGET), longTarget);
  view.List().EndEdit(view.List().GetItemOfRow(row), JOB_COL_SOURCE, "/p/" + std::string(2000, 'p'));
  EXPECT_EQ(Cell(row, JOB_COL_SOURCE).size(), 2003u);
}

TEST_F(ViewTest, ScheduleListStateAndClearing) {
  view.SetLastRun(123);
  view.SetSchedule(0x8001, 1);
  EXPECT_EQ(view.SetModified(0), 1);
  EXPECT_EQ(view.GetInfo(9), 0);
  host.QueueSchedule(false, 3, 3);
  view.OnCommand(ID_SCHEDULE);
  host.QueueSchedule(true, 0x8001, 1);  // OK without a change
  view.OnSchedule();
  EXPECT_EQ(view.IsListModified(), 0);
  host.QueueSchedule(true, 0x2002, 1023);
  view.OnSchedule();
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0x2002, 1023, 123}));
  EXPECT_EQ(view.IsListModified(), 1);

  Add("/a");
  view.OnFilterBar();
  view.ClearList();
  EXPECT_EQ(view.GetInfo(0), 0);
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0, 1, 0}));
  EXPECT_EQ(view.IsListModified(), 0);
  EXPECT_EQ(view.List().GetItemOfRow(0), view.GetFilterBarItem());  // the bar stays the first row
}

TEST_F(ViewTest, DeleteKeepsTheBarAndUndoRestoresHiddenRowsInPlace) {
  for (const char* m : {"Copy", "Zip", "Copy", "Zip", "Copy"})
    Add(std::string("/") + m, "/t", JobModeFromName(m));
  FilterModes("Zip");
  ASSERT_EQ(view.List().GetRowCount(), 3);  // bar + two Zip rows
  view.List().SetItemState(view.GetFilterBarItem(), TVIS_SELECTED, TVIS_SELECTED);
  Select(2);  // the second Zip row: job index 3
  view.OnCommand(ID_EDIT_DELETE);
  EXPECT_EQ(view.GetInfo(0), 4);
  EXPECT_EQ(view.GetInfo(4), 1);
  EXPECT_EQ(Entry(3, JOB_COL_SOURCE), "/Copy");
  EXPECT_EQ(view.IsListModified(), 1);
  view.SetModified(0);
  view.OnCommand(ID_EDIT_UNDO);
  EXPECT_EQ(Sources(), (std::vector<std::string>{"/Copy", "/Zip", "/Copy", "/Zip", "/Copy"}));
  EXPECT_EQ(view.IsListModified(), 1);
  EXPECT_FALSE(view.CanUndo());
  // Deleting with the keyboard records too; a reading delete clears the undo.
  Select(1);
  view.OnListKeyDown(TLNKEYDOWN{46, 0, TLI_NULL, 0});
  EXPECT_TRUE(view.CanUndo());
  view.DeleteSelectedRows(0);
  EXPECT_FALSE(view.CanUndo());
}

TEST_F(ViewTest, MovesExchangeWholeRows) {
  const std::string longCell = std::string(1281, 'x') + "\xC3\xA4\xC3\xB6";
  for (const char* s : {"/a", "/b", "/c"}) Add(s);
  view.SetCell(longCell, 1, JOB_COL_EXTRA);
  Focus(1, 3);
  view.OnCommand(ID_MOVE_DOWN);
  EXPECT_EQ(Sources(), (std::vector<std::string>{"/a", "/c", "/b"}));
  EXPECT_EQ(Cell(2, JOB_COL_EXTRA), longCell);
  EXPECT_EQ(view.List().GetFocusedColumn(), 3);  // focus follows
  EXPECT_EQ(view.SetModified(0), 1);
  view.OnMoveDown();  // the last row cannot move down
  EXPECT_EQ(view.SwapRows(2, 1), 0);
  view.OnFilterBar();
  Focus(1);
  view.OnCommand(ID_MOVE_UP);  // the first job row cannot move up behind the bar
  EXPECT_EQ(view.SwapRows(1, -1), 0);
  EXPECT_EQ(view.IsListModified(), 0);
  Focus(2);  // the second-last job row moves down with the bar shown
  view.OnMoveDown();
  view.OnMoveUp();
  EXPECT_EQ(Sources(), (std::vector<std::string>{"/a", "/c", "/b"}));
}

TEST_F(ViewTest, FilterBarHidesNonMatchingRowsAfterThreeTicks) {
  for (const char* m : {"Zip", "Zip Add", "Copy", "zip"}) Add("/s", "/t", JobModeFromName(m));
  view.OnFilterBar();
  EXPECT_TRUE(host.TimerRunning(kFilterTimerId));
  EXPECT_EQ(view.List().EndEdit(view.GetFilterBarItem(), JOB_COL_MODE, std::string("Zip")), 0);
  EXPECT_EQ(view.IsListModified(), 0);  // a bar edit is no change of the list
  EXPECT_EQ(view.GetFilterCountdown(), 3);
  host.AdvanceTime(400);
  EXPECT_EQ(view.List().GetRowCount(), 5);
  host.AdvanceTime(200);
  EXPECT_EQ(view.List().GetRowCount(), 3);       // bar, "Zip" and "Zip" in the mode cell
  EXPECT_EQ(Entry(1, JOB_COL_MODE), "Zip Add");  // job indexes count hidden rows
  view.OnSelectAll();                            // shown rows only
  int selected = 0;
  for (HTREEITEM it = TVI_ROOT; (it = view.List().GetNextSelectedItem(it)) != TLI_NULL;) ++selected;
  EXPECT_EQ(selected, 2);

  FilterModes("copy");
  EXPECT_EQ(view.List().GetRowCount(), 2);
  view.OnCommand(ID_FILTER_BAR);  // hiding the bar shows every row
  EXPECT_EQ(view.List().GetRowCount(), 4);
  EXPECT_FALSE(host.TimerRunning(kFilterTimerId));
  view.OnFilterBar();  // the kept filter texts come back
  EXPECT_EQ(view.List().GetRowCount(), 2);
}

TEST_F(ViewTest, CellChoicesAndEdits) {
  Add("/a");
  const HTREEITEM item = view.List().GetItemOfRow(0);
  TLNSTARTEDIT rec{item, JOB_COL_SUBDIRS, 13, ""};
  EXPECT_EQ(view.OnCellChoice(rec), TLSE_NONE);
  EXPECT_EQ(Cell(0, JOB_COL_SUBDIRS), "Nein");
  EXPECT_EQ(view.IsListModified(), 1);
  rec.key = TLK_MOUSE;
  view.OnCellChoice(rec);
  EXPECT_EQ(Cell(0, JOB_COL_SUBDIRS), "Ja");
  TLNSTARTEDIT mode{item, JOB_COL_MODE, 0, ""};
  EXPECT_EQ(view.OnCellChoice(mode), TLSE_CHOICELIST);
  EXPECT_TRUE(mode.text.starts_with("Copy|Copy Del|") && mode.text.ends_with("|Kopiwart|")) << mode.text;
  TLNSTARTEDIT text{item, JOB_COL_TARGET, 0, ""};
  EXPECT_EQ(view.OnCellChoice(text), TLSE_TEXTEDIT);

  view.OnFilterBar();
  const HTREEITEM bar = view.GetFilterBarItem();
  TLNSTARTEDIT barMode{bar, JOB_COL_MODE, 0, ""};
  view.OnCellChoice(barMode);
  EXPECT_TRUE(barMode.text.starts_with("|Copy|"));
  view.SetModified(0);
  TLNSTARTEDIT barSub{bar, JOB_COL_SUBDIRS, 13, ""};
  std::string cycle;
  for (int i = 0; i < 3; ++i) {
    view.OnCellChoice(barSub);
    cycle += view.List().GetItemText(bar, JOB_COL_SUBDIRS) + "|";
  }
  EXPECT_EQ(cycle, "Ja|Nein||");
  EXPECT_EQ(view.IsListModified(), 0);

  // An edit that delivered nothing changes nothing; a delivered text loses its line breaks.
  EXPECT_EQ(view.List().EndEdit(item, JOB_COL_PLUS, std::nullopt), 1);
  EXPECT_EQ(view.IsListModified(), 0);
  view.List().EndEdit(item, JOB_COL_PLUS, std::string("*.c\r\n\t/DEL"));
  EXPECT_EQ(view.List().GetItemText(item, JOB_COL_PLUS), "*.c  \t/DEL");
  EXPECT_EQ(view.IsListModified(), 1);
  view.List().EndEdit(item, JOB_COL_SOURCE, std::string("/b\n"));  // a path edit checks the row again
  EXPECT_EQ(view.List().GetItemText(item, JOB_COL_SOURCE), "/b ");
  // F2 edits the focused cell, except the subdirectories cell.
  Focus(1, JOB_COL_SUBDIRS);
  view.OnCommand(ID_EDIT_CELL);
}

TEST_F(ViewTest, CommandsThatChangeTheListMarkIt) {
  view.OnCommand(ID_NEW_ENTRY);
  EXPECT_EQ(Cell(0, 0), Cwd());
  EXPECT_EQ(Cell(0, JOB_COL_SUBDIRS), "Ja");
  EXPECT_EQ(view.SetModified(0), 1);
  Focus(0);
  view.OnCommand(ID_CPP_FILTER);
  EXPECT_EQ(Cell(0, JOB_COL_PLUS), "*");
  EXPECT_EQ(Cell(0, JOB_COL_MINUS), kCppMinusFilter);
  EXPECT_EQ(view.SetModified(0), 1);
  view.OnTreeListNotify(TLNENDDRAG{0, TLI_NULL, TLI_NULL});
  EXPECT_EQ(view.IsListModified(), 0);
  view.OnTreeListNotify(TLNENDDRAG{TLDRAG_DROPPED, view.List().GetItemOfRow(0), TLI_NULL});
  EXPECT_EQ(view.IsListModified(), 1);  // a row dropped, on the bar too

  host.SetListFocus(false);
  view.OnCommand(ID_SELECT_ALL);
  view.OnListKeyDown(TLNKEYDOWN{9, 0, TLI_NULL, 0});
  const auto calls = host.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].what, "FilePaneCommand");
  EXPECT_EQ(calls[0].value, ID_SELECT_ALL);
  EXPECT_EQ(calls[1].what, "FocusFilePane");
}

TEST_F(ViewTest, ANewEntryIsSelectedWithTheFocusOnItsSource) {
  Add("/a");
  Add("/b");
  Select(0);
  Focus(0, JOB_COL_TARGET);
  view.OnCommand(ID_NEW_ENTRY);
  const HTREEITEM added = view.List().GetItemOfRow(2);
  EXPECT_EQ(view.List().GetFocusedItem(), added);
  EXPECT_EQ(view.List().GetFocusedColumn(), JOB_COL_SOURCE);
  EXPECT_EQ(view.List().GetNextSelectedItem(), added);
  EXPECT_EQ(view.List().GetNextSelectedItem(added), TLI_NULL);
}

TEST_F(ViewTest, TheCellEditorIsLimitedAndAnEditNeverCutsACell) {
  EXPECT_EQ(view.List().GetSetting(TLSETTING_EDITLIMIT), static_cast<DWORD>(kJobCellMaxChars));
  Add("/a");
  const HTREEITEM item = view.List().GetItemOfRow(0);
  // A cell that came in longer (the list holds what it is given) stays whole through an edit that
  // delivers it unchanged or shortened, in the path columns and the others.
  const std::string longer = "/" + std::string(2000, 'z');
  for (const int column : {JOB_COL_TARGET, JOB_COL_EXTRA}) {
    SCOPED_TRACE(column);
    view.List().SetItemText(item, longer, column);
    EXPECT_EQ(view.List().EndEdit(item, column, longer), 0);
    EXPECT_EQ(view.List().GetItemText(item, column).size(), longer.size());
    EXPECT_EQ(view.List().EndEdit(item, column, longer.substr(0, 1999)), 0);
    EXPECT_EQ(view.List().GetItemText(item, column).size(), 1999u);
  }
}

TEST_F(ViewTest, CheckEntryTestsPathsAndSetsIcons) {
  const kpwtest::TempDir dir;
  const int present = Add(dir.path(), dir / "missing");
  EXPECT_EQ(view.CheckEntry(present, 1), 0);
  const HTREEITEM item = view.List().GetItemOfRow(present);
  EXPECT_NE(view.List().GetItemImage(item, JOB_COL_TARGET) & 0x10000, 0);  // by name only
  const int missing = Add(dir / "nothing");
  EXPECT_EQ(view.CheckEntry(missing, 0), -1);
  EXPECT_EQ(view.CheckEntry(missing, 1), -1);
  EXPECT_EQ(host.Boxes().size(), 1u);                         // only when asked to tell
  EXPECT_EQ(view.CheckEntry(Add("DATE", dir / "x"), 0), -1);  // "DATE" rows judge the target
  EXPECT_EQ(view.CheckEntry(Add("sftp://h/x", "/nothing/here"), 0), 0);
  EXPECT_EQ(view.CheckEntry(static_cast<int>(kCheckEntryItemTag | ItemToU32(item)), 0), 0);
  view.OnFilterBar();
  EXPECT_EQ(view.CheckEntry(0, 0), -1);  // the bar
}

TEST_F(ViewTest, DriveAndUncFormsAreJudgedAsTheRunnerJudgesThem) {
  // "//" heads a UNC path as "\\\\" does: kept as written (the runner refuses it), never turned
  // into the local folder of the same name; and one letter before "://" is a drive, not a URL.
  const kpwtest::TempDir dir;
  const std::string unc = "/" + dir.path();
  for (const std::string& source : {unc, std::string("c://server/x")}) {
    const int row = Add(source);
    EXPECT_EQ(Cell(row, JOB_COL_SOURCE), source);
    EXPECT_EQ(view.CheckEntry(row, 0), -1) << source;
    const HTREEITEM item = view.List().GetItemOfRow(row);
    EXPECT_EQ(view.List().GetItemImage(item, 0), host.FileIcon(source, FileIconKind::ByName)) << source;
  }
}

TEST_F(ViewTest, WorkerMessageBoxShowsATaskbarButtonWhileHidden) {
  host.SetViewVisible(false);
  host.QueueAnswer(IDCANCEL);
  EXPECT_EQ(view.WorkerMessageBox("Frage", nullptr, MB_OKCANCEL | MB_ICONHAND), IDCANCEL);
  const auto calls = host.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].what, "TaskbarAddTab");
  EXPECT_EQ(calls[1].what, "TaskbarDeleteTab");
  EXPECT_EQ(host.Boxes().back().caption, "Kopiwart");  // no caption: the application's title
  // Without a queued answer the scripted host answers as an unattended run.
  EXPECT_EQ(view.WorkerMessageBox("x", "y", MB_ABORTRETRYIGNORE), IDIGNORE);
  EXPECT_EQ(UnattendedAnswer(MB_YESNO), IDNO);
  EXPECT_EQ(UnattendedAnswer(MB_OKCANCEL | MB_ICONHAND), IDOK);
}

}  // namespace

// The view's end deletes the connection a run kept for a next row (and starts nothing).
TEST(ViewEnd, DeletesTheKeptConnection) {
  kpwtest::ConnectionLog log;
  {
    ScriptedRunHost host;
    CKopiwartView view{host};
    view.RunState().Carry().HoldConnection(std::make_unique<kpwtest::LoggedConnection>(log));
    ASSERT_NE(view.KeptConnection(), nullptr);
  }
  EXPECT_EQ(log.deletes, 1);
}

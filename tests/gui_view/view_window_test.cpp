// The view window: layout and panes, drops from the shell and the panes, the context menu, the path commands.
#include "app/gui/job_list_wnd.h"
#include "app/status_panes.h"
#include "controls/gui/track_splitter.h"
#include "lib/system/registry.h"
#include "lib/system/vars.h"
#include "panes/gui/datei_view.h"
#include "panes/gui/tree_wnd.h"
#include "panes/pane_settings.h"
#include "tests/support/gui/gui_rig.h"

#include <QClipboard>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QSplitterHandle>
#include <QStatusBar>
#include <QUrl>

#include <sys/stat.h>

#include <cmath>
#include <set>

namespace {

using namespace kpwgui;

class ViewWindow : public ::testing::Test {
 protected:
  // Starts the window on a job file of these rows (three by default).
  void Start(std::string rows = {}) {
    if (rows.empty()) {
      rows = JobRow("/daten/a", "/sicherung/a", "", "*;alt") + JobRow("/daten/b", "/sicherung/b", "/ZIP") +
             JobRow("/daten/c", "/sicherung/c", "/MOVE", "[pc]", false);
    }
    file = dir / "jobs.kpw";
    kpwtest::WriteFile(file, rows + kAlways);
    ASSERT_TRUE(rig.Init({file.c_str()}));
    rig.Activate();
  }
  CJobListWnd& Wnd() { return *rig.frame.ViewWindow(); }
  CTreeListStore& Store() { return rig.View().List(); }
  std::string Cell(int row, int column) { return rig.View().GetCell(row, column).value_or("?"); }
  std::vector<std::string> Row(int row) {
    std::vector<std::string> cells;
    for (int c = 0; c < 7; ++c) cells.push_back(Cell(row, c));
    return cells;
  }
  QPoint CellPoint(int row, int column) {
    rig.Settle();
    return rig.List().visualRect(rig.List().model()->index(row, column)).center();
  }
  // A point of the list below its last row.
  QPoint NoRowPoint() {
    rig.Settle();
    const QPoint p(10, rig.List().viewport()->height() - 3);
    EXPECT_EQ(rig.List().HitTest(p), TLI_NULL);
    return p;
  }
  void FocusCell(int row, int column) {
    const HTREEITEM item = Store().GetItemOfRow(row);
    ASSERT_TRUE(Store().SelectFocus(item));
    ASSERT_TRUE(Store().SelectSubItem(column, item));
    rig.Settle();
  }
  // A drag-enter and a drop onto a point of the list; the action the window accepted the drop
  // with, or IgnoreAction when it refused it.
  Qt::DropAction Drop(const QMimeData& mime, QPoint at, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* viewport = rig.List().viewport();
    const Qt::DropActions offered = Qt::CopyAction | Qt::LinkAction;
    QDragEnterEvent enter(at, offered, &mime, Qt::LeftButton, mods);
    QApplication::sendEvent(viewport, &enter);
    if (!enter.isAccepted()) return Qt::IgnoreAction;
    QDropEvent drop(at, offered, &mime, Qt::LeftButton, mods);
    QApplication::sendEvent(viewport, &drop);
    rig.Settle();
    return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
  }
  Qt::DropAction DropFiles(const std::vector<std::string>& paths, QPoint at, bool ctrl = false) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const std::string& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
    mime.setUrls(urls);
    return Drop(mime, at, ctrl ? Qt::ControlModifier : Qt::NoModifier);
  }
  // The menu's entries as "text:e" (enabled) or "text:g" (greyed), separators as "-".
  std::vector<std::string> MenuOf(int row, int column) {
    FocusCell(row, column);
    const std::unique_ptr<QMenu> menu = Wnd().MakeContextMenu();
    std::vector<std::string> entries;
    for (QAction* a : menu->actions())
      entries.push_back(a->isSeparator() ? "-"
                                         : a->text().remove(QLatin1Char('&')).toStdString() + (a->isEnabled() ? ":e" : ":g"));
    return entries;
  }
  CCmdUI Query(UINT id) { return rig.frame.Router().Query(id); }

  kpwtest::TempDir dir{"view-window"};
  std::string file;
  CScriptedPrompter prompter;
  Rig rig;
};

TEST_F(ViewWindow, LayoutSplitterPanesAndTheirCommands) {
  Start();
  CJobListWnd& wnd = Wnd();
  EXPECT_EQ(rig.List().height(), 100);
  EXPECT_EQ(wnd.SplitPosition(), 100);
  EXPECT_TRUE(wnd.FilePane().isVisible());
  EXPECT_FALSE(wnd.RegPane().isVisible());
  EXPECT_EQ(wnd.FilePane().y(), 107);
  EXPECT_EQ(wnd.FilePane().GetDlgCtrlID(), 0x88770012u);
  EXPECT_EQ(wnd.RegPane().GetDlgCtrlID(), 0x88770013u);
  EXPECT_EQ(wnd.FilePane().y() + wnd.FilePane().height(), wnd.height());

  // "Registry" puts the other pane in the same place; the list keeps its height.
  EXPECT_EQ(Query(ID_TOGGLE_REGISTRY).GetCheck(), 0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_TOGGLE_REGISTRY));
  rig.Settle();
  EXPECT_TRUE(wnd.RegPane().isVisible());
  EXPECT_FALSE(wnd.FilePane().isVisible());
  EXPECT_EQ(wnd.RegPane().y(), 107);
  EXPECT_EQ(Query(ID_TOGGLE_REGISTRY).GetCheck(), 1);
  EXPECT_EQ(&wnd.FrontPane(), static_cast<CPaneWnd*>(&wnd.RegPane()));

  // "Pfadleisten" hides both bars when the file pane's shows, and shows both again.
  EXPECT_EQ(Query(ID_PATH_BARS).GetCheck(), 1);
  ASSERT_TRUE(rig.frame.SendCommand(ID_PATH_BARS));
  EXPECT_EQ(wnd.FilePane().HiddenParts(), kPaneHidePathBar);
  EXPECT_EQ(wnd.RegPane().HiddenParts(), kPaneHidePathBar);
  EXPECT_EQ(Query(ID_PATH_BARS).GetCheck(), 0);
  wnd.RegPane().SetStyle(0, kPaneHidePathBar);  // the file pane's bar decides
  ASSERT_TRUE(rig.frame.SendCommand(ID_PATH_BARS));
  EXPECT_EQ(wnd.FilePane().HiddenParts(), 0u);
  EXPECT_EQ(wnd.RegPane().HiddenParts(), 0u);

  // "Übergeordneter Ordner" goes up in the pane in front, enabled by that pane's own flag.
  ASSERT_TRUE(wnd.RegPane().OpenPath("HKEY_CURRENT_USER"));
  EXPECT_FALSE(Query(ID_PARENT_FOLDER).IsEnabled());
  ASSERT_TRUE(rig.frame.SendCommand(ID_TOGGLE_REGISTRY));
  ASSERT_EQ(::mkdir((dir / "unten").c_str(), 0755), 0);
  ASSERT_TRUE(wnd.FilePane().OpenPath((dir / "unten").c_str()));
  EXPECT_TRUE(Query(ID_PARENT_FOLDER).IsEnabled());
  ASSERT_TRUE(rig.frame.SendCommand(ID_PARENT_FOLDER));
  EXPECT_EQ(wnd.FilePane().Folder(), dir.path());

  // The bar: above the top the list has height 0, below the bottom it stays in the window, and
  // the list and the pane share what the window gains in the proportion they have.
  EXPECT_EQ(WndTrackSplitter(wnd.Splitter(), -500), -100);
  EXPECT_EQ(rig.List().height(), 0);
  EXPECT_EQ(wnd.SplitPosition(), 0);
  WndTrackSplitter(wnd.Splitter(), 5000);
  EXPECT_EQ(wnd.SplitPosition(), wnd.height() - 8);  // the bar and one pixel of the pane stay
  EXPECT_EQ(wnd.FilePane().height(), 1);
  WndTrackSplitter(wnd.Splitter(), 150 - wnd.SplitPosition());
  EXPECT_EQ(wnd.SplitPosition(), 150);
  const int roomBefore = wnd.height() - CTrackSplitter::kBarThickness;
  rig.frame.resize(rig.frame.width(), rig.frame.height() + 60);
  rig.Settle();
  const int grown = static_cast<int>(std::lround(150.0 * (roomBefore + 60) / roomBefore));
  EXPECT_GT(grown, 150);
  EXPECT_EQ(rig.List().height(), grown);
  // A mouse drag of the bar does the same.
  QSplitterHandle* bar = wnd.Splitter().handle(1);
  QTest::mousePress(bar, Qt::LeftButton, {}, QPoint(20, 3));
  QMouseEvent move(QEvent::MouseMove, QPointF(20, -27), bar->mapToGlobal(QPointF(20, -27)), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(bar, &move);
  QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(20, -27));
  EXPECT_EQ(wnd.SplitPosition(), grown - 30);
  EXPECT_EQ(rig.List().height(), grown - 30);
}

TEST_F(ViewWindow, ShellDropsAppendRowsOrReplaceACellWithCtrl) {
  Start();
  const std::vector<std::string> files = {dir / "eins.txt", dir / "zwei.txt", dir / "drei.txt"};
  for (const std::string& f : files) kpwtest::WriteFile(f, "x");
  rig.View().SetModified(0);

  // Without Ctrl, on a row: three new rows at the end copying the last row's cells 1-6.
  EXPECT_EQ(DropFiles(files, CellPoint(0, 1)), Qt::CopyAction);
  ASSERT_EQ(Store().GetRowCount(), 6);
  for (int r = 3; r < 6; ++r) {
    SCOPED_TRACE(r);
    std::vector<std::string> want = Row(2);
    want[0] = files[static_cast<std::size_t>(r - 3)];
    EXPECT_EQ(Row(r), want);
  }
  EXPECT_EQ(Cell(0, 1), "/sicherung/a");
  EXPECT_TRUE(rig.View().IsListModified());
  EXPECT_TRUE(rig.app.GetDocument()->IsModified());

  // With Ctrl on a target cell: only that target, with the first file; the row is checked.
  rig.View().SetModified(0);
  EXPECT_EQ(DropFiles({files[1], files[2]}, CellPoint(0, 1), true), Qt::CopyAction);
  EXPECT_EQ(Store().GetRowCount(), 6);
  EXPECT_EQ(Row(0), (std::vector<std::string>{"/daten/a", files[1], "", "", "Ja", "Copy", "*;alt"}));
  EXPECT_NE(Store().GetItemImage(Store().GetItemOfRow(0), 1), -1);
  EXPECT_TRUE(rig.View().IsListModified());
  // With Ctrl on a source cell: that source.
  EXPECT_EQ(DropFiles({files[0]}, CellPoint(1, 0), true), Qt::CopyAction);
  EXPECT_EQ(Cell(1, 0), files[0]);
  EXPECT_EQ(Store().GetRowCount(), 6);
  // With Ctrl elsewhere (a filter cell, no row): new rows.
  EXPECT_EQ(DropFiles({files[0]}, CellPoint(1, 2), true), Qt::CopyAction);
  EXPECT_EQ(Store().GetRowCount(), 7);
  WndTrackSplitter(Wnd().Splitter(), 150);
  EXPECT_EQ(DropFiles({files[2]}, NoRowPoint(), true), Qt::CopyAction);
  ASSERT_EQ(Store().GetRowCount(), 8);
  EXPECT_EQ(Cell(7, 0), files[2]);
  EXPECT_EQ(Cell(7, 5), "Move");

  // Elsewhere in the window (the pane below) a drop adds rows too.
  {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(files[0]))});
    const QPoint inPane = Wnd().FilePane().mapTo(&Wnd(), QPoint(30, 60));
    QDragEnterEvent enter(inPane, Qt::CopyAction, &mime, Qt::LeftButton, Qt::ControlModifier);
    QApplication::sendEvent(&Wnd(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(inPane, Qt::CopyAction, &mime, Qt::LeftButton, Qt::ControlModifier);
    QApplication::sendEvent(&Wnd(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    ASSERT_EQ(Store().GetRowCount(), 9);
    EXPECT_EQ(Cell(8, 0), files[0]);
  }

  // The filter bar's row takes no file, with Ctrl or without: new rows copy the last job row.
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILTER_BAR));
  rig.Settle();
  ASSERT_EQ(Store().GetRowCount(), 10);
  EXPECT_EQ(DropFiles({files[1]}, CellPoint(0, 1), true), Qt::CopyAction);
  EXPECT_EQ(Cell(0, 1), "");
  ASSERT_EQ(Store().GetRowCount(), 11);
  EXPECT_EQ(Cell(10, 0), files[1]);
  EXPECT_EQ(Cell(10, 5), "Move");

  // Nothing but local files is taken from the shell.
  QMimeData web;
  web.setUrls({QUrl("https://example.org/x.txt")});
  EXPECT_EQ(Drop(web, CellPoint(1, 1)), Qt::IgnoreAction);
  EXPECT_EQ(Store().GetRowCount(), 11);
  EXPECT_TRUE(prompter.asked.empty());
}

TEST_F(ViewWindow, PaneDropsAddFilesAndSetRegistryKeysOnJobRowsOnly) {
  Start();
  CJobListWnd& wnd = Wnd();
  kpwtest::WriteFile(dir / "f1.txt", "1");
  kpwtest::WriteFile(dir / "f2.txt", "2");
  ASSERT_TRUE(wnd.FilePane().OpenPath(dir.path().c_str()));
  QTreeView* files = wnd.FilePane().List();
  files->selectionModel()->select(QItemSelection(files->model()->index(0, 0), files->model()->index(1, 0)),
                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  const std::unique_ptr<QMimeData> fileDrag(wnd.FilePane().MakeSelectionMime());
  ASSERT_TRUE(fileDrag);
  rig.View().SetModified(0);

  // Files from the file pane: new rows at the end, copying the row they land on.
  EXPECT_EQ(Drop(*fileDrag, CellPoint(1, 1)), Qt::LinkAction);  // the effect on a target cell: 2
  ASSERT_EQ(Store().GetRowCount(), 5);
  EXPECT_EQ(Row(3), (std::vector<std::string>{dir / "f1.txt", "/sicherung/b", "", "", "Ja", "Zip", ""}));
  EXPECT_EQ(Cell(4, 0), dir / "f2.txt");
  EXPECT_TRUE(rig.View().IsListModified());
  // On no row they copy the last job row.
  WndTrackSplitter(wnd.Splitter(), 150);
  EXPECT_EQ(Drop(*fileDrag, NoRowPoint()), Qt::CopyAction);
  ASSERT_EQ(Store().GetRowCount(), 7);
  EXPECT_EQ(Cell(6, 1), "/sicherung/b");
  // Dropped outside the list's columns 0 and 1 nothing happens.
  EXPECT_EQ(Drop(*fileDrag, CellPoint(1, 3)), Qt::IgnoreAction);
  EXPECT_EQ(Store().GetRowCount(), 7);

  // A key from the registry pane: column 1 replaces the target, column 0 the source.
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Kopiwart\\Daten", REG_OPEN_CREATE));
  ASSERT_TRUE(rig.frame.SendCommand(ID_TOGGLE_REGISTRY));
  wnd.RegPane().Refresh();
  ASSERT_TRUE(wnd.RegPane().OpenPath("HKEY_CURRENT_USER\\Software\\Tavrin\\Kopiwart\\Daten"));
  const std::unique_ptr<QMimeData> keyDrag(wnd.RegPane().MakeSelectionMime());
  ASSERT_TRUE(keyDrag);
  const std::string key = "HKEY_CURRENT_USER\\Software\\Tavrin\\Kopiwart\\Daten";
  rig.View().SetModified(0);
  EXPECT_EQ(Drop(*keyDrag, CellPoint(2, 1)), Qt::LinkAction);
  EXPECT_EQ(Cell(2, 1), key);
  EXPECT_EQ(Store().GetRowCount(), 7);
  EXPECT_TRUE(rig.View().IsListModified());
  EXPECT_EQ(Drop(*keyDrag, CellPoint(0, 0), Qt::ControlModifier), Qt::LinkAction);
  EXPECT_EQ(Cell(0, 0), key);

  // On no row, and on the filter bar's row, a key changes nothing, not even the modified bit.
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILTER_BAR));
  rig.Settle();
  rig.View().SetModified(0);
  const std::vector<std::string> bar = Row(0);
  Drop(*keyDrag, CellPoint(0, 1));
  Drop(*keyDrag, CellPoint(0, 0));
  WndTrackSplitter(wnd.Splitter(), 100);
  Drop(*keyDrag, NoRowPoint());
  EXPECT_EQ(Row(0), bar);
  EXPECT_EQ(Store().GetRowCount(), 8);
  EXPECT_FALSE(rig.View().IsListModified());
  // Files on the bar's row copy the last job row.
  EXPECT_EQ(Drop(*fileDrag, CellPoint(0, 1)), Qt::LinkAction);
  ASSERT_EQ(Store().GetRowCount(), 10);
  EXPECT_EQ(Cell(9, 1), "/sicherung/b");
  EXPECT_EQ(Row(0), bar);
  EXPECT_TRUE(rig.View().IsListModified());
}

TEST_F(ViewWindow, ThePaneCallbacksHitTestAndEffects) {
  Start();
  CJobListWnd& wnd = Wnd();
  QWidget* viewport = rig.List().viewport();
  int code = 0;
  ASSERT_TRUE(wnd.HitTest(viewport->mapToGlobal(CellPoint(2, 1)), &code));
  EXPECT_EQ(code, (1 << 16) | 2);
  ASSERT_TRUE(wnd.HitTest(viewport->mapToGlobal(CellPoint(1, 0)), &code));
  EXPECT_EQ(code, 1);
  EXPECT_FALSE(wnd.HitTest(viewport->mapToGlobal(CellPoint(1, 2)), &code));
  ASSERT_TRUE(wnd.HitTest(viewport->mapToGlobal(NoRowPoint()), &code));
  EXPECT_EQ(code, -1);
  // Outside the list's window: no target (the pane below, the list's right edge).
  EXPECT_FALSE(wnd.HitTest(wnd.FilePane().mapToGlobal(QPoint(10, 40)), &code));
  EXPECT_FALSE(wnd.HitTest(rig.List().mapToGlobal(QPoint(rig.List().width() + 2, 5)), &code));
  const int target = (1 << 16) | 2, source = 2, none = -1;
  EXPECT_EQ(CJobListWnd::DropEffect(0, &target, 1), 2);
  EXPECT_EQ(CJobListWnd::DropEffect(0, &source, 1), 1);
  EXPECT_EQ(CJobListWnd::DropEffect(8, &source, 1), 2);
  EXPECT_EQ(CJobListWnd::DropEffect(8, &none, 1), 1);
  EXPECT_EQ(CJobListWnd::DropEffect(8, &target, 0), 0);
}

TEST_F(ViewWindow, ContextMenuEntriesAndGreying) {
  Start();
  const std::string copy = "Feld kopieren", full = "Vollen Pfad kopieren", rel = "Relativen Pfad erzeugen",
                    open = "Pfad öffnen", special = "Spezialeinstellungen", filter = "Filterstellungen";
  using V = std::vector<std::string>;
  EXPECT_EQ(MenuOf(0, 0), (V{copy + ":e", full + ":e", "-", rel + ":e", open + ":e", special + ":g"}));
  EXPECT_EQ(MenuOf(1, 1), (V{copy + ":e", full + ":e", "-", rel + ":e", open + ":e", special + ":g"}));
  EXPECT_EQ(MenuOf(1, 2), (V{copy + ":e", full + ":g", "-", rel + ":g", open + ":g", filter + ":e"}));
  EXPECT_EQ(Wnd().ContextColumn(), 2);
  EXPECT_EQ(MenuOf(2, 3), (V{copy + ":e", full + ":g", "-", rel + ":g", open + ":g", filter + ":e"}));
  EXPECT_EQ(Wnd().ContextColumn(), 3);
  EXPECT_EQ(MenuOf(0, 6), (V{copy + ":e", full + ":g", "-", rel + ":g", open + ":g", special + ":e"}));
  for (int column : {4, 5})
    EXPECT_EQ(MenuOf(0, column), (V{copy + ":e", full + ":g", "-", rel + ":g", open + ":g", special + ":g"}));
  // With the registry pane in front the path entries are greyed, and no filter editor is offered.
  ASSERT_TRUE(rig.frame.SendCommand(ID_TOGGLE_REGISTRY));
  EXPECT_EQ(MenuOf(0, 0), (V{copy + ":e", full + ":g", "-", rel + ":g", open + ":g", special + ":g"}));
  EXPECT_EQ(MenuOf(0, 2), (V{copy + ":e", full + ":g", "-", rel + ":g", open + ":g", special + ":g"}));
  EXPECT_EQ(MenuOf(0, 6), (V{copy + ":e", full + ":g", "-", rel + ":g", open + ":g", special + ":g"}));
  ASSERT_TRUE(rig.frame.SendCommand(ID_TOGGLE_REGISTRY));
  // Nothing selected: nothing to copy.
  FocusCell(0, 1);
  Store().SetItemState(Store().GetItemOfRow(0), 0, TVIS_SELECTED);
  const std::unique_ptr<QMenu> menu = Wnd().MakeContextMenu();
  EXPECT_FALSE(menu->actions()[0]->isEnabled());
  EXPECT_FALSE(menu->actions()[1]->isEnabled());
  EXPECT_TRUE(menu->actions()[3]->isEnabled());

  // A right click opens the popup at the list; the entry chosen runs on the clicked cell.
  const QPoint at = CellPoint(1, 1);
  QTest::mouseClick(rig.List().viewport(), Qt::LeftButton, {}, at);
  rig.Settle();
  bool shown = false;
  QTimer::singleShot(0, [&] {
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(popup, nullptr);
    shown = true;
    for (QAction* a : popup->actions())
      if (a->text().remove(QLatin1Char('&')) == QString::fromStdString(copy)) popup->setActiveAction(a);
    QTest::keyClick(popup, Qt::Key_Return);
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, at, rig.List().viewport()->mapToGlobal(at));
  QApplication::sendEvent(rig.List().viewport(), &event);
  EXPECT_TRUE(shown);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("/sicherung/b"));
}

TEST_F(ViewWindow, CopiedTextsAreWholeAndExpanded) {
  const std::string longName(2000, 'n');
  Start(JobRow("$(KPW_PATH)/" + longName, "/sicherung/b") + JobRow("/daten/c", "/sicherung/c"));
  QClipboard* clipboard = QGuiApplication::clipboard();
  FocusCell(0, 0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_COPY_FIELD));
  EXPECT_EQ(clipboard->text().toStdString(), "$(KPW_PATH)/" + longName);
  ASSERT_TRUE(rig.frame.SendCommand(ID_COPY_FULL_PATH));
  EXPECT_EQ(clipboard->text().toStdString(), dir / longName);
  FocusCell(1, 4);
  ASSERT_TRUE(rig.frame.SendCommand(ID_COPY_FIELD));
  EXPECT_EQ(clipboard->text(), QStringLiteral("Ja"));
  EXPECT_TRUE(prompter.asked.empty());

  // Before the first save the full path has no job file to start from.
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILE_NEW));
  rig.View().AddEntry(-1, "/daten/x", "/y", "", "", 1, 0, "");
  clipboard->setText("vorher");
  FocusCell(0, 0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_COPY_FULL_PATH));
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Die Kopiwart-Datei hat noch keinen Dateinamen !");
  EXPECT_EQ(prompter.asked[0].caption, "Fehler");
  EXPECT_EQ(prompter.asked[0].type, u32{MB_ICONHAND});
  EXPECT_EQ(clipboard->text(), QStringLiteral("vorher"));
  ASSERT_TRUE(rig.frame.SendCommand(ID_COPY_FIELD));
  EXPECT_EQ(clipboard->text(), QStringLiteral("/daten/x"));
}

TEST_F(ViewWindow, RelativePathsBelowAndBesideTheJobFile) {
  Start(JobRow(dir / "quelle/sub/x", "/sicherung/b") + JobRow("daten/rel", "C:\\Ziel") + JobRow("/a", "/b"));
  rig.View().SetModified(0);
  FocusCell(0, 0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_MAKE_RELATIVE));
  EXPECT_EQ(Cell(0, 0), "$(KPW_PATH)/quelle/sub/x");
  EXPECT_TRUE(rig.View().IsListModified());
  FocusCell(0, 1);
  ASSERT_TRUE(rig.frame.SendCommand(ID_MAKE_RELATIVE));
  std::string up;
  for (std::size_t n = std::count(dir.path().begin(), dir.path().end(), '/'); n > 0; --n) up += "/..";
  EXPECT_EQ(Cell(0, 1), "$(KPW_PATH)" + up + "/sicherung/b");
  // A cell that is no absolute path stays, with the message.
  rig.View().SetModified(0);
  FocusCell(1, 1);
  ASSERT_TRUE(rig.frame.SendCommand(ID_MAKE_RELATIVE));
  EXPECT_EQ(Cell(1, 1), "C:\\Ziel");
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Der gewählte Pfad ist kein absoluter Pfad !");
  EXPECT_EQ(prompter.asked[0].caption, "Fehler");
  EXPECT_FALSE(rig.View().IsListModified());
  // Before the first save: the message of a missing file name.
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILE_NEW));
  rig.View().AddEntry(-1, "/daten/x", "/y", "", "", 1, 0, "");
  FocusCell(0, 0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_MAKE_RELATIVE));
  ASSERT_EQ(prompter.asked.size(), 2u);
  EXPECT_EQ(prompter.asked[1].text, "Die Kopiwart-Datei hat noch keinen Dateinamen !");
  EXPECT_EQ(Cell(0, 0), "/daten/x");
}

TEST_F(ViewWindow, OpenPathShowsTheFolderInTheFilePane) {
  Start(JobRow("$(KPW_PATH)/daten/datei.txt", "$(KPW_PATH)/ziel/#D#/x.zip") + JobRow("/nirgends/x", "/b"));
  ASSERT_EQ(::mkdir((dir / "daten").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "ziel").c_str(), 0755), 0);
  DateiView& pane = Wnd().FilePane();
  FocusCell(0, 0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_OPEN_PATH));
  EXPECT_EQ(pane.Folder(), dir / "daten");
  FocusCell(0, 1);
  ASSERT_TRUE(rig.frame.SendCommand(ID_OPEN_PATH));
  EXPECT_EQ(pane.Folder(), dir / "ziel");
  // A path that is not there leaves the pane where it is.
  FocusCell(1, 0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_OPEN_PATH));
  EXPECT_EQ(pane.Folder(), dir / "ziel");
  EXPECT_TRUE(prompter.asked.empty());
}

TEST_F(ViewWindow, InsertFilesUsesTheChooserAndTheTemplateRow) {
  ASSERT_EQ(::mkdir((dir / "quelle").c_str(), 0755), 0);
  Start(JobRow(dir / "quelle", "/sicherung/a", "/SYNCH", "x") + JobRow("/fehlt", "/sicherung/b", "/MOVE"));
  std::vector<std::pair<std::string, std::string>> asked;
  std::vector<std::string> chosen = {dir / "eins.txt", dir / "zwei.txt"};
  Wnd().SetFileChooser([&](const std::string& folder, const std::string& filter) {
    asked.emplace_back(folder, filter);
    return chosen;
  });
  rig.View().SetModified(0);
  FocusCell(0, 2);
  ASSERT_TRUE(rig.frame.SendCommand(ID_INSERT_FILES));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], std::make_pair(dir / "quelle", std::string("*")));
  ASSERT_EQ(Store().GetRowCount(), 4);
  EXPECT_EQ(Row(2), (std::vector<std::string>{dir / "eins.txt", "/sicherung/a", "", "", "Ja", "Synch", "x"}));
  EXPECT_EQ(Cell(3, 0), dir / "zwei.txt");
  EXPECT_TRUE(rig.View().IsListModified());

  // A template whose source is gone starts in the job file's folder; without a focused row the
  // last row is the template; the bar's row is never one.
  FocusCell(1, 0);
  chosen = {dir / "drei.txt"};
  ASSERT_TRUE(rig.frame.SendCommand(ID_INSERT_FILES));
  EXPECT_EQ(asked[1].first, dir.path());
  EXPECT_EQ(Cell(4, 5), "Move");
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILTER_BAR));
  FocusCell(0, 0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_INSERT_FILES));
  EXPECT_EQ(Cell(6, 5), "Synch");  // row 1: the first job row
  // Given up: nothing changes.
  chosen.clear();
  rig.View().SetModified(0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_INSERT_FILES));
  EXPECT_EQ(Store().GetRowCount(), 7);
  EXPECT_FALSE(rig.View().IsListModified());
}

TEST_F(ViewWindow, InsertFilesOpensAMultipleChoiceFileDialog) {
  ASSERT_EQ(::mkdir((dir / "quelle").c_str(), 0755), 0);
  kpwtest::WriteFile(dir / "quelle/a.txt", "a");
  kpwtest::WriteFile(dir / "quelle/b.txt", "b");
  Start(JobRow(dir / "quelle", "/sicherung/a"));
  FocusCell(0, 0);
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), dir / "quelle");
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("Alle Dateien (*)")});
    dialog->selectFile(QStringLiteral("\"a.txt\" \"b.txt\""));
    QMetaObject::invokeMethod(dialog, "accept");
  });
  ASSERT_TRUE(rig.frame.SendCommand(ID_INSERT_FILES));
  ASSERT_EQ(Store().GetRowCount(), 3);
  std::set<std::string> added = {Cell(1, 0), Cell(2, 0)};
  EXPECT_EQ(added, (std::set<std::string>{dir / "quelle/a.txt", dir / "quelle/b.txt"}));
}

TEST_F(ViewWindow, SpecialSettingsAndFilterEditingGoToTheirEditors) {
  // An extra cell far longer than a dialog's old 260 bytes reaches the editor whole.
  std::string longExtra = "*;";
  for (int i = 0; i < 60; ++i) longExtra += "ordner" + std::to_string(i) + ";";
  Start(JobRow("/a/x.ZIP", "/b", "/ZIP", longExtra) + JobRow("/a", "/b/y.zip", "/ZIP") +
        JobRow("/a", "/b", "/MOVE") + JobRow("/a", "/b", "", "*.txt"));
  std::vector<kpw::view::SettingsDialog> dialogs;
  std::vector<std::string> given;
  std::string answer = "neu";
  Wnd().SetSettingsEditor([&](kpw::view::SettingsDialog d, std::string& text) {
    dialogs.push_back(d);
    given.push_back(text);
    text = answer;
    return true;
  });
  rig.View().SetModified(0);
  FocusCell(0, 6);
  ASSERT_TRUE(rig.frame.SendCommand(ID_SPECIAL_SETTINGS));
  FocusCell(1, 6);
  answer = "";  // unchanged: nothing written
  ASSERT_TRUE(rig.frame.SendCommand(ID_SPECIAL_SETTINGS));
  FocusCell(2, 6);
  ASSERT_TRUE(rig.frame.SendCommand(ID_SPECIAL_SETTINGS));
  using D = kpw::view::SettingsDialog;
  EXPECT_EQ(dialogs, (std::vector<D>{D::Subdir, D::Zip}));
  ASSERT_GT(longExtra.size(), 500u);
  EXPECT_EQ(given.front(), longExtra);
  EXPECT_EQ(Cell(0, 6), "neu");
  EXPECT_EQ(Cell(1, 6), "");
  EXPECT_TRUE(rig.View().IsListModified());

  // The filter editor edits the context column's cell with its caption and line.
  std::vector<std::string> looks;
  Wnd().SetFilterEditor([&](const kpw::view::FilterEditor& look, std::string& text) {
    looks.push_back(std::string(look.caption) + "|" + look.label + "|" + text);
    text += ";*.bak";
    return true;
  });
  rig.View().SetModified(0);
  MenuOf(3, 3);  // remembers column 3
  ASSERT_TRUE(rig.frame.SendCommand(ID_EDIT_FILTER));
  EXPECT_EQ(Cell(3, 3), ";*.bak");
  EXPECT_TRUE(rig.View().IsListModified());
  MenuOf(3, 2);
  ASSERT_TRUE(rig.frame.SendCommand(ID_EDIT_FILTER));
  EXPECT_EQ(looks, (std::vector<std::string>{"Minusfilter|Welche Dateien sollen ignoriert werden :|",
                                             "Plusfilter|Welche Dateien sollen kopiert werden :|"}));
  EXPECT_EQ(Cell(3, 2), ";*.bak");
  // Without an editor nothing happens.
  Wnd().SetSettingsEditor(nullptr);
  Wnd().SetFilterEditor(nullptr);
  FocusCell(0, 6);
  ASSERT_TRUE(rig.frame.SendCommand(ID_SPECIAL_SETTINGS));
  ASSERT_TRUE(rig.frame.SendCommand(ID_EDIT_FILTER));
  EXPECT_EQ(Cell(0, 6), "neu");
}

TEST_F(ViewWindow, UpdateRulesFollowTheListAndTheFilterBar) {
  Start();
  FocusCell(0, 0);
  EXPECT_FALSE(Query(ID_MOVE_UP).IsEnabled());
  EXPECT_TRUE(Query(ID_MOVE_DOWN).IsEnabled());
  EXPECT_TRUE(Query(ID_EDIT_DELETE).IsEnabled());
  EXPECT_FALSE(Query(ID_EDIT_UNDO).IsEnabled());
  FocusCell(2, 0);
  EXPECT_TRUE(Query(ID_MOVE_UP).IsEnabled());
  EXPECT_FALSE(Query(ID_MOVE_DOWN).IsEnabled());
  ASSERT_TRUE(rig.frame.SendCommand(ID_EDIT_DELETE));
  EXPECT_TRUE(Query(ID_EDIT_UNDO).IsEnabled());
  ASSERT_TRUE(rig.frame.SendCommand(ID_EDIT_UNDO));

  // The bar's row is no row to move, delete or filter; the first job row does not go up.
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILTER_BAR));
  EXPECT_EQ(Query(ID_FILTER_BAR).GetCheck(), 1);
  FocusCell(0, 0);
  for (UINT id : {UINT{ID_MOVE_UP}, UINT{ID_MOVE_DOWN}, UINT{ID_EDIT_DELETE}, UINT{ID_CPP_FILTER}})
    EXPECT_FALSE(Query(id).IsEnabled()) << id;
  FocusCell(1, 0);
  EXPECT_FALSE(Query(ID_MOVE_UP).IsEnabled());
  EXPECT_TRUE(Query(ID_MOVE_DOWN).IsEnabled());
  // Rows the filter hides still run.
  rig.View().List().SetCellText(0, "nichts*", 0);
  rig.View().ApplyFilter(true);
  EXPECT_EQ(Store().GetRowCount(), 1);
  EXPECT_TRUE(Query(ID_RUN).IsEnabled());
  rig.View().SetModified(0);
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILE_NEW));
  EXPECT_FALSE(Query(ID_RUN).IsEnabled());

  // Without the window the rules grey its commands.
  rig.frame.DetachApp();
  EXPECT_FALSE(Query(ID_TOGGLE_REGISTRY).IsEnabled());
  EXPECT_FALSE(rig.frame.SendCommand(ID_TOGGLE_REGISTRY));
}

TEST_F(ViewWindow, FocusPassesOnAndTheStatusBarGetsThreePanes) {
  Start();
  CStatusPanes& panes = rig.frame.StatusPanes();
  const char* const other[] = {"a", "b", "c", "d"};
  ASSERT_EQ(panes.SetStatusPanes(other, nullptr, 4), 4);
  // The focus that comes to the window from elsewhere goes to the list; a list without a
  // focused row gets its first row selected.
  ASSERT_TRUE(rig.frame.SendCommand(ID_FILE_NEW));
  rig.View().AddEntry(-1, "/daten/x", "/y", "", "", 1, 0, "");
  rig.View().AddEntry(-1, "/daten/z", "/y", "", "", 1, 0, "");
  rig.Settle();
  ASSERT_EQ(Store().GetFocusedItem(), TLI_NULL);
  Wnd().FilePane().FocusPane(1);
  Wnd().setFocus(Qt::OtherFocusReason);
  rig.Settle();
  EXPECT_TRUE(rig.List().hasFocus());
  EXPECT_EQ(Store().GetFocusedItem(), Store().GetItemOfRow(0));
  EXPECT_EQ(Store().GetNextSelectedItem(), Store().GetItemOfRow(0));
  // A focused row stays.
  FocusCell(1, 2);
  Wnd().FilePane().FocusPane(1);
  Wnd().setFocus(Qt::OtherFocusReason);
  rig.Settle();
  EXPECT_EQ(Store().GetFocusedItem(), Store().GetItemOfRow(1));
  const std::vector<StatusPane> shown = panes.Panes();
  ASSERT_EQ(shown.size(), 3u + 3u);  // the message pane, two empty ones, the indicators
  const int unit = CStatusPanes::FontUnit(rig.frame.StatusBar()->fontMetrics().averageCharWidth(),
                                          rig.frame.StatusBar()->fontMetrics().height());
  EXPECT_EQ(shown[1].width, 15 * unit);
  EXPECT_EQ(shown[2].width, 10 * unit);
  EXPECT_EQ(shown[1].text, "");
  EXPECT_EQ(rig.frame.StatusPaneCount(), 6);  // the frame's status bar shows them

  // From the list it goes on to the pane in front: its first visible part.
  Wnd().setFocus(Qt::BacktabFocusReason);
  rig.Settle();
  EXPECT_TRUE(Wnd().FilePane().findChild<QLineEdit*>()->hasFocus());
  // Tab in the list does the same.
  rig.List().setFocus();
  rig.Key(Qt::Key_Tab);
  EXPECT_TRUE(Wnd().FilePane().isAncestorOf(QApplication::focusWidget()));
  ASSERT_TRUE(rig.frame.SendCommand(ID_TOGGLE_REGISTRY));
  rig.List().setFocus();
  rig.Settle();
  Wnd().setFocus(Qt::BacktabFocusReason);
  rig.Settle();
  EXPECT_TRUE(Wnd().RegPane().isAncestorOf(QApplication::focusWidget()));

  // "Alles auswählen" outside the list selects the file pane's entries.
  ASSERT_TRUE(rig.frame.SendCommand(ID_TOGGLE_REGISTRY));
  kpwtest::WriteFile(dir / "g.txt", "g");
  ASSERT_TRUE(Wnd().FilePane().OpenPath(dir.path().c_str()));
  Wnd().FilePane().FocusPane(1);
  ASSERT_TRUE(rig.frame.SendCommand(ID_SELECT_ALL));
  EXPECT_EQ(Wnd().FilePane().SelectedPaths().size(), 2u);  // g.txt and jobs.kpw
}

TEST_F(ViewWindow, PaneSettingsAreSavedWhenTheWindowGoes) {
  Start();
  ASSERT_EQ(::mkdir((dir / "hier").c_str(), 0755), 0);
  ASSERT_TRUE(Wnd().FilePane().OpenPath((dir / "hier").c_str()));
  ASSERT_TRUE(Wnd().RegPane().OpenPath("HKEY_CURRENT_USER"));
  ASSERT_TRUE(rig.frame.SendCommand(ID_PATH_BARS));
  rig.frame.DetachApp();
  const std::optional<PaneSettings> files = LoadPaneSettings("FileList");
  const std::optional<PaneSettings> keys = LoadPaneSettings("RegList");
  ASSERT_TRUE(files && keys);
  EXPECT_EQ(files->place, dir / "hier");
  EXPECT_EQ(files->hiddenParts, kPaneHidePathBar);
  EXPECT_EQ(keys->place, "HKEY_CURRENT_USER");

  // The next window starts with them, the file pane in front and the list at 100 pixels.
  rig.frame.AttachApp(&rig.app);
  rig.frame.ShowMainWindow(SW_SHOW);
  rig.Settle();
  EXPECT_EQ(Wnd().FilePane().Folder(), dir / "hier");
  EXPECT_EQ(Wnd().RegPane().CurrentPath(), "HKEY_CURRENT_USER");
  EXPECT_FALSE(Wnd().RegistryPaneShown());
  EXPECT_EQ(Wnd().SplitPosition(), 100);
}

// Two pictures for a person to look at, saved beside the build; checked for size and content.
TEST_F(ViewWindow, ScreenshotsOfBothPanes) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Kopiwart\\Settings", REG_OPEN_CREATE));
  kpwtest::WriteFile(dir / "bericht.txt", "x");
  Start();
  ASSERT_TRUE(Wnd().FilePane().OpenPath(dir.path().c_str()));
  ASSERT_TRUE(Wnd().RegPane().OpenPath("HKEY_CURRENT_USER\\Software\\Tavrin\\Kopiwart"));
  const auto shoot = [&](const char* name) {
    rig.Settle();
    const QImage image = rig.frame.grab().toImage();
    EXPECT_EQ(image.size(), rig.frame.size() * image.devicePixelRatio());
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
      for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
    EXPECT_GT(colours.size(), 8u) << name;
    const std::string folder = std::string(KPW_BUILD_DIR) + "/screenshots";
    std::filesystem::create_directories(folder);
    EXPECT_TRUE(image.save(QString::fromStdString(folder + "/" + name)));
  };
  shoot("view-file-pane.png");
  ASSERT_TRUE(rig.frame.SendCommand(ID_TOGGLE_REGISTRY));
  shoot("view-registry-pane.png");
}

}  // namespace

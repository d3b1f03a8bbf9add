// The file pane and the registry pane over real folders and the registry store: paths, parts, settings, drags.
#include "controls/gui/treelist_icons.h"
#include "lib/system/registry.h"
#include "panes/gui/datei_view.h"
#include "panes/gui/tree_wnd.h"
#include "panes/pane_settings.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>

#include <sys/stat.h>

#include <memory>

namespace {

// The names the list shows, in its order.
std::vector<std::string> Shown(QTreeView* list) {
  std::vector<std::string> names;
  for (int r = 0; r < list->model()->rowCount(); ++r)
    names.push_back(list->model()->index(r, 0).data().toString().toStdString());
  return names;
}

QLineEdit* BarOf(QWidget* pane) { return pane->findChild<QLineEdit*>(); }

struct FilePane : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(::mkdir((dir / "daten").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "daten/unter").c_str(), 0755), 0);
    kpwtest::WriteFile(dir / "daten/b.txt", std::string(3000, 'b'));
    kpwtest::WriteFile(dir / "daten/a.txt", "a");
    window.resize(500, 300);
    pane = new DateiView;
    ASSERT_TRUE(pane->Create(0x70, QRect(0, 0, 500, 300), &window, 0x88770012));
    window.show();
  }
  kpwtest::TempDir dir{"file-pane"};
  QWidget window;
  DateiView* pane = nullptr;  // a child of window
};

TEST_F(FilePane, ShowsFoldersGoesUpAndKeepsItsParentFlag) {
  EXPECT_EQ(pane->GetDlgCtrlID(), 0x88770012u);
  ASSERT_TRUE(pane->OpenPath((dir / "daten").c_str()));
  EXPECT_EQ(Shown(pane->List()), (std::vector<std::string>{"unter", "a.txt", "b.txt"}));
  EXPECT_EQ(BarOf(pane)->text().toStdString(), dir / "daten");
  EXPECT_EQ(pane->List()->model()->index(2, DateiView::kColSize).data().toString(), QStringLiteral("3 KB"));
  EXPECT_EQ(pane->List()->model()->index(2, DateiView::kColType).data().toString(), QStringLiteral("TXT-Datei"));
  EXPECT_TRUE(pane->ParentAvailable());

  // A folder opens by activation; Backspace goes up with the folder it came from selected.
  pane->List()->setFocus();
  emit pane->List()->activated(pane->List()->model()->index(0, 1));
  EXPECT_EQ(pane->Folder(), dir / "daten/unter");
  EXPECT_TRUE(Shown(pane->List()).empty());
  QTest::keyClick(pane->List(), Qt::Key_Backspace);
  EXPECT_EQ(pane->Folder(), dir / "daten");
  EXPECT_EQ(pane->SelectedPaths(), std::vector<std::string>{dir / "daten/unter"});

  // A file's activation opens nothing; a folder that cannot be read leaves the pane as it was.
  emit pane->List()->activated(pane->List()->model()->index(1, 0));
  EXPECT_EQ(pane->Folder(), dir / "daten");
  EXPECT_FALSE(pane->OpenPath((dir / "daten/a.txt").c_str()));
  EXPECT_FALSE(pane->OpenPath("relativ"));
  EXPECT_EQ(pane->Folder(), dir / "daten");

  // The path bar: Enter opens what was typed; anything else is put back.
  BarOf(pane)->setText(QString::fromStdString(dir / "daten/unter/.."));
  QTest::keyClick(BarOf(pane), Qt::Key_Return);
  EXPECT_EQ(pane->Folder(), dir / "daten");
  BarOf(pane)->setText("C:\\Daten");
  QTest::keyClick(BarOf(pane), Qt::Key_Return);
  EXPECT_EQ(BarOf(pane)->text().toStdString(), dir / "daten");

  ASSERT_TRUE(pane->OpenPath("/"));
  EXPECT_FALSE(pane->ParentAvailable());
  pane->GoParent();
  EXPECT_EQ(pane->Folder(), "/");
}

TEST_F(FilePane, PathBarSelectAllFocusAndSettings) {
  ASSERT_TRUE(pane->OpenPath((dir / "daten").c_str()));
  EXPECT_EQ(pane->HiddenParts(), 0u);
  QApplication::setActiveWindow(&window);
  pane->FocusPane(0);
  EXPECT_TRUE(BarOf(pane)->hasFocus());
  pane->SetStyle(0xFF, kPaneHidePathBar);
  EXPECT_EQ(pane->HiddenParts(), kPaneHidePathBar);
  EXPECT_TRUE(BarOf(pane)->isHidden());
  pane->FocusPane(0);  // the first visible part is the list now
  EXPECT_TRUE(pane->List()->hasFocus());

  EXPECT_FALSE(pane->OnCommand(32773));
  EXPECT_TRUE(pane->OnCommand(kPaneSelectAll));
  EXPECT_EQ(pane->SelectedPaths().size(), 3u);

  pane->List()->setColumnWidth(DateiView::kColType, 133);
  pane->List()->sortByColumn(DateiView::kColSize, Qt::DescendingOrder);
  EXPECT_EQ(Shown(pane->List()).front(), "b.txt");
  ASSERT_TRUE(pane->SaveSettings("FileList"));
  const std::optional<PaneSettings> stored = LoadPaneSettings("FileList");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->place, dir / "daten");

  DateiView again;
  EXPECT_FALSE(again.LoadSettings("RegList"));
  ASSERT_TRUE(again.LoadSettings("FileList"));
  EXPECT_EQ(again.Folder(), dir / "daten");
  EXPECT_EQ(again.HiddenParts(), kPaneHidePathBar);
  EXPECT_EQ(again.List()->columnWidth(DateiView::kColType), 133);
  EXPECT_EQ(again.List()->header()->sortIndicatorSection(), DateiView::kColSize);
  EXPECT_EQ(Shown(again.List()).front(), "b.txt");
}

TEST_F(FilePane, DraggedFilesAskTheCallbacksAndReachTheDropHandler) {
  ASSERT_TRUE(pane->OpenPath((dir / "daten").c_str()));
  EXPECT_EQ(pane->MakeSelectionMime(), nullptr);
  pane->List()->selectionModel()->select(
      QItemSelection(pane->List()->model()->index(1, 0), pane->List()->model()->index(2, 0)),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  const std::unique_ptr<QMimeData> mime(pane->MakeSelectionMime());
  ASSERT_TRUE(mime);
  // Other programs read URLs and text.
  ASSERT_EQ(mime->urls().size(), 2);
  EXPECT_EQ(mime->urls()[0].toLocalFile().toStdString(), dir / "daten/a.txt");
  PaneDragData data;
  EXPECT_EQ(CPaneWnd::DragSource(mime.get(), &data), pane);
  EXPECT_EQ(data.kind, kPaneDragFiles);
  EXPECT_EQ(data.texts, (std::vector<std::string>{dir / "daten/a.txt", dir / "daten/b.txt"}));

  // Without callbacks nothing drops; with them the pane asks and hands over.
  EXPECT_EQ(pane->DragOverAt(mime.get(), QPoint(5, 5), 0), PANE_DROPEFFECT_NONE);
  std::vector<std::string> dropped;
  int droppedKind = 0, droppedCode = 0, asked = 0;
  pane->SetDragTarget(
      [&](int x, int, int* code) {
        ++asked;
        *code = x;
        return x > 0;
      },
      0, [](u32 keys, const int* code, int count) { return count ? ((keys & PANE_MK_CONTROL) ? 2 : *code > 50 ? 0 : 1) : 0; });
  pane->SetDropHandler(
      [&](const std::vector<std::string>& texts, int kind, int code, void*) {
        dropped = texts;
        droppedKind = kind;
        droppedCode = code;
      },
      nullptr);
  EXPECT_EQ(pane->DragOverAt(mime.get(), QPoint(7, 1), CPaneWnd::DragKeyState(Qt::ControlModifier, Qt::LeftButton)),
            PANE_DROPEFFECT_MOVE);
  EXPECT_EQ(pane->DragOverAt(mime.get(), QPoint(-7, 1), 0), PANE_DROPEFFECT_NONE);
  EXPECT_FALSE(pane->DropAt(mime.get(), QPoint(70, 1), 0));
  EXPECT_TRUE(pane->DropAt(mime.get(), QPoint(7, 1), 0));
  EXPECT_EQ(dropped, data.texts);
  EXPECT_EQ(droppedKind, kPaneDragFiles);
  EXPECT_EQ(droppedCode, 7);
  EXPECT_EQ(asked, 4);
  // Another pane's drag, or one whose pane is gone, is none of this pane's.
  {
    DateiView other;
    const std::unique_ptr<QMimeData> foreign(other.MakeDragMime({"/x"}, kPaneDragFiles));
    EXPECT_FALSE(pane->DropAt(foreign.get(), QPoint(7, 1), 0));
    EXPECT_EQ(CPaneWnd::DragSource(foreign.get()), &other);
    delete pane;  // the window's child
    pane = nullptr;
    EXPECT_EQ(CPaneWnd::DragSource(mime.get()), nullptr);
  }
  EXPECT_EQ(CPaneWnd::DropActionOf(1), Qt::CopyAction);
  EXPECT_EQ(CPaneWnd::DropActionOf(2), Qt::LinkAction);
  EXPECT_EQ(CPaneWnd::DropActionOf(0), Qt::IgnoreAction);
}

struct RegPane : ::testing::Test {
  void SetUp() override {
    CRegistry reg;
    for (const char* key : {"Software\\Tavrin\\Kopiwart\\Settings", "Software\\Tavrin\\Andere", "Software\\Zweite"})
      ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, key, REG_OPEN_CREATE));
    window.resize(400, 300);
    pane = new RegWnd;
    ASSERT_TRUE(pane->Create(0x70, QRect(0, 0, 400, 300), &window, 0x88770013));
    window.show();
  }
  QWidget window;
  RegWnd* pane = nullptr;
};

TEST_F(RegPane, ShowsTheStoresKeysAndOpensPaths) {
  auto* model = pane->Tree()->model();
  ASSERT_GE(model->rowCount(), 2);
  EXPECT_EQ(model->index(0, 0).data().toString(), QStringLiteral("HKEY_CURRENT_USER"));
  EXPECT_EQ(pane->CurrentPath(), "");
  EXPECT_FALSE(pane->ParentAvailable());

  ASSERT_TRUE(pane->OpenPath("hkey_current_user\\SOFTWARE\\tavrin\\Kopiwart"));
  EXPECT_EQ(pane->CurrentPath(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Kopiwart");
  EXPECT_EQ(BarOf(pane)->text().toStdString(), pane->CurrentPath());
  EXPECT_TRUE(pane->ParentAvailable());
  const QModelIndex tavrin = pane->Tree()->currentIndex().parent();
  ASSERT_EQ(model->rowCount(tavrin), 2);
  EXPECT_EQ(model->index(0, 0, tavrin).data().toString(), QStringLiteral("Andere"));

  pane->GoParent();
  EXPECT_EQ(pane->CurrentPath(), "HKEY_CURRENT_USER\\Software\\Tavrin");
  // A path that does not exist selects its deepest existing part.
  EXPECT_FALSE(pane->OpenPath("HKEY_CURRENT_USER\\Software\\Fehlt\\X"));
  EXPECT_EQ(pane->CurrentPath(), "HKEY_CURRENT_USER\\Software");
  // The bar opens what was typed.
  BarOf(pane)->setText("HKEY_CURRENT_USER\\Software\\Zweite");
  QTest::keyClick(BarOf(pane), Qt::Key_Return);
  EXPECT_EQ(pane->CurrentPath(), "HKEY_CURRENT_USER\\Software\\Zweite");

  // Keys made meanwhile show when their parent is opened again.
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Zweite\\Neu", REG_OPEN_CREATE));
  pane->Refresh();
  EXPECT_TRUE(pane->OpenPath("HKEY_CURRENT_USER\\Software\\Zweite\\Neu"));
}

TEST_F(RegPane, DraggingAKeyDeliversItsPathAndSettingsRoundTrip) {
  EXPECT_EQ(pane->MakeSelectionMime(), nullptr);
  ASSERT_TRUE(pane->OpenPath("HKEY_CURRENT_USER\\Software\\Tavrin"));
  const std::unique_ptr<QMimeData> mime(pane->MakeSelectionMime());
  ASSERT_TRUE(mime);
  EXPECT_EQ(mime->text(), QStringLiteral("HKEY_CURRENT_USER\\Software\\Tavrin"));
  EXPECT_FALSE(mime->hasUrls());
  std::vector<std::string> dropped;
  int droppedKind = 0;
  pane->SetDragTarget([](int, int, int* code) { return *code = 1, true; }, 0,
                      [](u32, const int*, int count) { return count ? 1 : 0; });
  pane->SetDropHandler(
      [&](const std::vector<std::string>& texts, int kind, int, void*) {
        dropped = texts;
        droppedKind = kind;
      },
      nullptr);
  EXPECT_TRUE(pane->DropAt(mime.get(), QPoint(1, 1), 0));
  EXPECT_EQ(dropped, std::vector<std::string>{"HKEY_CURRENT_USER\\Software\\Tavrin"});
  EXPECT_EQ(droppedKind, kPaneDragKey);

  pane->SetStyle(kPaneHidePathBar, kPaneHidePathBar);
  ASSERT_TRUE(pane->SaveSettings("RegList"));
  RegWnd again;
  ASSERT_TRUE(again.LoadSettings("RegList"));
  EXPECT_EQ(again.CurrentPath(), "HKEY_CURRENT_USER\\Software\\Tavrin");
  EXPECT_EQ(again.HiddenParts(), kPaneHidePathBar);
  EXPECT_FALSE(again.LoadSettings("FileList"));
}

}  // namespace

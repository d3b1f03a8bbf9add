// The tree-list widget driven by keys, clicks and synthesised drops over a real item store.
#include "controls/gui/treelist_ctrl.h"
#include "controls/gui/treelist_icons.h"

#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QComboBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>
#include <QToolTip>

#include <memory>
#include <string>
#include <vector>

namespace {

enum { kSource, kTarget, kSubdirs, kMode };

// An owner with the job list's choices: Enter or a click toggles "Ja"/"Nein", the mode column
// offers a drop-down, the rest a text editor.
struct Owner : ITreeListCtrlOwner {
  CTreeListStore* store = nullptr;
  bool refuse = false, modified = false;
  std::vector<TLNENDEDIT> ends;
  std::vector<TLNENDDRAG> drags;
  std::vector<UINT> keys;
  DWORD OnStartEdit(TLNSTARTEDIT& rec) override {
    if (rec.column == kSubdirs) {
      if (rec.key != 13 && rec.key != TLK_MOUSE) return TLSE_NONE;
      store->SetItemText(rec.hItem, rec.text == "Nein" ? "Ja" : "Nein", kSubdirs);
      modified = true;
      return TLSE_NONE;
    }
    if (rec.column == kMode) {
      rec.text = "Copy|Move|Zip|Zip Add|";
      return TLSE_CHOICELIST;
    }
    return TLSE_TEXTEDIT;
  }
  int OnEndLabelEdit(TLNENDEDIT& rec) override {
    ends.push_back(rec);
    if (!(rec.mask & TLIF_NEWTEXT) || refuse) return 1;
    modified = true;
    return 0;
  }
  void OnEndDrag(const TLNENDDRAG& rec) override { drags.push_back(rec); }
  void OnKeyDown(const TLNKEYDOWN& rec) override { keys.push_back(rec.vkey); }
};

class TreeListCtrl : public testing::Test {
 protected:
  void SetUp() override {
    store.InsertColumn(-1, "Quelle", LVCFMT_LEFT, -2, TLCF_ASKOWNER);
    store.InsertColumn(-1, "Ziel", LVCFMT_LEFT, -1, TLCF_ASKOWNER);
    store.InsertColumn(-1, "Unter", LVCFMT_CENTER, 50, TLCF_ASKOWNER);
    store.InsertColumn(-1, "Modus", LVCFMT_LEFT, 60, TLCF_ASKOWNER);
    store.SetSetting(TLSETTING_OPTIONS, TLO_MULTISELECT | TLO_DRAGROWS | TLO_CELLIMAGES);
    for (const char* name : {"a", "b", "c", "d"}) {
      const int row = store.InsertRow(-1, name);
      store.SetCellText(row, std::string("/ziel/") + name, kTarget);
      store.SetCellText(row, "Ja", kSubdirs);
      store.SetCellText(row, "Copy", kMode);
    }
    owner.store = &store;
    ctrl = std::make_unique<CTreeListCtrl>(store);
    window.resize(600, 400);
    ASSERT_TRUE(ctrl->Create(TL_WS_EX_CLIENTEDGE, TL_WS_VISIBLE, QRect(0, 0, 500, 300), &window, 17));
    ctrl->SetOwner(&owner);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    ctrl->setFocus();
  }
  void TearDown() override { store.SetOwner(nullptr); }

  // Focuses a cell and presses a key on the list.
  void KeyOnCell(int row, int column, Qt::Key key) {
    store.SelectSubItem(column, store.GetItemOfRow(row));
    ctrl->Sync();
    QTest::keyClick(ctrl.get(), key);
  }
  // The delegate ends an edit on Enter from the event loop.
  static void Press(QWidget* w, Qt::Key key, Qt::KeyboardModifiers mods = {}) {
    QTest::keyClick(w, key, mods);
    QCoreApplication::processEvents();
  }
  // Types text into a widget key by key, umlauts included.
  static void Type(QWidget* w, const QString& text) {
    for (const QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QApplication::sendEvent(w, &press);
      QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QApplication::sendEvent(w, &release);
    }
  }
  std::string Cell(int row, int column) { return store.GetCellText(row, column).value_or("?"); }
  std::vector<std::string> Shown() {
    std::vector<std::string> rows;
    for (int r = 0; r < ctrl->model()->rowCount(); ++r)
      rows.push_back(ctrl->model()->index(r, 0).data().toString().toStdString());
    return rows;
  }

  CTreeListStore store;
  Owner owner;
  QWidget window;
  std::unique_ptr<CTreeListCtrl> ctrl;
};

TEST_F(TreeListCtrl, F2EditsEscAndRefusalKeepTheTextAndFlaggedColumnsNeedNoOwner) {
  struct Case {
    bool owned, refuse;
    Qt::Key key;
    const char* expect;
  };
  for (const Case c :
       {Case{true, false, Qt::Key_Return, "/neu/ü"}, Case{true, false, Qt::Key_Escape, "/ziel/b"},
        Case{true, true, Qt::Key_Return, "/ziel/b"}, Case{false, false, Qt::Key_Return, "/neu/ü"}}) {
    if (!c.owned) {
      store.SetOwner(nullptr);
      ASSERT_TRUE(ctrl->SetColumnFlags(kTarget, 0x106));
    }
    store.SetCellText(1, "/ziel/b", kTarget);
    owner.refuse = c.refuse;
    owner.modified = false;
    owner.ends.clear();
    KeyOnCell(1, kTarget, Qt::Key_F2);
    auto* edit = qobject_cast<QLineEdit*>(ctrl->Editor());
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->text(), "/ziel/b");
    edit->setText("/neu/ü");
    Press(edit, c.key);
    EXPECT_EQ(ctrl->Editor(), nullptr);
    EXPECT_EQ(Cell(1, kTarget), c.expect);
    EXPECT_EQ(ctrl->model()->index(1, kTarget).data().toString().toStdString(), c.expect);
    EXPECT_EQ(owner.modified, c.owned && c.key == Qt::Key_Return && !c.refuse);
    ASSERT_EQ(owner.ends.size(), c.owned ? 1u : 0u);
    if (c.owned) {
      EXPECT_EQ((owner.ends[0].mask & TLIF_NEWTEXT) != 0, c.key == Qt::Key_Return);
    }
  }
}

TEST_F(TreeListCtrl, AnEditorWhoseRowIsDeletedGoesAndTheNextEditWorks) {
  KeyOnCell(2, kTarget, Qt::Key_F2);
  ASSERT_NE(ctrl->Editor(), nullptr);
  store.DeleteItem(store.GetItemOfRow(2));
  ASSERT_TRUE(QTest::qWaitFor([&] { return ctrl->Editor() == nullptr; }, 5000));
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a", "b", "d"}));
  KeyOnCell(2, kTarget, Qt::Key_F2);
  auto* edit = qobject_cast<QLineEdit*>(ctrl->Editor());
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->text(), "/ziel/d");
}

TEST_F(TreeListCtrl, EnterTogglesTheTwoChoiceCellWithoutAnEditor) {
  KeyOnCell(0, kSubdirs, Qt::Key_Return);
  EXPECT_EQ(ctrl->Editor(), nullptr);
  EXPECT_EQ(Cell(0, kSubdirs), "Nein");
  QTest::keyClick(ctrl.get(), Qt::Key_Return);
  EXPECT_EQ(Cell(0, kSubdirs), "Ja");
  QTest::keyClick(ctrl.get(), Qt::Key_F2);  // not a toggling key
  EXPECT_EQ(ctrl->model()->index(0, kSubdirs).data().toString(), "Ja");
}

TEST_F(TreeListCtrl, TheDropDownOffersTheChoicesAndEscChangesNothing) {
  KeyOnCell(3, kMode, Qt::Key_F2);
  auto* combo = qobject_cast<QComboBox*>(ctrl->Editor());
  ASSERT_NE(combo, nullptr);
  ASSERT_EQ(combo->count(), 4);
  EXPECT_EQ(combo->currentText(), "Copy");
  combo->setCurrentIndex(combo->findText("Zip Add"));
  Press(combo, Qt::Key_Return);
  EXPECT_EQ(Cell(3, kMode), "Zip Add");

  // An unknown mode: nothing chosen, and Esc leaves it.
  store.SetCellText(3, "Unbekannt", kMode);
  owner.modified = false;
  owner.ends.clear();
  KeyOnCell(3, kMode, Qt::Key_F2);
  combo = qobject_cast<QComboBox*>(ctrl->Editor());
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->currentIndex(), -1);
  Press(combo, Qt::Key_Escape);
  EXPECT_EQ(Cell(3, kMode), "Unbekannt");
  EXPECT_FALSE(owner.modified);
  ASSERT_EQ(owner.ends.size(), 1u);
  EXPECT_FALSE(owner.ends[0].mask & TLIF_NEWTEXT);
}

TEST_F(TreeListCtrl, EditingKeysInsideAnEditorStayInIt) {
  // The window's accelerators on the same keys, and the list's own key handling, must not fire.
  int fired = 0;
  for (const QKeySequence& seq : {QKeySequence(Qt::Key_Delete), QKeySequence(Qt::CTRL | Qt::Key_A),
                                  QKeySequence(Qt::ALT | Qt::Key_Backspace)}) {
    auto* action = new QAction(&window);
    action->setShortcut(seq);
    QObject::connect(action, &QAction::triggered, [&] { ++fired; });
    window.addAction(action);
  }
  KeyOnCell(0, kTarget, Qt::Key_F2);
  auto* edit = qobject_cast<QLineEdit*>(ctrl->Editor());
  ASSERT_NE(edit, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == edit; }, 5000));
  owner.keys.clear();
  QTest::keyClick(edit, Qt::Key_Home);
  QTest::keyClick(edit, Qt::Key_Delete);
  EXPECT_EQ(edit->text(), "ziel/a");
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(edit->selectedText(), "ziel/a");
  QTest::keyClick(edit, Qt::Key_Backspace, Qt::AltModifier);
  EXPECT_EQ(edit->text(), "/ziel/a");
  EXPECT_EQ(fired, 0);
  EXPECT_TRUE(owner.keys.empty());
  EXPECT_EQ(store.GetRowCount(), 4);
  Press(edit, Qt::Key_Escape);

  // Outside an editor a key with an accelerator acts once, through it; others reach the owner.
  ctrl->setFocus();
  QTest::keyClick(ctrl.get(), Qt::Key_Delete);
  EXPECT_EQ(fired, 1);
  QTest::keyClick(ctrl.get(), Qt::Key_Insert);
  EXPECT_EQ(owner.keys, std::vector<UINT>{0x2D});
}

TEST_F(TreeListCtrl, ADroppedRowMovesAndTheFirstRowStaysWhenFixed) {
  auto drop = [&](HTREEITEM dragged, int row) {
    QMimeData mime;
    mime.setData(CTreeListCtrl::kRowMime, QByteArray::number(ItemToU32(dragged)));
    const QPoint at = ctrl->visualRect(ctrl->model()->index(row, 1)).center();
    QDragEnterEvent enter(at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(ctrl->viewport(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent dropped(at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(ctrl->viewport(), &dropped);
  };
  drop(store.GetItemOfRow(3), 1);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a", "d", "b", "c"}));
  ASSERT_EQ(owner.drags.size(), 1u);
  EXPECT_LT(owner.drags[0].flags, 0);

  // A filter-bar-like first row: nothing lands above it and it is not moved itself.
  store.SetSetting(TLSETTING_FIXEDROWS, 1);
  store.SetSetting(TLSETTING_BARROWS, 1);
  drop(store.GetItemOfRow(2), 0);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a", "b", "d", "c"}));
  drop(store.GetItemOfRow(0), 3);
  EXPECT_EQ(Shown()[0], "a");
  EXPECT_EQ(owner.drags.size(), 3u);
}

TEST_F(TreeListCtrl, ADraggedRowStaysSelectedAndFocused) {
  // "d" is the selected and focused row, as after a click on it; it is dropped onto "b".
  const HTREEITEM d = store.GetItemOfRow(3);
  ASSERT_TRUE(store.SelectFocus(d));
  ctrl->Sync();
  ASSERT_EQ(ctrl->selectionModel()->selectedRows().size(), 1);
  QMimeData mime;
  mime.setData(CTreeListCtrl::kRowMime, QByteArray::number(ItemToU32(d)));
  const QPoint at = ctrl->visualRect(ctrl->model()->index(1, kTarget)).center();
  QDragEnterEvent enter(at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(ctrl->viewport(), &enter);
  QDropEvent dropped(at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(ctrl->viewport(), &dropped);
  QCoreApplication::processEvents();
  ASSERT_EQ(Shown(), (std::vector<std::string>{"a", "d", "b", "c"}));
  EXPECT_EQ(store.GetFocusedItem(), d);
  EXPECT_EQ(store.GetNextSelectedItem(), d);
  EXPECT_EQ(store.GetNextSelectedItem(d), TLI_NULL);
  EXPECT_EQ(ctrl->currentIndex().row(), 1);
  const QModelIndexList rows = ctrl->selectionModel()->selectedRows();
  ASSERT_EQ(rows.size(), 1);
  EXPECT_EQ(rows[0].row(), 1);
}

TEST_F(TreeListCtrl, HeaderBordersResizeColumnsAndHeadersStayInPlace) {
  QHeaderView* header = ctrl->header();
  EXPECT_FALSE(header->sectionsMovable());
  // Drag the border between "Quelle" and "Ziel" 40 pixels to the right.
  const int source = ctrl->columnWidth(kSource);
  const int total = ctrl->columnWidth(kSource) + ctrl->columnWidth(kTarget);
  const int y = header->height() / 2;
  const QPoint border(header->sectionViewportPosition(kTarget) - 1, y);
  QTest::mousePress(header->viewport(), Qt::LeftButton, {}, border);
  for (int dx = 5; dx <= 40; dx += 5) {
    QMouseEvent move(QEvent::MouseMove, QPointF(border + QPoint(dx, 0)),
                     QPointF(header->viewport()->mapToGlobal(border + QPoint(dx, 0))), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &move);
  }
  QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, border + QPoint(40, 0));
  QCoreApplication::processEvents();
  EXPECT_EQ(ctrl->columnWidth(kSource), source + 40);
  // The share column behind it gives the room; the fixed ones keep theirs.
  EXPECT_EQ(ctrl->columnWidth(kSource) + ctrl->columnWidth(kTarget), total);
  EXPECT_EQ(ctrl->columnWidth(kSubdirs), 50);
  EXPECT_EQ(ctrl->columnWidth(kMode), 60);
  // A new width of the window keeps the user's column.
  ctrl->resize(620, 300);
  QCoreApplication::processEvents();
  EXPECT_EQ(ctrl->columnWidth(kSource), source + 40);
  EXPECT_EQ(ctrl->columnWidth(kSource) + ctrl->columnWidth(kTarget) + 110, ctrl->viewport()->width());

  // Dragging a header itself moves nothing.
  const QPoint inMode(header->sectionViewportPosition(kMode) + 20, y);
  QTest::mousePress(header->viewport(), Qt::LeftButton, {}, inMode);
  for (int dx = 10; dx <= 200; dx += 10) {
    const QPoint to = inMode - QPoint(dx, 0);
    QMouseEvent move(QEvent::MouseMove, QPointF(to), QPointF(header->viewport()->mapToGlobal(to)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &move);
  }
  QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, inMode - QPoint(200, 0));
  for (int c = 0; c < 4; ++c) EXPECT_EQ(header->visualIndex(c), c);

  // Sections that Qt sizes itself (a column added later) are no user's widths.
  store.InsertColumn(-1, "Zusatz", LVCFMT_LEFT, -1);
  QCoreApplication::processEvents();
  EXPECT_EQ(store.GetColumn(kTarget)->width, -1);
  EXPECT_EQ(store.GetColumn(4)->width, -1);
  EXPECT_EQ(ctrl->columnWidth(kTarget), ctrl->columnWidth(4));
}

TEST_F(TreeListCtrl, ACellCutByItsWidthShowsItsWholeTextAsTooltip) {
  const std::string whole = "/ein/sehr/langer/pfad/" + std::string(300, 'x') + "/ende";
  store.SetCellText(2, whole, kTarget);
  QCoreApplication::processEvents();
  auto help = [&](int row, int column) {
    const QPoint at = ctrl->visualRect(ctrl->model()->index(row, column)).center();
    QHelpEvent event(QEvent::ToolTip, at, ctrl->viewport()->mapToGlobal(at));
    QApplication::sendEvent(ctrl->viewport(), &event);
  };
  // Cells that fit show no tip.
  help(1, kTarget);
  help(1, kMode);
  EXPECT_FALSE(QToolTip::isVisible());
  // The cut one shows all of it, in lines.
  help(2, kTarget);
  ASSERT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(QToolTip::text().remove('\n').toStdString(), whole);
  EXPECT_GT(QToolTip::text().count('\n'), 1);
  QToolTip::hideText();
}

TEST_F(TreeListCtrl, TheEditorStopsAtTheLimitButNeverCutsALongerText) {
  store.SetSetting(TLSETTING_EDITLIMIT, 12);
  // Typing stops at the limit, counted in characters.
  store.SetCellText(0, "/ä/", kTarget);
  KeyOnCell(0, kTarget, Qt::Key_F2);
  auto* edit = qobject_cast<QLineEdit*>(ctrl->Editor());
  ASSERT_NE(edit, nullptr);
  QTest::keyClick(edit, Qt::Key_End);
  Type(edit, QStringLiteral("öööööööööööööö"));
  EXPECT_EQ(edit->text(), QStringLiteral("/ä/ööööööööö"));
  Press(edit, Qt::Key_Return);
  EXPECT_EQ(Cell(0, kTarget), "/ä/ööööööööö");

  // A longer text stays whole: opened and closed unchanged, and it can only get shorter.
  const std::string longer = "/schon/zu/lang/" + std::string(20, 'y');
  store.SetCellText(1, longer, kTarget);
  KeyOnCell(1, kTarget, Qt::Key_F2);
  edit = qobject_cast<QLineEdit*>(ctrl->Editor());
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->text().toStdString(), longer);
  QTest::keyClick(edit, Qt::Key_End);
  Type(edit, QStringLiteral("zz"));
  EXPECT_EQ(edit->text().toStdString(), longer);
  Press(edit, Qt::Key_Return);
  EXPECT_EQ(Cell(1, kTarget), longer);
  KeyOnCell(1, kTarget, Qt::Key_F2);
  edit = qobject_cast<QLineEdit*>(ctrl->Editor());
  ASSERT_NE(edit, nullptr);
  QTest::keyClick(edit, Qt::Key_End);
  QTest::keyClick(edit, Qt::Key_Backspace);
  QTest::keyClick(edit, Qt::Key_Backspace);
  Type(edit, QStringLiteral("z"));
  Press(edit, Qt::Key_Return);
  EXPECT_EQ(Cell(1, kTarget), longer.substr(0, longer.size() - 2));

  // Without a limit the editor takes anything.
  store.SetSetting(TLSETTING_EDITLIMIT, 0);
  KeyOnCell(2, kTarget, Qt::Key_F2);
  edit = qobject_cast<QLineEdit*>(ctrl->Editor());
  ASSERT_NE(edit, nullptr);
  edit->setText(QString(2000, 'w'));
  Press(edit, Qt::Key_Return);
  EXPECT_EQ(Cell(2, kTarget), std::string(2000, 'w'));
}

TEST_F(TreeListCtrl, HiddenRowsLeaveTheViewAndComeBack) {
  const HTREEITEM b = store.GetItemOfRow(1);
  store.SetItemState(b, TLIS_HIDDEN, TLIS_HIDDEN);
  QCoreApplication::processEvents();
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a", "c", "d"}));
  int column = -1;
  EXPECT_EQ(ctrl->HitTest(ctrl->visualRect(ctrl->model()->index(1, kMode)).center(), &column),
            store.GetItemOfRow(1));
  EXPECT_EQ(column, kMode);
  ctrl->SetItemsState(TVI_ROOT, 0, TLIS_HIDDEN);
  QCoreApplication::processEvents();
  EXPECT_EQ(Shown(), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST_F(TreeListCtrl, ShareColumnsFollowTheWidth) {
  for (int width : {500, 800, 330}) {
    ctrl->resize(width, 300);
    const int free = ctrl->viewport()->width() - 110;
    EXPECT_EQ(ctrl->columnWidth(kSubdirs), 50);
    EXPECT_EQ(ctrl->columnWidth(kMode), 60);
    EXPECT_NEAR(ctrl->columnWidth(kSource), free * 2 / 3, 1) << width;
    EXPECT_EQ(ctrl->columnWidth(kSource) + ctrl->columnWidth(kTarget), free);
  }
}

TEST_F(TreeListCtrl, AHeaderClickNeverSortsButTheSortRequestDoes) {
  store.SetCellText(0, "z", kSource);
  QHeaderView* header = ctrl->header();
  const QPoint at(header->sectionViewportPosition(kSource) + 5, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
  QCoreApplication::processEvents();
  EXPECT_EQ(Shown(), (std::vector<std::string>{"z", "b", "c", "d"}));
  auto descending = [](HTREEITEM, HTREEITEM, const char* t1, const char* t2, int, void*) {
    return std::string(t2).compare(t1);
  };
  ASSERT_TRUE(ctrl->SortChildrenEx(TVI_ROOT, descending, nullptr, kSource));
  QCoreApplication::processEvents();
  EXPECT_EQ(Shown(), (std::vector<std::string>{"z", "d", "c", "b"}));
}

TEST_F(TreeListCtrl, IconsComeFromTheTableByKey) {
  CTreeListIcons icons;
  ctrl->SetImageList(&icons);
  const int folder = icons.IndexOf("folder");
  EXPECT_EQ(icons.IndexOf("text/plain"), folder + 1);
  store.SetItemImage(store.GetItemOfRow(0), folder, folder);
  QCoreApplication::processEvents();
  EXPECT_FALSE(ctrl->model()->index(0, kSource).data(Qt::DecorationRole).value<QIcon>().isNull());
  EXPECT_FALSE(ctrl->model()->index(1, kSource).data(Qt::DecorationRole).isValid());
}

TEST_F(TreeListCtrl, TakesThePlaceOfADialogItem) {
  QWidget dialog;
  auto* place = new QWidget(&dialog);
  place->setGeometry(10, 20, 300, 200);
  place->setProperty(kCtrlIdProperty, 1032);
  CTreeListStore other;
  CTreeListCtrl list(other);
  EXPECT_FALSE(list.CreateFromDlgItem(TL_WS_EX_CLIENTEDGE, TL_WS_VISIBLE, 999, &dialog, 22951));
  ASSERT_TRUE(list.CreateFromDlgItem(TL_WS_EX_CLIENTEDGE, TL_WS_VISIBLE, 1032, &dialog, 22951));
  EXPECT_EQ(list.geometry(), QRect(10, 20, 300, 200));
  EXPECT_EQ(list.parentWidget(), &dialog);
  EXPECT_EQ(list.GetDlgCtrlID(), 22951);
  EXPECT_TRUE(place->isHidden());

  // In a layout it takes the placeholder's slot there; the slot's old item does not outlive it.
  QWidget laidOut;
  auto* layout = new QVBoxLayout(&laidOut);
  auto* above = new QWidget(&laidOut);
  auto* slot = new QWidget(&laidOut);
  slot->setProperty(kCtrlIdProperty, 1031);
  layout->addWidget(above);
  layout->addWidget(slot, 1);
  CTreeListCtrl inLayout(other);
  ASSERT_TRUE(inLayout.CreateFromDlgItem(TL_WS_EX_CLIENTEDGE, TL_WS_VISIBLE, 1031, &laidOut, 22951));
  EXPECT_EQ(layout->count(), 2);
  EXPECT_EQ(layout->indexOf(&inLayout), 1);
  EXPECT_EQ(layout->indexOf(slot), -1);
  EXPECT_EQ(layout->stretch(1), 1);
}

}  // namespace

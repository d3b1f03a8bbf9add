// Tree-list store: change events keep a mirror of the rows right; owner notifications.
#include "controls/treelist_store.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Mirrors the rows from the events alone, as a model on another thread would.
struct Mirror : ITreeListObserver {
  std::vector<HTREEITEM> rows;
  std::uint64_t lastRevision = 0;
  bool layout = false;
  bool revisionWentBack = false;
  std::vector<std::pair<int, int>> changed;  // row, column
  std::vector<std::pair<HTREEITEM, int>> focus, ensure;
  std::vector<std::string> edits;

  void See(std::uint64_t rev) {
    if (rev < lastRevision) revisionWentBack = true;
    lastRevision = rev;
  }
  void OnRowsInserted(std::uint64_t rev, int first, const std::vector<HTREEITEM>& items) override {
    See(rev);
    ASSERT_LE(first, static_cast<int>(rows.size()));
    rows.insert(rows.begin() + first, items.begin(), items.end());
  }
  void OnRowsRemoved(std::uint64_t rev, int first, const std::vector<HTREEITEM>& items) override {
    See(rev);
    ASSERT_LE(first + items.size(), rows.size());
    for (std::size_t i = 0; i < items.size(); ++i) ASSERT_EQ(rows[first + i], items[i]);
    rows.erase(rows.begin() + first, rows.begin() + first + items.size());
  }
  void OnRowsChanged(std::uint64_t rev, int first, int last, int column) override {
    See(rev);
    ASSERT_LE(first, last);
    ASSERT_LT(last, static_cast<int>(rows.size()));
    for (int r = first; r <= last; ++r) changed.emplace_back(r, column);
  }
  void OnLayoutChanged(std::uint64_t rev) override {
    See(rev);
    layout = true;
  }
  void OnFocusChanged(HTREEITEM item, int column) override { focus.emplace_back(item, column); }
  void OnEnsureVisible(HTREEITEM item, int column) override { ensure.emplace_back(item, column); }
  void OnEditRequest(HTREEITEM, int column, DWORD editor, const std::string& choices) override {
    edits.push_back(std::to_string(column) + (editor == TLSE_CHOICELIST ? ":list:" : ":text:") +
                    choices);
  }
};

TEST(TreeListEvents, MirrorFollowsRandomChanges) {
  CTreeListStore list;
  Mirror mirror;
  list.AddObserver(&mirror);
  list.AddObserver(&mirror);  // once only
  for (int c = 0; c < 7; ++c) list.InsertColumn(c, "c");
  list.SetSetting(TLSETTING_OPTIONS, TLO_MULTISELECT | TLO_DRAGROWS);
  std::mt19937 rng(4711);
  auto pick = [&]() -> HTREEITEM {
    const std::vector<HTREEITEM> all = list.GetAllItems();
    return all.empty() ? TLI_NULL : all[rng() % all.size()];
  };
  for (int step = 0; step < 3000; ++step) {
    switch (rng() % 10) {
      case 0:
      case 1:
        list.InsertRow(static_cast<int>(rng() % 12) - 1, "r");
        break;
      case 2:
        list.InsertItem(TVIF_TEXT | TVIF_STATE, "h", 0, 0, (rng() % 2) ? TLIS_HIDDEN : 0u,
                        TLIS_HIDDEN, 0, TVI_ROOT, (rng() % 2) ? TVI_FIRST : pick());
        break;
      case 3:
        list.DeleteItem(pick());
        break;
      case 4:
        list.SetItemState(pick(), (rng() % 2) ? TLIS_HIDDEN : 0u, TLIS_HIDDEN);
        break;
      case 5:
        list.MoveItemAfter(pick(), (rng() % 3) ? pick() : TVI_FIRST);
        break;
      case 6:
        list.EndDrag(pick(), pick());
        break;
      case 7:
        list.SetItemText(pick(), std::to_string(step), static_cast<int>(rng() % 7));
        break;
      case 8:
        list.SetItemsState(TVI_ROOT, (rng() % 2) ? TLIS_HIDDEN : 0u, (rng() % 4) ? 0u : TLIS_HIDDEN);
        list.SetItemState(pick(), TVIS_SELECTED, TVIS_SELECTED);
        break;
      case 9:
        if (rng() % 20 == 0) list.DeleteAllItems();
        else list.SelectFocus(pick());
        break;
    }
    if (mirror.layout) {
      mirror.rows = list.GetRowItems();
      mirror.layout = false;
    }
    ASSERT_EQ(mirror.rows, list.GetRowItems()) << "step " << step;
    mirror.changed.clear();
  }
  EXPECT_FALSE(mirror.revisionWentBack);
  EXPECT_LE(mirror.lastRevision, list.GetRevision());  // changes of hidden items have no event
  list.RemoveObserver(&mirror);
  list.InsertRow(0, "unseen");
  EXPECT_NE(mirror.rows.size(), list.GetRowItems().size());
}

TEST(TreeListEvents, ChangeAndFocusEventsNameRowAndColumn) {
  CTreeListStore list;
  for (int c = 0; c < 7; ++c) list.InsertColumn(c, "c");
  const HTREEITEM a = list.InsertItem("a");
  const HTREEITEM b = list.InsertItem("b");
  const HTREEITEM hidden = list.InsertItem(TVIF_TEXT | TVIF_STATE, "h", 0, 0, TLIS_HIDDEN,
                                           TLIS_HIDDEN, 0);
  Mirror mirror;
  mirror.rows = list.GetRowItems(&mirror.lastRevision);
  list.AddObserver(&mirror);
  const std::uint64_t rev = list.GetRevision();
  list.SetItemText(b, "Ja", 4);
  EXPECT_EQ(mirror.changed, (std::vector<std::pair<int, int>>{{1, 4}}));
  EXPECT_GT(list.GetRevision(), rev);
  mirror.changed.clear();
  list.SetItemText(b, "Ja", 4);  // unchanged: no event
  list.SetItemText(hidden, "x", 2);  // no row: no event, but a new revision
  EXPECT_TRUE(mirror.changed.empty());
  list.SelectSubItem(3, a);
  EXPECT_EQ(mirror.focus, (std::vector<std::pair<HTREEITEM, int>>{{a, 3}}));
  list.EnsureVisible(b);
  EXPECT_EQ(mirror.ensure, (std::vector<std::pair<HTREEITEM, int>>{{b, -1}}));
}

// An owner in the shape of the job-list view's handlers.
struct Owner : ITreeListOwner {
  CTreeListStore* list = nullptr;
  std::vector<std::string> log;
  DWORD OnStartEdit(TLNSTARTEDIT& rec) override {
    log.push_back("start " + std::to_string(rec.column) + " key " + std::to_string(rec.key) +
                  " text " + rec.text);
    if (rec.column == 4) {
      // Toggle in place; calling the store from here must not deadlock.
      list->SetItemText(rec.hItem, rec.text == "Nein" ? "Ja" : "Nein", 4);
      return TLSE_NONE;
    }
    if (rec.column == 5) {
      rec.text = "Copy|Zip|";
      return TLSE_CHOICELIST;
    }
    if (rec.column == 6) {
      list->DeleteItem(rec.hItem);
      return TLSE_TEXTEDIT;
    }
    return TLSE_TEXTEDIT;
  }
  int OnEndLabelEdit(TLNENDEDIT& rec) override {
    log.push_back("end " + std::to_string(rec.column) +
                  ((rec.mask & TLIF_NEWTEXT) ? " new " : " none ") + rec.text);
    if (!(rec.mask & TLIF_NEWTEXT)) return 1;
    if (rec.text == "refuse") return 1;
    for (char& ch : rec.text)
      if (ch == '\n' || ch == '\r') ch = ' ';
    return 0;
  }
  void OnEndDrag(const TLNENDDRAG& rec) override {
    log.push_back(std::string("drag ") + (rec.flags < 0 ? "dropped" : "not") + " " +
                  list->GetItemText(rec.hDragged) + " on " + list->GetItemText(rec.hTarget));
  }
  void OnKeyDown(const TLNKEYDOWN& rec) override {
    log.push_back("key " + std::to_string(rec.vkey) + " on " + list->GetItemText(rec.hFocus) +
                  " col " + std::to_string(rec.column));
  }
};

struct OwnerTest : ::testing::Test {
  CTreeListStore list;
  Owner owner;
  Mirror mirror;
  std::vector<HTREEITEM> items;
  void SetUp() override {
    owner.list = &list;
    for (int c = 0; c < 7; ++c) list.InsertColumn(c, "c", LVCFMT_LEFT, 50, TLCF_ASKOWNER);
    list.SetSetting(TLSETTING_OPTIONS, 23);
    for (const char* s : {"bar", "a", "b", "c", "d"}) items.push_back(list.InsertItem(s));
    list.SetOwner(&owner);
    mirror.rows = list.GetRowItems(&mirror.lastRevision);
    list.AddObserver(&mirror);
  }
  std::string Order() const {
    std::string s;
    for (HTREEITEM h : list.GetAllItems()) s += list.GetItemText(h);
    return s;
  }
};

TEST_F(OwnerTest, StartEditAsksTheOwnerAndRequestsTheEditor) {
  list.SetItemText(items[1], "Nein", 4);
  EXPECT_EQ(list.StartEdit(items[1], 4, 13), TLSE_NONE);
  EXPECT_EQ(list.GetItemText(items[1], 4), "Ja");
  EXPECT_TRUE(mirror.edits.empty());
  std::string choices;
  EXPECT_EQ(list.StartEdit(items[1], 5, TLK_MOUSE, &choices), TLSE_CHOICELIST);
  EXPECT_EQ(choices, "Copy|Zip|");
  EXPECT_TRUE(list.EditLabel(items[2], 1));
  EXPECT_EQ(mirror.edits, (std::vector<std::string>{"5:list:Copy|Zip|", "1:text:"}));
  EXPECT_EQ(owner.log[2], "start 1 key 0 text ");
  // The owner deleted the item while answering: no editor.
  EXPECT_EQ(list.StartEdit(items[3], 6, 13), TLSE_NONE);
  EXPECT_FALSE(list.IsItem(items[3]));
  // Columns without the owner flag: editable or not by their own flags.
  CTreeListStore plain;
  plain.InsertColumn(0, "Verzeichnisse", LVCFMT_LEFT, 100, TLCF_EDITABLE | TLCF_EDITKEYS);
  plain.InsertColumn(1, "other");
  const HTREEITEM h = plain.InsertItem("x");
  EXPECT_EQ(plain.StartEdit(h, 0, 13), TLSE_TEXTEDIT);
  EXPECT_EQ(plain.StartEdit(h, 1, 13), TLSE_NONE);
  EXPECT_FALSE(plain.EditLabel(h, 1));
  EXPECT_FALSE(plain.EditLabel(h, 2));
}

TEST_F(OwnerTest, EndEditStoresWhatTheOwnerKeeps) {
  EXPECT_EQ(list.EndEdit(items[1], 2, std::nullopt), 1);
  EXPECT_EQ(list.GetItemText(items[1], 2), "");
  EXPECT_EQ(list.EndEdit(items[1], 2, std::string("*.obj\n/DEL")), 0);
  EXPECT_EQ(list.GetItemText(items[1], 2), "*.obj /DEL");  // the owner's cleaned text
  EXPECT_EQ(list.EndEdit(items[1], 2, std::string("refuse")), 1);
  EXPECT_EQ(list.GetItemText(items[1], 2), "*.obj /DEL");
  EXPECT_EQ(list.EndEdit(items[1], 9, std::string("x")), -1);
  // Without an owner a delivered text is kept, a cancelled edit answers 1.
  list.SetOwner(nullptr);
  EXPECT_EQ(list.EndEdit(items[1], 3, std::string("m")), 0);
  EXPECT_EQ(list.GetItemText(items[1], 3), "m");
  EXPECT_EQ(list.EndEdit(items[1], 3, std::nullopt), 1);
}

TEST_F(OwnerTest, DragTakesTheTargetRowAndKeepsFixedRowsOnTop) {
  EXPECT_TRUE(list.EndDrag(items[1], items[3]));  // downwards: behind the target
  EXPECT_EQ(Order(), "barbcad");
  EXPECT_TRUE(list.EndDrag(items[4], items[2]));  // upwards: in front of the target
  EXPECT_EQ(Order(), "bardbca");
  list.SetSetting(TLSETTING_FIXEDROWS, 1);
  EXPECT_TRUE(list.EndDrag(items[1], items[0]));  // dropped onto the bar: lands behind it
  EXPECT_EQ(Order(), "baradbc");
  EXPECT_TRUE(list.EndDrag(items[0], items[3]));  // the bar's drop is reported; it stays first
  EXPECT_EQ(Order(), "baradbc");
  EXPECT_FALSE(list.EndDrag(items[1], TLI_NULL));
  EXPECT_FALSE(list.EndDrag(items[1], items[1]));
  list.SetItemState(items[2], TLIS_HIDDEN, TLIS_HIDDEN);
  EXPECT_FALSE(list.EndDrag(items[1], items[2]));  // no row to drop on
  list.SetSetting(TLSETTING_OPTIONS, 0);
  EXPECT_FALSE(list.EndDrag(items[3], items[1]));  // dragging rows is off
  EXPECT_EQ(owner.log, (std::vector<std::string>{
                           "drag dropped a on c", "drag dropped d on b", "drag dropped a on bar",
                           "drag dropped bar on c", "drag not a on ", "drag not a on a",
                           "drag not a on b", "drag not c on a"}));
}

TEST_F(OwnerTest, KeysGoToTheOwnerWithTheFocus) {
  list.KeyDown(46);
  list.SelectSubItem(2, items[2]);
  list.KeyDown(9, 1);
  EXPECT_EQ(owner.log, (std::vector<std::string>{"key 46 on  col 0", "key 9 on b col 2"}));
}

}  // namespace

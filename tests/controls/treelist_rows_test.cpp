// Tree-list store: rows and items with hidden items, inserting, deleting, navigation, cells.
#include "controls/treelist_store.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// A seven-column list like the job list, with items "r0".."r{n-1}".
struct Rows : ::testing::Test {
  CTreeListStore list;
  std::vector<HTREEITEM> items;

  void Fill(int n) {
    for (int c = 0; c < 7; ++c) list.InsertColumn(c, "c" + std::to_string(c));
    for (int i = 0; i < n; ++i) items.push_back(list.InsertItem("r" + std::to_string(i)));
  }
  void Hide(int i, bool hide = true) {
    ASSERT_TRUE(list.SetItemState(items[i], hide ? TLIS_HIDDEN : 0, TLIS_HIDDEN));
  }
};

TEST_F(Rows, HiddenItemsHaveNoRow) {
  Fill(5);
  Hide(1);
  Hide(3);
  EXPECT_EQ(list.GetRowCount(), 3);
  EXPECT_EQ(list.GetCount(), 5);
  EXPECT_EQ(list.GetItemOfRow(0), items[0]);
  EXPECT_EQ(list.GetItemOfRow(1), items[2]);
  EXPECT_EQ(list.GetItemOfRow(2), items[4]);
  EXPECT_EQ(list.GetItemOfRow(3), TLI_NULL);
  EXPECT_EQ(list.GetItemOfRow(-1), TLI_NULL);
  EXPECT_EQ(list.GetRowOfItem(items[1]), -1);
  EXPECT_EQ(list.GetRowOfItem(items[4]), 2);
  EXPECT_EQ(list.GetRowOfItem(TVI_ROOT), -1);
  EXPECT_EQ(*list.GetCellText(1, 0), "r2");
  EXPECT_FALSE(list.GetCellText(3, 0).has_value());

  Hide(1, false);
  EXPECT_EQ(list.GetRowCount(), 4);
  EXPECT_EQ(list.GetRowOfItem(items[1]), 1);
  EXPECT_EQ(list.GetRowOfItem(items[4]), 3);
  EXPECT_EQ(list.GetRowItems(), (std::vector<HTREEITEM>{items[0], items[1], items[2], items[4]}));
}

TEST_F(Rows, InsertRowGoesBeforeTheShownItemOrToTheEnd) {
  Fill(4);
  Hide(1);  // rows: r0 r2 r3
  EXPECT_EQ(list.InsertRow(1, "new"), 1);
  // In item order it lands directly in front of r2, behind the hidden r1.
  EXPECT_EQ(list.GetAllItems()[2], list.GetItemOfRow(1));
  EXPECT_EQ(list.GetItemText(list.GetAllItems()[2]), "new");
  EXPECT_EQ(list.InsertRow(99, "end"), 4);
  EXPECT_EQ(list.InsertRow(-1, "end2"), 5);
  EXPECT_EQ(*list.GetCellText(5, 0), "end2");
  EXPECT_EQ(list.GetItemText(list.GetAllItems().back()), "end2");
  // Images only under their mask bits.
  const int row = list.InsertRow(0, "img", 7, 8, TVIF_TEXT | TVIF_IMAGE);
  const HTREEITEM h = list.GetItemOfRow(row);
  EXPECT_EQ(list.GetItemImage(h), 7);
  EXPECT_EQ(list.GetItemSelectedImage(h), -1);
}

TEST_F(Rows, InsertItemPositionsParentsAndState) {
  Fill(2);
  const HTREEITEM first = list.InsertItem(TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE, "bar", -2,
                                          -2, 0, 0, 0, TVI_ROOT, TVI_FIRST);
  EXPECT_EQ(list.GetItemOfRow(0), first);
  EXPECT_EQ(list.GetItemImage(first), -2);
  EXPECT_EQ(list.GetItemSelectedImage(first), -2);
  const HTREEITEM mid = list.InsertItem("mid", items[0]);
  EXPECT_EQ(list.GetRowOfItem(mid), 2);
  const HTREEITEM hidden = list.InsertItem(TVIF_TEXT | TVIF_STATE | TVIF_PARAM, "h", 0, 0,
                                           TLIS_HIDDEN | TVIS_SELECTED, ~0u, 42);
  EXPECT_EQ(list.GetRowOfItem(hidden), -1);
  EXPECT_EQ(list.GetItemState(hidden), TLIS_HIDDEN);  // a hidden item is never selected
  EXPECT_EQ(list.GetItemData(hidden), 42);
  EXPECT_EQ(list.InsertItem(TVIF_TEXT, "x", 0, 0, 0, 0, 0, items[0], TVI_LAST), TLI_NULL);
  list.DeleteItem(mid);
  EXPECT_EQ(list.InsertItem("x", mid), TLI_NULL);  // stale insert-after
  // Sorted insert by bytes of the text.
  CTreeListStore sorted;
  sorted.InsertItem("b", TVI_SORT);
  sorted.InsertItem("d", TVI_SORT);
  sorted.InsertItem("a", TVI_SORT);
  sorted.InsertItem("c", TVI_SORT);
  std::string order;
  for (HTREEITEM h : sorted.GetAllItems()) order += sorted.GetItemText(h);
  EXPECT_EQ(order, "abcd");
}

TEST_F(Rows, DeleteAndStaleIds) {
  Fill(3);
  list.SetItemText(items[1], "cell", 3);
  EXPECT_TRUE(list.DeleteItem(items[1]));
  EXPECT_FALSE(list.DeleteItem(items[1]));
  EXPECT_FALSE(list.IsItem(items[1]));
  EXPECT_EQ(list.GetRowOfItem(items[1]), -1);
  EXPECT_EQ(list.GetItemText(items[1], 3), "");
  EXPECT_TRUE(list.GetItemTexts(items[1]).empty());
  EXPECT_EQ(list.GetItemImage(items[1]), -1);
  EXPECT_EQ(list.GetItemState(items[1]), 0u);
  EXPECT_FALSE(list.SetItemText(items[1], "x"));
  EXPECT_EQ(list.GetNextItem(items[1], TVGN_NEXT), TLI_NULL);
  EXPECT_FALSE(list.SelectFocus(items[1]));
  EXPECT_FALSE(list.MoveItemAfter(items[1], TVI_FIRST));
  EXPECT_EQ(list.EndEdit(items[1], 0, std::string("x")), -1);
  TLITEM rec;
  rec.mask = TVIF_TEXT;
  rec.hItem = items[1];
  EXPECT_FALSE(list.GetItem(rec));
  // A new item never takes a deleted item's id.
  const HTREEITEM fresh = list.InsertItem("fresh");
  EXPECT_NE(fresh, items[1]);
  EXPECT_LT(ItemToU32(fresh), TLI_ID_LIMIT);
  EXPECT_EQ(list.GetRowCount(), 3);
  EXPECT_TRUE(list.DeleteItem(TVI_ROOT));
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_EQ(list.GetRootItem(), TLI_NULL);
}

TEST_F(Rows, NavigationWalksItemsOrRows) {
  Fill(5);
  Hide(0);
  Hide(2);
  // Items (hidden ones included).
  EXPECT_EQ(list.GetRootItem(), items[0]);
  EXPECT_EQ(list.GetChildItem(TVI_ROOT), items[0]);
  EXPECT_EQ(list.GetChildItem(items[1]), TLI_NULL);
  EXPECT_EQ(list.GetNextSiblingItem(items[1]), items[2]);
  EXPECT_EQ(list.GetPrevSiblingItem(items[1]), items[0]);
  EXPECT_EQ(list.GetPrevSiblingItem(items[0]), TLI_NULL);
  EXPECT_EQ(list.GetNextSiblingItem(items[4]), TLI_NULL);
  EXPECT_EQ(list.GetNextItem(items[3], TVGN_PARENT), TLI_NULL);
  // Rows.
  EXPECT_EQ(list.GetNextItem(TVI_ROOT, TVGN_FIRSTVISIBLE), items[1]);
  EXPECT_EQ(list.GetNextItem(items[1], TVGN_NEXTVISIBLE), items[3]);
  EXPECT_EQ(list.GetNextItem(items[3], TVGN_PREVIOUSVISIBLE), items[1]);
  EXPECT_EQ(list.GetNextItem(items[1], TVGN_PREVIOUSVISIBLE), TLI_NULL);
  EXPECT_EQ(list.GetNextItem(items[2], TVGN_NEXTVISIBLE), TLI_NULL);  // hidden: no row
  EXPECT_EQ(list.GetNextItem(TVI_ROOT, TVGN_LASTVISIBLE), items[4]);
  EXPECT_EQ(list.GetNextItem(TVI_ROOT, 99), TLI_NULL);
  // Walking "job index + 1" items from the first counts hidden items too.
  HTREEITEM h = list.GetRootItem();
  for (int i = 0; i < 3; ++i) h = list.GetNextSiblingItem(h);
  EXPECT_EQ(h, items[3]);
}

TEST_F(Rows, CellsTextsImagesAndRecords) {
  Fill(2);
  const std::string longText(5000, 'x');  // no limit in the store
  EXPECT_TRUE(list.SetItemText(items[0], longText, 6));
  EXPECT_EQ(list.GetItemText(items[0], 6), longText);
  EXPECT_FALSE(list.SetItemText(items[0], "x", 7));
  EXPECT_FALSE(list.SetItemText(items[0], "x", -1));
  EXPECT_TRUE(list.SetCellText(1, "zwei", 2));
  const std::vector<std::string> cells = list.GetItemTexts(items[1]);
  ASSERT_EQ(cells.size(), 7u);
  EXPECT_EQ(cells[0], "r1");
  EXPECT_EQ(cells[2], "zwei");
  EXPECT_EQ(cells[6], "");

  // Column 1's own image with the subitem mask, column 0's image is the item's.
  TLITEM rec;
  rec.mask = TLIF_SUBITEM | TVIF_IMAGE;
  rec.hItem = items[0];
  rec.column = 1;
  rec.image = 11;
  EXPECT_TRUE(list.SetItem(rec));
  EXPECT_TRUE(list.SetItemImage(items[0], 5, 6));
  EXPECT_EQ(list.GetItemImage(items[0], 1), 11);
  EXPECT_EQ(list.GetItemImage(items[0], 0), 5);
  EXPECT_EQ(list.GetItemSelectedImage(items[0]), 6);

  TLITEM get;
  get.mask = TLIF_SUBITEM | TVIF_TEXT | TVIF_IMAGE | TVIF_STATE | TVIF_PARAM | TLIF_TEXTPTR;
  get.hItem = items[0];
  get.column = 1;
  get.stateMask = ~0u;
  list.SetItemData(items[0], 77);
  list.SetItemText(items[0], "ziel", 1);
  ASSERT_TRUE(list.GetItem(get));
  EXPECT_EQ(get.text, "ziel");
  EXPECT_EQ(get.image, 11);
  EXPECT_EQ(get.lParam, 77);
  EXPECT_EQ(get.state, 0u);
  get.column = 7;
  EXPECT_FALSE(list.GetItem(get));
  // Without the subitem flag the column is ignored: the item's own text.
  get.mask = TVIF_TEXT;
  ASSERT_TRUE(list.GetItem(get));
  EXPECT_EQ(get.text, "r0");
}

TEST_F(Rows, GetCellTextIntoBufferNeverCutsASequence) {
  Fill(1);
  list.SetCellText(0, "a\xC3\xA4\xE2\x82\xAC", 1);  // "a", a-umlaut (2 bytes), euro sign (3)
  char buf[16];
  EXPECT_EQ(list.GetCellText(0, buf, sizeof buf, 1), 6);
  EXPECT_STREQ(buf, "a\xC3\xA4\xE2\x82\xAC");
  EXPECT_EQ(list.GetCellText(0, buf, 3, 1), 1);  // room for 2 bytes: the umlaut does not fit
  EXPECT_STREQ(buf, "a");
  EXPECT_EQ(list.GetCellText(0, buf, 5, 1), 3);
  EXPECT_STREQ(buf, "a\xC3\xA4");
  EXPECT_EQ(list.GetCellText(0, buf, 1, 1), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(list.GetCellText(0, buf, 0, 1), -1);
  EXPECT_EQ(list.GetCellText(1, buf, sizeof buf, 1), -1);
  EXPECT_EQ(list.GetCellText(0, buf, sizeof buf, 7), -1);
  EXPECT_EQ(list.GetCellText(0, buf, sizeof buf, 5), 0);  // never written: empty
}

TEST_F(Rows, RowsAndIdsStayRightThroughAppendsRemovalsAtTheEndAndHiding) {
  // The ways a long list is loaded, filtered and cleared, mixed with changes in the middle,
  // checked against a plain model after every step.
  Fill(0);
  std::vector<std::pair<HTREEITEM, bool>> model;  // item, hidden
  std::mt19937 rnd(12);
  for (int step = 0; step < 3000; ++step) {
    const int n = static_cast<int>(model.size());
    const int pick = n ? static_cast<int>(rnd() % static_cast<unsigned>(n)) : 0;
    switch (rnd() % 8) {
      case 0: case 1: case 2: {  // append, a fifth of them hidden
        const bool hidden = rnd() % 5 == 0;
        const HTREEITEM item = list.InsertItem(TVIF_TEXT | TVIF_STATE, "x", -1, -1, hidden ? TLIS_HIDDEN : 0,
                                               TLIS_HIDDEN, 0, TVI_ROOT, TVI_LAST);
        model.emplace_back(item, hidden);
        break;
      }
      case 3: case 4:  // hide or show
        if (!n) break;
        model[pick].second = !model[pick].second;
        list.SetItemState(model[pick].first, model[pick].second ? TLIS_HIDDEN : 0, TLIS_HIDDEN);
        break;
      case 5:  // remove the last item
        if (!n) break;
        ASSERT_TRUE(list.DeleteItem(model.back().first));
        model.pop_back();
        break;
      case 6:  // remove one in the middle
        if (!n) break;
        ASSERT_TRUE(list.DeleteItem(model[pick].first));
        model.erase(model.begin() + pick);
        break;
      default:  // insert at the front
        model.emplace(model.begin(), list.InsertItem("f", TVI_FIRST), false);
        break;
    }
    std::vector<HTREEITEM> all, rows;
    for (const auto& [item, hidden] : model) {
      all.push_back(item);
      if (!hidden) rows.push_back(item);
    }
    ASSERT_EQ(list.GetAllItems(), all) << step;
    for (int i = 0; i < static_cast<int>(all.size()); ++i) ASSERT_EQ(list.GetItemAt(i), all[i]) << step;
    ASSERT_EQ(list.GetItemAt(static_cast<int>(all.size())), TLI_NULL) << step;
    ASSERT_EQ(list.GetRowCount(), static_cast<int>(rows.size())) << step;
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
      ASSERT_EQ(list.GetItemOfRow(r), rows[r]) << step;
      ASSERT_EQ(list.GetRowOfItem(rows[r]), r) << step;
    }
    ASSERT_EQ(list.GetItemOfRow(static_cast<int>(rows.size())), TLI_NULL) << step;
    for (const auto& [item, hidden] : model) {
      if (hidden) {
        ASSERT_EQ(list.GetRowOfItem(item), -1) << step;
      }
    }
  }
}

TEST(TreeListColumns, ColumnZeroExistsBeforeAnyColumnAndInsertsShiftCells) {
  CTreeListStore list;
  const HTREEITEM h = list.InsertItem("own");
  EXPECT_EQ(list.GetItemText(h), "own");
  EXPECT_FALSE(list.SetItemText(h, "x", 1));
  EXPECT_EQ(list.InsertColumn(-1, "Quelle", LVCFMT_LEFT, -35, TLCF_ASKOWNER), 0);
  EXPECT_EQ(list.InsertColumn(5, "Ziel"), 1);  // clamped: appended
  EXPECT_EQ(list.InsertColumn(-1, "Zusatz"), 2);
  EXPECT_EQ(list.GetItemText(h), "own");  // appending keeps the item text in column 0
  list.SetItemText(h, "target", 1);
  list.SetItemText(h, "extra", 2);
  EXPECT_EQ(list.InsertColumn(1, "Plus"), 1);
  EXPECT_EQ(list.GetItemText(h, 1), "");
  EXPECT_EQ(list.GetItemText(h, 2), "target");
  EXPECT_EQ(list.GetItemText(h, 3), "extra");
  ASSERT_TRUE(list.GetColumn(0).has_value());
  EXPECT_EQ(list.GetColumn(0)->title, "Quelle");
  EXPECT_EQ(list.GetColumn(0)->width, -35);
  EXPECT_EQ(list.GetColumnFlags(0), TLCF_ASKOWNER);
  EXPECT_FALSE(list.GetColumn(4).has_value());
  EXPECT_TRUE(list.SetColumnFlags(1, TLCF_EDITABLE));
  EXPECT_FALSE(list.SetColumnFlags(9, TLCF_EDITABLE));
  EXPECT_TRUE(list.SetColumnWidth(3, 45));
  EXPECT_EQ(list.GetColumn(3)->width, 45);
}

}  // namespace

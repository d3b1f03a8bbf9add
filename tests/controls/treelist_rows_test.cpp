// Tree-list store: rows and items with hidden items, inserting, deleting, navigation, cells, columns.
#include "treelist_fixture.h"

namespace {

using Rows = JobList;

TEST_F(Rows, InsertRowAndItemPositionsStateAndStaleIds) {
  Fill(4);
  Hide(1);
  EXPECT_EQ(list.InsertRow(1, "new"), 1);  // in item order behind the hidden "1"
  EXPECT_EQ(list.InsertRow(99, "end"), 4);
  EXPECT_EQ(Order(), "01new23end");
  // Images only under their mask bits.
  const HTREEITEM h = list.GetItemOfRow(list.InsertRow(0, "img", 7, 8, TVIF_TEXT | TVIF_IMAGE));
  EXPECT_EQ(list.GetItemImage(h), 7);
  EXPECT_EQ(list.GetItemSelectedImage(h), -1);
  const HTREEITEM first = list.InsertItem(TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE, "bar", -2, -2, 0, 0, 0,
                                          TVI_ROOT, TVI_FIRST);
  EXPECT_EQ(list.GetItemSelectedImage(first), -2);
  const HTREEITEM mid = list.InsertItem("mid", items[0]);
  const HTREEITEM hidden =
      list.InsertItem(TVIF_TEXT | TVIF_STATE | TVIF_PARAM, "h", 0, 0, TLIS_HIDDEN | TVIS_SELECTED, ~0u, 42);
  EXPECT_EQ(list.GetItemState(hidden), TLIS_HIDDEN);  // a hidden item is never selected
  EXPECT_EQ(list.GetItemData(hidden), 42);
  EXPECT_EQ(list.InsertItem(TVIF_TEXT, "x", 0, 0, 0, 0, 0, items[0], TVI_LAST), TLI_NULL);
  list.DeleteItem(mid);
  EXPECT_EQ(list.InsertItem("x", mid), TLI_NULL);  // stale insert-after
  CTreeListStore sorted;                           // sorted insert by bytes of the text
  for (const char* s : {"b", "d", "a", "c"}) sorted.InsertItem(s, TVI_SORT);
  EXPECT_EQ(sorted.GetItemText(sorted.GetItemAt(1)), "b");
  // Stale ids answer empty and are never reused.
  EXPECT_FALSE(list.DeleteItem(mid));
  EXPECT_TRUE(list.GetItemTexts(mid).empty());
  EXPECT_EQ(list.GetItemImage(mid), -1);
  EXPECT_NE(list.InsertItem("fresh"), mid);
  EXPECT_TRUE(list.DeleteItem(TVI_ROOT));
  EXPECT_EQ(list.GetCount(), 0);
}

TEST_F(Rows, NavigationWalksItemsOrRows) {
  Fill(5);
  Hide(0);
  Hide(2);
  // Items, hidden ones included: a caller that counts jobs walks these.
  EXPECT_EQ(list.GetRootItem(), items[0]);
  EXPECT_EQ(list.GetChildItem(items[1]), TLI_NULL);
  EXPECT_EQ(list.GetNextSiblingItem(items[1]), items[2]);
  EXPECT_EQ(list.GetPrevSiblingItem(items[1]), items[0]);
  // Rows.
  EXPECT_EQ(list.GetNextItem(TVI_ROOT, TVGN_FIRSTVISIBLE), items[1]);
  EXPECT_EQ(list.GetNextItem(items[1], TVGN_NEXTVISIBLE), items[3]);
  EXPECT_EQ(list.GetNextItem(items[3], TVGN_PREVIOUSVISIBLE), items[1]);
  EXPECT_EQ(list.GetNextItem(items[2], TVGN_NEXTVISIBLE), TLI_NULL);  // hidden: no row
  EXPECT_EQ(list.GetNextItem(TVI_ROOT, TVGN_LASTVISIBLE), items[4]);
  EXPECT_EQ(list.GetNextItem(TVI_ROOT, 99), TLI_NULL);
}

TEST_F(Rows, CellsTextsImagesAndRecords) {
  Fill(2);
  const std::string longText(5000, 'x');  // no limit in the store
  EXPECT_TRUE(list.SetItemText(items[0], longText, 6));
  EXPECT_EQ(list.GetItemText(items[0], 6), longText);
  EXPECT_FALSE(list.SetItemText(items[0], "x", 7));
  EXPECT_TRUE(list.SetCellText(1, "zwei", 2));
  EXPECT_EQ(list.GetItemTexts(items[1]), (std::vector<std::string>{"1", "", "zwei", "", "", "", ""}));
  // Column 1's own image with the subitem mask, column 0's image is the item's.
  TLITEM rec;
  rec.mask = TLIF_SUBITEM | TVIF_IMAGE;
  rec.hItem = items[0];
  rec.column = 1;
  rec.image = 11;
  EXPECT_TRUE(list.SetItem(rec));
  EXPECT_TRUE(list.SetItemImage(items[0], 5, 6));
  EXPECT_EQ(list.GetItemImage(items[0], 0), 5);
  list.SetItemData(items[0], 77);
  list.SetItemText(items[0], "ziel", 1);
  rec.mask = TLIF_SUBITEM | TVIF_TEXT | TVIF_IMAGE | TVIF_STATE | TVIF_PARAM | TLIF_TEXTPTR;
  rec.stateMask = ~0u;
  rec.image = 0;
  ASSERT_TRUE(list.GetItem(rec));
  EXPECT_EQ(rec.text + " " + std::to_string(rec.image) + " " + std::to_string(rec.lParam), "ziel 11 77");
  rec.mask = TVIF_TEXT;  // without the subitem flag the column is ignored: the item's own text
  ASSERT_TRUE(list.GetItem(rec));
  EXPECT_EQ(rec.text, "0");
}

TEST(TreeListColumns, ColumnZeroExistsBeforeAnyColumnAndInsertsShiftCells) {
  CTreeListStore list;
  const HTREEITEM h = list.InsertItem("own");
  EXPECT_FALSE(list.SetItemText(h, "x", 1));
  EXPECT_EQ(list.InsertColumn(-1, "Quelle", LVCFMT_LEFT, -35, TLCF_ASKOWNER), 0);
  EXPECT_EQ(list.InsertColumn(5, "Ziel"), 1);  // clamped: appended
  list.SetItemText(h, "target", 1);
  EXPECT_EQ(list.InsertColumn(1, "Plus"), 1);
  EXPECT_EQ(list.GetItemTexts(h), (std::vector<std::string>{"own", "", "target"}));
  EXPECT_EQ(list.GetColumn(0)->width, -35);
  EXPECT_EQ(list.GetColumnFlags(0), TLCF_ASKOWNER);
  EXPECT_FALSE(list.GetColumn(3).has_value());
  EXPECT_FALSE(list.SetColumnFlags(9, TLCF_EDITABLE));
  EXPECT_TRUE(list.SetColumnWidth(2, 45));
}

}  // namespace

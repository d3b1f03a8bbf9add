// Tree-list store: rows and items with hidden items, inserting, deleting, navigation, cells, columns,
// selection and focus, moving, sorting and settings.
#include "treelist_fixture.h"

#include <cstdlib>

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

// Ids fit the 24 bits the view packs them into: after the last one the counter starts at 1
// again, passing ids that still live.
TEST(TreeListIds, TheCounterWrapsBelowTheLimitAndSkipsLiveIds) {
  CTreeListStore store;
  const HTREEITEM first = store.InsertItem("first");
  ASSERT_EQ(ItemToU32(first), 1u);
  store.SetNextId(TLI_ID_LIMIT - 1);
  const HTREEITEM last = store.InsertItem("last");
  const HTREEITEM wrapped = store.InsertItem("wrapped");
  EXPECT_EQ(ItemToU32(last), TLI_ID_LIMIT - 1);
  EXPECT_EQ(ItemToU32(wrapped), 2u);  // 1 is still in use
  store.DeleteItem(first);
  store.SetNextId(TLI_ID_LIMIT - 2);
  store.DeleteItem(last);
  EXPECT_EQ(ItemToU32(store.InsertItem("a")), TLI_ID_LIMIT - 2);
  EXPECT_EQ(ItemToU32(store.InsertItem("b")), TLI_ID_LIMIT - 1);
  EXPECT_EQ(ItemToU32(store.InsertItem("c")), 1u);
  EXPECT_EQ(store.GetCount(), 4);
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
  EXPECT_EQ(list.GetNextItem(items[3], TVGN_PARENT), TLI_NULL);
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

using Select = JobList;

TEST_F(Select, SelectFocusAndHiding) {
  Fill(4);
  EXPECT_EQ(list.SetItemsState(TVI_ROOT, TVIS_SELECTED, TVIS_SELECTED), 4);
  EXPECT_TRUE(list.SelectFocus(items[3]));  // the only selected one afterwards
  EXPECT_EQ(list.GetItemState(items[3]), TVIS_SELECTED | TVIS_FOCUSED);
  list.SelectSubItem(4, items[1]);
  Hide(1);  // hiding clears selection and focus, and a hidden item cannot get them back
  list.SetItemState(items[1], TVIS_SELECTED, TVIS_SELECTED);
  EXPECT_FALSE(list.SelectFocus(items[1]));
  EXPECT_EQ(list.GetFocusedItem(), TLI_NULL);
  EXPECT_EQ(Selected(), (std::vector<HTREEITEM>{items[3]}));
  EXPECT_EQ(list.SetItemsState(TVI_ROOT, 0, TLIS_HIDDEN), 1);  // all shown again, as a filter ends
}

TEST_F(Select, SingleSelectionKeepsOne) {
  Fill(4, 802);  // the folder lists' options: no multi-selection
  list.SetItemState(items[1], TVIS_SELECTED, TVIS_SELECTED);
  list.SetItemState(items[2], TVIS_SELECTED, TVIS_SELECTED);
  EXPECT_EQ(Selected(), (std::vector<HTREEITEM>{items[2]}));
  // Switching multi-selection off keeps the focused item's selection.
  list.SetSetting(TLSETTING_OPTIONS, 23);
  list.SetItemsState(TVI_ROOT, TVIS_SELECTED, TVIS_SELECTED);
  list.SelectSubItem(2, items[3]);
  list.SetSetting(TLSETTING_OPTIONS, 802);
  EXPECT_EQ(Selected(), (std::vector<HTREEITEM>{items[3]}));
}

TEST_F(Select, MoveAfterAndBeforeCarryCellsAndFocus) {
  Fill(5);
  EXPECT_TRUE(list.MoveItemAfter(items[0], items[2]));
  EXPECT_TRUE(list.MoveItemAfter(items[4], TVI_FIRST));
  EXPECT_EQ(Order(), "41203");
  EXPECT_FALSE(list.MoveItemAfter(items[2], items[2]));
  EXPECT_TRUE(list.MoveItemBefore(items[4], TVI_LAST));
  EXPECT_TRUE(list.MoveItemBefore(items[0], items[1]));
  EXPECT_EQ(Order(), "01234");
  list.SetItemText(items[3], "cell", 6);
  list.SelectFocus(items[3]);
  list.MoveItemAfter(items[3], TVI_FIRST);
  EXPECT_EQ(list.GetItemText(list.GetItemOfRow(0), 6), "cell");
  EXPECT_EQ(list.GetFocusedItem(), items[3]);
}

int CompareNumbers(HTREEITEM, HTREEITEM, const char* a, const char* b, int, void* data) {
  ++*static_cast<int*>(data);
  return std::atoi(a) - std::atoi(b);
}

TEST_F(Select, SortIsStableAndKeepsFixedRows) {
  Fill(0);
  const HTREEITEM bar = list.InsertItem("bar");
  for (const char* s : {"30", "4", "x", "100", "0", "4"}) list.SetItemText(list.InsertItem(s), s, 1);
  list.SetItemText(list.GetItemAt(6), "4b");
  list.SetSetting(TLSETTING_FIXEDROWS, 1);
  int calls = 0;
  EXPECT_TRUE(list.SortChildrenEx(TVI_ROOT, CompareNumbers, &calls, 1));
  EXPECT_GT(calls, 0);
  EXPECT_EQ(Order(), "barx044b30100");  // "x" reads as 0, before "0" as it came first
  EXPECT_EQ(list.GetRootItem(), bar);
  EXPECT_FALSE(list.SortChildrenEx(bar, CompareNumbers, &calls, 1));
  EXPECT_FALSE(list.SortChildrenEx(TVI_ROOT, nullptr, nullptr, 1));
  EXPECT_FALSE(list.SortChildrenEx(TVI_ROOT, CompareNumbers, &calls, 7));
}

TEST_F(Select, Settings) {
  Fill(1, 0);
  EXPECT_EQ(list.SetSetting(TLSETTING_FIXEDROWS, 1), 0u);
  EXPECT_EQ(list.Setting(TLSETTING_BARROWS | TLSETTING_SET, 1), 0u);
  EXPECT_EQ(list.Setting(TLSETTING_BARROWS, 0), 1u);  // without bit 31: a read
  EXPECT_EQ(list.SetSetting(32, 5), 0u);
  EXPECT_EQ(list.SetExtendedStyle(0x500F0242), 0u);
  EXPECT_EQ(list.GetExtendedStyle(), 0x500F0242u);
}

}  // namespace

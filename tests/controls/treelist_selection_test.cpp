// Tree-list store: selection and focus, hiding, moving, sorting and settings.
#include "treelist_fixture.h"

#include <cstdlib>

namespace {

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
  EXPECT_EQ(list.GetFocusedColumn(), 4);  // the column stays
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

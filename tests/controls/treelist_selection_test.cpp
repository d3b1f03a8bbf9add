// Tree-list store: selection and focus, hiding, moving, sorting and settings.
#include "controls/treelist_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Select : ::testing::Test {
  CTreeListStore list;
  std::vector<HTREEITEM> items;

  void Fill(int n, DWORD options) {
    for (int c = 0; c < 7; ++c) list.InsertColumn(c, "c");
    list.SetSetting(TLSETTING_OPTIONS, options);
    for (int i = 0; i < n; ++i) items.push_back(list.InsertItem(std::to_string(i)));
  }
  std::vector<HTREEITEM> Selected() const {
    std::vector<HTREEITEM> out;
    for (HTREEITEM h = list.GetNextSelectedItem(TVI_ROOT); h != TLI_NULL;
         h = list.GetNextSelectedItem(h))
      out.push_back(h);
    return out;
  }
  std::string Order() const {
    std::string s;
    for (HTREEITEM h : list.GetAllItems()) s += list.GetItemText(h);
    return s;
  }
};

TEST_F(Select, MultiSelectionWalkAndSelectFocus) {
  Fill(5, 23);
  EXPECT_EQ(list.GetSetting(TLSETTING_OPTIONS), 23u);
  EXPECT_EQ(list.SetItemsState(TVI_ROOT, TVIS_SELECTED, TVIS_SELECTED), 5);
  EXPECT_EQ(Selected().size(), 5u);
  // Walking while deleting, as a delete-selected command does.
  list.SetItemState(items[0], 0, TVIS_SELECTED);
  list.SetItemState(items[3], 0, TVIS_SELECTED);
  std::vector<HTREEITEM> deleted;
  for (HTREEITEM h; (h = list.GetNextSelectedItem(TVI_ROOT)) != TLI_NULL;) {
    deleted.push_back(h);
    list.DeleteItem(h);
  }
  EXPECT_EQ(deleted, (std::vector<HTREEITEM>{items[1], items[2], items[4]}));
  EXPECT_EQ(Order(), "03");

  EXPECT_TRUE(list.SelectFocus(items[3]));
  EXPECT_EQ(list.GetFocusedItem(), items[3]);
  EXPECT_EQ(list.GetNextItem(TVI_ROOT, TVGN_CARET), items[3]);
  EXPECT_EQ(list.GetItemState(items[3]), TVIS_SELECTED | TVIS_FOCUSED);
  list.SetItemState(items[0], TVIS_SELECTED, TVIS_SELECTED);
  EXPECT_EQ(Selected().size(), 2u);
  EXPECT_TRUE(list.SelectFocus(items[0]));  // the only selected one afterwards
  EXPECT_EQ(Selected(), (std::vector<HTREEITEM>{items[0]}));
  // The focus bit cannot be set through the state.
  list.SetItemState(items[3], TVIS_FOCUSED, TVIS_FOCUSED);
  EXPECT_EQ(list.GetFocusedItem(), items[0]);
}

TEST_F(Select, SingleSelectionKeepsOne) {
  Fill(4, 802);  // the folder lists' options: no multi-selection
  list.SetItemState(items[1], TVIS_SELECTED, TVIS_SELECTED);
  list.SetItemState(items[2], TVIS_SELECTED, TVIS_SELECTED);
  EXPECT_EQ(Selected(), (std::vector<HTREEITEM>{items[2]}));
  list.SetItemsState(TVI_ROOT, TVIS_SELECTED, TVIS_SELECTED);
  EXPECT_EQ(Selected().size(), 1u);
  // Switching multi-selection off keeps the focused item's selection.
  list.SetSetting(TLSETTING_OPTIONS, 23);
  list.SetItemsState(TVI_ROOT, TVIS_SELECTED, TVIS_SELECTED);
  list.SelectSubItem(2, items[3]);
  list.SetItemState(items[1], TVIS_SELECTED, TVIS_SELECTED);
  EXPECT_EQ(Selected().size(), 4u);
  list.SetSetting(TLSETTING_OPTIONS, 802);
  EXPECT_EQ(Selected(), (std::vector<HTREEITEM>{items[3]}));
}

TEST_F(Select, HidingClearsSelectionAndFocus) {
  Fill(3, 23);
  list.SelectSubItem(4, items[1]);
  EXPECT_EQ(list.GetFocusedColumn(), 4);
  list.SetItemState(items[1], TLIS_HIDDEN, TLIS_HIDDEN);
  EXPECT_EQ(list.GetFocusedItem(), TLI_NULL);
  EXPECT_EQ(list.GetFocusedColumn(), 4);  // the column stays
  EXPECT_TRUE(Selected().empty());
  // A hidden item cannot be selected, focused or shown.
  list.SetItemState(items[1], TVIS_SELECTED, TVIS_SELECTED);
  EXPECT_TRUE(Selected().empty());
  EXPECT_FALSE(list.SelectFocus(items[1]));
  EXPECT_FALSE(list.SelectSubItem(0, items[1]));
  EXPECT_FALSE(list.EnsureVisible(items[1]));
  EXPECT_TRUE(list.EnsureVisible(items[2], 3));
  EXPECT_FALSE(list.SelectSubItem(7, items[2]));
  // Showing all again through the root, as hiding a filter does.
  EXPECT_EQ(list.SetItemsState(TVI_ROOT, 0, TLIS_HIDDEN), 1);
  EXPECT_EQ(list.GetRowCount(), 3);
  EXPECT_EQ(list.SetItemsState(items[0], 0, TLIS_HIDDEN), 0);  // items have no descendants
  // Deleting the focused item leaves no focus.
  list.SelectFocus(items[2]);
  list.DeleteItem(items[2]);
  EXPECT_EQ(list.GetFocusedItem(), TLI_NULL);
}

TEST_F(Select, MoveAfterAndBefore) {
  Fill(5, 23);
  EXPECT_TRUE(list.MoveItemAfter(items[0], items[2]));
  EXPECT_EQ(Order(), "12034");
  EXPECT_TRUE(list.MoveItemAfter(items[4], TVI_FIRST));
  EXPECT_EQ(Order(), "41203");
  EXPECT_TRUE(list.MoveItemAfter(items[4], TVI_LAST));
  EXPECT_EQ(Order(), "12034");
  EXPECT_TRUE(list.MoveItemAfter(items[2], items[1]));  // already there
  EXPECT_EQ(Order(), "12034");
  EXPECT_FALSE(list.MoveItemAfter(items[2], items[2]));
  EXPECT_TRUE(list.MoveItemBefore(items[4], items[1]));
  EXPECT_EQ(Order(), "41203");
  EXPECT_TRUE(list.MoveItemBefore(items[4], TVI_LAST));
  EXPECT_EQ(Order(), "12034");
  // Cells, state and focus travel with the item.
  list.SetItemText(items[3], std::string(1283, 'q'), 6);
  list.SelectFocus(items[3]);
  list.MoveItemAfter(items[3], TVI_FIRST);
  EXPECT_EQ(list.GetRowOfItem(items[3]), 0);
  EXPECT_EQ(list.GetItemText(items[3], 6).size(), 1283u);
  EXPECT_EQ(list.GetFocusedItem(), items[3]);
  // Moving hidden items keeps their rows out of the count.
  list.SetItemState(items[0], TLIS_HIDDEN, TLIS_HIDDEN);
  list.MoveItemAfter(items[0], TVI_FIRST);
  EXPECT_EQ(list.GetRowOfItem(items[3]), 0);
  EXPECT_EQ(list.GetRowCount(), 4);
}

int CompareNumbers(HTREEITEM, HTREEITEM, const char* a, const char* b, int, void* data) {
  ++*static_cast<int*>(data);
  return std::atoi(a) - std::atoi(b);
}

TEST_F(Select, SortIsStableAndKeepsFixedRows) {
  Fill(0, 23);
  const HTREEITEM bar = list.InsertItem("bar");
  for (const char* s : {"30", "4", "x", "100", "0", "4"}) {
    const HTREEITEM h = list.InsertItem("row");
    list.SetItemText(h, s, 1);
    list.SetItemData(h, reinterpret_cast<LPARAM>(s));
  }
  const std::vector<HTREEITEM> before = list.GetAllItems();
  list.SetSetting(TLSETTING_FIXEDROWS, 1);
  int calls = 0;
  EXPECT_TRUE(list.SortChildrenEx(TVI_ROOT, CompareNumbers, &calls, 1));
  EXPECT_GT(calls, 0);
  std::string order;
  for (HTREEITEM h : list.GetAllItems()) order += list.GetItemText(h, 1) + ",";
  EXPECT_EQ(order, ",x,0,4,4,30,100,");  // "x" reads as 0, before "0" as it came first
  EXPECT_EQ(list.GetRootItem(), bar);
  // Equal keys keep their order: the first "4" is still the first.
  EXPECT_EQ(list.GetItemOfRow(3), before[2]);
  EXPECT_EQ(list.GetItemOfRow(4), before[6]);
  EXPECT_FALSE(list.SortChildrenEx(before[1], CompareNumbers, &calls, 1));
  EXPECT_FALSE(list.SortChildrenEx(TVI_ROOT, nullptr, nullptr, 1));
  EXPECT_FALSE(list.SortChildrenEx(TVI_ROOT, CompareNumbers, &calls, 7));
}

TEST_F(Select, Settings) {
  Fill(1, 0);
  EXPECT_EQ(list.SetSetting(TLSETTING_FIXEDROWS, 1), 0u);
  EXPECT_EQ(list.SetSetting(TLSETTING_FIXEDROWS, 0), 1u);
  EXPECT_EQ(list.Setting(TLSETTING_BARROWS | TLSETTING_SET, 1), 0u);
  EXPECT_EQ(list.Setting(TLSETTING_BARROWS, 0), 1u);  // without bit 31: a read
  EXPECT_EQ(list.GetSetting(TLSETTING_BARROWS), 1u);
  EXPECT_EQ(list.Setting(TLSETTING_TOPROW | TLSETTING_SET, 0), 0u);
  EXPECT_EQ(list.SetSetting(32, 5), 0u);
  EXPECT_EQ(list.GetSetting(32), 0u);
  EXPECT_EQ(list.GetSetting(-1), 0u);
  EXPECT_EQ(list.SetExtendedStyle(0x500F0242), 0u);
  EXPECT_EQ(list.GetExtendedStyle(), 0x500F0242u);
}

}  // namespace

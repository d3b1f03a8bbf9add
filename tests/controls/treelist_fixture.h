// A seven-column list like the job list, with items "0".."n-1", for the tree-list store tests.
#pragma once

#include "controls/treelist_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct JobList : ::testing::Test {
  CTreeListStore list;
  std::vector<HTREEITEM> items;

  void Fill(int n, DWORD options = 23) {  // the job list's options
    for (int c = 0; c < 7; ++c) list.InsertColumn(c, "c");
    list.SetSetting(TLSETTING_OPTIONS, options);
    for (int i = 0; i < n; ++i) items.push_back(list.InsertItem(std::to_string(i)));
  }
  void Hide(int i) { ASSERT_TRUE(list.SetItemState(items[i], TLIS_HIDDEN, TLIS_HIDDEN)); }
  // Column 0 of every item, in item order.
  std::string Order() const {
    std::string s;
    for (HTREEITEM h : list.GetAllItems()) s += list.GetItemText(h);
    return s;
  }
  std::vector<HTREEITEM> Selected() const {
    std::vector<HTREEITEM> out;
    for (HTREEITEM h = list.GetNextSelectedItem(); h != TLI_NULL; h = list.GetNextSelectedItem(h))
      out.push_back(h);
    return out;
  }
};

// Tree-list store: a worker reads cells while the main thread inserts, deletes, hides and edits.
#include "controls/treelist_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every cell of a row holds "<id>:<column>:<generation>", so a reader can tell a torn or
// foreign cell from a current one.
std::string CellFor(HTREEITEM h, int column, int generation) {
  return std::to_string(ItemToU32(h)) + ":" + std::to_string(column) + ":" +
         std::to_string(generation);
}

bool CellMatches(const std::string& text, HTREEITEM h, int column) {
  const std::string head = std::to_string(ItemToU32(h)) + ":" + std::to_string(column) + ":";
  return text.rfind(head, 0) == 0;
}

TEST(TreeListThreads, WorkerReadsWhileMainThreadEdits) {
  CTreeListStore list;
  for (int c = 0; c < 7; ++c) list.InsertColumn(c, "c");
  list.SetSetting(TLSETTING_OPTIONS, TLO_MULTISELECT);
  auto addRow = [&](int row) {
    const int r = list.InsertRow(row, "");
    const HTREEITEM h = list.GetItemOfRow(r);
    for (int c = 0; c < 7; ++c) list.SetItemText(h, CellFor(h, c, 0), c);
  };
  for (int i = 0; i < 50; ++i) addRow(-1);

  std::atomic<bool> stop{false};
  std::atomic<long> reads{0}, bad{0};
  // The runner's way: walk the items and read each row's cells.
  std::thread worker([&] {
    while (!stop.load()) {
      for (HTREEITEM h = list.GetRootItem(); h != TLI_NULL; h = list.GetNextSiblingItem(h)) {
        const std::vector<std::string> cells = list.GetItemTexts(h);
        if (cells.empty()) continue;  // deleted meanwhile
        for (int c = 0; c < 7; ++c)
          if (!cells[c].empty() && !CellMatches(cells[c], h, c)) ++bad;
        const std::string one = list.GetItemText(h, 5);
        if (!one.empty() && !CellMatches(one, h, 5)) ++bad;
        ++reads;
      }
      // And by row, as with a visible-row lookup.
      for (int row = 0; row < 60; ++row) {
        char buf[64];
        const HTREEITEM h = list.GetItemOfRow(row);
        if (list.GetCellText(row, buf, sizeof buf, 1) < 0 || h == TLI_NULL) continue;
        ++reads;
      }
    }
  });

  int generation = 0;
  // Go on until the worker has read a good deal while the list changed under it.
  for (int round = 0; round < 400 || reads.load() < 2000; ++round) {
    addRow(round % 40);
    const HTREEITEM victim = list.GetItemOfRow((round * 7) % list.GetRowCount());
    list.DeleteItem(victim);
    const HTREEITEM h = list.GetItemOfRow(round % list.GetRowCount());
    ++generation;
    for (int c = 0; c < 7; ++c) list.SetItemText(h, CellFor(h, c, generation), c);
    list.SetItemState(h, (round % 3) ? 0u : TLIS_HIDDEN, TLIS_HIDDEN);
    list.MoveItemAfter(list.GetItemOfRow(0), TVI_LAST);
    list.SetItemsState(TVI_ROOT, TVIS_SELECTED, TVIS_SELECTED);
    list.SelectFocus(list.GetItemOfRow(1));
    if (round % 50 == 49) list.SetItemsState(TVI_ROOT, 0, TLIS_HIDDEN);
  }
  stop = true;
  worker.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(list.GetCount(), 50);
}

// Deleted ids stay dead for readers on other threads.
TEST(TreeListThreads, StaleIdsFromAnotherThreadAnswerEmpty) {
  CTreeListStore list;
  std::vector<HTREEITEM> dead;
  for (int i = 0; i < 100; ++i) dead.push_back(list.InsertItem("gone"));
  std::thread deleter([&] {
    for (HTREEITEM h : dead) list.DeleteItem(h);
    for (int i = 0; i < 100; ++i) list.InsertItem("new");
  });
  deleter.join();
  for (HTREEITEM h : dead) {
    EXPECT_EQ(list.GetItemText(h), "");
    EXPECT_EQ(list.GetRowOfItem(h), -1);
  }
}

}  // namespace

// Tree-list store: a worker reads cells while the main thread inserts, deletes, hides and edits.
#include "treelist_fixture.h"

#include <atomic>
#include <thread>

namespace {

using TreeListThreads = JobList;

// Every cell of a row starts with "<id>:<column>:", so a reader can tell a foreign cell.
std::string CellHead(HTREEITEM h, int column) {
  return std::to_string(ItemToU32(h)) + ":" + std::to_string(column) + ":";
}

TEST_F(TreeListThreads, AWorkerReadsWhileTheMainThreadEdits) {
  Fill(0, TLO_MULTISELECT);
  auto write = [&](HTREEITEM h, int generation) {
    for (int c = 0; c < 7; ++c) list.SetItemText(h, CellHead(h, c) + std::to_string(generation), c);
  };
  for (int i = 0; i < 50; ++i) write(list.GetItemOfRow(list.InsertRow(-1, "")), 0);
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0}, bad{0};
  // The runner's way: walk the items and read each row's cells; and by row, as a view does.
  std::thread worker([&] {
    while (!stop.load()) {
      for (HTREEITEM h = list.GetRootItem(); h != TLI_NULL; h = list.GetNextSiblingItem(h)) {
        const std::vector<std::string> cells = list.GetItemTexts(h);
        for (int c = 0; c < static_cast<int>(cells.size()); ++c)
          if (!cells[c].empty() && cells[c].rfind(CellHead(h, c), 0) != 0) ++bad;
        ++reads;
      }
      char buf[64];
      for (int row = 0; row < 60; ++row) reads += list.GetCellText(row, buf, sizeof buf, 1) >= 0;
    }
  });
  // Go on until the worker has read a good deal while the list changed under it.
  for (int round = 0; round < 400 || reads.load() < 2000; ++round) {
    write(list.GetItemOfRow(list.InsertRow(round % 40, "")), round);
    list.DeleteItem(list.GetItemOfRow((round * 7) % list.GetRowCount()));
    const HTREEITEM h = list.GetItemOfRow(round % list.GetRowCount());
    write(h, round);
    list.SetItemState(h, round % 3 ? 0u : TLIS_HIDDEN, TLIS_HIDDEN);
    list.MoveItemAfter(list.GetItemOfRow(0), TVI_LAST);
    list.SetItemsState(TVI_ROOT, TVIS_SELECTED, TVIS_SELECTED);
    list.SelectFocus(list.GetItemOfRow(1));
    if (round % 50 == 49) list.SetItemsState(TVI_ROOT, 0, TLIS_HIDDEN);
  }
  stop = true;
  worker.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(list.GetCount(), 50);
}

}  // namespace

// Tree-list store: change events keep a mirror of the rows right, the row index stays right, the
// owner gets the user's actions, and a worker reads cells while the main thread edits.
#include "treelist_fixture.h"

#include "tests/support/deadline.h"

#include <atomic>
#include <functional>
#include <random>
#include <thread>

namespace {

// Mirrors the rows from the events alone, as a model on another thread would, and logs the rest.
struct Mirror : ITreeListObserver {
  std::vector<HTREEITEM> rows;
  std::uint64_t revision = 0;
  bool layout = false;
  std::vector<std::string> log;

  void See(std::uint64_t rev) {
    EXPECT_GE(rev, revision);
    revision = rev;
  }
  void OnRowsInserted(std::uint64_t rev, int first, const std::vector<HTREEITEM>& items) override {
    See(rev);
    ASSERT_LE(first, static_cast<int>(rows.size()));
    rows.insert(rows.begin() + first, items.begin(), items.end());
  }
  void OnRowsRemoved(std::uint64_t rev, int first, const std::vector<HTREEITEM>& items) override {
    See(rev);
    ASSERT_LE(first + items.size(), rows.size());
    ASSERT_TRUE(std::equal(items.begin(), items.end(), rows.begin() + first));
    rows.erase(rows.begin() + first, rows.begin() + first + items.size());
  }
  void OnRowsChanged(std::uint64_t rev, int first, int last, int column) override {
    See(rev);
    ASSERT_LT(last, static_cast<int>(rows.size()));
    log.push_back("rows " + std::to_string(first) + "-" + std::to_string(last) + " col " +
                  std::to_string(column));
  }
  void OnLayoutChanged(std::uint64_t rev) override {
    See(rev);
    layout = true;
  }
  void OnFocusChanged(HTREEITEM, int column) override { log.push_back("focus " + std::to_string(column)); }
  void OnEnsureVisible(HTREEITEM, int column) override { log.push_back("show " + std::to_string(column)); }
  void OnEditRequest(HTREEITEM, int column, DWORD editor, const std::string& choices) override {
    log.push_back("edit col " + std::to_string(column) + (editor == TLSE_CHOICELIST ? " list " : " text ") +
                  choices);
  }
};

// The row lookups against the plain item order and hidden states.
void CheckRowIndex(const CTreeListStore& list, int step) {
  const std::vector<HTREEITEM> all = list.GetAllItems();
  std::vector<HTREEITEM> rows;
  for (int i = 0; i < static_cast<int>(all.size()); ++i) {
    ASSERT_EQ(list.GetItemAt(i), all[i]) << step;
    const bool shown = !list.GetItemState(all[i], TLIS_HIDDEN);
    ASSERT_EQ(list.GetRowOfItem(all[i]) >= 0, shown) << step;
    if (shown) rows.push_back(all[i]);
  }
  ASSERT_EQ(list.GetRowCount(), static_cast<int>(rows.size())) << step;
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    ASSERT_EQ(list.GetItemOfRow(r), rows[r]) << step;
    ASSERT_EQ(list.GetRowOfItem(rows[r]), r) << step;
  }
  ASSERT_EQ(list.GetItemOfRow(static_cast<int>(rows.size())), TLI_NULL) << step;
}

TEST(TreeListEvents, MirrorAndRowIndexFollowRandomChanges) {
  CTreeListStore list;
  Mirror mirror;
  list.AddObserver(&mirror);
  for (int c = 0; c < 7; ++c) list.InsertColumn(c, "c");
  list.SetSetting(TLSETTING_OPTIONS, TLO_MULTISELECT | TLO_DRAGROWS);
  std::mt19937 rng(4711);
  auto pick = [&] { return list.GetItemAt(static_cast<int>(rng() % (list.GetCount() + 1))); };
  auto hidden = [&](unsigned in) { return rng() % in ? 0u : TLIS_HIDDEN; };  // one in "in" hidden
  auto insert = [&](HTREEITEM after, unsigned in) {
    list.InsertItem(TVIF_TEXT | TVIF_STATE, "i", 0, 0, hidden(in), TLIS_HIDDEN, 0, TVI_ROOT, after);
  };
  // The changes, picked at random; appends and removals at the end come as loading, filtering
  // and clearing make them.
  const std::function<void()> changes[] = {
      [&] { list.InsertRow(static_cast<int>(rng() % 12) - 1, "r"); },
      [&] { insert(TVI_LAST, 5); },
      [&] { insert(TVI_LAST, 5); },
      [&] { list.DeleteItem(list.GetItemAt(list.GetCount() - 1)); },
      [&] { insert(pick(), 2); },
      [&] { insert(TVI_FIRST, 2); },
      [&] { list.DeleteItem(pick()); },
      [&] { list.SetItemState(pick(), hidden(2), TLIS_HIDDEN); },
      [&] { list.MoveItemAfter(pick(), rng() % 3 ? pick() : TVI_FIRST); },
      [&] { list.EndDrag(pick(), pick()); },
      [&] { list.SetItemText(pick(), std::to_string(rng()), static_cast<int>(rng() % 7)); },
      [&] { list.SetItemsState(TVI_ROOT, hidden(2), rng() % 4 ? 0u : TLIS_HIDDEN); },
      [&] { list.SetItemState(pick(), TVIS_SELECTED, TVIS_SELECTED); },
      [&] { list.SelectFocus(pick()); },
  };
  for (int step = 0; step < 3000; ++step) {
    changes[rng() % std::size(changes)]();
    if (step % 500 == 499) list.DeleteAllItems();
    if (mirror.layout) {
      mirror.rows = list.GetRowItems();
      mirror.layout = false;
    }
    ASSERT_EQ(mirror.rows, list.GetRowItems()) << "step " << step;
    CheckRowIndex(list, step);
  }
  list.RemoveObserver(&mirror);
  list.InsertRow(0, "unseen");
  EXPECT_NE(mirror.rows.size(), list.GetRowItems().size());
}

// An owner in the shape of the job-list view's handlers.
struct Owner : ITreeListOwner {
  CTreeListStore* list = nullptr;
  std::vector<std::string> log;
  DWORD OnStartEdit(TLNSTARTEDIT& rec) override {
    log.push_back("start col " + std::to_string(rec.column) + " key " + std::to_string(rec.key));
    if (rec.column == 4) {
      // Toggle in place; calling the store from here must not deadlock.
      list->SetItemText(rec.hItem, rec.text == "Nein" ? "Ja" : "Nein", 4);
      return TLSE_NONE;
    }
    if (rec.column == 5) rec.text = "Copy|Zip|";
    if (rec.column == 3) list->DeleteItem(rec.hItem);
    return rec.column == 5 ? TLSE_CHOICELIST : TLSE_TEXTEDIT;
  }
  int OnEndLabelEdit(TLNENDEDIT& rec) override {
    if (!(rec.mask & TLIF_NEWTEXT) || rec.text == "refuse") return 1;
    std::replace(rec.text.begin(), rec.text.end(), '\n', ' ');
    return 0;
  }
  void OnEndDrag(const TLNENDDRAG& rec) override {
    log.push_back(std::string(rec.flags < 0 ? "dropped " : "not ") + list->GetItemText(rec.hDragged) +
                  " on " + list->GetItemText(rec.hTarget));
  }
  void OnKeyDown(const TLNKEYDOWN& rec) override {
    log.push_back("key " + std::to_string(rec.vkey) + " on " + list->GetItemText(rec.hFocus) + " col " +
                  std::to_string(rec.column));
  }
};

struct OwnerTest : JobList {
  Owner owner;
  Mirror mirror;
  void SetUp() override {
    owner.list = &list;
    Fill(0);
    list.SetColumnFlags(0, TLCF_EDITABLE);  // 1-5 ask the owner, 6 is not editable
    for (int c = 1; c < 6; ++c) list.SetColumnFlags(c, TLCF_ASKOWNER);
    for (const char* s : {"bar", "a", "b", "c", "d"}) items.push_back(list.InsertItem(s));
    list.SetOwner(&owner);
    mirror.rows = list.GetRowItems(&mirror.revision);
    list.AddObserver(&mirror);
  }
};

TEST_F(OwnerTest, EditsKeysAndTheirEvents) {
  list.SetItemText(items[1], "Nein", 4);
  EXPECT_EQ(list.StartEdit(items[1], 4, 13), TLSE_NONE);
  EXPECT_EQ(list.GetItemText(items[1], 4), "Ja");
  std::string choices;
  EXPECT_EQ(list.StartEdit(items[1], 5, TLK_MOUSE, &choices), TLSE_CHOICELIST);
  EXPECT_EQ(choices, "Copy|Zip|");
  EXPECT_TRUE(list.EditLabel(items[2], 1));
  EXPECT_EQ(list.StartEdit(items[3], 3, 13), TLSE_NONE);      // the owner deleted the item meanwhile
  EXPECT_EQ(list.StartEdit(items[2], 0, 13), TLSE_TEXTEDIT);  // not asked
  EXPECT_FALSE(list.EditLabel(items[2], 6));
  list.SelectSubItem(2, items[2]);
  list.EnsureVisible(items[2]);
  list.KeyDown(9, 1);
  list.SetItemText(items[2], "x", 3);
  list.SetItemText(items[2], "x", 3);  // unchanged: no event
  EXPECT_EQ(owner.log,
            (std::vector<std::string>{"start col 4 key 13", "start col 5 key 65536", "start col 1 key 0",
                                      "start col 3 key 13", "key 9 on b col 2"}));
  EXPECT_EQ(mirror.log,
            (std::vector<std::string>{"rows 1-1 col 4", "rows 1-1 col 4", "edit col 5 list Copy|Zip|",
                                      "edit col 1 text ", "edit col 0 text ", "rows 2-2 col -1",
                                      "rows 2-2 col -1", "focus 2", "show -1", "rows 2-2 col 3"}));
  // The editor closed: the owner's cleaned text is kept, a refused or cancelled one is not.
  EXPECT_EQ(list.EndEdit(items[1], 2, std::string("*.obj\n/DEL")), 0);
  EXPECT_EQ(list.EndEdit(items[1], 2, std::string("refuse")), 1);
  EXPECT_EQ(list.EndEdit(items[1], 2, std::nullopt), 1);
  EXPECT_EQ(list.GetItemText(items[1], 2), "*.obj /DEL");
  list.SetOwner(nullptr);  // without an owner a delivered text is kept
  EXPECT_EQ(list.EndEdit(items[1], 3, std::string("m")), 0);
  EXPECT_EQ(list.GetItemText(items[1], 3), "m");
  EXPECT_EQ(mirror.revision, list.GetRevision());  // the last change's event carries its revision
}

TEST_F(OwnerTest, DragTakesTheTargetRowAndKeepsFixedRowsOnTop) {
  EXPECT_TRUE(list.EndDrag(items[1], items[3]));  // downwards: behind the target
  EXPECT_EQ(Order(), "barbcad");
  EXPECT_TRUE(list.EndDrag(items[4], items[2]));  // upwards: in front of the target
  EXPECT_EQ(Order(), "bardbca");
  list.SetSetting(TLSETTING_FIXEDROWS, 1);
  EXPECT_TRUE(list.EndDrag(items[1], items[0]));  // dropped onto the bar: lands behind it
  EXPECT_TRUE(list.EndDrag(items[0], items[3]));  // the bar's drop is reported; it stays first
  EXPECT_EQ(Order(), "baradbc");
  list.SetSetting(TLSETTING_OPTIONS, 0);
  EXPECT_FALSE(list.EndDrag(items[3], items[1]));  // dragging rows is off
  EXPECT_EQ(owner.log, (std::vector<std::string>{"dropped a on c", "dropped d on b", "dropped a on bar",
                                                 "dropped bar on c", "not c on a"}));
}

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
  const auto until = std::chrono::steady_clock::now() + kpwtest::kWaitLimit;
  for (int round = 0; round < 400 || (reads.load() < 2000 && std::chrono::steady_clock::now() < until); ++round) {
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
  EXPECT_GE(reads.load(), 2000) << "the worker hardly read";
  stop = true;
  kpwtest::JoinWithin(worker, "the reading worker");
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(list.GetCount(), 50);
}

}  // namespace

// The dialogs' lists over a real item store: adding, editing, deleting, the 0 mark and sorting.
#include "app/settings_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kpw::settings::PairLine;
using Strings = std::vector<std::string>;

class SettingsList : public testing::Test {
 protected:
  // An in-place edit of a row's cell that delivers text, as the widget ends it.
  void Edit(CSettingsList& list, int row, const std::string& text, int column = 0) {
    CTreeListStore& s = list.Store();
    ASSERT_EQ(s.EndEdit(s.GetItemOfRow(row), column, text), 0);
  }
  static Strings Rows(const CSettingsList& list) {
    Strings rows;
    for (const PairLine& p : list.Pairs()) rows.push_back(list.IsPairs() ? p.first + "/" + p.second : p.first);
    return rows;
  }
  CTreeListStore store;
};

TEST_F(SettingsList, TheStoreGetsTheColumnsFlagsAndSettingsOfEachList) {
  CSettingsList folders(store, CSettingsList::FOLDERS);
  ASSERT_EQ(store.GetColumnCount(), 1);
  EXPECT_EQ(store.GetColumn(0)->title, "Verzeichnisse");
  EXPECT_EQ(store.GetColumnFlags(0), 0x106u);
  EXPECT_EQ(store.GetSetting(TLSETTING_OPTIONS), 802u);
  EXPECT_EQ(store.GetExtendedStyle(), 0x508F0000u);
  EXPECT_EQ(Rows(folders), Strings{""});

  CTreeListStore zipStore;
  CSettingsList zip(zipStore, CSettingsList::ARCHIVE_FOLDERS);
  EXPECT_EQ(zipStore.GetSetting(TLSETTING_OPTIONS), 0u);

  CTreeListStore pairStore;
  CSettingsList sizes(pairStore, CSettingsList::SIZE_PAIRS);
  ASSERT_EQ(pairStore.GetColumnCount(), 2);
  EXPECT_EQ(pairStore.GetColumn(0)->title, "Größe der Datei in kB");
  EXPECT_EQ(pairStore.GetColumn(1)->title, "Anzahl der Kopien");
  EXPECT_EQ(pairStore.GetColumnFlags(1), 0x906u);
  CTreeListStore thinStore;
  CSettingsList thinning(thinStore, CSettingsList::THINNING_PAIRS);
  EXPECT_EQ(thinStore.GetColumn(0)->title, "Begin des Bereiches");
  EXPECT_EQ(thinStore.GetColumn(1)->title, "Raster für Dateien");
}

TEST_F(SettingsList, FillingTheLastLineAddsOneAndEmptyingAnotherDeletesIt) {
  CSettingsList list(store, CSettingsList::FOLDERS);
  store.SetOwner(&list);
  list.SetLines({"a", "b", "c"});
  EXPECT_EQ(Rows(list), (Strings{"a", "b", "c", ""}));
  EXPECT_FALSE(list.Edited());

  Edit(list, 1, "");  // a middle line cleared: gone, and the next one selected
  EXPECT_EQ(Rows(list), (Strings{"a", "c", ""}));
  EXPECT_EQ(store.GetFocusedItem(), store.GetItemOfRow(1));
  EXPECT_TRUE(store.GetItemState(store.GetItemOfRow(1), TVIS_SELECTED) & TVIS_SELECTED);
  EXPECT_TRUE(list.Edited());

  Edit(list, 2, "neu");  // typed into the empty last line: a new empty line follows
  EXPECT_EQ(Rows(list), (Strings{"a", "c", "neu", ""}));
  Edit(list, 3, "");  // the empty last line stays the last line
  Edit(list, 0, "A2");  // a middle edit adds nothing
  EXPECT_EQ(Rows(list), (Strings{"A2", "c", "neu", ""}));
  EXPECT_EQ(list.Lines(), (Strings{"A2", "c", "neu"}));

  // An edit that delivers nothing (Esc) changes nothing.
  list.SetLines({"x"});
  EXPECT_EQ(store.EndEdit(store.GetItemOfRow(0), 0, std::nullopt), 0);
  Edit(list, 0, "x");
  EXPECT_FALSE(list.Edited());
  EXPECT_EQ(Rows(list), (Strings{"x", ""}));
  store.SetOwner(nullptr);
}

TEST_F(SettingsList, TheSizeFormMarksAZeroAndSortingPutsTheLinesInOrder) {
  CSettingsList list(store, CSettingsList::SIZE_PAIRS);
  store.SetOwner(&list);
  list.SetPairs({{"64", "4"}});
  Edit(list, 1, "0");  // the empty last line
  EXPECT_EQ(Rows(list), (Strings{"64/4", "0  <DEL>/", "/"}));
  Edit(list, 1, "30", 1);
  Edit(list, 1, "0  <del>");  // marked already
  Edit(list, 2, "16", 1);  // the second column of the last line adds a line too
  Edit(list, 2, "8");
  EXPECT_EQ(Rows(list), (Strings{"64/4", "0  <del>/30", "8/16", "/"}));
  Edit(list, 0, "", 1);  // an emptied count keeps its line
  EXPECT_EQ(Rows(list)[0], "64/");
  list.SortByNumber();
  EXPECT_EQ(Rows(list), (Strings{"0  <del>/30", "8/16", "64/", "/"}));
  EXPECT_TRUE(list.Edited());
  store.SetOwner(nullptr);

  CTreeListStore thinStore;
  CSettingsList thinning(thinStore, CSettingsList::THINNING_PAIRS);
  thinStore.SetOwner(&thinning);
  Edit(thinning, 0, "0");
  EXPECT_EQ(Rows(thinning), (Strings{"0/", "/"}));
  thinStore.SetOwner(nullptr);
}

}  // namespace

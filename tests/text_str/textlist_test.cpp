// CTextList: user areas, insertion and removal, sorting, and sorted search with its flags.
#include "lib/text/textlist.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Texts(const CTextList& list) {
  std::vector<std::string> v;
  for (int i = 0; i < list.Count(); ++i)
    v.emplace_back(list.Text(i), static_cast<size_t>(list.TextLength(i)));
  return v;
}

TEST(CTextList, UserAreasInsertionAndRemoval) {
  CTextList list(16);
  const unsigned char rec[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(list.Insert(-1, "b", -1, rec), 0);
  EXPECT_EQ(std::memcmp(list.Item(0), rec, 16), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(list.Item(0) + 16), "b");
  EXPECT_EQ(list.Insert(0, "a"), 0);
  EXPECT_EQ(list.Insert(99, "d"), 2);  // clamped to the end
  EXPECT_EQ(list.Insert(2, "cXYZ", 1), 2);
  const char bytes[] = {'n', '\0', 'l'};
  EXPECT_EQ(list.InsertBytes(3, bytes, -1, nullptr), 4);
  EXPECT_EQ(list.TextLength(4), 3);
  EXPECT_EQ(list.Item(5), nullptr);
  EXPECT_EQ(list.SetExtraBytes(4), -1);  // not while items exist
  EXPECT_EQ(list.RemoveAt(5), 0);
  EXPECT_EQ(list.RemoveAt(4), 1);
  EXPECT_EQ(list.RemoveAt(0), 1);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"b", "c", "d"}));
  list.RemoveAll();
  EXPECT_EQ(list.SetExtraBytes(4), 4);
}

TEST(CTextList, SortOrders) {
  CTextList list(4);
  for (const char* s : {"b/c", "a", "b", "B", "a/b/c", "ab"}) {
    const int idx = list.Insert(-1, s);
    std::memcpy(list.Item(idx), &idx, 4);  // user areas travel with their texts
  }
  list.Sort(0, -1, CTextList::CompareText);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"B", "a", "a/b/c", "ab", "b", "b/c"}));
  int tag = -1;
  std::memcpy(&tag, list.Item(2), 4);
  EXPECT_EQ(tag, 4);
  // Longest path first: inner folders before their parents.
  list.Sort(0, -1, CTextList::CompareLengthThenText, CTextList::SORT_DESCENDING);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"a/b/c", "b/c", "ab", "b", "a", "B"}));
  list.Sort(3, 6, CTextList::CompareTextNoCase);  // a part of the list only
  EXPECT_STREQ(list.Text(3), "a");
  EXPECT_EQ(CTextList::CompareTextNoCase(list, 4, 5), 0);  // "b" and "B", in either order
}

TEST(CTextList, SearchSortedFlags) {
  CTextList list;
  for (const char* s : {"alpha", "beta", "beta", "beta", "delta", "gamma"}) list.Insert(-1, s);
  const int first = CTextList::SEARCH_FIRST;
  const int insert = CTextList::SEARCH_INSERT;
  EXPECT_EQ(list.SearchSorted(-1, "beta", 0, -1, first), 1);
  EXPECT_EQ(list.SearchSorted(-1, "charlie"), -1);
  EXPECT_EQ(list.SearchSorted(-1, "charlie", 0, -1, insert), 4);
  EXPECT_EQ(list.SearchSorted(4, "betamax", 0, -1, first), 1);  // counted key
  EXPECT_EQ(list.SearchSorted(-1, "BETA", 0, -1, CTextList::SEARCH_NOCASE | first), 1);
  // Within a range only.
  EXPECT_EQ(list.SearchSorted(-1, "beta", 2, 4, first), 2);
  EXPECT_EQ(list.SearchSorted(-1, "alpha", 1, 4, insert), 1);
  EXPECT_EQ(CTextList().SearchSorted(-1, "x", 0, -1, insert), 0);
}

}  // namespace

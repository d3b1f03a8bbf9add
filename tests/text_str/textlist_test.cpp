// CTextList: user areas, insertion and removal, sorting, and sorted search with its flags.
#include "lib/text/textlist.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Texts(const CTextList& list) {
  std::vector<std::string> v;
  for (int i = 0; i < list.Count(); ++i) v.emplace_back(list.Text(i), static_cast<size_t>(list.TextLength(i)));
  return v;
}

TEST(CTextList, ItemsCarryUserAreaThenText) {
  CTextList list(16);
  const unsigned char rec[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(list.Insert(-1, "first", -1, rec), 0);
  EXPECT_EQ(list.Insert(-1, "second"), 1);
  EXPECT_EQ(std::memcmp(list.Item(0), rec, 16), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(list.Item(0) + 16), "first");
  const std::vector<unsigned char> zero(16, 0);
  EXPECT_EQ(std::memcmp(list.Item(1), zero.data(), 16), 0);  // no user area: zeroed
  EXPECT_EQ(list.TextLength(1), 6);
  EXPECT_EQ(list.Item(2), nullptr);
  EXPECT_EQ(list.Text(-1), nullptr);
}

TEST(CTextList, InsertPositionsAndCountedTexts) {
  CTextList list(4);
  list.Insert(-1, "b");
  EXPECT_EQ(list.Insert(0, "a"), 0);
  EXPECT_EQ(list.Insert(99, "d"), 2);  // clamped to the end
  EXPECT_EQ(list.Insert(2, "cXYZ", 1), 2);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"a", "b", "c", "d"}));
  const char bytes[] = {'n', '\0', 'l'};
  EXPECT_EQ(list.InsertBytes(3, bytes, -1, nullptr), 4);
  EXPECT_EQ(list.TextLength(4), 3);
  EXPECT_EQ(list.Text(4)[3], '\0');
  EXPECT_EQ(list.Insert(-1, nullptr), 5);
  EXPECT_STREQ(list.Text(5), "");
}

TEST(CTextList, RemoveAndUserAreaSize) {
  CTextList list(4);
  EXPECT_EQ(list.SetExtraBytes(60), 60);
  list.Insert(-1, "a");
  list.Insert(-1, "b");
  EXPECT_EQ(list.SetExtraBytes(4), -1);  // not while items exist
  EXPECT_EQ(list.ExtraBytes(), 60);
  EXPECT_EQ(list.RemoveAt(2), 0);
  EXPECT_EQ(list.RemoveAt(-1), 0);
  EXPECT_EQ(list.RemoveAt(0), 1);
  EXPECT_EQ(Texts(list), std::vector<std::string>{"b"});
  list.RemoveAll();
  EXPECT_EQ(list.Count(), 0);
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
  // A part of the list only.
  list.Sort(3, 6, CTextList::CompareTextNoCase);
  EXPECT_EQ(list.Text(0), std::string("a/b/c"));
  EXPECT_STREQ(list.Text(3), "a");
  EXPECT_EQ(CTextList::CompareTextNoCase(list, 4, 5), 0);  // "b" and "B", in either order
}

TEST(CTextList, SearchSortedFlags) {
  CTextList list;
  for (const char* s : {"alpha", "beta", "beta", "beta", "delta", "gamma"}) list.Insert(-1, s);
  const int b = list.SearchSorted(-1, "beta");
  EXPECT_GE(b, 1);
  EXPECT_LE(b, 3);
  EXPECT_EQ(list.SearchSorted(-1, "beta", 0, -1, CTextList::SEARCH_FIRST), 1);
  EXPECT_EQ(list.SearchSorted(-1, "charlie"), -1);
  EXPECT_EQ(list.SearchSorted(-1, "charlie", 0, -1, CTextList::SEARCH_INSERT), 4);
  EXPECT_EQ(list.SearchSorted(-1, "zulu", 0, -1, CTextList::SEARCH_INSERT), 6);
  EXPECT_EQ(list.SearchSorted(-1, "a", 0, -1, CTextList::SEARCH_INSERT), 0);
  EXPECT_EQ(list.SearchSorted(4, "betamax", 0, -1, CTextList::SEARCH_FIRST), 1);  // counted key
  EXPECT_EQ(list.SearchSorted(-1, "BETA"), -1);
  EXPECT_EQ(list.SearchSorted(-1, "BETA", 0, -1, CTextList::SEARCH_NOCASE | CTextList::SEARCH_FIRST), 1);
  // Within a range only.
  EXPECT_EQ(list.SearchSorted(-1, "alpha", 1, 4), -1);
  EXPECT_EQ(list.SearchSorted(-1, "beta", 2, 4, CTextList::SEARCH_FIRST), 2);
  EXPECT_EQ(list.SearchSorted(-1, "alpha", 1, 4, CTextList::SEARCH_INSERT), 1);
  CTextList empty;
  EXPECT_EQ(empty.SearchSorted(-1, "x", 0, -1, CTextList::SEARCH_INSERT), 0);
  EXPECT_EQ(empty.SearchSorted(-1, "x"), -1);
}

TEST(CTextList, InsertAtSearchPointKeepsOrder) {
  CTextList list(16);
  for (const char* s : {"src/b.c", "Src/a.c", "doc/x", "src/a.c", "a", "src/a.c"}) {
    list.Insert(list.SearchSorted(-1, s, 0, -1, CTextList::SEARCH_INSERT), s);
  }
  EXPECT_EQ(Texts(list),
            (std::vector<std::string>{"Src/a.c", "a", "doc/x", "src/a.c", "src/a.c", "src/b.c"}));
  // Case-folded order, then the first of an equal run.
  list.Sort(0, -1, CTextList::CompareTextNoCase);
  const int first = list.SearchSorted(-1, "SRC/A.C", 0, -1, CTextList::SEARCH_NOCASE | CTextList::SEARCH_FIRST);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(list.SearchSorted(-1, "SRC/A.D", 0, -1, CTextList::SEARCH_NOCASE | CTextList::SEARCH_INSERT), 5);
}

}  // namespace

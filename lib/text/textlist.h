// CTextList: counted list of texts, each item with a user area of fixed size before its text.
#pragma once

#include "platform/win_types.h"

#include <memory>
#include <vector>

class CTextList {
 public:
  using CompareFn = int (*)(const CTextList& list, int i, int j);

  explicit CTextList(int extraBytes = 0);
  ~CTextList();
  CTextList(const CTextList&) = delete;
  CTextList& operator=(const CTextList&) = delete;
  CTextList(CTextList&&) noexcept;
  CTextList& operator=(CTextList&&) noexcept;

  // Sets the user-area size while the list is empty; the size, or -1 when not empty.
  int SetExtraBytes(int size);
  // Inserts text at index (clamped to the count, -1 appends); a null user area gives a zeroed one.
  int Insert(int index, const char* text, int length = -1, const void* userArea = nullptr);
  int InsertBytes(int length, const void* bytes, int index, const void* userArea);
  // 1, or 0 when i is out of range.
  int RemoveAt(int i);
  void RemoveAll();

  // Sorts items [from, to) (to -1 = count) by compare (null: CompareText); SORT_DESCENDING
  // reverses the order. The order of equal items is not kept.
  enum : int { SORT_DESCENDING = 1 };
  void Sort(int from, int to, CompareFn compare, int flags = 0);
  // Binary search in [from, to) (to -1 = count), which must be sorted ascending by CompareText,
  // or by CompareTextNoCase when SEARCH_NOCASE is given. Returns an equal item's index (with
  // SEARCH_FIRST the first of an equal run), else with SEARCH_INSERT the index at which the text
  // would be inserted to keep the order, else -1. A length of -1 runs to the text's NUL.
  enum : int { SEARCH_NOCASE = 1, SEARCH_FIRST = 2, SEARCH_INSERT = 8 };
  int SearchSorted(int length, const char* text, int from = 0, int to = -1, int flags = 0) const;

  // Sort callbacks: shorter text first, then byte order; byte order with ASCII letters folded
  // to lower case; byte order (unsigned bytes, a text before its own extensions).
  static int CompareLengthThenText(const CTextList& list, int i, int j);
  static int CompareTextNoCase(const CTextList& list, int i, int j);
  static int CompareText(const CTextList& list, int i, int j);

  int Count() const { return static_cast<int>(m_items.size()); }
  int ExtraBytes() const { return m_extraBytes; }
  // The item's user area; its NUL-terminated text follows the user area. Null (Text too) when
  // i is out of range.
  BYTE* Item(int i) const;
  const char* Text(int i) const;
  int TextLength(int i) const;

 private:
  int m_extraBytes = 0;
  std::vector<std::unique_ptr<BYTE[]>> m_items;
  std::vector<int> m_lengths;
};

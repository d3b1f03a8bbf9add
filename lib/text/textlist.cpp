// CTextList: counted list of texts, each item a user area followed by its NUL-terminated text.
#include "lib/text/textlist.h"
#include "lib/text/strutf8.h"

#include <algorithm>
#include <cstring>
#include <numeric>

using kpw::text::AsciiLower;

namespace {

// Byte order (unsigned), a shorter text before a longer one that begins with it.
int CompareBytes(const char* a, int alen, const char* b, int blen, bool nocase) {
  const int n = std::min(alen, blen);
  for (int k = 0; k < n; ++k) {
    unsigned char x = static_cast<unsigned char>(a[k]), y = static_cast<unsigned char>(b[k]);
    if (nocase) {
      x = AsciiLower(x);
      y = AsciiLower(y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  return alen == blen ? 0 : alen < blen ? -1 : 1;
}

}  // namespace

CTextList::CTextList(int extraBytes) : m_extraBytes(extraBytes > 0 ? extraBytes : 0) {}
CTextList::~CTextList() = default;
CTextList::CTextList(CTextList&&) noexcept = default;
CTextList& CTextList::operator=(CTextList&&) noexcept = default;

int CTextList::SetExtraBytes(int size) {
  if (!m_items.empty()) return -1;
  m_extraBytes = size > 0 ? size : 0;
  return m_extraBytes;
}

int CTextList::Insert(int index, const char* text, int length, const void* userArea) {
  if (!text) length = 0;
  else if (length < 0) length = static_cast<int>(std::strlen(text));
  return InsertBytes(length, text, index, userArea);
}

int CTextList::InsertBytes(int length, const void* bytes, int index, const void* userArea) {
  if (!bytes || length < 0) length = 0;
  const size_t extra = static_cast<size_t>(m_extraBytes);
  auto item = std::make_unique<BYTE[]>(extra + static_cast<size_t>(length) + 1);  // zeroed
  if (userArea && extra) std::memcpy(item.get(), userArea, extra);
  if (length) std::memcpy(item.get() + extra, bytes, static_cast<size_t>(length));
  if (index < 0 || index > Count()) index = Count();
  m_items.insert(m_items.begin() + index, std::move(item));
  m_lengths.insert(m_lengths.begin() + index, length);
  return index;
}

int CTextList::RemoveAt(int i) {
  if (i < 0 || i >= Count()) return 0;
  m_items.erase(m_items.begin() + i);
  m_lengths.erase(m_lengths.begin() + i);
  return 1;
}

void CTextList::RemoveAll() {
  m_items.clear();
  m_lengths.clear();
}

BYTE* CTextList::Item(int i) const { return i >= 0 && i < Count() ? m_items[static_cast<size_t>(i)].get() : nullptr; }

const char* CTextList::Text(int i) const {
  BYTE* item = Item(i);
  return item ? reinterpret_cast<const char*>(item + m_extraBytes) : nullptr;
}

int CTextList::TextLength(int i) const { return i >= 0 && i < Count() ? m_lengths[static_cast<size_t>(i)] : 0; }

void CTextList::Sort(int from, int to, CompareFn compare, int flags) {
  if (to < 0 || to > Count()) to = Count();
  if (from < 0) from = 0;
  if (to - from < 2) return;
  if (!compare) compare = CompareText;
  // Sort positions while the list stands still (the callback reads items by index), then move
  // the items into their new order.
  std::vector<int> order(static_cast<size_t>(to - from));
  std::iota(order.begin(), order.end(), from);
  const bool descending = (flags & SORT_DESCENDING) != 0;
  std::sort(order.begin(), order.end(), [&](int a, int b) {
    return descending ? compare(*this, b, a) < 0 : compare(*this, a, b) < 0;
  });
  std::vector<std::unique_ptr<BYTE[]>> items(order.size());
  std::vector<int> lengths(order.size());
  for (size_t k = 0; k < order.size(); ++k) {
    items[k] = std::move(m_items[static_cast<size_t>(order[k])]);
    lengths[k] = m_lengths[static_cast<size_t>(order[k])];
  }
  std::move(items.begin(), items.end(), m_items.begin() + from);
  std::copy(lengths.begin(), lengths.end(), m_lengths.begin() + from);
}

int CTextList::SearchSorted(int length, const char* text, int from, int to, int flags) const {
  if (!text) length = 0;
  else if (length < 0) length = static_cast<int>(std::strlen(text));
  if (to < 0 || to > Count()) to = Count();
  if (from < 0) from = 0;
  if (from > to) from = to;
  const bool nocase = (flags & SEARCH_NOCASE) != 0;
  int lo = from, hi = to;  // the answer lies in [lo, hi]
  int hit = -1;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const int c = CompareBytes(Text(mid), TextLength(mid), text, length, nocase);
    if (c < 0) {
      lo = mid + 1;
    } else {
      if (c == 0) {
        hit = mid;
        if (!(flags & SEARCH_FIRST)) return mid;
      }
      hi = mid;
    }
  }
  if (hit >= 0) return hit;  // with SEARCH_FIRST the lowest equal item
  return (flags & SEARCH_INSERT) ? lo : -1;
}

int CTextList::CompareText(const CTextList& list, int i, int j) {
  return CompareBytes(list.Text(i), list.TextLength(i), list.Text(j), list.TextLength(j), false);
}

int CTextList::CompareTextNoCase(const CTextList& list, int i, int j) {
  return CompareBytes(list.Text(i), list.TextLength(i), list.Text(j), list.TextLength(j), true);
}

int CTextList::CompareLengthThenText(const CTextList& list, int i, int j) {
  const int a = list.TextLength(i), b = list.TextLength(j);
  if (a != b) return a < b ? -1 : 1;
  return CompareText(list, i, j);
}

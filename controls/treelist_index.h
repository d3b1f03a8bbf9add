// CTreeListIndex: positions of the store's items by id and the rows of the visible ones.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

// The store's lookup index over its items in order. Appending, removing the last item and hiding
// or showing an item keep it up to date in O(log n), so that loading and clearing a long list
// stay n log n; any other change of order makes the store fill it anew. Rows are counted in a
// Fenwick tree over the items' visibility.
class CTreeListIndex {
 public:
  void Clear();
  void Reserve(std::size_t n);
  // The item at position Size().
  void PushBack(std::uint32_t id, bool visible);
  // Removes the last position, which holds id.
  void PopBack(std::uint32_t id);
  void SetVisible(int pos, bool visible);

  int Size() const { return static_cast<int>(m_visible.size()); }
  int RowCount() const { return m_rows; }
  int PosOf(std::uint32_t id) const;  // -1 when absent
  int RowOfPos(int pos) const;        // -1 when hidden or out of range
  int PosOfRow(int row) const;        // -1 when there is no such row

 private:
  int VisibleBefore(int pos) const;  // visible items at positions below pos

  std::unordered_map<std::uint32_t, int> m_posOfId;
  std::vector<char> m_visible;
  std::vector<int> m_tree;  // m_tree[k - 1] counts the visible items of positions (k - lowbit(k), k]
  int m_rows = 0;
};

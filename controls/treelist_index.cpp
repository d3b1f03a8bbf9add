// CTreeListIndex: id lookup and a Fenwick tree of visible items for row numbers.
#include "controls/treelist_index.h"

namespace {

int LowBit(int k) { return k & -k; }

}  // namespace

void CTreeListIndex::Clear() {
  m_posOfId.clear();
  m_visible.clear();
  m_tree.clear();
  m_rows = 0;
}

void CTreeListIndex::Reserve(std::size_t n) {
  m_posOfId.reserve(n);
  m_visible.reserve(n);
  m_tree.reserve(n);
}

int CTreeListIndex::VisibleBefore(int pos) const {
  int sum = 0;
  for (int k = pos; k > 0; k -= LowBit(k)) sum += m_tree[static_cast<std::size_t>(k - 1)];
  return sum;
}

void CTreeListIndex::PushBack(std::uint32_t id, bool visible) {
  const int k = Size() + 1;
  // The new node covers (k - lowbit(k), k]: the positions before it in that range, and itself.
  const int node = VisibleBefore(k - 1) - VisibleBefore(k - LowBit(k)) + (visible ? 1 : 0);
  m_posOfId[id] = k - 1;
  m_visible.push_back(visible ? 1 : 0);
  m_tree.push_back(node);
  if (visible) ++m_rows;
}

void CTreeListIndex::PopBack(std::uint32_t id) {
  if (m_visible.empty()) return;
  m_posOfId.erase(id);
  if (m_visible.back()) --m_rows;
  m_visible.pop_back();
  m_tree.pop_back();  // no other node covers the last position
}

void CTreeListIndex::SetVisible(int pos, bool visible) {
  if (pos < 0 || pos >= Size() || (m_visible[static_cast<std::size_t>(pos)] != 0) == visible) return;
  m_visible[static_cast<std::size_t>(pos)] = visible ? 1 : 0;
  const int delta = visible ? 1 : -1;
  m_rows += delta;
  for (int k = pos + 1; k <= Size(); k += LowBit(k)) m_tree[static_cast<std::size_t>(k - 1)] += delta;
}

int CTreeListIndex::PosOf(std::uint32_t id) const {
  const auto it = m_posOfId.find(id);
  return it == m_posOfId.end() ? -1 : it->second;
}

int CTreeListIndex::RowOfPos(int pos) const {
  if (pos < 0 || pos >= Size() || !m_visible[static_cast<std::size_t>(pos)]) return -1;
  return VisibleBefore(pos);
}

int CTreeListIndex::PosOfRow(int row) const {
  if (row < 0 || row >= m_rows) return -1;
  // The largest k whose prefix holds at most row visible items; position k is the row's item.
  int k = 0;
  int step = 1;
  while (step * 2 <= Size()) step *= 2;
  for (int left = row; step > 0; step /= 2) {
    if (k + step <= Size() && m_tree[static_cast<std::size_t>(k + step - 1)] <= left) {
      k += step;
      left -= m_tree[static_cast<std::size_t>(k - 1)];
    }
  }
  return k;
}

// CTreeListStore: item state, hiding, selection and focus, moving and sorting.
#include "controls/treelist_store.h"

#include <algorithm>

using Lock = std::lock_guard<std::mutex>;

// ---- helpers (lock held)

void CTreeListStore::SetFocusLocked(HTREEITEM item, int column) {
  if (item == m_focus && column == m_focusColumn) return;
  const int oldPos = PosOf(m_focus);
  m_focus = item;
  m_focusColumn = column;
  // The focus bit is part of the reported state of both rows.
  if (oldPos >= 0) Changed(oldPos, -1);
  const int newPos = PosOf(item);
  if (newPos >= 0 && newPos != oldPos) Changed(newPos, -1);
  for (ITreeListObserver* o : m_observers) o->OnFocusChanged(item, column);
}

bool CTreeListStore::ApplyState(int pos, UINT state, UINT mask) {
  Item& it = m_items[pos];
  const HTREEITEM id = it.id;
  const UINT m = mask & ~TVIS_FOCUSED;
  UINT next = (it.state & ~m) | (state & m);
  if (next & TLIS_HIDDEN) next &= ~TVIS_SELECTED;
  if (next == it.state) return false;
  const bool wasHidden = it.state & TLIS_HIDDEN;
  const bool nowHidden = next & TLIS_HIDDEN;
  const bool newlySelected = (next & TVIS_SELECTED) && !(it.state & TVIS_SELECTED);
  const int oldRow = RowOfPos(pos);
  it.state = next;
  if (wasHidden != nowHidden) {
    if (m_cacheValid) m_index.SetVisible(pos, !nowHidden);
    Bump();
    if (nowHidden) {
      EmitRemoved(oldRow, id);
      if (m_focus == id) SetFocusLocked(TLI_NULL, m_focusColumn);
    } else {
      EmitInserted(RowOfPos(pos), id);
    }
  } else {
    Changed(pos, -1);
  }
  if (newlySelected) KeepOneSelected(pos);
  return true;
}

void CTreeListStore::KeepOneSelected(int preferPos) {
  if (m_settings[TLSETTING_OPTIONS] & TLO_MULTISELECT) return;
  const int n = static_cast<int>(m_items.size());
  // Keep the preferred item when it is selected, else the first selected one.
  int keep = (preferPos >= 0 && preferPos < n && (m_items[preferPos].state & TVIS_SELECTED))
                 ? preferPos
                 : -1;
  for (int pos = 0; pos < n; ++pos) {
    if (!(m_items[pos].state & TVIS_SELECTED)) continue;
    if (keep < 0) keep = pos;
    if (pos == keep) continue;
    m_items[pos].state &= ~TVIS_SELECTED;
    Changed(pos, -1);
  }
}

bool CTreeListStore::MoveTo(int from, int to) {
  const int n = static_cast<int>(m_items.size());
  to = std::clamp(to, 0, n);
  if (to == from || to == from + 1) return false;
  const HTREEITEM id = m_items[from].id;
  const int oldRow = RowOfPos(from);
  Item tmp = std::move(m_items[from]);
  m_items.erase(m_items.begin() + from);
  const int dest = to > from ? to - 1 : to;
  m_items.insert(m_items.begin() + dest, std::move(tmp));
  Invalidate();
  Bump();
  if (oldRow >= 0) {
    // A move is a removal and an insertion for anyone who mirrors the rows.
    EmitRemoved(oldRow, id);
    Bump();
    EmitInserted(RowOfPos(dest), id);
  }
  return true;
}

// ---- state and selection

UINT CTreeListStore::GetItemState(HTREEITEM item, UINT mask) const {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0) return 0;
  return (m_items[pos].state | (item == m_focus ? TVIS_FOCUSED : 0u)) & mask;
}

bool CTreeListStore::SetItemState(HTREEITEM item, UINT state, UINT mask) {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0) return false;
  ApplyState(pos, state, mask);
  return true;
}

int CTreeListStore::SetItemsState(HTREEITEM item, UINT state, UINT mask) {
  Lock lock(m_mutex);
  if (item != TVI_ROOT && item != TLI_NULL) return 0;  // items have no children
  int changed = 0;
  for (int pos = 0; pos < static_cast<int>(m_items.size()); ++pos)
    if (ApplyState(pos, state, mask)) ++changed;
  return changed;
}

bool CTreeListStore::SelectFocus(HTREEITEM item) {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0 || (m_items[pos].state & TLIS_HIDDEN)) return false;
  for (int p = 0; p < static_cast<int>(m_items.size()); ++p)
    if (p != pos && (m_items[p].state & TVIS_SELECTED)) {
      m_items[p].state &= ~TVIS_SELECTED;
      Changed(p, -1);
    }
  ApplyState(pos, TVIS_SELECTED, TVIS_SELECTED);
  SetFocusLocked(item, m_focusColumn);
  return true;
}

bool CTreeListStore::SelectSubItem(int column, HTREEITEM item) {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0 || (m_items[pos].state & TLIS_HIDDEN) || !ValidColumn(column)) return false;
  ApplyState(pos, TVIS_SELECTED, TVIS_SELECTED);
  SetFocusLocked(item, column);
  return true;
}

// ---- moving and sorting

bool CTreeListStore::MoveItemAfter(HTREEITEM item, HTREEITEM insertAfter) {
  Lock lock(m_mutex);
  const int from = PosOf(item);
  if (from < 0 || item == insertAfter) return false;
  int to;
  if (insertAfter == TVI_FIRST) {
    to = 0;
  } else if (insertAfter == TVI_LAST) {
    to = static_cast<int>(m_items.size());
  } else {
    const int after = PosOf(insertAfter);
    if (after < 0) return false;
    to = after + 1;
  }
  MoveTo(from, to);
  return true;
}

bool CTreeListStore::MoveItemBefore(HTREEITEM item, HTREEITEM before) {
  Lock lock(m_mutex);
  const int from = PosOf(item);
  if (from < 0 || item == before) return false;
  int to;
  if (before == TVI_FIRST) {
    to = 0;
  } else if (before == TVI_LAST) {
    to = static_cast<int>(m_items.size());
  } else {
    to = PosOf(before);
    if (to < 0) return false;
  }
  MoveTo(from, to);
  return true;
}

bool CTreeListStore::SortChildrenEx(HTREEITEM parent, SortCompare compare, void* data,
                                    int column) {
  Lock lock(m_mutex);
  if ((parent != TVI_ROOT && parent != TLI_NULL) || !compare || !ValidColumn(column)) return false;
  auto textOf = [&](const Item& it) {
    const Cell* c = CellAt(it, column);
    return c ? c->text.c_str() : "";
  };
  std::stable_sort(m_items.begin() + FixedCount(), m_items.end(),
                   [&](const Item& a, const Item& b) {
                     return compare(a.id, b.id, textOf(a), textOf(b), column, data) < 0;
                   });
  Invalidate();
  Bump();
  EmitLayout();
  return true;
}

// CTreeListStore: requests to the widget and the user's actions passed on to the owner.
#include "controls/treelist_store.h"

using Lock = std::lock_guard<std::mutex>;

bool CTreeListStore::EnsureVisible(HTREEITEM item, int column) {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0 || (m_items[pos].state & TLIS_HIDDEN)) return false;
  if (column != -1 && !ValidColumn(column)) return false;
  for (ITreeListObserver* o : m_observers) o->OnEnsureVisible(item, column);
  return true;
}

bool CTreeListStore::EditLabel(HTREEITEM item, int column) {
  const DWORD editor = StartEdit(item, column, 0);
  return editor == TLSE_TEXTEDIT || editor == TLSE_CHOICELIST;
}

DWORD CTreeListStore::StartEdit(HTREEITEM item, int column, UINT key, std::string* choices) {
  std::unique_lock<std::mutex> lock(m_mutex);
  auto editable = [&] {
    const int pos = PosOf(item);
    return pos >= 0 && !(m_items[pos].state & TLIS_HIDDEN) && ValidColumn(column);
  };
  if (!editable()) return TLSE_NONE;
  const UINT flags = column < static_cast<int>(m_columns.size()) ? m_columns[column].flags : 0;
  DWORD answer = TLSE_NONE;
  std::string text;
  if (flags & TLCF_ASKOWNER) {
    answer = TLSE_TEXTEDIT;
    if (ITreeListOwner* owner = m_owner) {
      const Cell* c = CellAt(m_items[PosOf(item)], column);
      TLNSTARTEDIT rec{item, column, key, c ? c->text : std::string()};
      // The owner may read and change the list (a toggled cell, say): call it unlocked.
      lock.unlock();
      answer = owner->OnStartEdit(rec);
      lock.lock();
      text = std::move(rec.text);
      if (!editable()) return TLSE_NONE;  // the owner deleted or hid the item
    }
  } else if (flags & TLCF_EDITABLE) {
    answer = TLSE_TEXTEDIT;
  }
  if (answer == TLSE_TEXTEDIT || answer == TLSE_CHOICELIST) {
    if (answer == TLSE_TEXTEDIT) text.clear();
    for (ITreeListObserver* o : m_observers) o->OnEditRequest(item, column, answer, text);
    if (choices) *choices = text;
  }
  return answer;
}

int CTreeListStore::EndEdit(HTREEITEM item, int column, std::optional<std::string> newText) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (PosOf(item) < 0 || !ValidColumn(column)) return -1;
  ITreeListOwner* owner = m_owner;
  lock.unlock();
  TLNENDEDIT rec{TVIF_TEXT | TLIF_SUBITEM | (newText ? TLIF_NEWTEXT : 0u), item, column,
                 newText ? std::move(*newText) : std::string()};
  const int answer = owner ? owner->OnEndLabelEdit(rec) : (rec.mask & TLIF_NEWTEXT ? 0 : 1);
  if (answer != 0 || !(rec.mask & TLIF_NEWTEXT)) return answer;
  lock.lock();
  const int pos = PosOf(item);  // the owner may have deleted it meanwhile
  if (pos >= 0 && ValidColumn(column)) {
    Cell& c = CellRef(m_items[pos], column);
    if (c.text != rec.text) {
      c.text = std::move(rec.text);
      Changed(pos, column);
    }
  }
  return answer;
}

bool CTreeListStore::EndDrag(HTREEITEM dragged, HTREEITEM target) {
  std::unique_lock<std::mutex> lock(m_mutex);
  bool dropped = false;
  if ((m_settings[TLSETTING_OPTIONS] & TLO_DRAGROWS) && target != TLI_NULL && dragged != target) {
    const int from = PosOf(dragged);
    const int at = PosOf(target);
    const int fixed = FixedCount();
    if (from >= 0 && at >= 0 && !(m_items[from].state & TLIS_HIDDEN) &&
        !(m_items[at].state & TLIS_HIDDEN)) {
      if (from < fixed) {
        dropped = true;  // a fixed row stays; the owner decides what its drop means
      } else {
        // The dragged row takes the target's row; the fixed rows stay on top.
        int to = from < at ? at + 1 : at;
        if (to < fixed) to = fixed;
        dropped = MoveTo(from, to);
      }
    }
  }
  ITreeListOwner* owner = m_owner;
  lock.unlock();
  if (owner) owner->OnEndDrag(TLNENDDRAG{dropped ? TLDRAG_DROPPED : 0, dragged, target});
  return dropped;
}

void CTreeListStore::KeyDown(UINT vkey, UINT flags) {
  std::unique_lock<std::mutex> lock(m_mutex);
  const TLNKEYDOWN rec{vkey, flags, m_focus, m_focusColumn};
  ITreeListOwner* owner = m_owner;
  lock.unlock();
  if (owner) owner->OnKeyDown(rec);
}

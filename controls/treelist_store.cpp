// CTreeListStore: lookup caches, columns, settings, inserting, deleting, rows and cells.
#include "controls/treelist_store.h"
#include "lib/text/enc.h"

#include <algorithm>

using Lock = std::lock_guard<std::mutex>;

CTreeListStore::CTreeListStore() = default;
CTreeListStore::~CTreeListStore() = default;

// ---- lookup (lock held)

void CTreeListStore::Invalidate() const { m_cacheValid = false; }

void CTreeListStore::Rebuild() const {
  m_index.Clear();
  m_index.Reserve(m_items.size());
  for (const Item& it : m_items) m_index.PushBack(ItemToU32(it.id), !(it.state & TLIS_HIDDEN));
  m_cacheValid = true;
}

int CTreeListStore::PosOf(HTREEITEM item) const {
  if (!m_cacheValid) Rebuild();
  return m_index.PosOf(ItemToU32(item));
}

int CTreeListStore::RowOfPos(int pos) const {
  if (!m_cacheValid) Rebuild();
  return m_index.RowOfPos(pos);
}

int CTreeListStore::PosOfRow(int row) const {
  if (!m_cacheValid) Rebuild();
  return m_index.PosOfRow(row);
}

int CTreeListStore::RowCount() const {
  if (!m_cacheValid) Rebuild();
  return m_index.RowCount();
}

bool CTreeListStore::ValidColumn(int column) const {
  return column >= 0 && column < std::max<int>(1, static_cast<int>(m_columns.size()));
}

bool CTreeListStore::HasColumn(int column) const {
  return column >= 0 && column < static_cast<int>(m_columns.size());
}

void CTreeListStore::ColumnsChanged() {
  Bump();
  for (ITreeListObserver* o : m_observers) o->OnColumnsChanged(m_revision);
}

HTREEITEM CTreeListStore::NewId() {
  // Ids go round 1 .. 2^24 - 1 so that they fit the 24 bits callers may pack them into.
  for (;;) {
    const HTREEITEM id = U32ToItem(m_nextId);
    if (++m_nextId >= TLI_ID_LIMIT) m_nextId = 1;
    if (PosOf(id) < 0) return id;
  }
}

void CTreeListStore::SetNextId(std::uint32_t id) {
  Lock lock(m_mutex);
  m_nextId = id >= 1 && id < TLI_ID_LIMIT ? id : 1;
}

const CTreeListStore::Cell* CTreeListStore::CellAt(const Item& it, int column) const {
  return column >= 0 && column < static_cast<int>(it.cells.size()) ? &it.cells[column] : nullptr;
}

CTreeListStore::Cell& CTreeListStore::CellRef(Item& it, int column) {
  if (static_cast<int>(it.cells.size()) <= column) it.cells.resize(column + 1);
  return it.cells[column];
}

int CTreeListStore::FixedCount() const {
  return static_cast<int>(std::min<std::size_t>(m_settings[TLSETTING_FIXEDROWS], m_items.size()));
}

// ---- events (lock held)

void CTreeListStore::Changed(int pos, int column) {
  Bump();
  const int row = RowOfPos(pos);
  if (row < 0) return;
  for (ITreeListObserver* o : m_observers) o->OnRowsChanged(m_revision, row, row, column);
}

void CTreeListStore::EmitInserted(int row, HTREEITEM id) {
  const std::vector<HTREEITEM> items{id};
  for (ITreeListObserver* o : m_observers) o->OnRowsInserted(m_revision, row, items);
}

void CTreeListStore::EmitRemoved(int row, HTREEITEM id) {
  const std::vector<HTREEITEM> items{id};
  for (ITreeListObserver* o : m_observers) o->OnRowsRemoved(m_revision, row, items);
}

void CTreeListStore::EmitLayout() {
  for (ITreeListObserver* o : m_observers) o->OnLayoutChanged(m_revision);
}

// ---- owner, observers, revision

void CTreeListStore::SetOwner(ITreeListOwner* owner) {
  Lock lock(m_mutex);
  m_owner = owner;
}

void CTreeListStore::AddObserver(ITreeListObserver* observer) {
  Lock lock(m_mutex);
  if (observer && std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
    m_observers.push_back(observer);
}

void CTreeListStore::RemoveObserver(ITreeListObserver* observer) {
  Lock lock(m_mutex);
  std::erase(m_observers, observer);
}

std::uint64_t CTreeListStore::GetRevision() const {
  Lock lock(m_mutex);
  return m_revision;
}

// ---- columns

int CTreeListStore::InsertColumn(int index, std::string_view title, int format, int width,
                                 UINT flags) {
  Lock lock(m_mutex);
  const int count = static_cast<int>(m_columns.size());
  if (index < 0 || index > count) index = count;
  m_columns.insert(m_columns.begin() + index, TLCOLUMN{std::string(title), format, width, flags});
  // Appending never moves cells, so the item text kept before the first column stays column 0.
  if (index < count)
    for (Item& it : m_items)
      if (static_cast<int>(it.cells.size()) > index) it.cells.insert(it.cells.begin() + index, Cell{});
  ColumnsChanged();
  return index;
}

int CTreeListStore::GetColumnCount() const {
  Lock lock(m_mutex);
  return static_cast<int>(m_columns.size());
}

std::optional<TLCOLUMN> CTreeListStore::GetColumn(int column) const {
  Lock lock(m_mutex);
  if (!HasColumn(column)) return std::nullopt;
  return m_columns[column];
}

bool CTreeListStore::SetColumnWidth(int column, int width) {
  Lock lock(m_mutex);
  if (!HasColumn(column)) return false;
  m_columns[column].width = width;
  ColumnsChanged();
  return true;
}

bool CTreeListStore::SetColumnFlags(int column, UINT flags) {
  Lock lock(m_mutex);
  if (!HasColumn(column)) return false;
  m_columns[column].flags = flags;
  ColumnsChanged();
  return true;
}

UINT CTreeListStore::GetColumnFlags(int column) const {
  Lock lock(m_mutex);
  if (!HasColumn(column)) return 0;
  return m_columns[column].flags;
}

// ---- settings

DWORD CTreeListStore::SetSetting(int index, DWORD value) {
  Lock lock(m_mutex);
  if (index < 0 || index >= TLSETTING_COUNT) return 0;
  const DWORD old = m_settings[index];
  if (old == value) return old;
  m_settings[index] = value;
  if (index == TLSETTING_OPTIONS && !(value & TLO_MULTISELECT)) KeepOneSelected(PosOf(m_focus));
  for (ITreeListObserver* o : m_observers) o->OnSettingChanged(index, value);
  return old;
}

DWORD CTreeListStore::GetSetting(int index) const {
  Lock lock(m_mutex);
  return index >= 0 && index < TLSETTING_COUNT ? m_settings[index] : 0;
}

DWORD CTreeListStore::Setting(DWORD packedIndex, DWORD value) {
  const int index = static_cast<int>(packedIndex & ~TLSETTING_SET);
  return (packedIndex & TLSETTING_SET) ? SetSetting(index, value) : GetSetting(index);
}

DWORD CTreeListStore::SetExtendedStyle(DWORD style) {
  Lock lock(m_mutex);
  const DWORD old = m_exStyle;
  m_exStyle = style;
  if (old != style)
    for (ITreeListObserver* o : m_observers) o->OnSettingChanged(-1, style);
  return old;
}

DWORD CTreeListStore::GetExtendedStyle() const {
  Lock lock(m_mutex);
  return m_exStyle;
}

// ---- inserting and deleting

int CTreeListStore::InsertAt(int pos, Item&& item) {
  const HTREEITEM id = item.id;
  const bool hidden = item.state & TLIS_HIDDEN;
  const bool atEnd = pos == static_cast<int>(m_items.size());
  m_items.insert(m_items.begin() + pos, std::move(item));
  if (atEnd && m_cacheValid) {
    m_index.PushBack(ItemToU32(id), !hidden);
  } else {
    Invalidate();
  }
  Bump();
  if (hidden) return -1;
  const int row = RowOfPos(pos);
  EmitInserted(row, id);
  return row;
}

void CTreeListStore::EraseAt(int pos) {
  const HTREEITEM id = m_items[pos].id;
  const int row = RowOfPos(pos);
  if (m_focus == id) SetFocusLocked(TLI_NULL, m_focusColumn);
  const bool atEnd = pos + 1 == static_cast<int>(m_items.size());
  m_items.erase(m_items.begin() + pos);
  if (atEnd && m_cacheValid) {
    m_index.PopBack(ItemToU32(id));
  } else {
    Invalidate();
  }
  Bump();
  if (row >= 0) EmitRemoved(row, id);
}

int CTreeListStore::InsertRow(int row, std::string_view text, int image, int selectedImage,
                              UINT mask) {
  Lock lock(m_mutex);
  const int pos = (row < 0 || row >= RowCount()) ? static_cast<int>(m_items.size()) : PosOfRow(row);
  Item it;
  it.id = NewId();
  it.cells.resize(1);
  if (mask & TVIF_TEXT) it.cells[0].text = text;
  if (mask & TVIF_IMAGE) it.cells[0].image = image;
  if (mask & TVIF_SELECTEDIMAGE) it.selectedImage = selectedImage;
  return InsertAt(pos, std::move(it));
}

HTREEITEM CTreeListStore::InsertItem(UINT mask, std::string_view text, int image,
                                     int selectedImage, UINT state, UINT stateMask, LPARAM lParam,
                                     HTREEITEM parent, HTREEITEM insertAfter) {
  Lock lock(m_mutex);
  if (parent != TVI_ROOT && parent != TLI_NULL) return TLI_NULL;
  const int n = static_cast<int>(m_items.size());
  int pos;
  if (insertAfter == TVI_FIRST) {
    pos = 0;
  } else if (insertAfter == TVI_LAST || insertAfter == TLI_NULL) {
    pos = n;
  } else if (insertAfter == TVI_SORT) {
    const std::string key = (mask & TVIF_TEXT) ? std::string(text) : std::string();
    pos = 0;
    while (pos < n) {
      const Cell* c = CellAt(m_items[pos], 0);
      if ((c ? c->text : std::string()) > key) break;
      ++pos;
    }
  } else {
    const int after = PosOf(insertAfter);
    if (after < 0) return TLI_NULL;
    pos = after + 1;
  }
  Item it;
  it.id = NewId();
  it.cells.resize(1);
  if (mask & TVIF_TEXT) it.cells[0].text = text;
  if (mask & TVIF_IMAGE) it.cells[0].image = image;
  if (mask & TVIF_SELECTEDIMAGE) it.selectedImage = selectedImage;
  if (mask & TVIF_PARAM) it.lParam = lParam;
  if (mask & TVIF_STATE) {
    it.state = state & stateMask & ~TVIS_FOCUSED;
    if (it.state & TLIS_HIDDEN) it.state &= ~TVIS_SELECTED;
  }
  const HTREEITEM id = it.id;
  const bool selected = it.state & TVIS_SELECTED;
  InsertAt(pos, std::move(it));
  if (selected) KeepOneSelected(pos);
  return id;
}

HTREEITEM CTreeListStore::InsertItem(std::string_view text, HTREEITEM insertAfter) {
  return InsertItem(TVIF_TEXT, text, -1, -1, 0, 0, 0, TVI_ROOT, insertAfter);
}

bool CTreeListStore::DeleteItem(HTREEITEM item) {
  if (item == TVI_ROOT) {
    DeleteAllItems();
    return true;
  }
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0) return false;
  EraseAt(pos);
  return true;
}

void CTreeListStore::DeleteAllItems() {
  Lock lock(m_mutex);
  if (m_focus != TLI_NULL) SetFocusLocked(TLI_NULL, m_focusColumn);
  m_items.clear();
  Invalidate();
  Bump();
  EmitLayout();
}

// ---- rows and items

HTREEITEM CTreeListStore::GetItemOfRow(int row) const {
  Lock lock(m_mutex);
  const int pos = PosOfRow(row);
  return pos < 0 ? TLI_NULL : m_items[pos].id;
}

int CTreeListStore::GetRowOfItem(HTREEITEM item) const {
  Lock lock(m_mutex);
  return RowOfPos(PosOf(item));
}

int CTreeListStore::GetRowCount() const {
  Lock lock(m_mutex);
  return RowCount();
}

int CTreeListStore::GetCount() const {
  Lock lock(m_mutex);
  return static_cast<int>(m_items.size());
}

bool CTreeListStore::IsItem(HTREEITEM item) const {
  Lock lock(m_mutex);
  return PosOf(item) >= 0;
}

HTREEITEM CTreeListStore::GetItemAt(int index) const {
  Lock lock(m_mutex);
  return index >= 0 && index < static_cast<int>(m_items.size()) ? m_items[index].id : TLI_NULL;
}

std::vector<HTREEITEM> CTreeListStore::GetRowItems(std::uint64_t* revision) const {
  Lock lock(m_mutex);
  std::vector<HTREEITEM> out;
  const int rows = RowCount();
  out.reserve(rows);
  for (const Item& it : m_items)
    if (!(it.state & TLIS_HIDDEN)) out.push_back(it.id);
  if (revision) *revision = m_revision;
  return out;
}

std::vector<HTREEITEM> CTreeListStore::GetAllItems() const {
  Lock lock(m_mutex);
  std::vector<HTREEITEM> out;
  out.reserve(m_items.size());
  for (const Item& it : m_items) out.push_back(it.id);
  return out;
}

// ---- navigation

HTREEITEM CTreeListStore::GetNextItem(HTREEITEM item, UINT code) const {
  Lock lock(m_mutex);
  const int n = static_cast<int>(m_items.size());
  auto idAt = [&](int pos) { return pos >= 0 && pos < n ? m_items[pos].id : TLI_NULL; };
  const bool fromRoot = item == TVI_ROOT || item == TLI_NULL;
  switch (code) {
    case TVGN_ROOT:
      return idAt(0);
    case TVGN_NEXT:
    case TVGN_PREVIOUS: {
      const int pos = PosOf(item);
      if (pos < 0) return TLI_NULL;
      return idAt(code == TVGN_NEXT ? pos + 1 : pos - 1);
    }
    case TVGN_PARENT:
      return TLI_NULL;
    case TVGN_CHILD:
      return fromRoot ? idAt(0) : TLI_NULL;
    case TVGN_FIRSTVISIBLE:
      return idAt(PosOfRow(0));
    case TVGN_NEXTVISIBLE:
    case TVGN_PREVIOUSVISIBLE: {
      const int row = RowOfPos(PosOf(item));
      if (row < 0) return TLI_NULL;
      return idAt(PosOfRow(code == TVGN_NEXTVISIBLE ? row + 1 : row - 1));
    }
    case TVGN_LASTVISIBLE:
      return idAt(PosOfRow(RowCount() - 1));
    case TVGN_CARET:
    case TLGN_FOCUS:
      return m_focus;
    case TLGN_NEXTSELECTED: {
      int pos = 0;
      if (!fromRoot) {
        pos = PosOf(item);
        if (pos < 0) return TLI_NULL;
        ++pos;
      }
      for (; pos < n; ++pos)
        if (m_items[pos].state & TVIS_SELECTED) return m_items[pos].id;
      return TLI_NULL;
    }
    default:
      return TLI_NULL;
  }
}

int CTreeListStore::GetFocusedColumn() const {
  Lock lock(m_mutex);
  return m_focusColumn;
}

// ---- cells

std::optional<std::string> CTreeListStore::TextAt(int pos, int column) const {
  if (pos < 0 || !ValidColumn(column)) return std::nullopt;
  const Cell* c = CellAt(m_items[pos], column);
  return c ? c->text : std::string();
}

bool CTreeListStore::SetTextAt(int pos, std::string_view text, int column) {
  if (pos < 0 || !ValidColumn(column)) return false;
  Cell& c = CellRef(m_items[pos], column);
  if (c.text == text) return true;
  c.text = text;
  Changed(pos, column);
  return true;
}

std::string CTreeListStore::GetItemText(HTREEITEM item, int column) const {
  Lock lock(m_mutex);
  return TextAt(PosOf(item), column).value_or(std::string());
}

std::vector<std::string> CTreeListStore::GetItemTexts(HTREEITEM item) const {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0) return {};
  const int columns = std::max<int>(1, static_cast<int>(m_columns.size()));
  std::vector<std::string> out(columns);
  for (int c = 0; c < columns; ++c)
    if (const Cell* cell = CellAt(m_items[pos], c)) out[c] = cell->text;
  return out;
}

bool CTreeListStore::SetItemText(HTREEITEM item, std::string_view text, int column) {
  Lock lock(m_mutex);
  return SetTextAt(PosOf(item), text, column);
}

int CTreeListStore::GetCellText(int row, char* buffer, int size, int column) const {
  if (!buffer || size < 1) return -1;
  Lock lock(m_mutex);
  const int pos = PosOfRow(row);
  if (pos < 0 || !ValidColumn(column)) return -1;
  const Cell* c = CellAt(m_items[pos], column);
  const std::string_view text = c ? std::string_view(c->text) : std::string_view();
  const std::size_t n = EncUtf8FitBytes(text, static_cast<std::size_t>(size - 1));
  std::copy_n(text.data(), n, buffer);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

std::optional<std::string> CTreeListStore::GetCellText(int row, int column) const {
  Lock lock(m_mutex);
  return TextAt(PosOfRow(row), column);
}

bool CTreeListStore::SetCellText(int row, std::string_view text, int column) {
  Lock lock(m_mutex);
  return SetTextAt(PosOfRow(row), text, column);
}

int CTreeListStore::GetItemImage(HTREEITEM item, int column) const {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0 || !ValidColumn(column)) return -1;
  const Cell* c = CellAt(m_items[pos], column);
  return c ? c->image : -1;
}

int CTreeListStore::GetItemSelectedImage(HTREEITEM item) const {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  return pos < 0 ? -1 : m_items[pos].selectedImage;
}

bool CTreeListStore::SetItemImage(HTREEITEM item, int image, int selectedImage) {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0) return false;
  CellRef(m_items[pos], 0).image = image;
  m_items[pos].selectedImage = selectedImage;
  Changed(pos, 0);
  return true;
}

bool CTreeListStore::SetCellImage(HTREEITEM item, int column, int image) {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0 || !ValidColumn(column)) return false;
  CellRef(m_items[pos], column).image = image;
  Changed(pos, column);
  return true;
}

LPARAM CTreeListStore::GetItemData(HTREEITEM item) const {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  return pos < 0 ? 0 : m_items[pos].lParam;
}

bool CTreeListStore::SetItemData(HTREEITEM item, LPARAM data) {
  Lock lock(m_mutex);
  const int pos = PosOf(item);
  if (pos < 0) return false;
  m_items[pos].lParam = data;
  Changed(pos, -1);
  return true;
}

bool CTreeListStore::GetItem(TLITEM& rec) const {
  Lock lock(m_mutex);
  const int pos = PosOf(rec.hItem);
  const int column = (rec.mask & TLIF_SUBITEM) ? rec.column : 0;
  if (pos < 0 || !ValidColumn(column)) return false;
  const Item& it = m_items[pos];
  const Cell* c = CellAt(it, column);
  if (rec.mask & TVIF_TEXT) rec.text = c ? c->text : std::string();
  if (rec.mask & TVIF_IMAGE) rec.image = c ? c->image : -1;
  if (rec.mask & TVIF_SELECTEDIMAGE) rec.selectedImage = it.selectedImage;
  if (rec.mask & TVIF_PARAM) rec.lParam = it.lParam;
  if (rec.mask & TVIF_STATE)
    rec.state = (it.state | (it.id == m_focus ? TVIS_FOCUSED : 0u)) & rec.stateMask;
  return true;
}

bool CTreeListStore::SetItem(const TLITEM& rec) {
  Lock lock(m_mutex);
  const int pos = PosOf(rec.hItem);
  const int column = (rec.mask & TLIF_SUBITEM) ? rec.column : 0;
  if (pos < 0 || !ValidColumn(column)) return false;
  Item& it = m_items[pos];
  if (rec.mask & (TVIF_TEXT | TVIF_IMAGE)) {
    Cell& c = CellRef(it, column);
    if (rec.mask & TVIF_TEXT) c.text = rec.text;
    if (rec.mask & TVIF_IMAGE) c.image = rec.image;
    Changed(pos, column);
  }
  if (rec.mask & (TVIF_SELECTEDIMAGE | TVIF_PARAM)) {
    if (rec.mask & TVIF_SELECTEDIMAGE) it.selectedImage = rec.selectedImage;
    if (rec.mask & TVIF_PARAM) it.lParam = rec.lParam;
    Changed(pos, -1);
  }
  if (rec.mask & TVIF_STATE) ApplyState(pos, rec.state, rec.stateMask);
  return true;
}

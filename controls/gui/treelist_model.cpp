// CTreeListModel: mirrors the store's rows by item id and applies its queued changes.
#include "controls/gui/treelist_model.h"

#include "controls/gui/treelist_icons.h"

#include <QApplication>
#include <QBrush>
#include <QPalette>

#include <algorithm>

// Runs under the store's lock on the changing thread: it only queues.
class CTreeListModel::Observer : public ITreeListObserver {
 public:
  explicit Observer(CTreeListModel& m) : m_model(m) {}
  void OnRowsInserted(std::uint64_t rev, int first, const std::vector<HTREEITEM>& items) override {
    m_model.Queue({Event::Inserted, rev, first, first + static_cast<int>(items.size()) - 1, items});
  }
  void OnRowsRemoved(std::uint64_t rev, int first, const std::vector<HTREEITEM>& items) override {
    m_model.Queue({Event::Removed, rev, first, first + static_cast<int>(items.size()) - 1, items});
  }
  void OnRowsChanged(std::uint64_t rev, int first, int last, int column) override {
    Event e{Event::Changed, rev, first, last, {}};
    e.request.column = column;
    m_model.Queue(std::move(e));
  }
  void OnLayoutChanged(std::uint64_t rev) override { m_model.Queue({Event::Layout, rev}); }
  void OnColumnsChanged(std::uint64_t) override { Other({Request::Columns}); }
  void OnFocusChanged(HTREEITEM item, int column) override { Other({Request::Focus, item, column}); }
  void OnSettingChanged(int index, DWORD value) override {
    Other({Request::Setting, TLI_NULL, index, value});
  }
  void OnEnsureVisible(HTREEITEM item, int column) override { Other({Request::EnsureVisible, item, column}); }
  void OnEditRequest(HTREEITEM item, int column, DWORD editor, const std::string& choices) override {
    Other({Request::Edit, item, column, editor, choices});
  }

 private:
  void Other(Request&& r) {
    Event e{Event::Other};
    e.request = std::move(r);
    m_model.Queue(std::move(e));
  }
  CTreeListModel& m_model;
};

CTreeListModel::CTreeListModel(CTreeListStore& store, QObject* parent)
    : QAbstractItemModel(parent), m_store(store), m_observer(std::make_unique<Observer>(*this)) {
  m_store.AddObserver(m_observer.get());
  // Whatever was queued before this read is in it.
  m_rows = m_store.GetRowItems(&m_skipUpTo);
  m_columns = std::max(1, m_store.GetColumnCount());
}

CTreeListModel::~CTreeListModel() {
  // After this returns no observer call is running or will come; a posted flush dies with us.
  m_store.RemoveObserver(m_observer.get());
}

void CTreeListModel::Queue(Event&& e) {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  m_queue.push_back(std::move(e));
  if (m_posted) return;
  m_posted = true;
  // Posting an event is the one thing another thread may do with this object.
  QMetaObject::invokeMethod(
      this, [this] { Flush(); }, Qt::QueuedConnection);
}

void CTreeListModel::Flush() {
  // A flush started by what a flush does (an editor closing, say) leaves the queue to the running
  // one, so the events stay in order.
  if (m_flushing) return;
  m_flushing = true;
  for (;;) {
    std::vector<Event> events;
    {
      std::lock_guard<std::mutex> lock(m_queueMutex);
      events.swap(m_queue);
      m_posted = false;
    }
    if (events.empty()) break;
    Apply(events);
  }
  m_flushing = false;
}

void CTreeListModel::Apply(std::vector<Event>& events) {
  bool rowsChanged = false;
  for (Event& e : events) {
    if (e.kind == Event::Other) {
      if (e.request.kind == Request::Columns) SyncColumns();
      if (e.request.kind == Request::Focus) rowsChanged = true;
      if (m_onRequest) m_onRequest(e.request);
      continue;
    }
    if (e.revision <= m_skipUpTo) continue;
    const int size = static_cast<int>(m_rows.size());
    m_applyingRows = true;
    switch (e.kind) {
      case Event::Inserted:
        if (e.first < 0 || e.first > size) {
          Resync();
          break;
        }
        beginInsertRows({}, e.first, e.last);
        m_rows.insert(m_rows.begin() + e.first, e.items.begin(), e.items.end());
        endInsertRows();
        break;
      case Event::Removed:
        if (e.first < 0 || e.last >= size || e.last < e.first) {
          Resync();
          break;
        }
        beginRemoveRows({}, e.first, e.last);
        m_rows.erase(m_rows.begin() + e.first, m_rows.begin() + e.last + 1);
        endRemoveRows();
        break;
      case Event::Changed: {
        const int first = std::max(0, e.first), last = std::min(size - 1, e.last);
        if (first > last) break;
        const int c = e.request.column;
        const int c0 = c < 0 ? 0 : c, c1 = c < 0 ? m_columns - 1 : c;
        emit dataChanged(index(first, c0), index(last, c1));
        break;
      }
      default:
        Resync();
        break;
    }
    m_applyingRows = false;
    rowsChanged = true;
  }
  if (rowsChanged && m_onRequest) m_onRequest({Request::Selection});
}

void CTreeListModel::Resync() {
  emit layoutAboutToBeChanged();
  const QModelIndexList old = persistentIndexList();
  std::vector<HTREEITEM> oldItems;
  for (const QModelIndex& i : old) oldItems.push_back(ItemOfRow(i.row()));
  m_rows = m_store.GetRowItems(&m_skipUpTo);
  QModelIndexList now;
  for (std::size_t k = 0; k < oldItems.size(); ++k) now.push_back(IndexOf(oldItems[k], old[k].column()));
  changePersistentIndexList(old, now);
  emit layoutChanged();
}

void CTreeListModel::SyncColumns() {
  const int n = std::max(1, m_store.GetColumnCount());
  if (n != m_columns) {
    m_applyingRows = true;
    beginResetModel();
    m_columns = n;
    m_rows = m_store.GetRowItems(&m_skipUpTo);
    endResetModel();
    m_applyingRows = false;
  } else {
    emit headerDataChanged(Qt::Horizontal, 0, n - 1);
  }
}

HTREEITEM CTreeListModel::ItemOfRow(int row) const {
  return row >= 0 && row < static_cast<int>(m_rows.size()) ? m_rows[row] : TLI_NULL;
}

int CTreeListModel::RowOfItem(HTREEITEM item) const {
  auto it = std::find(m_rows.begin(), m_rows.end(), item);
  return it == m_rows.end() || item == TLI_NULL ? -1 : static_cast<int>(it - m_rows.begin());
}

QModelIndex CTreeListModel::IndexOf(HTREEITEM item, int column) const {
  const int row = RowOfItem(item);
  return row < 0 ? QModelIndex() : index(row, column);
}

QModelIndex CTreeListModel::index(int row, int column, const QModelIndex& parent) const {
  if (parent.isValid() || row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 ||
      column >= m_columns)
    return {};
  return createIndex(row, column);
}

QModelIndex CTreeListModel::parent(const QModelIndex&) const {
  return {};
}

int CTreeListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CTreeListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : m_columns;
}

QVariant CTreeListModel::data(const QModelIndex& index, int role) const {
  const HTREEITEM item = ItemOfRow(index.row());
  if (!index.isValid() || item == TLI_NULL) return {};
  const int row = index.row();
  const bool bar = row < static_cast<int>(m_store.GetSetting(TLSETTING_FIXEDROWS)) &&
                   m_store.GetSetting(TLSETTING_BARROWS) != 0;
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return QString::fromStdString(m_store.GetItemText(item, index.column()));
    case Qt::DecorationRole: {
      if (bar || !m_icons) return {};
      if (index.column() > 0 && !(m_store.GetSetting(TLSETTING_OPTIONS) & TLO_CELLIMAGES)) return {};
      const int image = m_store.GetItemImage(item, index.column());
      return image < 0 ? QVariant() : QVariant(m_icons->Icon(image));
    }
    case Qt::TextAlignmentRole: {
      const auto col = m_store.GetColumn(index.column());
      const int f = col ? col->format : LVCFMT_LEFT;
      return QVariant::fromValue(Qt::AlignVCenter | (f == LVCFMT_RIGHT    ? Qt::AlignRight
                                                     : f == LVCFMT_CENTER ? Qt::AlignHCenter
                                                                          : Qt::AlignLeft));
    }
    case Qt::BackgroundRole:
      // The input bar looks like one.
      return bar ? QVariant(QApplication::palette().brush(QPalette::AlternateBase)) : QVariant();
    default:
      return {};
  }
}

QVariant CTreeListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  const auto col = m_store.GetColumn(section);
  return col ? QString::fromStdString(col->title) : QString();
}

Qt::ItemFlags CTreeListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  // The widget opens editors itself, only when the store asked for one.
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsDragEnabled |
         Qt::ItemIsDropEnabled;
}

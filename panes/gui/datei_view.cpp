// DateiView: the file pane over the file system.
#include "panes/gui/datei_view.h"

#include "controls/gui/shell_icons.h"
#include "controls/gui/treelist_icons.h"
#include "panes/pane_settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

namespace {

constexpr int kSortRole = Qt::UserRole + 1;
constexpr int kFolderRole = Qt::UserRole + 2;
// The name as the file system has it: the shown text cannot carry bytes that are not UTF-8.
constexpr int kNameRole = Qt::UserRole + 3;

const char* const kHeaders[] = {"Name", "Größe", "Typ", "Änderungsdatum"};

// "1.234 KB" as the Windows file lists show sizes.
QString SizeText(i64 size) {
  const std::string digits = std::to_string((size + 1023) / 1024);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += '.';
    text += digits[i];
  }
  return QString::fromStdString(text + " KB");
}

// "TXT-Datei" for a name with an extension, else "Datei"; "Dateiordner" for folders.
QString TypeText(const FolderEntry& e) {
  if (e.folder) return QStringLiteral("Dateiordner");
  const std::size_t dot = e.name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == e.name.size()) return QStringLiteral("Datei");
  return QString::fromStdString(e.name.substr(dot + 1)).toUpper() + QStringLiteral("-Datei");
}

}  // namespace

// The list: drags its selection through the pane.
class DateiView::ListView : public QTreeView {
 public:
  explicit ListView(DateiView& pane) : QTreeView(&pane), m_pane(pane) {}

 protected:
  void startDrag(Qt::DropActions) override {
    const std::vector<std::string> paths = m_pane.SelectedPaths();
    m_pane.StartDrag(paths, kPaneDragFiles);
  }

 private:
  DateiView& m_pane;
};

DateiView::DateiView(QWidget* parent) : CPaneWnd(parent) {
  m_model = new QStandardItemModel(0, kColumns, this);
  for (int c = 0; c < kColumns; ++c) m_model->setHeaderData(c, Qt::Horizontal, QString::fromUtf8(kHeaders[c]));
  m_model->setSortRole(kSortRole);
  m_list = new ListView(*this);
  m_list->setModel(m_model);
  m_list->setRootIsDecorated(false);
  m_list->setItemsExpandable(false);
  m_list->setUniformRowHeights(true);
  m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_list->setDragEnabled(true);
  m_list->setDragDropMode(QAbstractItemView::DragOnly);
  m_list->setSortingEnabled(true);
  m_list->sortByColumn(kColName, Qt::AscendingOrder);
  m_list->header()->setStretchLastSection(false);
  m_list->setColumnWidth(kColName, 220);
  m_list->setColumnWidth(kColSize, 90);
  m_list->setColumnWidth(kColType, 110);
  m_list->setColumnWidth(kColModified, 130);
  m_list->installEventFilter(this);
  SetContent(m_list);
  connect(m_list, &QTreeView::activated, this, [this](const QModelIndex& index) {
    if (index.siblingAtColumn(kColName).data(kFolderRole).toBool())
      OpenPath(FolderJoin(m_folder, NameAt(index.row())).c_str());
  });
  m_watcher = new QFileSystemWatcher(this);
  m_follow = new QTimer(this);
  m_follow->setSingleShot(true);
  m_follow->setInterval(kFollowDelayMs);
  connect(m_follow, &QTimer::timeout, this, [this] {
    if (m_relist || !StillThere()) Refresh();
  });
  connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, [this](const QString& path) {
    if (path == QFile::decodeName(QByteArray::fromStdString(m_folder))) m_relist = true;
    if (!m_follow->isActive()) m_follow->start();
  });
  const QString home = QDir::homePath();
  if (!OpenPath(home.toStdString().c_str())) OpenPath("/");
}

DateiView::~DateiView() = default;

BOOL DateiView::OpenPath(const char* folder, const char* file, const char* extra) {
  (void)extra;
  if (!folder) return FALSE;
  const std::optional<std::string> path = FolderFromText(folder, QDir::homePath().toStdString());
  std::vector<FolderEntry> entries;
  if (!path || !ListFolder(*path, entries)) {
    SetBarText(m_folder);
    return FALSE;
  }
  m_folder = *path;
  SetBarText(m_folder);
  SetParentAvailable(FolderParent(m_folder).has_value());
  Fill(entries);
  if (file && *file) Select(file);
  Watch();
  return TRUE;
}

void DateiView::Refresh() {
  m_follow->stop();  // this listing serves the changes waiting for it
  m_relist = false;
  std::vector<FolderEntry> entries;
  if (ListFolder(m_folder, entries)) {
    Update(entries);
    Watch();
    return;
  }
  if (errno != ENOENT && errno != ENOTDIR) {
    // Still there but not readable: nothing is known of its entries until it is readable again.
    m_model->removeRows(0, m_model->rowCount());
    Watch();
    return;
  }
  for (std::optional<std::string> up = FolderParent(m_folder); up; up = FolderParent(*up))
    if (OpenPath(up->c_str())) return;
  m_model->removeRows(0, m_model->rowCount());
  if (!m_watcher->directories().isEmpty()) m_watcher->removePaths(m_watcher->directories());
}

std::vector<std::string> DateiView::WatchedFolders() const {
  std::vector<std::string> folders;
  for (const QString& folder : m_watcher->directories()) folders.push_back(QFile::encodeName(folder).toStdString());
  std::sort(folders.begin(), folders.end());
  return folders;
}

namespace {

// The identity of a folder, {0, 0} when there is none under that path.
std::pair<u64, u64> FolderId(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {0, 0};
  return {static_cast<u64>(st.st_dev), static_cast<u64>(st.st_ino)};
}

}  // namespace

// The folder shown, for its entries, and the one above it, for the folder's own name: a folder
// renamed away tells nothing itself. A folder made anew under the same name is watched anew.
void DateiView::Watch() {
  QStringList wanted{QFile::decodeName(QByteArray::fromStdString(m_folder))};
  if (const std::optional<std::string> up = FolderParent(m_folder))
    wanted << QFile::decodeName(QByteArray::fromStdString(*up));
  const std::pair<u64, u64> id = FolderId(m_folder);
  QStringList watched = m_watcher->directories();
  std::sort(wanted.begin(), wanted.end());
  std::sort(watched.begin(), watched.end());
  if (watched == wanted && id == m_folderId) return;
  if (!watched.isEmpty()) m_watcher->removePaths(watched);
  m_watcher->addPaths(wanted);
  m_folderId = id;
}

// Whether the path shown still names the folder that is watched.
bool DateiView::StillThere() const {
  return m_folderId.first != 0 && FolderId(m_folder) == m_folderId;
}

void DateiView::ShowEntry(const FolderEntry& e, QStandardItem* name, QStandardItem* size, QStandardItem* type,
                          QStandardItem* modified) const {
  name->setText(QString::fromStdString(e.name));
  name->setData(QByteArray::fromStdString(e.name), kNameRole);
  const std::string full = FolderJoin(m_folder, e.name);
  const int icon = ShellGetFileIcon(full.c_str(), e.folder ? SHELL_ICON_SMALL : SHELL_ICON_SMALL | SHELL_ICON_BY_NAME);
  name->setIcon(icon >= 0 ? ShellSmallIcons().Icon(icon) : QIcon());
  // Folders before files in either order of the names.
  name->setData(QString(e.folder ? "0" : "1") + QString::fromStdString(e.name).toCaseFolded(), kSortRole);
  name->setData(e.folder, kFolderRole);
  size->setText(e.folder ? QString() : SizeText(e.size));
  size->setData(static_cast<qlonglong>(e.folder ? -1 : e.size), kSortRole);
  size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  type->setText(TypeText(e));
  type->setData(TypeText(e), kSortRole);
  modified->setText(QDateTime::fromSecsSinceEpoch(e.modified).toString(QStringLiteral("dd.MM.yyyy HH:mm")));
  modified->setData(static_cast<qlonglong>(e.modified), kSortRole);
}

void DateiView::Fill(const std::vector<FolderEntry>& entries) {
  m_model->removeRows(0, m_model->rowCount());
  for (const FolderEntry& e : entries) {
    QList<QStandardItem*> row;
    for (int c = 0; c < kColumns; ++c) row << new QStandardItem;
    ShowEntry(e, row[kColName], row[kColSize], row[kColType], row[kColModified]);
    m_model->appendRow(row);
  }
  Sort();
  if (m_model->rowCount() > 0)
    m_list->selectionModel()->setCurrentIndex(m_model->index(0, 0), QItemSelectionModel::NoUpdate);
  m_list->scrollToTop();
}

// Changes the rows in place, so that the view keeps its selection, its current entry and its
// scroll position for the entries that stay.
void DateiView::Update(const std::vector<FolderEntry>& entries) {
  std::unordered_map<std::string, const FolderEntry*> left;
  for (const FolderEntry& e : entries) left.emplace(e.name, &e);
  const int top = m_list->verticalScrollBar()->value();
  const int side = m_list->horizontalScrollBar()->value();
  for (int r = m_model->rowCount() - 1; r >= 0; --r) {
    const auto it = left.find(NameAt(r));
    if (it == left.end()) {
      m_model->removeRow(r);
      continue;
    }
    const FolderEntry& e = *it->second;
    const bool same = m_model->item(r, kColName)->data(kFolderRole).toBool() == e.folder &&
                      m_model->item(r, kColSize)->data(kSortRole).toLongLong() == (e.folder ? -1 : e.size) &&
                      m_model->item(r, kColModified)->data(kSortRole).toLongLong() == e.modified;
    if (!same)
      ShowEntry(e, m_model->item(r, kColName), m_model->item(r, kColSize), m_model->item(r, kColType),
                m_model->item(r, kColModified));
    left.erase(it);
  }
  for (const FolderEntry& e : entries) {
    if (!left.contains(e.name)) continue;
    QList<QStandardItem*> row;
    for (int c = 0; c < kColumns; ++c) row << new QStandardItem;
    ShowEntry(e, row[kColName], row[kColSize], row[kColType], row[kColModified]);
    m_model->appendRow(row);
  }
  Sort();
  m_list->doItemsLayout();  // the scroll ranges of the new rows, before the old place is set
  m_list->verticalScrollBar()->setValue(top);
  m_list->horizontalScrollBar()->setValue(side);
}

void DateiView::Sort() {
  m_list->sortByColumn(m_list->header()->sortIndicatorSection(), m_list->header()->sortIndicatorOrder());
}

std::string DateiView::NameAt(int row) const {
  return m_model->index(row, kColName).data(kNameRole).toByteArray().toStdString();
}

void DateiView::Select(const std::string& name) {
  for (int r = 0; r < m_model->rowCount(); ++r) {
    if (NameAt(r) != name) continue;
    const QModelIndex index = m_model->index(r, kColName);
    m_list->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_list->scrollTo(index);
    return;
  }
}

std::vector<std::string> DateiView::SelectedPaths() const {
  std::vector<std::string> paths;
  QModelIndexList rows = m_list->selectionModel()->selectedRows(kColName);
  std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  for (const QModelIndex& index : rows) paths.push_back(FolderJoin(m_folder, NameAt(index.row())));
  return paths;
}

QMimeData* DateiView::MakeSelectionMime() const {
  const std::vector<std::string> paths = SelectedPaths();
  return paths.empty() ? nullptr : MakeDragMime(paths, kPaneDragFiles);
}

void DateiView::GoParent() {
  const std::optional<std::string> parent = FolderParent(m_folder);
  if (!parent) return;
  const std::string came = m_folder.substr(m_folder.rfind('/') + 1);
  OpenPath(parent->c_str(), came.c_str());
}

bool DateiView::OnCommand(UINT id) {
  if (id != kPaneSelectAll) return false;
  m_list->selectAll();
  return true;
}

void DateiView::OnPathBarEntered(const std::string& text) {
  if (OpenPath(text.c_str())) m_list->setFocus();
}

bool DateiView::eventFilter(QObject* object, QEvent* event) {
  if (object == m_list && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Backspace &&
      static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
    GoParent();
    return true;
  }
  return CPaneWnd::eventFilter(object, event);
}

BOOL DateiView::LoadSettings(const char* valueName) {
  const std::optional<PaneSettings> s = LoadPaneSettings(valueName);
  if (!s) return FALSE;
  SetStyle(s->hiddenParts, ~DWORD{0});
  for (int c = 0; c < kColumns && c < static_cast<int>(s->widths.size()); ++c)
    if (s->widths[static_cast<std::size_t>(c)] > 0) m_list->setColumnWidth(c, s->widths[static_cast<std::size_t>(c)]);
  if (s->sortColumn >= 0 && s->sortColumn < kColumns)
    m_list->sortByColumn(s->sortColumn, s->sortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
  if (!s->place.empty()) OpenPath(s->place.c_str());  // a folder gone since stays where the pane is
  return TRUE;
}

BOOL DateiView::SaveSettings(const char* valueName) const {
  PaneSettings s;
  s.hiddenParts = HiddenParts();
  s.place = m_folder;
  for (int c = 0; c < kColumns; ++c) s.widths.push_back(m_list->columnWidth(c));
  s.sortColumn = m_list->header()->sortIndicatorSection();
  s.sortDescending = m_list->header()->sortIndicatorOrder() == Qt::DescendingOrder;
  return SavePaneSettings(valueName, s);
}

// DateiView: the file pane over the file system.
#include "panes/gui/datei_view.h"

#include "controls/gui/shell_icons.h"
#include "controls/gui/treelist_icons.h"
#include "panes/pane_settings.h"

#include <QDateTime>
#include <QDir>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QTreeView>

#include <algorithm>

namespace {

constexpr int kSortRole = Qt::UserRole + 1;
constexpr int kFolderRole = Qt::UserRole + 2;

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
    const QModelIndex name = index.siblingAtColumn(kColName);
    if (name.data(kFolderRole).toBool()) OpenPath(FolderJoin(m_folder, name.data().toString().toStdString()).c_str());
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
  return TRUE;
}

void DateiView::Refresh() {
  std::vector<FolderEntry> entries;
  if (ListFolder(m_folder, entries)) Fill(entries);
}

void DateiView::Fill(const std::vector<FolderEntry>& entries) {
  m_model->removeRows(0, m_model->rowCount());
  CTreeListIcons& icons = ShellSmallIcons();
  for (const FolderEntry& e : entries) {
    const std::string full = FolderJoin(m_folder, e.name);
    QList<QStandardItem*> row;
    auto* name = new QStandardItem(QString::fromStdString(e.name));
    const int icon = ShellGetFileIcon(full.c_str(), e.folder ? SHELL_ICON_SMALL : SHELL_ICON_SMALL | SHELL_ICON_BY_NAME);
    if (icon >= 0) name->setIcon(icons.Icon(icon));
    // Folders before files in either order of the names.
    name->setData(QString(e.folder ? "0" : "1") + QString::fromStdString(e.name).toCaseFolded(), kSortRole);
    name->setData(e.folder, kFolderRole);
    auto* size = new QStandardItem(e.folder ? QString() : SizeText(e.size));
    size->setData(static_cast<qlonglong>(e.folder ? -1 : e.size), kSortRole);
    size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* type = new QStandardItem(TypeText(e));
    type->setData(TypeText(e), kSortRole);
    auto* modified = new QStandardItem(
        QDateTime::fromSecsSinceEpoch(e.modified).toString(QStringLiteral("dd.MM.yyyy HH:mm")));
    modified->setData(static_cast<qlonglong>(e.modified), kSortRole);
    row << name << size << type << modified;
    m_model->appendRow(row);
  }
  m_list->sortByColumn(m_list->header()->sortIndicatorSection(), m_list->header()->sortIndicatorOrder());
  if (m_model->rowCount() > 0)
    m_list->selectionModel()->setCurrentIndex(m_model->index(0, 0), QItemSelectionModel::NoUpdate);
  m_list->scrollToTop();
}

void DateiView::Select(const std::string& name) {
  const QList<QStandardItem*> found = m_model->findItems(QString::fromStdString(name), Qt::MatchExactly, kColName);
  if (found.isEmpty()) return;
  const QModelIndex index = found.first()->index();
  m_list->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  m_list->scrollTo(index);
}

std::vector<std::string> DateiView::SelectedPaths() const {
  std::vector<std::string> paths;
  QModelIndexList rows = m_list->selectionModel()->selectedRows(kColName);
  std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  for (const QModelIndex& index : rows) paths.push_back(FolderJoin(m_folder, index.data().toString().toStdString()));
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

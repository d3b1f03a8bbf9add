// TreeWnd and RegWnd: the tree pane and the registry store's keys in it.
#include "panes/gui/tree_wnd.h"

#include "panes/pane_settings.h"
#include "panes/tree_paths.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QStyle>
#include <QTreeView>

namespace {

constexpr int kPathRole = Qt::UserRole + 1;
constexpr int kReadRole = Qt::UserRole + 2;         // the children were read
constexpr int kPlaceholderRole = Qt::UserRole + 3;  // stands for children not read yet

}  // namespace

class TreeWnd::TreeView : public QTreeView {
 public:
  explicit TreeView(TreeWnd& pane) : QTreeView(&pane), m_pane(pane) {}

 protected:
  void startDrag(Qt::DropActions) override {
    const std::string path = m_pane.CurrentPath();
    if (!path.empty()) m_pane.StartDrag({path}, m_pane.DragKind());
  }

 private:
  TreeWnd& m_pane;
};

TreeWnd::TreeWnd(QWidget* parent) : CPaneWnd(parent) {
  m_model = new QStandardItemModel(this);
  m_tree = new TreeView(*this);
  m_tree->setModel(m_model);
  m_tree->setHeaderHidden(true);
  m_tree->setUniformRowHeights(true);
  m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
  m_tree->setDragEnabled(true);
  m_tree->setDragDropMode(QAbstractItemView::DragOnly);
  SetContent(m_tree);
  connect(m_tree, &QTreeView::expanded, this, [this](const QModelIndex& index) {
    Expand(m_model->itemFromIndex(index));
  });
  connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] { SelectionChanged(); });
}

TreeWnd::~TreeWnd() = default;

QStandardItem* TreeWnd::NewKey(const std::string& name, const std::string& path) const {
  auto* item = new QStandardItem(QApplication::style()->standardIcon(QStyle::SP_DirIcon), QString::fromStdString(name));
  item->setData(QString::fromStdString(path), kPathRole);
  item->setData(false, kReadRole);
  if (!ChildNames(path).empty()) {
    auto* placeholder = new QStandardItem;
    placeholder->setData(true, kPlaceholderRole);
    item->appendRow(placeholder);
  }
  return item;
}

void TreeWnd::FillRoots() {
  m_model->clear();
  for (const std::string& root : RootNames()) m_model->appendRow(NewKey(root, root));
  SelectionChanged();
}

void TreeWnd::Expand(QStandardItem* item) {
  if (!item) return;
  const std::string path = item->data(kPathRole).toString().toStdString();
  // Read anew every time: keys come and go in the store meanwhile.
  item->removeRows(0, item->rowCount());
  for (const std::string& name : ChildNames(path)) item->appendRow(NewKey(name, path + Separator() + name));
  item->setData(true, kReadRole);
}

std::string TreeWnd::CurrentPath() const {
  const QModelIndex index = m_tree->currentIndex();
  return index.isValid() ? index.data(kPathRole).toString().toStdString() : std::string();
}

void TreeWnd::SelectionChanged() {
  const std::string path = CurrentPath();
  SetBarText(path);
  SetParentAvailable(TreeParentPath(path, Separator()).has_value());
}

BOOL TreeWnd::OpenPath(const char* path, const char* file, const char* extra) {
  (void)file, (void)extra;
  if (!path) return FALSE;
  const std::vector<std::string> parts = TreePathParts(path, Separator());
  QStandardItem* parent = m_model->invisibleRootItem();
  QStandardItem* found = nullptr;
  std::size_t matched = 0;
  for (const std::string& part : parts) {
    if (found) {
      // Expanding reads the children (the expanded signal); an open key keeps those it has.
      m_tree->expand(found->index());
      if (!found->data(kReadRole).toBool()) Expand(found);
    }
    QStandardItem* next = nullptr;
    for (int r = 0; r < parent->rowCount() && !next; ++r) {
      QStandardItem* child = parent->child(r);
      if (!child->data(kPlaceholderRole).toBool() && TreePartEqual(child->text().toStdString(), part)) next = child;
    }
    if (!next) break;
    found = parent = next;
    ++matched;
  }
  if (found) {
    m_tree->setCurrentIndex(found->index());
    m_tree->scrollTo(found->index());
  }
  SelectionChanged();
  return !parts.empty() && matched == parts.size();
}

void TreeWnd::Refresh() {
  const std::string path = CurrentPath();
  FillRoots();
  if (!path.empty()) OpenPath(path.c_str());
}

QMimeData* TreeWnd::MakeSelectionMime() const {
  const std::string path = CurrentPath();
  return path.empty() ? nullptr : MakeDragMime({path}, DragKind());
}

void TreeWnd::GoParent() {
  const std::optional<std::string> parent = TreeParentPath(CurrentPath(), Separator());
  if (parent) OpenPath(parent->c_str());
}

void TreeWnd::OnPathBarEntered(const std::string& text) {
  if (OpenPath(text.c_str())) m_tree->setFocus();
}

BOOL TreeWnd::LoadSettings(const char* valueName) {
  const std::optional<PaneSettings> s = LoadPaneSettings(valueName);
  if (!s) return FALSE;
  SetStyle(s->hiddenParts, ~DWORD{0});
  if (!s->place.empty()) OpenPath(s->place.c_str());
  return TRUE;
}

BOOL TreeWnd::SaveSettings(const char* valueName) const {
  PaneSettings s;
  s.hiddenParts = HiddenParts();
  s.place = CurrentPath();
  return SavePaneSettings(valueName, s);
}

// ---- RegWnd

RegWnd::RegWnd(QWidget* parent) : TreeWnd(parent) { FillRoots(); }

std::vector<std::string> RegWnd::RootNames() const { return RegTreeRoots(); }

std::vector<std::string> RegWnd::ChildNames(const std::string& path) const { return RegTreeSubKeys(path); }

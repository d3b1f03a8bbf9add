// TreeWnd: the tree pane: a path bar over a tree of keys that a subclass names; RegWnd fills it from the registry store.
#pragma once

#include "panes/gui/pane_wnd.h"

#include <string>
#include <vector>

class QStandardItem;
class QStandardItemModel;
class QTreeView;

// A key's children are read when it is first expanded (and again at every later expansion, so
// that the tree follows the store). The path bar shows the selected key's full path; Enter in it
// opens that path. Dragging a key hands its full path to the drag callbacks. Main thread only.
class TreeWnd : public CPaneWnd {
 public:
  explicit TreeWnd(QWidget* parent = nullptr);
  ~TreeWnd() override;

  // Expands the tree along the path and selects its key (file and extra: unused). FALSE when the
  // path does not exist: the deepest part that does is selected.
  BOOL OpenPath(const char* path, const char* file = nullptr, const char* extra = nullptr);
  // The selected key's full path; empty when none is selected.
  std::string CurrentPath() const;
  // Reads the roots anew and opens the selected path again.
  void Refresh();
  QTreeView* Tree() const { return m_tree; }
  // The drag data of the selected key (null when none is selected), as a drag carries it.
  QMimeData* MakeSelectionMime() const;

  // CPaneWnd
  void GoParent() override;
  BOOL LoadSettings(const char* valueName) override;
  BOOL SaveSettings(const char* valueName) const override;

 protected:
  // The keys: the roots' full names, and the names of a key's children.
  virtual std::vector<std::string> RootNames() const = 0;
  virtual std::vector<std::string> ChildNames(const std::string& path) const = 0;
  virtual char Separator() const { return '\\'; }
  virtual int DragKind() const { return kPaneDragKey; }
  // Subclasses call it once their keys can be read.
  void FillRoots();

  void OnPathBarEntered(const std::string& text) override;

 private:
  class TreeView;
  QStandardItem* NewKey(const std::string& name, const std::string& path) const;
  void Expand(QStandardItem* item);
  void SelectionChanged();

  QTreeView* m_tree = nullptr;  // a TreeView
  QStandardItemModel* m_model = nullptr;
};

// RegWnd: the tree of the registry store's keys ("HKEY_CURRENT_USER\...").
class RegWnd : public TreeWnd {
 public:
  explicit RegWnd(QWidget* parent = nullptr);

 protected:
  std::vector<std::string> RootNames() const override;
  std::vector<std::string> ChildNames(const std::string& path) const override;
};

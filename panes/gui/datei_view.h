// DateiView: the file pane: a path bar over the list of a folder's files and folders.
#pragma once

#include "panes/folder_list.h"
#include "panes/gui/pane_wnd.h"

#include <string>
#include <utility>
#include <vector>

class QFileSystemWatcher;
class QStandardItem;
class QStandardItemModel;
class QTimer;
class QTreeView;

// Command id of "Alles auswählen", which the job list passes on to the pane.
inline constexpr UINT kPaneSelectAll = 32772;

// Folders open by a double click (or Enter) and by the path bar; Backspace and GoParent go up.
// Dragging selected entries hands their full paths to the drag callbacks (kind kPaneDragFiles).
// The folder shown (not its subfolders) is watched: entries made, removed or renamed there show
// within kFollowDelayMs, with the selection and the scroll position kept; the folder above it is
// watched only for the shown folder's own name. Nothing here
// starts another program. Main thread only.
class DateiView : public CPaneWnd {
 public:
  // Columns of the list.
  enum { kColName, kColSize, kColType, kColModified, kColumns };
  // How long the pane waits after a change in its folder before it lists it anew (changes that
  // come meanwhile wait with it).
  static constexpr int kFollowDelayMs = 150;

  explicit DateiView(QWidget* parent = nullptr);
  ~DateiView() override;

  // Shows a folder, with file (optional) selected; extra is unused. FALSE when the folder cannot
  // be read: the pane keeps what it showed.
  BOOL OpenPath(const char* folder, const char* file = nullptr, const char* extra = nullptr);
  const std::string& Folder() const { return m_folder; }
  // Lists the folder anew, keeping the selection and the scroll position. A folder that is gone
  // gives way to the nearest folder above it that can be read; one that is there but cannot be
  // read shows empty until it can.
  void Refresh();
  // The folders the pane watches for changes, sorted.
  std::vector<std::string> WatchedFolders() const;
  // The full paths of the selected entries, in the list's order.
  std::vector<std::string> SelectedPaths() const;
  QTreeView* List() const { return m_list; }
  // The drag data of the selected entries (null when none is selected), as a drag carries it.
  QMimeData* MakeSelectionMime() const;

  // CPaneWnd
  void GoParent() override;
  BOOL LoadSettings(const char* valueName) override;
  BOOL SaveSettings(const char* valueName) const override;
  bool OnCommand(UINT id) override;  // kPaneSelectAll

 protected:
  void OnPathBarEntered(const std::string& text) override;
  bool eventFilter(QObject* object, QEvent* event) override;

 private:
  class ListView;
  void Fill(const std::vector<FolderEntry>& entries);
  void Update(const std::vector<FolderEntry>& entries);
  void ShowEntry(const FolderEntry& e, QStandardItem* name, QStandardItem* size, QStandardItem* type,
                 QStandardItem* modified) const;
  void Sort();
  void Select(const std::string& name);
  std::string NameAt(int row) const;
  void Watch();
  bool StillThere() const;

  QTreeView* m_list = nullptr;  // a ListView
  QStandardItemModel* m_model = nullptr;
  QFileSystemWatcher* m_watcher = nullptr;
  QTimer* m_follow = nullptr;
  bool m_relist = false;                 // the folder's own entries changed
  std::pair<u64, u64> m_folderId{0, 0};  // device and inode of the folder watched
  std::string m_folder;
};

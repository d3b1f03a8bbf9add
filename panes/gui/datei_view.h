// DateiView: the file pane: a path bar over the list of a folder's files and folders.
#pragma once

#include "panes/folder_list.h"
#include "panes/gui/pane_wnd.h"

#include <string>
#include <vector>

class QStandardItemModel;
class QTreeView;

// Command id of "Alles auswählen", which the job list passes on to the pane.
inline constexpr UINT kPaneSelectAll = 32772;

// Folders open by a double click (or Enter) and by the path bar; Backspace and GoParent go up.
// Dragging selected entries hands their full paths to the drag callbacks (kind kPaneDragFiles).
// Nothing here starts another program. Main thread only.
class DateiView : public CPaneWnd {
 public:
  // Columns of the list.
  enum { kColName, kColSize, kColType, kColModified, kColumns };

  explicit DateiView(QWidget* parent = nullptr);
  ~DateiView() override;

  // Shows a folder, with file (optional) selected; extra is unused. FALSE when the folder cannot
  // be read: the pane keeps what it showed.
  BOOL OpenPath(const char* folder, const char* file = nullptr, const char* extra = nullptr);
  const std::string& Folder() const { return m_folder; }
  // Lists the folder anew.
  void Refresh();
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
  void Select(const std::string& name);

  QTreeView* m_list = nullptr;  // a ListView
  QStandardItemModel* m_model = nullptr;
  std::string m_folder;
};

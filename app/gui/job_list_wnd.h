// The view window: the job list over the file pane or the registry pane, its drops, context menu and commands.
#pragma once

#include "app/view_commands.h"
#include "controls/gui/treelist_owner.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CCommandRouter;
class CGuiHost;
class CKopiwartView;
class CPaneWnd;
class CStatusPanes;
class CTrackSplitter;
class CTreeListCtrl;
class CTreeListIcons;
class DateiView;
class QMenu;
class RegWnd;

// Control ids of the job list and the two panes (their low 16 bits are the notifications' ids).
inline constexpr int kJobListCtrlId = 17;
inline constexpr UINT kJobListWndId = 0x88770011u;
inline constexpr UINT kFilePaneId = 0x88770012u;
inline constexpr UINT kRegPaneId = 0x88770013u;
// The job list's extended style word (kept in its store).
inline constexpr DWORD kJobListExStyle = 0x500F0242u;
// The panes' value names in the registry store.
inline constexpr char kFilePaneSettings[] = "FileList";
inline constexpr char kRegPaneSettings[] = "RegList";
// Creation style of the panes, and the height of the job list at start.
inline constexpr DWORD kPaneStyle = 0x70;
inline constexpr int kStartSplit = 100;

// The window side of CKopiwartView. The list's own notifications go to the view's handlers; the
// window adds the layout, focus passing, drops, the context menu and the view's window commands.
// Main thread only.
class CJobListWnd : public QWidget, public ITreeListCtrlOwner {
 public:
  // "Einfügen": the files chosen in a dialog that starts in folder with the filter; none when
  // the user gave up.
  using FileChooser = std::function<std::vector<std::string>(const std::string& folder, const std::string& filter)>;
  // The special-settings dialogs and the filter editor: edit the text; true for OK.
  using SettingsEditor = std::function<bool(kpw::view::SettingsDialog dialog, std::string& extra)>;
  using FilterTextEditor = std::function<bool(const kpw::view::FilterEditor& look, std::string& filter)>;

  CJobListWnd(CKopiwartView& view, CTreeListIcons& icons, QWidget* parent = nullptr);
  ~CJobListWnd() override;

  // The frame's services: the host whose file-pane calls reach the panes and whose dialogs are
  // the editors (unless others were set), the router that gets the view's commands and update
  // rules, and the job file's path (empty before the first save).
  void Attach(CGuiHost* host, CCommandRouter* router, std::function<std::string()> jobFilePath);
  // The frame's status-pane service, told on focus (null: none).
  void SetStatusPanes(CStatusPanes* panes) { m_statusPanes = panes; }
  void SetFileChooser(FileChooser chooser) { m_chooseFiles = std::move(chooser); }
  void SetSettingsEditor(SettingsEditor editor) { m_settingsEditor = std::move(editor); }
  void SetFilterEditor(FilterTextEditor editor) { m_filterEditor = std::move(editor); }

  CKopiwartView& View() const { return m_view; }
  CTreeListCtrl& List() const { return *m_list; }
  DateiView& FilePane() const { return *m_filePane; }
  RegWnd& RegPane() const { return *m_regPane; }
  CTrackSplitter& Splitter() const { return *m_splitter; }
  CPaneWnd& FrontPane() const;
  // The job list's height as the user left it, and which pane is in front.
  int SplitPosition() const { return m_split; }
  bool RegistryPaneShown() const { return m_registryShown; }

  // ---- commands
  // A command of the view window; true when it is one.
  bool OnCommand(UINT id);
  // The update-UI state of a view command; nothing for other ids.
  std::optional<kpw::view::UiState> QueryCommand(UINT id) const;
  void OnToggleRegistry();
  void OnPathBars();
  void OnParentFolder();
  void OnInsertFiles();
  void OnCopyField();
  void OnCopyFullPath();
  void OnMakeRelative();
  void OnOpenPath();
  void OnSpecialSettings();
  void OnEditFilter();

  // ---- drops
  // Files dropped from the shell at a point of the list's viewport, with Ctrl held or not.
  void OnDropFiles(const std::vector<std::string>& paths, const QPoint& viewportPos, bool ctrl);
  // The panes' drag callbacks: the code of a screen point (false: no target), the effect, and
  // the drop handler (kind 1 files from the file pane, else a registry key).
  bool HitTest(const QPoint& global, int* code) const;
  static int DropEffect(u32 keyState, const int* code, int count);
  void DropRegistryKey(const std::vector<std::string>& texts, int kind, int code);

  // ---- context menu
  // The popup for the focused cell, its entries greyed as the situation asks; the entries run
  // the view's commands when chosen through exec.
  std::unique_ptr<QMenu> MakeContextMenu();
  // The context column remembered for "Filterstellungen".
  int ContextColumn() const { return m_contextColumn; }

  // ITreeListCtrlOwner (the view's handlers of control 17)
  DWORD OnStartEdit(TLNSTARTEDIT& rec) override;
  int OnEndLabelEdit(TLNENDEDIT& rec) override;
  void OnEndDrag(const TLNENDDRAG& rec) override;
  void OnKeyDown(const TLNKEYDOWN& rec) override;
  void OnListContextMenu(int ctrlId, HTREEITEM item, int column, QPoint globalPos) override;

 protected:
  bool eventFilter(QObject* object, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  // Drops elsewhere in the window (on the bar, on a pane that takes none itself).
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void Layout();
  // A drag over (or dropped on) receiver: true when it was one of the window's to answer.
  bool OnDrag(QDropEvent* event, QWidget* receiver, bool dropped);
  void OnFocusChanged(QWidget* old, QWidget* now);
  void AppendRows(const std::vector<std::string>& paths, int templateRow);
  // The focused cell: its row and column, nothing without a focused item.
  std::optional<std::pair<int, int>> FocusedCell() const;
  std::string JobFilePath() const;
  void PathError(const char* text);
  std::vector<std::string> ChooseFiles(const std::string& folder, const std::string& filter);

  CKopiwartView& m_view;
  CTrackSplitter* m_splitter = nullptr;  // children
  CTreeListCtrl* m_list = nullptr;
  DateiView* m_filePane = nullptr;
  RegWnd* m_regPane = nullptr;
  int m_split = kStartSplit;
  bool m_registryShown = false;
  int m_contextColumn = 0;
  QMetaObject::Connection m_focusWatch;
  CGuiHost* m_host = nullptr;
  CStatusPanes* m_statusPanes = nullptr;
  std::function<std::string()> m_jobFilePath;
  FileChooser m_chooseFiles;
  SettingsEditor m_settingsEditor;
  FilterTextEditor m_filterEditor;
};

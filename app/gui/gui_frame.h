// The frame of a start with a window: the main window, its menu and commands, its main loop.
#pragma once

#include "app/app_frame.h"
#include "app/frame_settings.h"
#include "app/gui/gui_host.h"
#include "app/gui/lock_key_watch.h"
#include "app/status_panes.h"
#include "app/tray_taskbar.h"
#include "controls/gui/treelist_icons.h"
#include "jobs/worker.h"
#include "platform/gui/cmd_router.h"
#include "platform/gui/message_shim.h"
#include "platform/gui/wnd_timers.h"

#include <QMainWindow>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CKopiwartApp;
class CJobListWnd;
class CFlatMenuStyle;
class CMainFrame;
class CToolBarNew;
class QFileDialog;
class QLabel;
class QMenu;
class QStatusBar;

// Command ids of the class library's document commands and of the recent files.
enum : UINT {
  ID_FILE_NEW = 57600,
  ID_FILE_OPEN = 57601,
  ID_FILE_CLOSE = 57602,
  ID_FILE_SAVE = 57603,
  ID_FILE_SAVE_AS = 57604,
  ID_FILE_MRU_FILE1 = 57616,
  ID_FILE_MRU_LAST = 57624,  // nine recent files
  ID_APP_EXIT = 57665,
};

// Command ids of the frame's bars and look.
enum : UINT {
  ID_VIEW_TOOLBAR = 59392,     // also the toolbar's control id
  ID_VIEW_STATUS_BAR = 59393,  // also the status bar's control id
  ID_FLAT_TOOLBAR = 32789,
  ID_MENU_MODE = 32790,
};

// Private messages of the main frame.
inline constexpr UINT WM_HIDDEN_START = 0x59A5;
inline constexpr UINT WM_RUN_PROGRESS_DLG = 0x5693;
inline constexpr UINT WM_FLATMENU_QUERY = 0x5E96;
inline constexpr UINT WM_FLATMENU_PROBE = 0x5E97;
// WM_FLATMENU_PROBE's answer: the frame is this program's.
inline constexpr LRESULT kFlatMenuProbeAnswer = 0x12345678;
// The timer of a hidden start that keeps the window out of sight.
inline constexpr UINT kHiddenStartTimerId = 22949;
inline constexpr UINT kHiddenStartTimerMs = 300;

// The host of the frame's window: the engine's calls as CGuiHost serves them, the tray icon and
// the taskbar through the frame.
class CFrameHost : public CGuiHost {
 public:
  CFrameHost(CTreeListIcons& icons, CMainFrame& frame) : CGuiHost(icons), m_frame(frame) {}
  void TaskbarAddTab() override;
  void TaskbarDeleteTab() override;
  // From any thread: the icon is shown and removed on the main thread, a removal from another
  // thread without waiting (it runs before a quit posted after it).
  void TrayIconAdd(u32 iconId, const std::string& tip) override;
  void TrayIconDelete() override;

 private:
  CMainFrame& m_frame;
};

// Every window lives on the main thread. Calls from other threads (boxes, the progress window,
// PostQuit) reach it as blocking calls or posted messages; it never waits on a worker.
//
// Closing during a run cancels the run and waits for it: the close is marked pending and runs
// (with its save question) once the run reports its end; during a start-up run the run ends the
// program itself. The view is never freed while a worker uses it.
class CMainFrame : public QMainWindow, public IAppFrame, private IStatusPaneObserver {
 public:
  // Chooses a job file: to open (save false) or to save under; empty when the user gave up.
  using FileChooser = std::function<std::string(bool save, const std::string& current)>;

  CMainFrame();
  ~CMainFrame() override;

  // The application whose document and view this window shows; before InitInstance. DetachApp
  // drops the view's window before the application goes.
  void AttachApp(CKopiwartApp* app) override;
  void DetachApp();

  CFrameHost& GuiHost() { return m_host; }
  CCommandRouter& Router() { return m_router; }
  CTreeListIcons& Icons() { return m_icons; }
  CJobListWnd* ViewWindow() const { return m_viewWnd; }
  QMenu* RecentMenuOwner() const { return m_fileMenu; }
  void SetFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }
  // Runs a command as its menu item or key would; true when it ran.
  bool SendCommand(UINT id) { return m_router.Execute(id); }

  // The class library's save question for a modified list: true when the caller may go on
  // (saved, or not wanted); false for "Abbrechen" or a failed save.
  bool SaveModified();
  bool OpenFile(const std::string& path);

  // The frame's private messages (WM_*): sent from any thread, answered on the main thread.
  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    return m_shim.SendMessage(msg, wParam, lParam);
  }
  BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    return m_shim.PostMessage(msg, wParam, lParam);
  }

  // ---- bars: made with the window (its first show), after the view's window
  CToolBarNew* ToolBar() const { return m_toolBar; }
  QStatusBar* StatusBar() const { return m_statusBar; }
  // The status-pane service (WM_STATUS_PANE_CALL); the core may be called from any thread, the
  // bar follows from the main loop. On the main thread these show the result at once.
  CStatusPanes& StatusPanes() { return m_panes; }
  LRESULT OnStatusPaneCall(WPARAM operation, const LPARAM* words);
  int SetStatusPanes(const char* const* texts, const int* widths, int count);
  int SetStatusPaneText(int pane, const char* text, int style, PaneColor textColor, PaneColor backColor);
  // The label of a status pane (0 the message pane; the indicators last), or null.
  QLabel* StatusPaneLabel(int index) const;
  int StatusPaneCount() const { return static_cast<int>(m_paneLabels.size()); }
  // The lock keys shown in the three indicator panes.
  CLockKeyWatch& LockKeys() { return m_lockKeys; }

  // ---- look
  const FrameSettings& Look() const { return m_look; }
  // Gives a popup menu the frame's flat look; the menu must go before the frame.
  void StyleMenu(QMenu* menu);

  // ---- tray icon and run state
  // The tray's backend; the desktop's system tray unless one was set (before the icon shows).
  void SetTrayBackend(std::unique_ptr<ITrayBackend> tray);
  ITrayBackend& Tray();
  // The tray popup: "Abbechen" stops the run, "Weitermachen" changes nothing. Main thread.
  void OnTrayNotify(UINT mouseMessage);
  bool IsClosePending() const { return m_closePending.load(); }
  bool IsHiddenStart() const { return m_timers.IsRunning(kHiddenStartTimerId); }

  // IAppFrame
  IRunHost& Host() override { return m_host; }
  IViewHost& ViewHost() override { return m_host; }
  void ShowMainWindow(int showCommand) override;
  void PostHiddenStart() override;
  void PostToMainThread(std::function<void()> fn) override;
  int Run() override;
  void PostQuit(int status) override;
  u32 HiddenRunMinimumMs() override { return 1000; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // IStatusPaneObserver: told under the service's lock, from any thread.
  void PanesLaidOut(const std::vector<StatusPane>& panes) override;
  void PaneChanged(int index, const StatusPane& pane) override;
  void RequestPaneSync();
  void SyncStatusBar();
  void DrawStatusPane(int index, const StatusPane& pane);

  void OnCreate();
  void CreateBars();
  void OnHiddenStart();
  void OnFrameTimer(UINT_PTR id);
  void OnRunChanged(bool active);
  void BuildMenus();
  void RegisterCommands();
  void EnsureViewWindow();
  void UpdateTitle();
  // The title's mark of unsaved changes follows the document (on the idle tick).
  void UpdateModifiedMark();
  void UpdateVisible();
  bool DoSave(bool askName);
  void OnFileNew();
  void OnFileOpen();
  void OnOpenRecent(UINT id);

  CTreeListIcons m_icons;
  CFrameHost m_host{m_icons, *this};
  CCommandRouter m_router;
  CMessageShim m_shim;
  CWndTimers m_timers;
  CKopiwartApp* m_app = nullptr;
  CJobListWnd* m_viewWnd = nullptr;  // the central widget
  QMenu* m_fileMenu = nullptr;
  FileChooser m_chooseFile;
  bool m_startedMinimized = false;
  bool m_titleModified = false;  // the title shows the mark of unsaved changes

  FrameSettings m_look;
  bool m_lookLoaded = false;
  std::unique_ptr<CFlatMenuStyle> m_menuStyle;
  CToolBarNew* m_toolBar = nullptr;  // children of the frame
  QStatusBar* m_statusBar = nullptr;
  std::vector<QLabel*> m_paneLabels;  // status pane i; the message pane first
  std::vector<StatusPane> m_shownPanes;
  CStatusPanes m_panes{this};
  std::atomic<bool> m_paneSyncPosted{false};
  CLockKeyWatch m_lockKeys{m_panes, this, MakeLockKeySource()};

  std::unique_ptr<ITrayBackend> m_tray;
  bool m_trayMenuOpen = false;
  std::atomic<bool> m_closePending{false};
  std::atomic<bool> m_quitPosted{false};
  std::atomic<int> m_quitStatus{0};
};

// The file dialog of "Öffnen" (save false) and "Speichern unter": job files first, then all files;
// the save dialog adds ".kpw" to a name without extension. current: the name offered.
std::unique_ptr<QFileDialog> MakeJobFileDialog(QWidget* parent, bool save, const std::string& current);

// Makes the QApplication (when none exists yet) on the platform given (empty: the one
// QT_QPA_PLATFORM names) and the main frame; null when Qt has no such platform here. The caller
// has made sure that the display answers. The QApplication lives as long as the frame.
std::unique_ptr<IAppFrame> MakeGuiFrame(const std::string& platform);

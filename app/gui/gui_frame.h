// The frame of a start with a window: the main window, its menu and commands, its main loop.
#pragma once

#include "app/app_frame.h"
#include "app/gui/gui_host.h"
#include "controls/gui/treelist_icons.h"
#include "jobs/worker.h"
#include "platform/gui/cmd_router.h"
#include "platform/gui/message_shim.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <string>

class CKopiwartApp;
class CJobListWnd;
class QFileDialog;
class QMenu;

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

// Private messages of the main frame.
inline constexpr UINT WM_HIDDEN_START = 0x59A5;

// Every window lives on the main thread. Calls from other threads (boxes, the progress window,
// PostQuit) reach it as blocking calls or posted messages; it never waits on a worker.
class CMainFrame : public QMainWindow, public IAppFrame {
 public:
  // Chooses a job file: to open (save false) or to save under; empty when the user gave up.
  using FileChooser = std::function<std::string(bool save, const std::string& current)>;

  CMainFrame();
  ~CMainFrame() override;

  // The application whose document and view this window shows; before InitInstance. DetachApp
  // drops the view's window before the application goes.
  void AttachApp(CKopiwartApp* app) override {
    if (app)
      m_app = app;
    else
      DetachApp();
  }
  void DetachApp();

  CGuiHost& GuiHost() { return m_host; }
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
  void BuildMenus();
  void RegisterCommands();
  void EnsureViewWindow();
  void UpdateTitle();
  void UpdateVisible();
  bool DoSave(bool askName);
  void OnFileNew();
  void OnFileOpen();
  void OnOpenRecent(UINT id);

  CTreeListIcons m_icons;
  CGuiHost m_host{m_icons};
  CCommandRouter m_router;
  CMessageShim m_shim;
  CKopiwartApp* m_app = nullptr;
  CJobListWnd* m_viewWnd = nullptr;  // the central widget
  QMenu* m_fileMenu = nullptr;
  FileChooser m_chooseFile;
  bool m_startedMinimized = false;
};

// The file dialog of "Öffnen" (save false) and "Speichern unter": job files first, then all files;
// the save dialog adds ".kpw" to a name without extension. current: the name offered.
std::unique_ptr<QFileDialog> MakeJobFileDialog(QWidget* parent, bool save, const std::string& current);

// Makes the QApplication (when none exists yet, and only with a display) and the main frame;
// null when no window can be made here. The QApplication lives as long as the frame.
std::unique_ptr<IAppFrame> MakeGuiFrame();

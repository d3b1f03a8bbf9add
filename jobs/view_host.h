// The callback interface that only the job-list view and the main frame use: the taskbar and the
// tray icon, file icons, the schedule dialog, the view's timers, list focus and the file pane.
#pragma once

#include "platform/win_types.h"

#include <functional>
#include <string>

// Image value for "no icon".
inline constexpr int kNoIcon = 0x70000000;

// How a file icon is to be found.
enum class FileIconKind {
  Existing,  // the path exists: the icon of the real file or folder
  ByName,    // the path is missing: the icon that its name alone gives
};

class IViewHost {
 public:
  virtual ~IViewHost() = default;

  // Taskbar button of the main window, and the tray icon (id 0) with its tip.
  virtual void TaskbarAddTab() = 0;
  virtual void TaskbarDeleteTab() = 0;
  virtual void TrayIconAdd(u32 iconId, const std::string& tip) = 0;
  virtual void TrayIconDelete() = 0;
  // Image index of the small icon for a path, or kNoIcon.
  virtual int FileIcon(const std::string& path, FileIconKind kind) = 0;
  // The schedule dialog (main thread): edits word and count; true when it ended with OK.
  virtual bool EditSchedule(u32& word, i32& interval, u32 lastRun) = 0;
  // Timers of the view's window (main thread): fn runs on the main thread every ms milliseconds
  // until KillTimer; setting an id again replaces it.
  virtual void SetTimer(u32 id, u32 ms, std::function<void()> fn) = 0;
  virtual void KillTimer(u32 id) = 0;
  // Keyboard focus of the job list, and the file pane beside it.
  virtual bool ListHasFocus() = 0;
  virtual void FocusFilePane() = 0;
  virtual void FilePaneCommand(u32 commandId) = 0;
};

// What the application needs of its main window and main loop: the seam where the GUI plugs in.
#pragma once

#include "jobs/run_host.h"
#include "jobs/view_host.h"
#include "platform/win_types.h"

#include <functional>

class CKopiwartApp;

// Show commands of the main window.
enum : int {
  SW_HIDE = 0,
  SW_SHOW = 5,
  SW_MINIMIZE = 6,
};

// The main frame with its message loop, as the application drives it at start-up. The GUI
// provides one with a window; CHeadlessFrame serves runs without one.
class IAppFrame {
 public:
  virtual ~IAppFrame() = default;
  // The application this frame serves, before it starts; null before the application goes. A
  // window frame shows its document and view.
  virtual void AttachApp(CKopiwartApp* app) { (void)app; }
  // The callback interfaces that this frame serves: the engine's, and the view's.
  virtual IRunHost& Host() = 0;
  virtual IViewHost& ViewHost() = 0;
  // Shows the main window (SW_*); a window started minimised stays so on a later SW_SHOW.
  virtual void ShowMainWindow(int showCommand) = 0;
  // WM_HIDDEN_START: the window stays out of sight while a start-up run works without it.
  virtual void PostHiddenStart() = 0;
  // Runs fn on the main thread from the main loop, which keeps running meanwhile (a start-up
  // run through the progress dialog runs there).
  virtual void PostToMainThread(std::function<void()> fn) = 0;
  // The main loop; returns the status given to PostQuit.
  virtual int Run() = 0;
  // From any thread: ends the main loop.
  virtual void PostQuit(int status) = 0;
  // How long a start-up run without a window keeps its tray icon at least, in milliseconds; 0
  // when there is no tray icon.
  virtual u32 HiddenRunMinimumMs() = 0;
};

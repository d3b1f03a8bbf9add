// The callback interface through which the workers and the runner reach a window, an unattended
// run or a test: boxes, error reports, the progress dialog, and whether a window exists.
#pragma once

#include "platform/win_types.h"

#include <string>

class CProgressDlg;

// The application's title: the caption of a box that names none.
inline constexpr char kAppTitle[] = "Kopiwart";

// What the engine needs from its surroundings. Calls may come from any thread unless stated; an
// implementation hands window work to its own thread.
class IRunHost {
 public:
  virtual ~IRunHost() = default;

  // Shows a message box and blocks until it is answered; returns an ID* answer. A null-like
  // (empty) caption means the application's title.
  virtual int MessageBox(const std::string& text, const std::string& caption, u32 type) = 0;
  // Whether the main window exists, and whether the view's window is visible.
  virtual bool HasMainWindow() = 0;
  virtual bool IsViewVisible() = 0;
  // Failures of opening and saving a job file, as German text (main thread or start-up thread).
  virtual void ReportError(const std::string& text, const std::string& caption) = 0;
  // Runs a progress dialog modally on the calling thread until its worker is done (the dialog
  // has its worker set); returns the dialog's result, 1 or 2 when cancelled.
  virtual int RunProgressDialog(CProgressDlg& dialog) = 0;
};

// The answer an unattended run gives to a box of that type: it goes on without retrying forever
// and without doing anything that needs consent.
int UnattendedAnswer(u32 type);

// The program's entry: which frame a start gets, the exit status.
#pragma once

#include "app/app_frame.h"
#include "app/app_texts.h"
#include "jobs/worker.h"

#include <memory>
#include <string>

// Makes the GUI's frame on a display that answered (platform: the Qt platform to ask for, empty
// for the one QT_QPA_PLATFORM names), or null when none can be shown. The program without a GUI
// passes none.
using AppFrameFactory = std::unique_ptr<IAppFrame> (*)(const std::string& platform);

// With a display that answers (ProbeDisplay) and a GUI every start gets the GUI's frame; "-S -N"
// with a job file then runs hidden with its tray icon. Without one, "-S" with a job file runs
// without a window (saying so on standard error unless "-N" asked for none), and any other start
// fails with kNoWindowText and status 2. A display that is named but does not answer is named on
// standard error. env is what the runs take from the machine (the program passes the system's).
// Returns the exit status.
int KopiwartMain(int argc, const char* const* argv, AppFrameFactory gui, JobEnvironment env);

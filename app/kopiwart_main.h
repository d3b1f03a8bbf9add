// The program's entry: which frame a start gets, the exit status.
#pragma once

#include "app/app_frame.h"
#include "app/app_texts.h"
#include "jobs/worker.h"

#include <memory>

// Makes the GUI's frame, or null when none can be shown. The program without a GUI passes none.
using AppFrameFactory = std::unique_ptr<IAppFrame> (*)();

// Whether a display is there to show a window on: DISPLAY or WAYLAND_DISPLAY is set, or
// QT_QPA_PLATFORM names a platform (offscreen counts).
bool HaveDisplay();

// "-S -N" with a job file runs without a window and needs no display. Every other start needs
// the window: with a display and a GUI it gets the GUI's frame; without, "-S" with a job file
// runs as with "-N" (saying so on standard error), and any other start fails with kNoWindowText
// and status 2. env is what the runs take from the machine (the program passes the system's).
// Returns the exit status.
int KopiwartMain(int argc, const char* const* argv, AppFrameFactory gui, JobEnvironment env);

// The frame of a start with a window.
#pragma once

#include "app/app_frame.h"

#include <memory>

// Makes the QApplication and the main frame, or returns null when no window can be made here.
std::unique_ptr<IAppFrame> MakeGuiFrame();

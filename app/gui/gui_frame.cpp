// The frame of a start with a window.
#include "app/gui/gui_frame.h"

// The main window is not drawn yet: a start that needs it is told so, and "-S" runs without it.
std::unique_ptr<IAppFrame> MakeGuiFrame() { return nullptr; }

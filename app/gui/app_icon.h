// The program's icon (resource 128): the window's icon and the tray icon.
#pragma once

#include "platform/win_types.h"

#include <QIcon>

// The icon of a resource id; every id gives the program's icon, 16 × 16 pixels.
QIcon AppIcon(UINT resource = 128);

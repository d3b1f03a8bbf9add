// The process-wide switch to the program's own file dialogs: Qt's file dialogs need none.
#pragma once

#include "platform/win_types.h"

// Kept so that the start-up reads as before; Qt's dialogs are already the program's.
BOOL OfnInstallHook(UINT flags);

// ClipSetText: text onto the system clipboard.
#pragma once

#include "platform/win_types.h"

// Puts the UTF-8 text (length bytes, or up to its NUL with -1) on the clipboard whole, never cut.
// FALSE for a null text or when there is no clipboard (no application). Main thread.
BOOL ClipSetText(const char* text, int length);

// German texts for the Windows error codes that workers and connections report.
#pragma once

#include "platform/win_types.h"

// The German text for a Windows error code, or defaultText for a code without one.
const char* Win32ErrorText(DWORD code, const char* defaultText);

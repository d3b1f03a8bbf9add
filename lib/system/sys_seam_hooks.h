// What the library asks of the test seams (set through sys_seams.h); cheap when no test uses them.
#pragma once

#include "lib/system/sys_types.h"

// A creation time that a test set for this file, or 0.
SysUtc SysSeamCreationTime(u64 dev, u64 ino);
// True when a test asked that this folder act as unreadable.
bool SysSeamDirFault(const char* folderPath);
// True while a test forces the copy and rename fallbacks.
bool SysSeamForceFallbacks();

// What the library asks of test programs; the program itself links the plain answers.
#pragma once

#include "lib/system/sys_types.h"

#include <string>

// The library's definitions (sys_seam_hooks.cpp) are weak: a test program links its own over
// them (tests/support/sys_seam*.cpp), so nothing the shipped program reads can switch them on.

// A creation time that a test set for this file, or 0.
SysUtc SysSeamCreationTime(u64 dev, u64 ino);
// True when a test asked that this folder act as unreadable.
bool SysSeamDirFault(const char* folderPath);
// True while a test forces the copy and rename fallbacks.
bool SysSeamForceFallbacks();
// Told by the copy engine after each piece of data it copied (done: bytes so far), so that a
// test can change the source while a copy is under way.
void SysSeamCopyProgress(u64 done);
// The file of the machine hive: systemFile, or one a test program keeps it in instead.
std::string SysSeamMachineHiveFile(const char* systemFile);

// Filling a SysFileInfo from the kernel's file status (statx), shared by lookups and listings.
#pragma once

#include "lib/system/sys_types.h"

#include <sys/stat.h>

// Examines name relative to dirFd (AT_FDCWD for a plain path). A symbolic link is reported with
// SYS_ATTR_LINK and, when it has a target, that target's data. Returns 0 or an errno value.
// *isDir (may be null) tells whether a folder that is no link was found.
int SysStatInfo(int dirFd, const char* name, SysFileInfo* info, bool* isRealDir = nullptr);

// Fills info from a statx record.
void SysInfoFromStatx(const struct statx& st, SysFileInfo* info);

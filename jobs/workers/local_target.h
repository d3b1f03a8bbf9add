// Whether a copy may write a local target, by the RunFlags that protect existing files.
#pragma once

#include "lib/system/sys_types.h"
#include "platform/win_types.h"

enum : int {
  TARGET_SKIP = 0,       // leave the target alone (also when it cannot be examined)
  TARGET_ABSENT = 1,     // no target yet
  TARGET_OVERWRITE = 2,  // write over it (a read-only target has been made writable)
  TARGET_FOLDER = 3,     // the target is a folder
};
// Whether a copy may write the target, by the RunFlags 0x08, 0x20 and 0x01 (newer only: the
// source must be newer at two-second granularity, one hour apart counting as equal). Only a
// missing target or folder on the way means absent; any other failure to look it up skips with
// the last error set.
int CheckLocalTarget(const char* target, const FILETIME* sourceWrite, u32 runFlags);
int CheckLocalTargetTime(const char* target, SysUtc sourceWrite, u32 runFlags);

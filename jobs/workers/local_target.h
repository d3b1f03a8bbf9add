// Whether a copy may write a local target, by the RunFlags that protect existing files.
#pragma once

#include "lib/system/sys_types.h"
#include "platform/win_types.h"

// How the flag 0x01 judges whether the source is newer than an existing target.
enum NewerRule : int {
  NEWER_EXACT = 0,   // to the second; a source without a time (0) never is
  NEWER_COARSE = 1,  // in two-second units, one hour apart counting as equal
};
// Why the RunFlags 0x20, 0x08 and 0x01 leave an existing target alone; KEEP_NONE lets a copy
// write over it.
enum : int {
  KEEP_NONE = 0,
  KEEP_READ_ONLY = 1,  // 0x20, and the target has no owner write bit
  KEEP_EXISTING = 2,   // 0x08
  KEEP_NOT_OLDER = 3,  // 0x01, and the source is not newer
};
int LocalTargetKept(u32 runFlags, SysUtc sourceWrite, const SysFileInfo& target, NewerRule rule);

enum : int {
  TARGET_SKIP = 0,       // leave the target alone (also when it cannot be examined)
  TARGET_ABSENT = 1,     // no target yet
  TARGET_OVERWRITE = 2,  // write over it (a read-only target has been made writable)
  TARGET_FOLDER = 3,     // the target is a folder
};
// Whether a copy may write the target, by LocalTargetKept with NEWER_COARSE. Only a
// missing target or folder on the way means absent; any other failure to look it up skips with
// the last error set.
int CheckLocalTarget(const char* target, const FILETIME* sourceWrite, u32 runFlags);
int CheckLocalTargetTime(const char* target, SysUtc sourceWrite, u32 runFlags);

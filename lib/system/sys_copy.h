// The copy engine: copies or moves one file through a temporary name beside the target.
#pragma once

#include "lib/system/sys_counter.h"
#include "platform/win_types.h"

enum : int {
  SYS_COPY_COUNTER64 = 0x1,     // accepted: the counter is always 64-bit
  SYS_COPY_TOTAL64 = 0x2,       // accepted: the total is always 64-bit
  SYS_COPY_NO_REPLACE = 0x08,   // refuse an existing target (result -1, last error 80; 267 for a folder)
  SYS_COPY_TEMP_NAME = 0x10,    // always done: write beside the target, rename at the end
  SYS_COPY_TIMES = 0x20,        // keep the write and access times
  SYS_COPY_FORCE = 0x80,        // replace a target that has no owner write bit
  SYS_COPY_MAKE_DIRS = 0x100,   // create missing folders of the target
  SYS_COPY_MOVE = 0x400,        // move: rename on one file system, else copy and delete the source
  SYS_COPY_MOVE_READONLY = 0x800,  // accepted: deleting a source never depends on its mode here
  SYS_COPY_NO_LINK = 0x1000,    // a copy refuses a link as its source (SYS_COPY_SOURCE_ERROR), never reads through it
};

// Results.
enum : int {
  SYS_COPY_DONE = 1,
  SYS_COPY_STOPPED = 0,         // the cancel flag was set; the old target is untouched
  SYS_COPY_EXISTS = -1,
  SYS_COPY_TARGET_ERROR = -2,
  SYS_COPY_SOURCE_ERROR = -3,
  SYS_COPY_WRITE_ERROR = -4,
  SYS_COPY_READ_ERROR = -5,
  SYS_COPY_RENAME_ERROR = -6,
};

// Copies (or moves) source onto target. The permission bits always travel with the content.
// counter (may be null) is reset and advanced as data is written; *total (may be null) gets the
// source's size; a non-zero *cancel (may be null) stops the copy within a few MiB. A copy that
// is stopped or fails leaves the old target as it was and no temporary file behind. Holes of a
// sparse source stay holes. A move across file systems deletes the source only when it is still
// the file that was copied, unchanged (else SYS_COPY_SOURCE_ERROR, last error 32, and the copy
// stays); a move onto another name of the same file fails (SYS_COPY_TARGET_ERROR, 183).
int SysFileCopyEx(int flags, const char* source, const char* target, SysByteCounter* counter, u64* total,
                  const SysCancelFlag* cancel);

// The same for the name srcName in the folder open as srcDir onto dstName in the folder open as
// dstDir; no folders are made. A link in dstName's place is replaced, never followed; a link as
// the source is read through (a move renames the link itself where it can).
int SysFileCopyAt(int flags, int srcDir, const char* srcName, int dstDir, const char* dstName,
                  SysByteCounter* counter, u64* total, const SysCancelFlag* cancel);

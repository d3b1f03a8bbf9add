// The fault seam of temporary files and replaces: a test program may make a step fail.
#pragma once

enum class SysReplaceStep {
  Unnamed,     // creating a file without a name (a failure falls back to a named, locked one)
  Write,       // each write through SysTempFile::Write
  Sync,        // the flush of the new file before it takes the old one's place
  SyncFolder,  // the flush of its folder after the rename
};

// Called before each step; a non-zero errno makes the step fail with it. The program's own
// definition never fails. A test program links its own definition over it (the library's is
// weak), so nothing the shipped program reads can switch faults on.
int SysReplaceFault(SysReplaceStep step);

// The flush of a Sync or SyncFolder step: fsync of fd, 0 or an errno. A test program links its
// own definition over the library's to see every flush (and fail it through SysReplaceFault).
int SysReplaceSync(int fd, SysReplaceStep step);

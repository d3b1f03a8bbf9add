// The one guard of every worker that deletes: the folders it never removes or empties.
#pragma once

// What protects a folder. DEL_GUARD_ROOT: the file system's root, never removed or emptied.
// With emptiesWhole (the row would remove or empty the folder without filters) also
// DEL_GUARD_HOME, the user's home folder, and DEL_GUARD_MOUNT, the root of a mounted file system.
// DEL_GUARD_UNKNOWN: the folder exists but cannot be examined; it is kept like a guarded one.
// A folder that does not exist, or a path without local meaning, gives DEL_GUARD_OK: there is
// nothing to delete there.
enum : int {
  DEL_GUARD_OK = 0,
  DEL_GUARD_ROOT = 1,
  DEL_GUARD_MOUNT = 2,
  DEL_GUARD_HOME = 3,
  DEL_GUARD_UNKNOWN = 4,
};
int DelGuard(const char* folder, bool emptiesWhole);

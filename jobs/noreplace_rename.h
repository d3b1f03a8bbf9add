// Renaming that never replaces an existing target, with fallbacks where the kernel lacks it.
#pragma once

// Renames a file or folder to a name that must not exist yet. Paths may use "\" for "/". Uses renameat2 with
// RENAME_NOREPLACE. Where the file system does not support it: a file is linked under the new name
// and the old name removed (link refuses an existing name, so this is as safe); a folder, or a
// file on a file system without hard links, is renamed after checking that the new name is free.
// That last check and rename are two steps: a folder or file created under the new name between
// them by someone else may be lost (rename replaces an empty folder or a file). Returns true on
// success; on failure sets the last error (80 or 183 when the target exists) and changes nothing.
bool RenameNoReplace(const char* from, const char* to);

// For tests: act as on a file system without RENAME_NOREPLACE (true) or normally (false).
void RenameNoReplaceSimulateUnsupported(bool unsupported);

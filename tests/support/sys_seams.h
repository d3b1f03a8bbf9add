// Seams of the system library for states tests (which run as root) cannot make with permissions,
// clocks or file systems. Calling a setter links the test program's hooks over the library's.
#pragma once

#include "lib/system/sys_types.h"

#include <string>

// Makes the listing and lookups see t as the creation time of the file that path names now (kept
// by the file's identity, so it follows the file through renames). t of 0 removes the setting.
// Returns 0, or a SysError when the file cannot be examined.
int SysTestSetCreationTime(const char* path, SysUtc t);
void SysTestClearCreationTimes();

// While set, opening a folder whose path (as given to the listing, "/" separators) equals one
// for which the predicate returns true fails as if access were denied.
using SysDirFaultFn = bool (*)(const char* folderPath);
void SysTestSetDirFault(SysDirFaultFn fn);

// While set, the copy engine writes named temporary files (no O_TMPFILE) and renames that must
// not replace act as if the file system lacked RENAME_NOREPLACE, so tests reach the fallbacks.
void SysTestForceFallbacks(bool on);

// While set, fn runs in the copying thread after each piece of data the copy engine copied (done:
// the bytes so far); null removes it.
using SysCopyProgressFn = void (*)(u64 done);
void SysTestSetCopyProgress(SysCopyProgressFn fn);

// Keeps HKEY_LOCAL_MACHINE in path instead of the system's file from now on; "" restores that.
void SysTestSetMachineHive(const std::string& path);

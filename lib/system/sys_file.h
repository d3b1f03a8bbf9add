// The Sys file API: existence, sizes, lookups, deletion, folders, whole-file reads and writes.
//
// Paths are UTF-8 and may use "\" for "/". Drive forms ("C:\...") and UNC forms ("\\server\...",
// "//server/...") have no local meaning: every function here refuses them (last error 15 or 53)
// instead of touching a local path that happens to look alike.
#pragma once

#include "lib/system/sys_types.h"

#include <string>

// 0 missing, 1 file, 2 folder, 3 the root "/". A link is judged by its target.
int SysFileExist(const char* path);
// Size of a file; -1 when it is missing or a folder.
i64 SysFileLength(const char* path);
// Size of the open file descriptor fd into *size; returns its low 32 bits, or 0xFFFFFFFF with the
// last error set when fd cannot be examined (*size is then left alone).
DWORD SysGetFileSizeEx(int fd, u64* size);

// Deletes a file (a link itself, never its target); on access denied gives the file its owner
// write bit and tries once more. Non-zero on success.
int SysDelete(const char* path);
// Deletes a folder with everything below it; links are removed, never followed. Flag 0 removes
// the folder itself too, SYS_RMDIR_KEEP_ROOT only its contents. 1 on success, 0 when anything
// could not be removed (the last error tells the first failure).
enum : int { SYS_RMDIR_KEEP_ROOT = 1 };
int SysRmdirTree(const char* path, int flags);
// Creates a folder and every missing parent: 1 created, 2 already there, 0 failure (also when a
// file has the name).
int SysMkdirAll(const char* path);

// Renames a file or folder. With SYS_RENAME_NOREPLACE an existing target is never replaced: the
// result is SYS_ERR_EXISTS with last error 80 (183 for a folder). Where the file system lacks
// atomic no-replace renames, files fall back to link and unlink; folders to a check before the
// rename, which leaves a short race with another process creating the target. 0 on success.
enum : int { SYS_RENAME_NOREPLACE = 1 };
int SysRename(const char* from, const char* to, int flags);

// The same on a name in a folder open as dirFd. A link in the name's place is never followed:
// SysDeleteAt removes the link itself, SysRmdirAt and SysRmdirTreeAt refuse it as no folder
// (ENOTDIR; SysRmdirTreeAt removes the link itself without SYS_RMDIR_KEEP_ROOT, as SysRmdirTree).
int SysDeleteAt(int dirFd, const char* name);
int SysRmdirAt(int dirFd, const char* name);
int SysRmdirTreeAt(int dirFd, const char* name, int flags);
int SysRenameAt(int fromDir, const char* from, int toDir, const char* to, int flags);

// Reads at most size - 2 bytes of the file and terminates them with two zero bytes; returns the
// bytes read, or a SysError (also for a size below 2). flags must be 0.
int SysReadFile(const char* path, void* buffer, int size, int flags);
// Writes a file: replaced and flushed as SysReplaceFile does (sys_replace.h), or with append
// non-zero, appended to (a failed append cuts the file back to its old length). 1 on success, 0
// on failure.
int SysWriteFile(const char* path, const void* data, i64 length, int append);
// 1 when both files have the same size and content, 0 when they differ or one cannot be read
// (the last error then tells why).
int SysFileCompare(const char* a, const char* b);

// Full name of the running executable; returns its length, 0 when it does not fit.
int SysExePath(char* buffer, int size);
void SysStrExePath(std::string& out);

// A lookup. SysFindFirstEx fills the record for a path; with "*" or "?" in the last component it
// opens a search over the matching names of that folder (case-sensitive), continued by SysFindNext.
// Returns the search handle, or null when nothing is found (*error, when given, gets the SysError).
struct SysFindState;
using SysFindHandle = SysFindState*;
SysFindHandle SysFindFirstEx(const char* path, SysFindStruct* find, int* error = nullptr);
// The next match; non-zero while one was delivered.
int SysFindNext(SysFindHandle handle, SysFindStruct* find);
void SysFindClose(SysFindHandle handle);
// The write time, else the creation time, else the access time (0 and kSysUtcMissing count as
// missing); -1 for null.
SysUtc SysFindTime(const SysFileInfo* info);

// Whole reads and writes on file descriptors, retried after signals, for every file writer here.
#pragma once

#include "platform/win_types.h"

#include <cstddef>
#include <string>

struct stat;

// Opens a regular file for reading without ever blocking on a FIFO or device: -1 with errno
// set, EACCES for anything that is not a regular file (a pipe in a source tree must not hang an
// unattended run).
int SysOpenRegular(const char* osPath);
// The same for name in the folder open as dirFd; a link as name is read through only with
// followLink (else ELOOP).
int SysOpenRegularAt(int dirFd, const char* name, bool followLink = true);

// Writes all bytes; false with errno set (a write that takes nothing counts as EIO).
bool SysWriteAll(int fd, const void* data, std::size_t length);
// Writes all bytes at an offset; false with errno set.
bool SysPwriteAll(int fd, const void* data, std::size_t length, u64 offset);
// Reads exactly length bytes at an offset; false with errno set, errno 0 when the file ends first.
bool SysPreadAll(int fd, void* data, std::size_t length, u64 offset);
// Reads until length bytes are in or the file ends: the count, or -1 with errno set.
i64 SysReadUpTo(int fd, void* data, std::size_t length);
// Reads from the current position to the end of the file into out (cleared first); false with
// errno set.
bool SysReadToEnd(int fd, std::string& out);

// Reads the regular file osPath whole into out (cleared first), opened as SysOpenRegular opens
// it. 0, or the errno of the failure (out is then empty). With st, the file's status as it was
// opened: a size other than out's tells of a writer meanwhile.
int SysReadWholeFile(const char* osPath, std::string& out, struct stat* st = nullptr);

// CSftpUrlConnection: sftp:// URLs through the Sftp functions of the communication library.
#pragma once

#include "remote/ssh/comm_connection.h"

#include <atomic>
#include <string>

// The engine handle is a handle of the communication library (remote/ssh/comm_lib.h). The adapter
// keeps the current folder itself; paths are joined to it and "." and ".." resolved by name.
// A session that was lost (or broken by Break) is replaced by a new one before the next
// operation. Listings give links (type 0xA000) the attributes of what they lead to, with 0x200;
// a link whose target cannot be read is listed as it is. Folders are listed with size 0. Bits
// 32-37 of a size are in attribute bits 10-15, so 0x400 says nothing about reparse points here.
class CSftpUrlConnection : public CCommLibConnection {
 public:
  CSftpUrlConnection(std::uintptr_t engineHandle, const char* host, const char* user, const char* password,
                     u32 reserved, u16 port, u32 alternateMode);

  // The first step on a connected handle: the server's current folder becomes ours (its failure
  // makes the connect fail with 1164).
  BOOL Init(u32 checkConnection, u32 timeoutMs, u32 utf8Names);

  BOOL ChangeDir(const char* path) override;
  BOOL SetFileTime(const char* path, FILETIME lastWrite) override;
  // The protocol carries 32 bits of seconds since 1970.
  i64 StoredWriteTime(const char* path, i64 seconds) override;
  BOOL SetAttributes(const char* path, u32 attributes) override;
  BOOL Rmdir(const char* path) override;
  BOOL Mkdir(const char* path) override;
  BOOL Remove(const char* path) override;
  BOOL Rename(const char* oldPath, const char* newPath) override;
  BOOL UploadProc(const char* remote, void* context, UrlReadFn read, u32 r1, u32 r2) override;
  BOOL UploadFile(const char* local, const char* remote, u32 r1, u32 r2) override;
  BOOL DownloadProc(const char* remote, void* context, UrlWriteFn write, u32 r1, u32 r2, u32 r3) override;
  BOOL DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32 r1, u32 r2,
                    u32 r3) override;
  BOOL ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) override;

 private:
  // The guard of every operation: 6 without a handle; a lost session is replaced.
  bool EnsureConnected(bool force) override;
  BOOL Reconnect(u64 tries) override;
  BOOL RefreshCounters() override;
  BOOL SetDone(u64 value, int size) override;
  BOOL SetFindData(const void* buffer, int size) override;
  // A library result as the operation's result (last error set; a session in doubt is tested
  // before the next operation).
  BOOL Result(int code);
  BOOL SetStat(const char* path, u32 flags, u32 mode, u32 atime, u32 mtime);

  std::atomic<u64> m_announcedTotal{0};  // the total of a running UploadProc (option 76)
};

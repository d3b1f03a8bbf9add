// CFtpUrlConnection: ftp:// URLs through the connection interface, over the FTP client.
#pragma once

#include "remote/ftp/ftp_client.h"
#include "remote/url_connection.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// Failures carry the Windows code of the reply (MapCode); a transfer that Break stopped fails
// with ERROR_CANCELLED. Uploads go to a temporary name that replaces the target only when the
// file is whole; downloads to a temporary file beside the local target. Rename refuses a target
// that the server shows to exist. SetAttributes succeeds on reply 200 only; servers that refuse
// SITE CHMOD (anonymous sessions) fail it. Option 79 gives the size a listing showed for the next
// download: a server without SIZE that sends another number of bytes fails it.
class CFtpUrlConnection : public CUrlConnection {
 public:
  CFtpUrlConnection(std::unique_ptr<FtpSession> session, const char* host, const char* user, const char* password,
                    u32 reserved, u16 port, u32 alternateMode);
  ~CFtpUrlConnection() override;

  BOOL ChangeDir(const char* path) override;
  BOOL SetFileTime(const char* path, FILETIME lastWrite) override;
  // MDTM.
  BOOL GetFileTime(const char* path, FILETIME* lastWrite) override;
  BOOL SetAttributes(const char* path, u32 attributes) override;
  BOOL Rmdir(const char* path) override;
  BOOL Mkdir(const char* path) override;
  BOOL Remove(const char* path) override;
  BOOL Rename(const char* oldPath, const char* newPath) override;
  void Close() override;
  BOOL UploadProc(const char* remote, void* context, UrlReadFn read, u32 r1, u32 r2) override;
  BOOL UploadFile(const char* local, const char* remote, u32 r1, u32 r2) override;
  BOOL DownloadProc(const char* remote, void* context, UrlWriteFn write, u32 r1, u32 r2, u32 r3) override;
  BOOL DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32 r1, u32 r2, u32 r3) override;
  BOOL ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) override;
  BOOL Break() override;

  // An FTP reply code or a client code as a Windows error code.
  static DWORD MapCode(int code);

  FtpSession* Session() const { return m_session.get(); }

 private:
  bool Usable(const char* path);
  // PWD.
  bool CurrentDir(std::string& dir) override;
  Attempt ReconnectOnce() override;
  BOOL Reconnect(u64 tries) override;
  BOOL RefreshCounters() override;
  u32 Timeout() override;
  void SetTimeout(u64 ms) override;
  BOOL SetDone(u64 value, int size) override;
  // Options 66 (retry) and 79 (the listed size of the next download).
  BOOL SetOwnOption(int id, const void* buffer, int size) override;
  BOOL Result(int code, bool ok);
  // Runs a transfer with the busy flag raised; once more after 984, 991 or 996 with option 66,
  // unless it was broken or (restartable false) bytes had moved already.
  BOOL Transfer(const std::function<int()>& run, bool restartable, u32 localSide);

  std::unique_ptr<FtpSession> m_session;
  std::mutex m_sessionMutex;  // Break and the progress reads against Close
  std::atomic<bool> m_retry{false};
  std::atomic<bool> m_cancelled{false};
  std::optional<u64> m_nextDownloadSize;  // option 79
};

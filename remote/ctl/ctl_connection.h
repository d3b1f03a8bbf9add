// CCtlCommUrlConnection: ctlcomm:// through the controller library, which is loaded at run time.
#pragma once

#include "remote/ctlclient/ctl_client.h"
#include "remote/url_connection.h"

#include <atomic>
#include <string>

// Loads the controller library once per process: "<folder>/libCtlClient32.so" when a folder is
// given, else (or when that fails) beside the program, then "libCtlClient32.so" by the loader's
// search path; every one of the twenty Ci functions must be there; then CiInit. TRUE when it is
// loaded (also when it was already). On failure *problem (may be null) gets a German text that names what is
// missing.
BOOL CtlClientLoad(const char* folder, std::string* problem = nullptr);
// CiExit, then the library is let go; FALSE when none was loaded. No connection may outlive it.
BOOL CtlClientUnload();
// A new link to host:port (port 0 means 9200) with the first-connect record. 1154 when the
// library is not loaded; the library's failures as 87, 14, 1814, 1158 or 1460. The user name and
// password are not passed on: the controller asks for none.
BOOL CtlClientConnect(CiHandle* handle, const char* host, u16 port, const char* user, const char* password);
// The Windows error code of a library result; *checkLink is set for results that put the link
// in doubt (a lost link).
DWORD CtlErrorFromCi(int result, bool* checkLink);

// Paths are joined against the current folder with "/" only ("\" is a byte of a name), "." and
// ".." resolved by the text; a path longer than the controller takes fails with 206 (it is never
// cut, which would name another file). With option 69 off, paths go to the library in Latin-1
// (a name with a character that Latin-1 lacks fails with 123) and names come back from it.
//
// Before each operation (except GetCurrentDir, Close and Break, and options 63 and 64, which the
// progress timer reads from another thread) the link is tested; a lost link is made again once
// per connection, to the same address text as the first connect; after that, or after Close or
// Break, operations fail with 1359 and options with 6.
//
// Listings: read-only when the controller says the file is not writable; links are delivered
// with URL_ATTR_LINK (and URL_ATTR_DIRECTORY when they lead to a folder) and are never entered:
// ChangeDir refuses them. A name that does not fit a listing record is left out. The controller
// keeps no times: SetFileTime fails with 50, and option 74 applies the attributes alone.
class CCtlCommUrlConnection : public CUrlConnection {
 public:
  CCtlCommUrlConnection(CiHandle handle, const char* host, const char* user, const char* password,
                        u32 reserved, u16 port);
  ~CCtlCommUrlConnection() override;

  // The controller's start folder becomes the current folder; reconnectFlag non-zero tests the
  // link before each operation. FALSE with the library's error when the start folder cannot be
  // read.
  BOOL Init(u32 reconnectFlag, u32 timeout, BOOL utf8Names);

  BOOL ChangeDir(const char* path) override;
  BOOL SetFileTime(const char* path, FILETIME lastWrite) override;
  BOOL SetAttributes(const char* path, u32 attributes) override;
  BOOL Rmdir(const char* path) override;
  BOOL Mkdir(const char* path) override;
  BOOL Remove(const char* path) override;
  BOOL Rename(const char* oldPath, const char* newPath) override;
  void Close() override;
  BOOL UploadProc(const char* remote, void* context, UrlReadFn read, u32 r1, u32 r2) override;
  BOOL UploadFile(const char* local, const char* remote, u32 r1, u32 r2) override;
  BOOL DownloadProc(const char* remote, void* context, UrlWriteFn write, u32 r1, u32 r2, u32 r3) override;
  BOOL DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32 r1, u32 r2,
                    u32 r3) override;
  BOOL ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) override;
  // While a transfer runs: ends the link (the running call returns), so that the connection is
  // closed from then on.
  BOOL Break() override;

 private:
  CiHandle Handle() const { return static_cast<CiHandle>(GetEngineHandle()); }
  // Tests the link and makes it again once; false with 1359 when it is gone for good.
  bool EnsureOnline(bool force);
  // The last error for a library result; TRUE for 0.
  BOOL SetCiError(int result);
  // The options' parts of this adapter: a test of the link before every option but 63, 64 and
  // 72 (the reconnect itself), the counters of the library's progress record.
  bool OptionReady(int id) override;
  BOOL RefreshCounters() override;
  BOOL SetDone(u64 value, int size) override;
  Attempt ReconnectOnce() override;
  // Option 74: the attributes alone (50 for a record without any).
  BOOL SetFindData(const void* buffer, int size) override;
  // Starts a transfer: counters cleared, failure side 2, busy raised.
  void BeginTransfer();
  BOOL EndTransfer(int result);

  CiProgress m_progress{};
  std::atomic<bool> m_checkLink{false};
  bool m_reconnecting = false;
};

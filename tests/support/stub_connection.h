// A connection whose file operations all fail with 120, for doubles that only need a few of them.
#pragma once

#include "platform/last_error.h"
#include "remote/url_connection.h"

namespace kpwtest {

class StubConnection : public CUrlConnection {
 public:
  using CUrlConnection::CUrlConnection;
  BOOL ChangeDir(const char*) override { return No(); }
  BOOL GetCurrentDir(char*, int*) override { return No(); }
  BOOL SetFileTime(const char*, FILETIME) override { return No(); }
  BOOL SetAttributes(const char*, u32) override { return No(); }
  BOOL Rmdir(const char*) override { return No(); }
  BOOL Mkdir(const char*) override { return No(); }
  BOOL Remove(const char*) override { return No(); }
  BOOL Rename(const char*, const char*) override { return No(); }
  void Close() override {}
  BOOL UploadFile(const char*, const char*, u32, u32) override { return No(); }
  BOOL DownloadFile(const char*, const char*, BOOL, u32, u32, u32) override { return No(); }
  BOOL ReadDir(const char*, void* context, UrlEntryFn entry, const UrlDirFilter&) override {
    if (entry) entry(context, nullptr);
    return No();
  }
  BOOL Break() override { return TRUE; }

 private:
  static BOOL No() {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
};

}  // namespace kpwtest

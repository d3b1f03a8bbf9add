// The abstract connection through which workers reach every kind of file store a URL names.
#pragma once

#include "platform/win_types.h"

#include <atomic>
#include <string>

// Option ids of GetOption/SetOption that the job engine reads.
enum : int {
  URL_OPT_BYTES_DONE = 63,   // bytes done of the running or last transfer
  URL_OPT_PROGRESS = 64,     // bytes done and bytes in total
  URL_OPT_SET_DONE = 65,
  URL_OPT_KIND = 71,         // connection kind: ftp 1, sftp 2, ssh 2, local 3, disk 5, ctlcomm 6
  URL_OPT_FAIL_SIDE = 75,
  URL_OPT_UPLOAD_SIZE = 76,
};

// Every operation reports failure as FALSE with a Windows error code left as the thread's last
// error. A connection is used by one thread; only Break (and BreakIfBusy) may be called from
// another thread while a transfer runs.
class CUrlConnection {
 public:
  CUrlConnection(u32 engineHandle, const char* host, const char* user, const char* password,
                 u32 reserved, u16 port, u32 alternateMode);
  virtual ~CUrlConnection() = default;
  CUrlConnection(const CUrlConnection&) = delete;
  CUrlConnection& operator=(const CUrlConnection&) = delete;

  // Disconnects and clears the engine handle.
  virtual void Close() = 0;

  // Asks an option into buffer; *size is the buffer's size on entry and the answer's length on
  // return. The base knows no option (123). Options 63 and 64 answer 32-bit words in a buffer
  // of 4 and 8 bytes; with room for 8 and 16 bytes they answer 64-bit words, so that transfers
  // of 4 GiB and more keep counting.
  virtual BOOL GetOption(int id, void* buffer, int* size);
  // The base knows option 76 (size of the next upload) only.
  virtual BOOL SetOption(int id, const void* buffer, int size, u32 reserved);

  // Aborts the running transfer; may be called from another thread.
  virtual BOOL Break() = 0;
  // Calls Break when a transfer is running (the job engine's cancel does this).
  void BreakIfBusy();
  bool IsBusy() const { return m_busy.load() != 0; }

  const std::string& GetHost() const { return m_host; }
  u32 GetEngineHandle() const { return m_engineHandle; }

 protected:
  // Adapters raise the busy flag around each transfer call into their engine.
  void SetBusy(bool busy) { m_busy.store(busy ? 1 : 0); }

  u16 m_port = 0;
  u32 m_alternateMode = 0;
  u32 m_nextUploadSize = 0;
  u32 m_reserved = 0;
  u32 m_failureSide = 0;
  std::string m_host;
  std::string m_user;
  std::string m_password;
  const char* m_urlPrefix = "ftp://";
  u32 m_engineHandle = 0;
  std::atomic<u32> m_busy{0};
};

// CCommLibConnection: what the SFTP and SSH adapters share of a session of the communication library.
#pragma once

#include "remote/url_connection.h"

#include <atomic>
#include <string>

// The engine handle is a handle of one half of the communication library (remote/ssh/comm_lib.h):
// Sftp or Ssh. A session in doubt (m_checkLink) is tested before the next operation and made
// anew when it is lost; a handle that was connected once is never connected again, but replaced.
class CCommLibConnection : public CUrlConnection {
 public:
  ~CCommLibConnection() override;

  void Close() override;
  // While a transfer runs: the library's break, after which the session is in doubt.
  BOOL Break() override;

 protected:
  enum class Half { Sftp, Ssh };
  CCommLibConnection(Half half, std::uintptr_t engineHandle, const char* host, const char* user,
                     const char* password, u32 reserved, u16 port, u32 alternateMode);

  u32 Handle() const { return static_cast<u32>(GetEngineHandle()); }
  // The guard of every operation: 6 without a handle; a session in doubt is tested, and a lost
  // one made anew (force: always).
  virtual bool EnsureConnected(bool force) = 0;
  Attempt ReconnectOnce() override;
  // EnsureConnected, then path as the library takes it.
  bool Reach(const char* path, std::string& wire);
  // Reach for a download into local: 87 for no local name, 80 for one there with failIfExists.
  bool ReachDownload(const char* remote, const char* local, BOOL failIfExists, std::string& wire);
  // Whether the session answers (IsConnected of the half).
  bool SessionAnswers() const;
  // Connects the session as user: a handle that was connected before is closed and replaced
  // first; when the library wants a new handle (COMM_HANDLE_USED) it gets one, and the connect
  // is tried once more. The library's result; COMM_INTERNAL when no new handle could be had.
  int ConnectSession(const std::string& user);
  // The time-out stays below 2^31 ms, as the library takes it.
  void SetTimeout(u64 ms) override;
  // The adapter's part of a break, before the library's.
  virtual void OnBreak() {}

  std::atomic<bool> m_checkLink{false};  // the session is in doubt: test it first
  bool m_sessionUp = false;              // the handle was connected: a connect needs a new one

 private:
  Half m_half;
};

// The communication library's session under the SFTP and SSH adapters: connect, renew, close and break.
#include "remote/ssh/comm_connection.h"

#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/ssh/comm_lib.h"

#include <algorithm>

CCommLibConnection::CCommLibConnection(Half half, std::uintptr_t engineHandle, const char* host, const char* user,
                                       const char* password, u32 reserved, u16 port, u32 alternateMode)
    : CUrlConnection(engineHandle, host, user, password, reserved, port, alternateMode), m_half(half) {
  // Both halves answer options 68 and 71 as sftp, and keep write times in whole seconds.
  m_caps = {.kind = URL_KIND_SFTP, .kind68 = URL_KIND_SFTP, .timeout = true, .utf8Option = true,
            .reconnects = true, .timeStep = 10'000'000};
}

CCommLibConnection::~CCommLibConnection() {
  if (Handle()) Close();
}

bool CCommLibConnection::SessionAnswers() const {
  CommLibFunctions& lib = CommLib();
  return (m_half == Half::Sftp ? lib.SftpIsConnected : lib.SshIsConnected)(Handle()) != 0;
}

int CCommLibConnection::ConnectSession(const std::string& user) {
  CommLibFunctions& lib = CommLib();
  const bool sftp = m_half == Half::Sftp;
  u32 handle = Handle();
  const auto renew = [&]() {
    (sftp ? lib.SftpClose : lib.SshClose)(handle);
    handle = (sftp ? lib.SftpCreate : lib.SshCreate)();
    m_engineHandle.store(handle);
    return handle != 0;
  };
  const auto connect = [&]() {
    return (sftp ? lib.SftpConnect : lib.SshConnect)(handle, m_host.c_str(), m_port, user.c_str(),
                                                      m_password.c_str(), static_cast<int>(m_timeout));
  };
  if (m_sessionUp && !renew()) return COMM_INTERNAL;
  m_sessionUp = true;
  int code = connect();
  if (code == COMM_HANDLE_USED) {
    (sftp ? lib.SftpBreak : lib.SshBreak)(handle);
    if (!renew()) return COMM_INTERNAL;
    code = connect();
  }
  return code;
}

CUrlConnection::Attempt CCommLibConnection::ReconnectOnce() {
  return EnsureConnected(true) ? Attempt::Done : Attempt::Failed;
}

bool CCommLibConnection::Reach(const char* path, std::string& wire) {
  return EnsureConnected(false) && Build(path, nullptr, &wire);
}

bool CCommLibConnection::ReachDownload(const char* remote, const char* local, BOOL failIfExists,
                                       std::string& wire) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  if (!local || !*local) return Fail(ERROR_INVALID_PARAMETER);
  return LocalTargetFree(local, failIfExists) && Reach(remote, wire);
}

void CCommLibConnection::SetTimeout(u64 ms) { m_timeout = static_cast<u32>(std::min<u64>(ms, 0x7FFFFFFF)); }

void CCommLibConnection::Close() {
  const u32 handle = Handle();
  m_engineHandle.store(0);
  m_checkLink.store(false);
  m_sessionUp = false;
  if (handle) (m_half == Half::Sftp ? CommLib().SftpClose : CommLib().SshClose)(handle);
}

BOOL CCommLibConnection::Break() {
  const u32 handle = Handle();
  if (!handle) return FALSE;
  if (!IsBusy()) return TRUE;
  OnBreak();
  m_checkLink.store(true);
  (m_half == Half::Sftp ? CommLib().SftpBreak : CommLib().SshBreak)(handle);
  SetBusy(false);
  return TRUE;
}

// The connection base class: shared fields, the option defaults and the cross-thread break.
#include "remote/url_connection.h"

#include "platform/last_error.h"

#include <cstring>

CUrlConnection::CUrlConnection(u32 engineHandle, const char* host, const char* user,
                               const char* password, u32 reserved, u16 port, u32 alternateMode)
    : m_port(port),
      m_alternateMode(alternateMode),
      m_reserved(reserved),
      m_host(host ? host : ""),
      m_user(user ? user : ""),
      m_password(password ? password : ""),
      m_engineHandle(engineHandle) {}

BOOL CUrlConnection::GetOption(int, void*, int*) {
  SetLastError(ERROR_INVALID_NAME);
  return FALSE;
}

BOOL CUrlConnection::SetOption(int id, const void* buffer, int size, u32) {
  if (id != URL_OPT_UPLOAD_SIZE) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  if (!buffer || size < 4) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memcpy(&m_nextUploadSize, buffer, 4);
  return TRUE;
}

void CUrlConnection::BreakIfBusy() {
  if (IsBusy()) Break();
}

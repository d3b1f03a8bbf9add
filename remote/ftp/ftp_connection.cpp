// The FTP adapter: connection operations as FTP commands, reply codes as Windows codes, retry and break.
#include "remote/ftp/ftp_connection.h"

#include "lib/text/enc.h"
#include "lib/text/str.h"
#include "platform/last_error.h"


#include <algorithm>
#include <cstring>
#include <utility>

namespace {

bool Ok2xx(int code) {
  return code / 100 == 2;
}

}  // namespace

CFtpUrlConnection::CFtpUrlConnection(std::unique_ptr<FtpSession> session, const char* host, const char* user,
                                     const char* password, u32 reserved, u16 port, u32 alternateMode)
    : CUrlConnection(reinterpret_cast<std::uintptr_t>(session.get()), host, user, password, reserved, port,
                     alternateMode),
      m_session(std::move(session)) {
  m_urlPrefix = "ftp://";
  m_caps = {.kind = URL_KIND_FTP, .kind68 = URL_KIND_FTP, .timeout = true, .reconnects = true, .timeStep = 10'000'000};
}

CFtpUrlConnection::~CFtpUrlConnection() {
  if (m_session) Close();
}

DWORD CFtpUrlConnection::MapCode(int code) {
  switch (code) {
    case 331: return ERROR_WRONG_PASSWORD;
    case 332: case 530: case 532: return ERROR_LOGON_FAILURE;
    case 421: case 502: case 504: return ERROR_CALL_NOT_IMPLEMENTED;
    case 425: return ERROR_OPEN_FAILED;
    case 426: return ERROR_REQUEST_ABORTED;
    case 451: case 551: return ERROR_OPERATION_ABORTED;
    case 500: case 501: case 503: return ERROR_INVALID_PARAMETER;
    case 552: return ERROR_DISK_FULL;
    case FTP_E_CHANGED: return ERROR_SHARING_VIOLATION;  // changed while it was copied
    case FTP_E_BAD_NAME: return ERROR_INVALID_NAME;
    case FTP_E_PATH_TOO_LONG: return ERROR_FILENAME_EXCED_RANGE;
    case FTP_E_LISTING: return ERROR_FILE_CORRUPT;  // the listing is damaged: nothing may act on it
    case FTP_E_NO_DATA_CONN: return ERROR_REQ_NOT_ACCEP;
    case FTP_E_NO_MEMORY: return ERROR_OUTOFMEMORY;
    case FTP_E_WRONG_TIME: return ERROR_INVALID_TIME;
    case FTP_E_LOCAL_WRITE: return ERROR_WRITE_FAULT;
    case FTP_E_SEND_DATA: return ERROR_NET_WRITE_FAULT;
    case FTP_E_LOCAL_READ: return ERROR_READ_FAULT;
    case FTP_E_LISTEN: return ERROR_INVALID_ACCESS;
    case FTP_E_PASSIVE_CONN: return ERROR_REQ_NOT_ACCEP;
    case FTP_E_PASSIVE_PORT: return ERROR_PROTOCOL_UNREACHABLE;
    case FTP_E_LOCAL_CREATE: return ERROR_CANNOT_MAKE;
    case FTP_E_LOCAL_MISSING: return ERROR_FILE_NOT_FOUND;
    case FTP_E_CONNECT: return ERROR_HOST_UNREACHABLE;
    case FTP_E_TIMEOUT: return ERROR_TIMEOUT;
    case FTP_E_BROKEN: return ERROR_REQUEST_ABORTED;
    case FTP_E_SEND: return ERROR_WRITE_FAULT;
    case FTP_E_HOST: return ERROR_BAD_NETPATH;
    default: return ERROR_INVALID_ACCESS;
  }
}

bool CFtpUrlConnection::Usable(const char* path) {
  if (!m_session) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (m_currentDirLost && path && !(*path == '/')) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

BOOL CFtpUrlConnection::Result(int code, bool ok) {
  if (ok) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  return Fail(MapCode(code));
}

BOOL CFtpUrlConnection::ChangeDir(const char* path) {
  if (!Usable(nullptr)) return FALSE;
  const int code = FtpCwd(m_session.get(), path ? path : "");
  if (Ok2xx(code)) m_currentDirLost = false;
  return Result(code, Ok2xx(code));
}

bool CFtpUrlConnection::CurrentDir(std::string& dir) {
  const int code = FtpPwd(m_session.get(), &dir);
  return Ok2xx(code) || Result(code, false);
}

BOOL CFtpUrlConnection::SetFileTime(const char* path, FILETIME lastWrite) {
  if (!Usable(path)) return FALSE;
  // FILETIME is UTC: straight to seconds since 1970.
  const int code = FtpSetFileTime(m_session.get(), path, FileTimeToUnix(lastWrite));
  return Result(code, Ok2xx(code));
}

BOOL CFtpUrlConnection::GetFileTime(const char* path, FILETIME* lastWrite) {
  if (!Usable(path)) return FALSE;
  if (!lastWrite) return Fail(ERROR_INVALID_PARAMETER);
  i64 seconds = 0;
  const int code = FtpGetFileTime(m_session.get(), path, &seconds);
  if (code == 213) *lastWrite = FileTimeFromUnix(seconds);
  return Result(code, code == 213);
}

BOOL CFtpUrlConnection::SetAttributes(const char* path, u32 attributes) {
  if (!Usable(path)) return FALSE;
  if (attributes == 0xFFFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  const int code = FtpChmod(m_session.get(), path, UnixMode(attributes));
  return Result(code, code == 200);
}

BOOL CFtpUrlConnection::Rmdir(const char* path) {
  if (!Usable(path)) return FALSE;
  const int code = FtpRmdir(m_session.get(), path);
  return Result(code, Ok2xx(code));
}

BOOL CFtpUrlConnection::Mkdir(const char* path) {
  if (!Usable(path)) return FALSE;
  const int code = FtpMkdir(m_session.get(), path);
  return Result(code, Ok2xx(code));
}

BOOL CFtpUrlConnection::Remove(const char* path) {
  if (!Usable(path)) return FALSE;
  const int code = FtpRemove(m_session.get(), path);
  return Result(code, Ok2xx(code));
}

BOOL CFtpUrlConnection::Rename(const char* oldPath, const char* newPath) {
  if (!Usable(oldPath) || !Usable(newPath)) return FALSE;
  // Servers rename over an existing name; this interface never does.
  if (FtpProbe(m_session.get(), newPath) > 0) return Fail(ERROR_ALREADY_EXISTS);
  const int code = FtpRename(m_session.get(), oldPath, newPath);
  return Result(code, Ok2xx(code));
}

void CFtpUrlConnection::Close() {
  std::unique_ptr<FtpSession> session;
  {
    std::lock_guard lock(m_sessionMutex);
    session = std::move(m_session);
    m_engineHandle.store(0);
  }
  if (session) FtpClose(std::move(session), 100);
}

BOOL CFtpUrlConnection::Transfer(const std::function<int()>& run, bool restartable, u32 localSide) {
  m_failureSide = URL_FAIL_NONE;
  m_cancelled = false;
  // A break that came after the last transfer had ended is no break of this one.
  FtpClearBreak(m_session.get());
  // A progress reader that sees this transfer busy must not see the last one's bytes.
  m_session->bytesDone = 0;
  SetBusy(true);
  int code = run();
  if (code != 226 && m_retry && !m_cancelled &&
      (code == FTP_E_NO_DATA_CONN || code == FTP_E_PASSIVE_CONN || code == FTP_E_TIMEOUT) &&
      (restartable || m_session->bytesDone.load() == 0)) {
    code = run();
  }
  SetBusy(false);
  if (code == 226) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  const bool cancelled = m_cancelled.exchange(false);
  const bool local = code == FTP_E_LOCAL_CREATE || code == FTP_E_LOCAL_MISSING || code == FTP_E_LOCAL_WRITE ||
                     code == FTP_E_LOCAL_READ;
  m_failureSide = local ? localSide : URL_FAIL_TRANSFER;
  return Fail(cancelled ? ERROR_CANCELLED : MapCode(code));
}

BOOL CFtpUrlConnection::UploadProc(const char* remote, void* context, UrlReadFn read, u32, u32) {
  if (!read) return Fail(ERROR_INVALID_PARAMETER);
  if (!Usable(remote)) return FALSE;
  const u64 announced = m_nextUploadSize;
  m_nextUploadSize = 0;
  // The client ends with a call without a buffer; a source of this interface knows no such call.
  struct Reader {
    void* context;
    UrlReadFn read;
    static int Fn(void* c, BYTE* buffer, int size) {
      auto* r = static_cast<Reader*>(c);
      return buffer ? r->read(r->context, buffer, size) : 0;
    }
  } reader{context, read};
  FtpSession* s = m_session.get();
  return Transfer(
      [&] {
        if (announced) FtpSetTransferSize(s, announced);
        return FtpUploadProc(s, remote, &reader, Reader::Fn);
      },
      false, URL_FAIL_TRANSFER);
}

BOOL CFtpUrlConnection::UploadFile(const char* local, const char* remote, u32, u32) {
  if (!Usable(remote)) return FALSE;
  FtpSession* s = m_session.get();
  return Transfer([&] { return FtpUploadFile(s, remote, local); }, true, URL_FAIL_LOCAL);
}

BOOL CFtpUrlConnection::DownloadProc(const char* remote, void* context, UrlWriteFn write, u32, u32, u32) {
  const std::optional<u64> listed = std::exchange(m_nextDownloadSize, std::nullopt);
  if (!write) return Fail(ERROR_INVALID_PARAMETER);
  if (!Usable(remote)) return AbortDownload(context, write);
  FtpSession* s = m_session.get();
  return Transfer(
      [&] {
        if (listed) FtpSetDownloadSize(s, *listed);
        return FtpDownloadProc(s, remote, context, write);
      },
      false, URL_FAIL_TRANSFER);
}

BOOL CFtpUrlConnection::DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32, u32, u32) {
  const std::optional<u64> listed = std::exchange(m_nextDownloadSize, std::nullopt);
  if (!Usable(remote)) return FALSE;
  if (!LocalTargetFree(local, failIfExists)) return FALSE;
  FtpSession* s = m_session.get();
  return Transfer(
      [&] {
        if (listed) FtpSetDownloadSize(s, *listed);
        return FtpDownloadFile(s, remote, local);
      },
      true, URL_FAIL_LOCAL);
}

BOOL CFtpUrlConnection::ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) {
  if (!entry) return Fail(ERROR_INVALID_PARAMETER);
  if (!Usable(path && *path ? path : nullptr)) return AbortListing(context, entry);
  // A mask is applied here; "folders only" is no request this adapter answers (option 78).
  struct Masked {
    void* context;
    UrlEntryFn entry;
    const char* mask;
    static BOOL Fn(void* c, const WIN32_FIND_DATAA* e) {
      auto* m = static_cast<Masked*>(c);
      if (e && m->mask && *m->mask &&
          StrMatchPatternA(m->mask, -1, e->cFileName, -1, STR_MATCH_NOCASE | STR_MATCH_STARDOT) != 0)
        return TRUE;
      return m->entry(m->context, e);
    }
  } masked{context, entry, filter.mask};
  m_cancelled = false;
  FtpClearBreak(m_session.get());
  SetBusy(true);
  const int code = FtpReadDir(m_session.get(), path && *path ? path : ".", &masked, Masked::Fn);
  SetBusy(false);
  if (code == 226) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  return Fail(m_cancelled.exchange(false) ? ERROR_CANCELLED : MapCode(code));
}

BOOL CFtpUrlConnection::Break() {
  std::lock_guard lock(m_sessionMutex);
  if (!m_session) return FALSE;
  // Marked before the break: the transfer may end at once and must find it a cancel.
  m_cancelled = true;
  const int rc = FtpBreak(m_session.get());
  if (rc) SetBusy(false);
  return rc;
}

// ---- options -------------------------------------------------------------------------------------

BOOL CFtpUrlConnection::RefreshCounters() {
  // Asked from another thread: the session is held against Close meanwhile.
  std::lock_guard lock(m_sessionMutex);
  if (!m_session) return Fail(ERROR_INVALID_HANDLE);
  u64 done = 0, total = 0;
  FtpGetProgress(m_session.get(), &done, &total);
  m_bytesDone.store(done);
  m_bytesTotal.store(total);
  return TRUE;
}

u32 CFtpUrlConnection::Timeout() { return static_cast<u32>(FtpGetTimeout(m_session.get())); }

void CFtpUrlConnection::SetTimeout(u64 ms) {
  FtpSetTimeout(m_session.get(), static_cast<int>(std::min<u64>(ms, 200000)));
}

BOOL CFtpUrlConnection::SetDone(u64 value, int) {
  FtpSetProgress(m_session.get(), value, ~u64{0});
  return TRUE;
}

CUrlConnection::Attempt CFtpUrlConnection::ReconnectOnce() {
  if (Ok2xx(FtpReconnect(m_session.get()))) return Attempt::Done;
  SetLastError(ERROR_NOT_CONNECTED);
  return Attempt::Failed;
}

BOOL CFtpUrlConnection::Reconnect(u64 tries) { return ReconnectTries(std::max<u64>(tries, 1)); }

BOOL CFtpUrlConnection::SetOwnOption(int id, const void* buffer, int size) {
  u64 value = 0;
  switch (id) {
    case URL_OPT_RETRY:
      if (!TakeValue(buffer, size, &value)) return FALSE;
      m_retry = value != 0;
      return TRUE;
    case URL_OPT_DOWNLOAD_SIZE:
      if (!TakeValue(buffer, size, &value)) return FALSE;
      m_nextDownloadSize = value;
      return TRUE;
    default:
      return Fail(ERROR_INVALID_NAME);
  }
}

// The connection base class: shared fields, memory and callback transfers over temporary files,
// folder trees, options and the cross-thread break.
#include "remote/url_connection.h"

#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/url_file_find.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The longest path that the folder-tree helpers take (the system's path limit).
constexpr std::size_t kTreePathMax = 4095;
constexpr int kTempBlock = 4096;

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "X:" or "/X:": a drive root, which is never made or removed.
bool IsDriveHead(std::string_view s) {
  if (!s.empty() && s.front() == '/') s.remove_prefix(1);
  return s.size() == 2 && IsAlpha(s[0]) && s[1] == ':';
}

// A file in $TMPDIR ("/tmp" without it) with the prefix "Ftp", removed when this goes.
class TempFile {
 public:
  TempFile() {
    const char* dir = std::getenv("TMPDIR");
    m_path = std::string(dir && *dir ? dir : "/tmp") + "/FtpXXXXXX";
    m_fd.Reset(::mkostemp(m_path.data(), O_CLOEXEC));
    if (!m_fd) m_path.clear();
  }
  ~TempFile() {
    m_fd.Reset();
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool Ok() const { return !m_path.empty(); }
  const std::string& Path() const { return m_path; }
  SysFd& Fd() { return m_fd; }

 private:
  std::string m_path;
  SysFd m_fd;
};

struct MemorySource {
  const BYTE* start;
  int position;
  int length;
};

int ReadMemory(void* context, BYTE* buffer, int size) {
  auto* source = static_cast<MemorySource*>(context);
  const int n = std::min(size, source->length - source->position);
  if (n <= 0) return 0;
  std::memcpy(buffer, source->start + source->position, static_cast<std::size_t>(n));
  source->position += n;
  return n;
}

struct MemorySink {
  BYTE* start;
  int position;
  int size;
};

// Stores what fits; a shorter count than offered fails the transfer. A null buffer is the end
// or abort signal and stores nothing.
int WriteMemory(void* context, const BYTE* buffer, int count) {
  if (!buffer) return count;
  auto* sink = static_cast<MemorySink*>(context);
  const int n = std::max(0, std::min(count, sink->size - sink->position));
  if (n > 0) std::memcpy(sink->start + sink->position, buffer, static_cast<std::size_t>(n));
  sink->position += n;
  return n;
}

}  // namespace

CUrlConnection::CUrlConnection(std::uintptr_t engineHandle, const char* host, const char* user,
                               const char* password, u32 reserved, u16 port, u32 alternateMode)
    : m_port(port),
      m_alternateMode(alternateMode),
      m_reserved(reserved),
      m_host(host ? host : ""),
      m_user(user ? user : ""),
      m_password(password ? password : ""),
      m_engineHandle(engineHandle) {}

BOOL CUrlConnection::Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

bool CUrlConnection::TakeFindData(const void* buffer, int size, WIN32_FIND_DATAA* record) {
  if (!buffer || size < static_cast<int>(sizeof(WIN32_FIND_DATAA))) return Fail(ERROR_INVALID_PARAMETER);
  std::memcpy(static_cast<void*>(record), buffer, sizeof *record);
  record->cFileName[sizeof record->cFileName - 1] = '\0';
  return true;
}

BOOL CUrlConnection::CopyOut(const std::string& text, char* buffer, int* size) {
  const int need = static_cast<int>(text.size()) + 1;
  if (!buffer || *size < need) {
    *size = need;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, text.c_str(), static_cast<std::size_t>(need));
  *size = need - 1;
  return TRUE;
}

std::string CUrlConnection::AbsolutePath(const std::string& path) {
  return SysPathDots(path, SYS_DOTS_FROM_ROOT);
}

u32 CUrlConnection::UnixMode(u32 attributes) {
  if (attributes >= 0x10000) return (attributes >> URL_ATTR_UNIX_MODE_SHIFT) & 07777;
  u32 mode = (attributes & URL_ATTR_READONLY) ? 0440 : 0664;
  if (attributes & URL_ATTR_DIRECTORY) mode |= 01000;
  if (attributes & URL_ATTR_HIDDEN) mode |= 0001;
  if (attributes & URL_ATTR_SYSTEM) mode |= 0010;
  if (attributes & URL_ATTR_ARCHIVE) mode |= 0100;
  if (attributes & URL_ATTR_NORMAL) mode |= 0111;
  // A folder without x cannot be entered: x wherever r is.
  if (attributes & URL_ATTR_DIRECTORY) mode |= (mode & 0444) >> 2;
  return mode;
}

// ---- transfers through memory and temporary files ---------------------------------------------

BOOL CUrlConnection::UploadMemory(const char* remote, const void* buffer, int length, u32 r1, u32 r2) {
  if (length < 0 || (!buffer && length > 0)) return Fail(ERROR_INVALID_PARAMETER);
  MemorySource source{static_cast<const BYTE*>(buffer), 0, length};
  return UploadProc(remote, &source, ReadMemory, r1, r2);
}

int CUrlConnection::DownloadMemory(const char* remote, void* buffer, int size, u32 r1, u32 r2, u32 r3) {
  if (size < 0 || (!buffer && size > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  MemorySink sink{static_cast<BYTE*>(buffer), 0, size};
  if (!DownloadProc(remote, &sink, WriteMemory, r1, r2, r3)) return -1;
  return sink.position;
}

BOOL CUrlConnection::UploadProc(const char* remote, void* context, UrlReadFn read, u32 r1, u32 r2) {
  if (!read) return Fail(ERROR_INVALID_PARAMETER);
  TempFile temp;
  if (!temp.Ok()) return Fail(Win32ErrorFromErrno(errno));
  std::vector<BYTE> block(kTempBlock);
  for (;;) {
    const int n = read(context, block.data(), kTempBlock);
    if (n == 0) break;
    if (n < 0 || n > kTempBlock) return Fail(ERROR_READ_FAULT);
    // A short temporary file must never be sent as if it were whole.
    if (!SysWriteAll(temp.Fd().Get(), block.data(), static_cast<std::size_t>(n)))
      return Fail(Win32ErrorFromErrno(errno));
  }
  if (temp.Fd().Close() != 0) return Fail(Win32ErrorFromErrno(errno));
  const BOOL sent = UploadFile(temp.Path().c_str(), remote, r1, r2);
  const DWORD code = sent ? ERROR_SUCCESS : GetLastError();
  ::unlink(temp.Path().c_str());
  SetLastError(code);
  return sent;
}

BOOL CUrlConnection::DownloadProc(const char* remote, void* context, UrlWriteFn write, u32 r1, u32 r2,
                                  u32 r3) {
  if (!write) return Fail(ERROR_INVALID_PARAMETER);
  const auto abort = [&](DWORD code) {
    write(context, nullptr, -1);
    return Fail(code);
  };
  TempFile temp;
  if (!temp.Ok()) return abort(Win32ErrorFromErrno(errno));
  temp.Fd().Reset();
  if (!DownloadFile(remote, temp.Path().c_str(), FALSE, r1, r2, r3)) return abort(GetLastError());
  SysFd in(::open(temp.Path().c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return abort(Win32ErrorFromErrno(errno));
  std::vector<BYTE> block(kTempBlock);
  for (;;) {
    const i64 n = SysReadUpTo(in.Get(), block.data(), block.size());
    if (n < 0) return abort(Win32ErrorFromErrno(errno));
    if (n > 0 && write(context, block.data(), static_cast<int>(n)) != n) return abort(ERROR_READ_FAULT);
    if (n < kTempBlock) break;
  }
  write(context, nullptr, 0);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

int CUrlConnection::FullPath(const char*, char* buffer, int size) {
  if (buffer && size >= 1) buffer[0] = '\0';
  return 0;
}

BOOL CUrlConnection::GetFileTime(const char*, FILETIME*) {
  if (GetEngineHandle() == 0) return Fail(ERROR_INVALID_HANDLE);
  return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

i64 CUrlConnection::StoredWriteTime(const char*, i64 seconds) { return seconds; }

// ---- options -------------------------------------------------------------------------------------

BOOL CUrlConnection::GetOption(int id, void* buffer, int* size) {
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  if (m_caps.kind == 0) return Fail(ERROR_INVALID_NAME);
  // Read by the progress timer from another thread: nothing but the counters is touched.
  if (id == URL_OPT_BYTES_DONE || id == URL_OPT_PROGRESS)
    return RefreshCounters() ? AnswerCounters(id, buffer, size) : FALSE;
  if (!OptionReady(id)) return FALSE;
  const UrlCapabilities caps = Capabilities();
  switch (id) {
    case URL_OPT_TIMEOUT:
    case URL_OPT_TIMEOUT_B:
    case URL_OPT_TIMEOUT_C:
      if (caps.timeout) return AnswerWord(buffer, size, Timeout());
      break;
    case URL_OPT_KIND_68:
      return AnswerWord(buffer, size, caps.kind68);
    case URL_OPT_KIND:
      return AnswerWord(buffer, size, caps.kind);
    case URL_OPT_UTF8_NAMES:
      if (caps.utf8Option) return AnswerWord(buffer, size, m_utf8Names ? 1 : 0);
      break;
    case URL_OPT_DRIVE_ROOT:
      if (caps.rootKind) return AnswerWord(buffer, size, caps.rootKind == 2 ? 1 : 0);
      break;
    case URL_OPT_IS_DISK:
      return AnswerWord(buffer, size, caps.isDisk ? 1 : 0);
    case URL_OPT_FAIL_SIDE:
      return AnswerWord(buffer, size, m_failureSide);
    case URL_OPT_ROOT_KIND:
      if (caps.rootKind) return AnswerWord(buffer, size, caps.rootKind);
      break;
    case URL_OPT_FOLDERS_ONLY:
      if (caps.foldersOnly >= 0) return AnswerWord(buffer, size, static_cast<u32>(caps.foldersOnly));
      break;
    default:
      break;
  }
  return Fail(ERROR_INVALID_NAME);
}

BOOL CUrlConnection::SetOption(int id, const void* buffer, int size, u32) {
  if (id == URL_OPT_APPLY_FIND && m_caps.kind != 0) return SetFindData(buffer, size);
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  if (m_caps.kind == 0 && id != URL_OPT_UPLOAD_SIZE) return Fail(ERROR_INVALID_NAME);
  if (!OptionReady(id)) return FALSE;
  const UrlCapabilities caps = Capabilities();
  u64 value = 0;
  switch (id) {
    case URL_OPT_TIMEOUT:
    case URL_OPT_TIMEOUT_B:
    case URL_OPT_TIMEOUT_C:
      if (!caps.timeout) break;
      if (!TakeValue(buffer, size, &value)) return FALSE;
      SetTimeout(value);
      return TRUE;
    case URL_OPT_SET_DONE:
      if (!TakeValue(buffer, size, &value)) return FALSE;
      return SetDone(value, size);
    case URL_OPT_UTF8_NAMES:
      if (!caps.utf8Option) break;
      if (!TakeValue(buffer, size, &value)) return FALSE;
      m_utf8Names = value != 0;
      return TRUE;
    case URL_OPT_RECONNECT:
      if (!caps.reconnects) break;
      if (!TakeValue(buffer, size, &value)) return FALSE;
      return Reconnect(value);
    case URL_OPT_UPLOAD_SIZE:
      if (!TakeValue(buffer, size, &value)) return FALSE;
      m_nextUploadSize = value;
      return TRUE;
    default:
      break;
  }
  return SetOwnOption(id, buffer, size);
}

BOOL CUrlConnection::SetDone(u64 value, int) {
  m_bytesDone.store(value);
  return TRUE;
}

BOOL CUrlConnection::SetFindData(const void* buffer, int size) {
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  WIN32_FIND_DATAA record;
  if (!TakeFindData(buffer, size, &record)) return FALSE;
  return ApplyFindData(record);
}

BOOL CUrlConnection::SetOwnOption(int, const void*, int) { return Fail(ERROR_INVALID_NAME); }

BOOL CUrlConnection::ReconnectTries(u64 tries) {
  for (u64 i = 0; i < tries; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    switch (ReconnectOnce()) {
      case Attempt::Done:
        SetLastError(ERROR_SUCCESS);
        return TRUE;
      case Attempt::Ended:
        return FALSE;
      case Attempt::Failed:
        break;
    }
  }
  return FALSE;
}

BOOL CUrlConnection::AnswerWord(void* buffer, int* size, u32 value) {
  if (!buffer || !size || *size < 4) return Fail(ERROR_INVALID_PARAMETER);
  std::memcpy(buffer, &value, 4);
  *size = 4;
  return TRUE;
}

BOOL CUrlConnection::AnswerCounters(int id, void* buffer, int* size) const {
  if (!buffer || !size) return Fail(ERROR_INVALID_PARAMETER);
  const u64 done = m_bytesDone.load(), total = m_bytesTotal.load();
  if (id == URL_OPT_BYTES_DONE) {
    if (*size >= 8) {
      std::memcpy(buffer, &done, 8);
      *size = 8;
      return TRUE;
    }
    return AnswerWord(buffer, size, static_cast<u32>(done));
  }
  if (*size >= 16) {
    const u64 words[2] = {done, total};
    std::memcpy(buffer, words, 16);
    *size = 16;
    return TRUE;
  }
  if (*size < 8) return Fail(ERROR_INVALID_PARAMETER);
  const u32 words[2] = {static_cast<u32>(done), static_cast<u32>(total)};
  std::memcpy(buffer, words, 8);
  *size = 8;
  return TRUE;
}

bool CUrlConnection::TakeValue(const void* buffer, int size, u64* value) {
  if (!buffer || size < 4) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (size >= 8) {
    std::memcpy(value, buffer, 8);
  } else {
    u32 word = 0;
    std::memcpy(&word, buffer, 4);
    *value = word;
  }
  return true;
}

BOOL CUrlConnection::GetOptionString(int id, std::string& out) {
  out.clear();
  int size = 0;
  if (!GetOption(id, nullptr, &size) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) return FALSE;
  std::string text(static_cast<std::size_t>(std::max(size, 1)), '\0');
  size = static_cast<int>(text.size());
  if (!GetOption(id, text.data(), &size)) return FALSE;
  text.resize(std::min<std::size_t>(std::strlen(text.c_str()), static_cast<std::size_t>(std::max(size, 0))));
  out = std::move(text);
  return TRUE;
}

// ---- paths and the current folder ----------------------------------------------------------------

BOOL CUrlConnection::GetCurrentDir(char* buffer, int* size) {
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  if (!size) return Fail(ERROR_INVALID_PARAMETER);
  if (m_currentDirLost) return Fail(ERROR_PATH_NOT_FOUND);
  std::string dir;
  if (!CurrentDir(dir)) return FALSE;
  return CopyOut(dir, buffer, size);
}

bool CUrlConnection::CurrentDir(std::string& dir) {
  dir = m_currentDir;
  return true;
}

bool CUrlConnection::JoinPath(const char* path, std::string& joined) const {
  if (!path) return Fail(ERROR_INVALID_PARAMETER);
  const bool absolute = *path == '/' || (*path == '\\' && (m_pathRules.dots & SYS_DOTS_BACKSLASH));
  if (!absolute && m_currentDirLost) return Fail(ERROR_PATH_NOT_FOUND);
  if (m_pathRules.refused && std::strpbrk(path, m_pathRules.refused)) return Fail(ERROR_INVALID_NAME);
  joined = SysPathDots(absolute ? std::string(path) : m_currentDir + "/" + path, m_pathRules.dots);
  if (joined.size() > m_pathRules.maxPath) return Fail(ERROR_FILENAME_EXCED_RANGE);
  return true;
}

bool CUrlConnection::Build(const char* path, std::string* joined, std::string* wire) const {
  std::string full;
  if (!JoinPath(path, full) || !NameOut(full.c_str(), *wire)) return false;
  if (wire->size() > m_pathRules.maxWire) return Fail(ERROR_FILENAME_EXCED_RANGE);
  if (joined) *joined = std::move(full);
  return true;
}

BOOL CUrlConnection::AbortDownload(void* context, UrlWriteFn write) {
  const DWORD code = GetLastError();
  write(context, nullptr, -1);
  return Fail(code);
}

BOOL CUrlConnection::AbortListing(void* context, UrlEntryFn entry) {
  const DWORD code = GetLastError();
  entry(context, nullptr);
  return Fail(code);
}

bool CUrlConnection::OpenLocalFolder(const char* local, SysFd& folder, std::string& name) {
  const SysOsPath path(local);
  if (!path.ok()) return false;
  const std::string text(path.c_str());
  const std::size_t slash = text.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
  name = slash == std::string::npos ? text : text.substr(slash + 1);
  folder.Reset(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder && !name.empty()) return true;
  SetLastError(!folder && errno != ENOENT && errno != ENOTDIR ? Win32ErrorFromErrno(errno) : ERROR_PATH_NOT_FOUND);
  return false;
}

BOOL CUrlConnection::LocalTargetFree(const char* local, BOOL failIfExists) {
  struct stat st {};
  if (!failIfExists || !local || ::lstat(local, &st) != 0) return TRUE;
  m_failureSide = URL_FAIL_LOCAL;
  return Fail(ERROR_FILE_EXISTS);
}

BOOL CUrlConnection::EnterDir(std::string dir) {
  m_currentDir = std::move(dir);
  m_currentDirLost = false;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// ---- helpers -------------------------------------------------------------------------------------

int CUrlConnection::GetMark(const char*, i64*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return -1;
}

BOOL CUrlConnection::SetMark(const char*, i64) { return Fail(ERROR_NOT_SUPPORTED); }

std::string CUrlConnection::NameKey(const char*, const std::string& name) { return name; }

void CUrlConnection::BreakIfBusy() {
  if (IsBusy()) Break();
}

BOOL CUrlConnection::GetCurrentDirString(std::string& out) {
  out.clear();
  std::string buffer(2048, '\0');
  int size = static_cast<int>(buffer.size());
  if (!GetCurrentDir(buffer.data(), &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= static_cast<int>(buffer.size())) return FALSE;
    buffer.assign(static_cast<std::size_t>(size), '\0');
    if (!GetCurrentDir(buffer.data(), &size)) return FALSE;
  }
  buffer.resize(std::strlen(buffer.c_str()));
  out = std::move(buffer);
  return TRUE;
}

BOOL CUrlConnection::GetCurrentDirBuf(char* buffer, int size) {
  return GetCurrentDir(buffer, &size);
}

BOOL CUrlConnection::GetUrlPath(std::string& out) {
  std::string dir;
  if (!GetCurrentDirString(dir)) {
    out.clear();
    return FALSE;
  }
  out = std::string(m_urlPrefix) + m_host + (dir.starts_with('/') ? "" : "/") + dir;
  return TRUE;
}

BOOL CUrlConnection::MakeDirTree(const char* path) {
  std::string p = path ? path : "";
  if (p.size() > kTreePathMax) return Fail(ERROR_FILENAME_EXCED_RANGE);
  while (!p.empty() && p.back() == '/') p.pop_back();
  if (p.empty() || IsDriveHead(p)) return Fail(ERROR_INVALID_PARAMETER);
  if (Mkdir(p.c_str())) return TRUE;
  // Lengths of the ever shorter paths tried; the first one that could be made ends the walk.
  std::vector<std::size_t> levels{p.size()};
  for (;;) {
    std::size_t cut = p.rfind('/', levels.back() - 1);
    while (cut != std::string::npos && cut > 0 && p[cut - 1] == '/') --cut;
    if (cut == std::string::npos || cut < 1) return FALSE;  // Mkdir's error stays
    if (IsDriveHead(std::string_view(p).substr(0, cut))) return FALSE;
    levels.push_back(cut);
    if (Mkdir(p.substr(0, cut).c_str())) break;
  }
  levels.pop_back();
  for (auto it = levels.rbegin(); it != levels.rend(); ++it)
    if (!Mkdir(p.substr(0, *it).c_str())) return FALSE;
  return TRUE;
}

BOOL CUrlConnection::RemoveTree(const char* path) {
  std::string p = path ? path : "";
  if (p.empty()) return Fail(ERROR_INVALID_PARAMETER);
  if (p.size() > kTreePathMax) return Fail(ERROR_FILENAME_EXCED_RANGE);
  if (p.back() != '/') p += '/';
  if (IsDriveHead(std::string_view(p).substr(0, p.size() - 1))) return Fail(ERROR_INVALID_PARAMETER);
  {
    // One enumerator per folder: each level lists its own.
    CUrlFileFind find(this);
    if (find.FindFile(p.c_str(), URL_FIND_NO_DOTS)) {
      BOOL more;
      do {
        more = find.FindNextFile();
        const std::string full = p + find.GetFileName();
        if (full.size() > kTreePathMax) continue;
        if (find.MatchesMask(URL_ATTR_LINK)) {
          Remove(full.c_str());  // the link itself, whatever it leads to
        } else if (find.MatchesMask(URL_ATTR_DIRECTORY)) {
          RemoveTree(full.c_str());
        } else {
          Remove(full.c_str());
        }
      } while (more);
    }
  }
  p.pop_back();
  return Rmdir(p.c_str());
}

BOOL CUrlConnection::ApplyFindData(const WIN32_FIND_DATAA& record) {
  if (record.ftLastWriteTime.dwHighDateTime != 0 && !SetFileTime(record.cFileName, record.ftLastWriteTime))
    return FALSE;
  const DWORD attributes = record.dwFileAttributes;
  if (attributes != 0 && attributes != 0xFFFFFFFF)
    return SetAttributes(record.cFileName, attributes & ~0x400u);
  return TRUE;
}

// ---- names ---------------------------------------------------------------------------------------

bool CUrlConnection::NameToLatin1(std::string_view utf8, std::string& out) {
  out.clear();
  if (!EncIsValidUtf8(utf8)) return false;
  const std::string text(utf8);
  const char* p = text.c_str();
  while (*p) {
    u32 cp = 0;
    const int n = EncUtf8Decode(p, &cp);
    if (n <= 0 || cp > 0xFF) {
      out.clear();
      return false;
    }
    out += static_cast<char>(cp);
    p += n;
  }
  return true;
}

std::string CUrlConnection::NameFromLatin1(std::string_view latin1) {
  std::string out;
  for (const char c : latin1) {
    char seq[4];
    const int n = EncUtf8Encode(seq, static_cast<unsigned char>(c));
    out.append(seq, static_cast<std::size_t>(n));
  }
  return out;
}

bool CUrlConnection::NameOut(const char* name, std::string& wire) const {
  if (m_utf8Names) {
    wire = name ? name : "";
    return true;
  }
  if (NameToLatin1(name ? name : "", wire)) return true;
  SetLastError(ERROR_INVALID_NAME);
  return false;
}

std::string CUrlConnection::NameIn(const char* wire) const {
  if (!wire) return {};
  return m_utf8Names ? std::string(wire) : NameFromLatin1(wire);
}

// The SFTP adapter: connection operations as calls of the communication library, its codes as Windows codes.
#include "remote/ssh/sftp_connection.h"

#include "lib/system/sys_file.h"
#include "lib/system/sys_path.h"
#include "lib/text/enc.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/ssh/comm_lib.h"


#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The longest path sent (the system's path limit); a longer one fails, never cut.
constexpr std::size_t kPathMax = 4095;
constexpr int kPathBuffer = 4096;

constexpr u32 kTypeMask = 0xF000;
constexpr u32 kTypeFolder = 0x4000;
constexpr u32 kTypeLink = 0xA000;

// "." and ".." resolved by name, repeated and trailing slashes dropped; an absolute path stays
// absolute ("/" at least), a relative one keeps the ".." that climb above it ("." at least).
constexpr u32 kDots = SYS_DOTS_KEEP_UP | SYS_DOTS_EMPTY_DOT;

FILETIME FromSeconds(u32 seconds) {
  return FileTimeFromUnix(seconds);
}

// A FILETIME (UTC) as SFTP's seconds since 1970, kept within what the protocol holds.
u32 ToSeconds(const FILETIME& ft) {
  return static_cast<u32>(std::clamp<i64>(FileTimeToUnix(ft), 0, 0xFFFFFFFFll));
}

// The listing record of an entry's attributes; false when its name does not fit the record.
bool MakeRecord(const char* name, const SftpAttributes& attrs, WIN32_FIND_DATAA* r) {
  *r = WIN32_FIND_DATAA{};
  if (std::strlen(name) >= sizeof r->cFileName) return false;
  const u32 mode = (attrs.flags & SFTP_ATTR_PERMISSIONS) ? attrs.permissions : 0;
  const bool folder = (mode & kTypeMask) == kTypeFolder;
  // Folders carry no size, as with every other connection.
  const u64 size = (attrs.flags & SFTP_ATTR_SIZE) && !folder ? attrs.size : 0;
  DWORD a = mode << 16 | static_cast<DWORD>((size >> 32) & 0x3F) << 10;
  if (!(mode & 0200)) a |= URL_ATTR_READONLY;
  if (folder) a |= URL_ATTR_DIRECTORY;
  if (mode & 0001) a |= URL_ATTR_HIDDEN;
  if (mode & 0010) a |= URL_ATTR_SYSTEM;
  if (mode & 0100) a |= URL_ATTR_ARCHIVE;
  r->dwFileAttributes = a;
  if (attrs.flags & SFTP_ATTR_TIMES) {
    r->ftLastWriteTime = r->ftCreationTime = FromSeconds(attrs.mtime);
    r->ftLastAccessTime = FromSeconds(attrs.atime);
  }
  r->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  r->nFileSizeLow = static_cast<DWORD>(size);
  StrCopyA(r->cFileName, name, sizeof r->cFileName);
  return true;
}

}  // namespace

CSftpUrlConnection::CSftpUrlConnection(std::uintptr_t engineHandle, const char* host, const char* user,
                                       const char* password, u32 reserved, u16 port, u32 alternateMode)
    : CCommLibConnection(Half::Sftp, engineHandle, host, user, password, reserved, port, alternateMode) {
  m_urlPrefix = "sftp://";
  m_pathRules = {.dots = kDots, .maxPath = kPathMax};
}

BOOL CSftpUrlConnection::Result(int code) {
  if (code == 0) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  bool renew = false;
  const DWORD error = CommLibError(code, &renew);
  if (renew) m_checkLink.store(true);
  return Fail(error);
}

BOOL CSftpUrlConnection::Init(u32 checkConnection, u32 timeoutMs, u32 utf8Names) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  m_checkLink.store(checkConnection != 0);
  m_timeout = timeoutMs;
  m_utf8Names = utf8Names != 0;
  m_sessionUp = true;
  char buffer[kPathBuffer];
  const int code = CommLib().SftpRealPath(Handle(), ".", buffer, sizeof buffer);
  if (code != 0) return Result(code);
  m_currentDir = SysPathDots(NameIn(buffer), kDots);
  m_currentDirLost = false;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

bool CSftpUrlConnection::EnsureConnected(bool force) {
  if (!Handle()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!force && (!m_checkLink.load() || SessionAnswers())) return true;
  const int code = ConnectSession(m_user);
  if (code == COMM_OK) return true;
  Result(code);
  return false;
}

BOOL CSftpUrlConnection::Reconnect(u64 tries) { return ReconnectTries(std::max<u64>(tries, 1)); }

// ---- single operations ---------------------------------------------------------------------------

BOOL CSftpUrlConnection::ChangeDir(const char* path) {
  std::string joined, wire;
  if (!EnsureConnected(false) || !Build(path, &joined, &wire)) return FALSE;
  SftpAttributes attrs{};
  const int code = CommLib().SftpStat(Handle(), wire.c_str(), &attrs);
  if (code != 0) return Result(code);
  if (!(attrs.flags & SFTP_ATTR_PERMISSIONS) || (attrs.permissions & kTypeMask) != kTypeFolder)
    return Fail(ERROR_PATH_NOT_FOUND);
  return EnterDir(joined);
}

BOOL CSftpUrlConnection::SetStat(const char* path, u32 flags, u32 mode, u32 atime, u32 mtime) {
  std::string wire;
  if (!Reach(path, wire)) return FALSE;
  SftpAttributes attrs{};
  attrs.flags = flags;
  attrs.permissions = mode;
  attrs.atime = atime;
  attrs.mtime = mtime;
  return Result(CommLib().SftpSetStat(Handle(), wire.c_str(), &attrs));
}

BOOL CSftpUrlConnection::SetFileTime(const char* path, FILETIME lastWrite) {
  // FILETIME is UTC: straight to seconds since 1970, never through local time.
  const u32 seconds = ToSeconds(lastWrite);
  return SetStat(path, SFTP_ATTR_TIMES, 0, seconds, seconds);
}

i64 CSftpUrlConnection::StoredWriteTime(const char*, i64 seconds) { return ToSeconds(FileTimeFromUnix(seconds)); }

BOOL CSftpUrlConnection::SetAttributes(const char* path, u32 attributes) {
  if (attributes == 0xFFFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  return SetStat(path, SFTP_ATTR_PERMISSIONS, UnixMode(attributes), 0, 0);
}

BOOL CSftpUrlConnection::Rmdir(const char* path) {
  std::string wire;
  if (!Reach(path, wire)) return FALSE;
  return Result(CommLib().SftpRmdir(Handle(), wire.c_str()));
}

BOOL CSftpUrlConnection::Mkdir(const char* path) {
  std::string wire;
  if (!Reach(path, wire)) return FALSE;
  return Result(CommLib().SftpMkdir(Handle(), wire.c_str(), 0));
}

BOOL CSftpUrlConnection::Remove(const char* path) {
  std::string wire;
  if (!Reach(path, wire)) return FALSE;
  return Result(CommLib().SftpRemove(Handle(), wire.c_str()));
}

BOOL CSftpUrlConnection::Rename(const char* oldPath, const char* newPath) {
  std::string from, to;
  if (!Reach(oldPath, from) || !Build(newPath, nullptr, &to)) return FALSE;
  // This interface never replaces; some servers would.
  SftpAttributes attrs{};
  if (CommLib().SftpStat(Handle(), to.c_str(), &attrs) == 0) return Fail(ERROR_ALREADY_EXISTS);
  return Result(CommLib().SftpRename(Handle(), from.c_str(), to.c_str()));
}

// ---- transfers -----------------------------------------------------------------------------------

BOOL CSftpUrlConnection::UploadProc(const char* remote, void* context, UrlReadFn read, u32, u32) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  if (!read) return Fail(ERROR_INVALID_PARAMETER);
  std::string wire;
  if (!Reach(remote, wire)) return FALSE;
  m_failureSide = URL_FAIL_TRANSFER;
  m_announcedTotal.store(m_nextUploadSize);
  m_busy.store(2);
  const int code = CommLib().SftpUploadProc(Handle(), wire.c_str(), read, context, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0);
  SetBusy(false);
  m_announcedTotal.store(0);
  m_nextUploadSize = 0;
  return Result(code);
}

BOOL CSftpUrlConnection::UploadFile(const char* local, const char* remote, u32, u32) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  // The local side first: nothing reaches the server for a file that is not there.
  switch (SysFileExist(local ? local : "")) {
    case 1:
      break;
    case 0:
      m_failureSide = URL_FAIL_LOCAL;
      return Fail(ERROR_FILE_NOT_FOUND);
    default:
      m_failureSide = URL_FAIL_LOCAL;
      return Fail(ERROR_ACCESS_DENIED);
  }
  std::string wire;
  if (!Reach(remote, wire)) return FALSE;
  m_failureSide = URL_FAIL_TRANSFER;
  SetBusy(true);
  const int code = CommLib().SftpUploadFile(Handle(), wire.c_str(), local, 0, 0, 0);
  SetBusy(false);
  if (code == COMM_LOCAL_FILE) m_failureSide = URL_FAIL_LOCAL;
  return Result(code);
}

BOOL CSftpUrlConnection::DownloadProc(const char* remote, void* context, UrlWriteFn write, u32, u32, u32) {
  if (!write) return Fail(ERROR_INVALID_PARAMETER);
  std::string wire;
  if (!Reach(remote, wire)) return AbortDownload(context, write);
  m_failureSide = URL_FAIL_TRANSFER;
  SetBusy(true);
  const int code = CommLib().SftpDownloadProc(Handle(), wire.c_str(), write, context, 0, 0, 0);
  SetBusy(false);
  return Result(code);
}

BOOL CSftpUrlConnection::DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32, u32, u32) {
  std::string wire;
  if (!ReachDownload(remote, local, failIfExists, wire)) return FALSE;
  // Busy like every transfer, so that a cancel reaches it.
  m_failureSide = URL_FAIL_TRANSFER;
  SetBusy(true);
  const int code = CommLib().SftpDownloadFile(Handle(), wire.c_str(), local, 0, 0, 0);
  SetBusy(false);
  if (code == COMM_LOCAL_FILE) m_failureSide = URL_FAIL_LOCAL;
  return Result(code);
}

// ---- listings ------------------------------------------------------------------------------------

namespace {

struct Listing {
  void* context;
  UrlEntryFn entry;
  const char* mask;
  bool utf8;
  bool stopped = false;
  bool tooLong = false;  // a name that no record holds: the listing fails rather than leave it out
  struct Link {
    std::string wireName;
    WIN32_FIND_DATAA record;
  };
  std::vector<Link> links;

  bool Passes(const char* name) const {
    return !mask || !*mask || StrMatchPatternA(mask, -1, name, -1, STR_MATCH_NOCASE | STR_MATCH_STARDOT) == 0;
  }
};

}  // namespace

BOOL CSftpUrlConnection::ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) {
  if (!entry) return Fail(ERROR_INVALID_PARAMETER);
  std::string dirWire;
  if (!Reach(path && *path ? path : "", dirWire))
    return AbortListing(context, entry);
  Listing listing{context, entry, filter.mask, m_utf8Names, false, false, {}};
  const auto convert = [](void* c, const char* name, const char*, const SftpAttributes* attrs) -> int {
    auto* l = static_cast<Listing*>(c);
    const std::string inside = l->utf8 ? std::string(name) : CUrlConnection::NameFromLatin1(name);
    WIN32_FIND_DATAA record;
    if (!MakeRecord(inside.c_str(), *attrs, &record)) {
      l->tooLong = true;
      return 1;
    }
    if (!l->Passes(inside.c_str())) return 0;
    if ((attrs->flags & SFTP_ATTR_PERMISSIONS) && (attrs->permissions & kTypeMask) == kTypeLink) {
      l->links.push_back({name, record});
      return 0;
    }
    if (l->entry(l->context, &record)) return 0;
    l->stopped = true;
    return 1;
  };
  CommLibFunctions& lib = CommLib();
  SetBusy(true);
  int code = lib.SftpReadDir(Handle(), dirWire.c_str(), convert, &listing);
  // Links after the listing: each gets the attributes of what it leads to.
  const std::string prefix = dirWire == "/" ? "/" : dirWire + "/";
  for (std::size_t i = 0; code == 0 && !listing.stopped && i < listing.links.size(); ++i) {
    Listing::Link& link = listing.links[i];
    WIN32_FIND_DATAA record = link.record;
    char target[kPathBuffer];
    if (lib.SftpReadLink(Handle(), (prefix + link.wireName).c_str(), target, sizeof target) == 0) {
      const std::string to = target[0] == '/' ? std::string(target) : prefix + target;
      SftpAttributes attrs{};
      const int stat = lib.SftpStat(Handle(), to.c_str(), &attrs);
      if (stat == COMM_BREAK) {
        code = COMM_BREAK;
        break;
      }
      WIN32_FIND_DATAA resolved;
      if (stat == 0 && MakeRecord(record.cFileName, attrs, &resolved)) {
        const u32 mode = (attrs.flags & SFTP_ATTR_PERMISSIONS) ? attrs.permissions : 0;
        const u64 size = u64{resolved.nFileSizeHigh} << 32 | resolved.nFileSizeLow;
        resolved.dwFileAttributes = static_cast<DWORD>((size >> 32) & 0x3F) << 10 | mode << 16 | URL_ATTR_LINK;
        if ((mode & kTypeMask) == kTypeFolder) resolved.dwFileAttributes |= URL_ATTR_DIRECTORY;
        record = resolved;
      }
    }
    if (!entry(context, &record)) code = COMM_BREAK;
  }
  SetBusy(false);
  entry(context, nullptr);
  if (code == 0 && listing.tooLong) return Fail(ERROR_FILENAME_EXCED_RANGE);
  return Result(code);
}

// ---- options -------------------------------------------------------------------------------------

BOOL CSftpUrlConnection::RefreshCounters() {
  u64 total = 0;
  const u64 done = CommLib().SftpProgress(Handle(), &total);
  if (const u64 announced = m_announcedTotal.load()) total = announced;
  m_bytesDone.store(done);
  m_bytesTotal.store(total);
  return TRUE;
}

BOOL CSftpUrlConnection::SetDone(u64 value, int) {
  return Result(CommLib().SftpProgressSet(Handle(), static_cast<u32>(value), static_cast<u32>(value >> 32),
                                          0xFFFFFFFF, 0xFFFFFFFF));
}

BOOL CSftpUrlConnection::SetFindData(const void* buffer, int size) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  WIN32_FIND_DATAA record;
  if (!TakeFindData(buffer, size, &record)) return FALSE;
  u32 flags = 0, mode = 0, atime = 0, mtime = 0;
  if (record.ftLastWriteTime.dwHighDateTime != 0) {
    flags |= SFTP_ATTR_TIMES;
    mtime = ToSeconds(record.ftLastWriteTime);
    atime = record.ftLastAccessTime.dwHighDateTime != 0 ? ToSeconds(record.ftLastAccessTime) : mtime;
  }
  const u32 attributes = record.dwFileAttributes;
  if (attributes != 0 && attributes != 0xFFFFFFFF) {
    flags |= SFTP_ATTR_PERMISSIONS;
    mode = UnixMode(attributes & ~u32{URL_ATTR_NORMAL});
  }
  return SetStat(record.cFileName, flags, mode, atime, mtime);
}

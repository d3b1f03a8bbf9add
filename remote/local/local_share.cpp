// The local adapter's share mode: a server's shares through libsmbclient, with no mount.
#include "remote/local/local_connection.h"

#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_tempfile.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"
#include "lib/text/upcase.h"
#include "platform/last_error.h"
#include "remote/local/smb_share.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

namespace {

constexpr int kBlock = 16384;      // callback transfers
constexpr int kFileBlock = 65536;  // file transfers

BOOL FailCode(DWORD code) {
  SetLastError(code);
  return FALSE;
}

FILETIME FromTimespec(const timespec& ts) {
  return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec / 100);
}

std::time_t ToSeconds(const FILETIME& ft) {
  return static_cast<std::time_t>(FileTimeToUnix(ft));
}

// "/share" or deeper: a path in a share (the server itself and its shares are no files).
int Depth(const std::string& abs) {
  int depth = 0;
  for (const char c : abs) depth += c == '/';
  return abs == "/" ? 0 : depth;
}


// A temporary name beside the final one.
std::string TempNameFor(const std::string& abs) {
  static std::atomic<unsigned> counter{0};
  const std::size_t slash = abs.rfind('/');
  return abs.substr(0, slash + 1) + "." + abs.substr(slash + 1) +
         FmtString("~kpw%u-%u.tmp", static_cast<unsigned>(::getpid()), counter.fetch_add(1));
}

}  // namespace

std::string CLocalUrlConnection::NameKey(const char* folder, const std::string& name) {
  if (!m_shareMode) return CUrlConnection::NameKey(folder, name);
  // Folded per code point through the Windows-like upcase table; a byte that is no UTF-8 stays.
  std::string key;
  key.reserve(name.size());
  const char* p = name.c_str();
  while (*p) {
    u32 cp = 0;
    const int n = EncUtf8Decode(p, &cp);
    if (n <= 1 && static_cast<unsigned char>(*p) >= 0x80) {
      key += *p++;
      continue;
    }
    if (cp < 0x10000) cp = EncUpcase(static_cast<char16_t>(cp));
    char bytes[4];
    key.append(bytes, static_cast<std::size_t>(EncUtf8Encode(bytes, cp)));
    p += n;
  }
  return key;
}

BOOL CLocalUrlConnection::ShareFail(int err, DWORD missing) {
  switch (err) {
    case ENOENT: return FailCode(missing);
    case ENOTDIR: return FailCode(ERROR_PATH_NOT_FOUND);
    case EEXIST: return FailCode(ERROR_ALREADY_EXISTS);
    case ENOTEMPTY: return FailCode(ERROR_DIR_NOT_EMPTY);
    case EACCES:
    case EPERM:
    case EISDIR: return FailCode(ERROR_ACCESS_DENIED);
    default: return FailCode(Win32ErrorFromErrno(err));
  }
}

// ---- opening -------------------------------------------------------------------------------------

BOOL CLocalUrlConnection::OpenShare(const char* host) {
  m_shareMode = true;
  m_urlPrefix = "smb://";
  // A server's names: "\" separates, letter case is no difference, times are whole seconds, and
  // no mark of ours is kept.
  m_pathRules.dots |= SYS_DOTS_BACKSLASH;
  m_caps.caseFolding = true;
  m_caps.timeStep = 10'000'000;
  m_caps.marks = false;
  std::string text(host);
  for (char& c : text)
    if (c == '\\') c = '/';
  const std::size_t start = text.find_first_not_of('/');
  text = start == std::string::npos ? std::string() : text.substr(start);
  const std::size_t slash = text.find('/');
  const std::string server = text.substr(0, slash);
  if (server.empty()) {
    m_message = "Es ist kein Server für die Freigabe angegeben.";
    return FailCode(ERROR_INVALID_SHARENAME);
  }
  m_host = server;
  m_currentDir = "/";
  if (slash != std::string::npos && !ShareJoin(text.substr(slash).c_str(), m_currentDir)) return FALSE;

  SmbShare::Login login;
  login.server = server;
  login.user = m_user;
  login.password = m_password;
  login.port = m_port;
  // "domain;user" (the URL form) or "domain\user".
  const std::size_t cut = login.user.find_first_of(";\\");
  if (cut != std::string::npos) {
    login.workgroup = login.user.substr(0, cut);
    login.user = login.user.substr(cut + 1);
  }
  int err = 0;
  m_share = SmbShare::Create(login, &err);
  if (!m_share) {
    m_message = "Die Bibliothek für Windows-Freigaben lässt sich nicht starten.";
    return FailCode(Win32ErrorFromErrno(err));
  }
  // The login (and the share) are checked now, so that a refusal says why.
  const std::string share = m_currentDir.substr(0, m_currentDir.find('/', 1));
  const std::string shown = server + (share == "/" ? "" : share);
  err = m_share->List(share, [](const SmbShare::Entry&) { return false; });
  if (err == 0) {
    m_currentDirLost = false;
    return TRUE;
  }
  m_share.reset();
  switch (err) {
    case EACCES:
    case EPERM:
      m_message = FmtString(
          "Die Anmeldung an \"smb://%s\" wurde abgelehnt: Benutzername oder Kennwort sind falsch, oder der "
          "Benutzer darf die Freigabe nicht öffnen.",
          shown.c_str());
      return FailCode(ERROR_LOGON_FAILURE);
    case ENOENT:
    case ENODEV:
      if (share != "/") {
        m_message = FmtString("Die Freigabe \"smb://%s\" gibt es nicht.", shown.c_str());
        return FailCode(ERROR_BAD_NET_NAME);
      }
      [[fallthrough]];
    default:
      m_message = FmtString("Der Server \"%s\" ist nicht erreichbar.", server.c_str());
      return FailCode(ERROR_BAD_NETPATH);
  }
}

bool CLocalUrlConnection::ShareJoin(const char* path, std::string& out) const { return JoinPath(path, out); }

// ---- folders and names ---------------------------------------------------------------------------

BOOL CLocalUrlConnection::ShareChangeDir(const char* path) {
  std::string abs;
  if (!Ready() || !ShareJoin(path, abs)) return FALSE;
  if (abs != "/") {
    struct stat st {};
    const int err = m_share->Stat(abs, st);
    if (err) return ShareFail(err, ERROR_PATH_NOT_FOUND);
    if (!S_ISDIR(st.st_mode)) return FailCode(ERROR_PATH_NOT_FOUND);
  }
  m_currentDir = abs;
  m_currentDirLost = false;
  return TRUE;
}

BOOL CLocalUrlConnection::ShareSetFileTime(const char* path, FILETIME lastWrite) {
  std::string abs;
  if (!Ready() || !ShareJoin(path, abs)) return FALSE;
  if (Depth(abs) < 2) return FailCode(ERROR_ACCESS_DENIED);
  struct stat st {};
  int err = m_share->Stat(abs, st);
  if (!err) err = m_share->SetTimes(abs, st.st_atime, ToSeconds(lastWrite));
  return err ? ShareFail(err, ERROR_FILE_NOT_FOUND) : TRUE;
}

BOOL CLocalUrlConnection::ShareSetAttributes(const char* path, u32 attributes) {
  std::string abs;
  if (!Ready() || !ShareJoin(path, abs)) return FALSE;
  if (attributes == 0xFFFFFFFF) return FailCode(ERROR_INVALID_PARAMETER);
  if (Depth(abs) < 2) return FailCode(ERROR_ACCESS_DENIED);
  u32 dos = attributes & (URL_ATTR_READONLY | URL_ATTR_HIDDEN | URL_ATTR_SYSTEM | URL_ATTR_ARCHIVE);
  // Of a Unix mode only the owner write bit has a DOS counterpart.
  if (attributes >= 0x10000 && !((attributes >> URL_ATTR_UNIX_MODE_SHIFT) & S_IWUSR)) dos |= URL_ATTR_READONLY;
  const int err = m_share->SetDosAttributes(abs, dos);
  return err ? ShareFail(err, ERROR_FILE_NOT_FOUND) : TRUE;
}

BOOL CLocalUrlConnection::ShareRmdir(const char* path) {
  std::string abs;
  if (!Ready() || !ShareJoin(path, abs)) return FALSE;
  if (Depth(abs) < 2) return FailCode(ERROR_ACCESS_DENIED);
  const int err = m_share->Rmdir(abs);
  return err ? ShareFail(err, ERROR_FILE_NOT_FOUND) : TRUE;
}

BOOL CLocalUrlConnection::ShareMkdir(const char* path) {
  std::string abs;
  if (!Ready() || !ShareJoin(path, abs)) return FALSE;
  if (abs == "/") return FailCode(ERROR_ALREADY_EXISTS);
  if (Depth(abs) < 2) return FailCode(ERROR_ACCESS_DENIED);  // shares are not made here
  const int err = m_share->Mkdir(abs);
  return err ? ShareFail(err, ERROR_PATH_NOT_FOUND) : TRUE;
}

BOOL CLocalUrlConnection::ShareRemove(const char* path) {
  std::string abs;
  if (!Ready() || !ShareJoin(path, abs)) return FALSE;
  if (Depth(abs) < 2) return FailCode(ERROR_ACCESS_DENIED);
  // The library's unlink takes a folder's name without a word: a folder is no file.
  struct stat st {};
  int err = m_share->Stat(abs, st);
  if (!err && S_ISDIR(st.st_mode)) return FailCode(ERROR_ACCESS_DENIED);
  if (!err) err = m_share->Unlink(abs);
  return err ? ShareFail(err, ERROR_FILE_NOT_FOUND) : TRUE;
}

BOOL CLocalUrlConnection::ShareRename(const char* oldPath, const char* newPath) {
  std::string from, to;
  if (!Ready() || !ShareJoin(oldPath, from) || !ShareJoin(newPath, to)) return FALSE;
  if (Depth(from) < 2 || Depth(to) < 2) return FailCode(ERROR_ACCESS_DENIED);
  // The library's rename replaces what is there: an existing target is refused first.
  struct stat st {};
  int err = m_share->Stat(from, st);
  if (err) return ShareFail(err, ERROR_FILE_NOT_FOUND);
  err = m_share->Stat(to, st);
  if (!err) return FailCode(S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS);
  if (err != ENOENT) return ShareFail(err, ERROR_PATH_NOT_FOUND);
  err = m_share->Rename(from, to);
  return err ? ShareFail(err, ERROR_PATH_NOT_FOUND) : TRUE;
}

// ---- transfers -----------------------------------------------------------------------------------

BOOL CLocalUrlConnection::ShareWriteFile(const std::string& abs, const ShareSource& read, u32 failureSide) {
  if (Depth(abs) < 2) {
    SetLastError(ERROR_ACCESS_DENIED);
    return EndTransfer(FALSE, failureSide);
  }
  // Replacing a folder or a read-only file is refused before anything is written.
  struct stat old {};
  const int there = m_share->Stat(abs, old);
  if (there == 0 && (S_ISDIR(old.st_mode) || !(old.st_mode & S_IWUSR))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return EndTransfer(FALSE, failureSide);
  }
  if (there != 0 && there != ENOENT) {
    ShareFail(there, ERROR_PATH_NOT_FOUND);
    return EndTransfer(FALSE, failureSide);
  }
  const std::string temp = TempNameFor(abs);
  SmbShare::File file;
  if (const int err = m_share->Open(temp, O_WRONLY | O_CREAT | O_EXCL, file)) {
    ShareFail(err, ERROR_PATH_NOT_FOUND);
    return EndTransfer(FALSE, failureSide);
  }
  const auto fail = [&](DWORD code) {
    file.Close();
    m_share->Unlink(temp);
    SetLastError(code);
    return EndTransfer(FALSE, failureSide);
  };
  std::vector<BYTE> block(kFileBlock);
  for (;;) {
    if (m_break.load()) return fail(ERROR_CANCELLED);
    const int n = read(block.data(), static_cast<int>(block.size()));
    if (n == 0) break;
    if (n < 0) return fail(GetLastError());
    if (file.Write(block.data(), static_cast<std::size_t>(n)) < 0) {
      ShareFail(errno, ERROR_WRITE_FAULT);
      return fail(GetLastError());
    }
    m_bytesDone.fetch_add(static_cast<u64>(n));
  }
  int err = file.Close();
  if (!err) err = m_share->Rename(temp, abs);
  if (err) {
    ShareFail(err, ERROR_PATH_NOT_FOUND);
    return fail(GetLastError());
  }
  return EndTransfer(TRUE, URL_FAIL_NONE);
}

BOOL CLocalUrlConnection::ShareUploadProc(const char* remote, void* context, UrlReadFn read) {
  m_failureSide = URL_FAIL_NONE;
  if (!read) return FailCode(ERROR_INVALID_PARAMETER);
  std::string abs;
  if (!Ready() || !ShareJoin(remote, abs)) return FALSE;
  BeginTransfer(m_nextUploadSize);
  return ShareWriteFile(
      abs,
      [&](BYTE* buffer, int size) {
        const int n = read(context, buffer, std::min(size, kBlock));
        if (n < 0 || n > std::min(size, kBlock)) {
          SetLastError(ERROR_WRITE_FAULT);
          return -1;
        }
        return n;
      },
      URL_FAIL_TRANSFER);
}

BOOL CLocalUrlConnection::ShareUploadFile(const char* local, const char* remote) {
  m_failureSide = URL_FAIL_NONE;
  m_bytesDone.store(0);
  m_bytesTotal.store(0);
  std::string abs;
  if (!Ready()) return FALSE;
  if (!ShareJoin(remote, abs)) return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  const SysOsPath src(local);
  if (!src.ok()) return EndTransfer(FALSE, URL_FAIL_LOCAL);
  SysFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!in || ::fstat(in.Get(), &st) != 0 || S_ISDIR(st.st_mode)) {
    const int err = !in ? errno : S_ISDIR(st.st_mode) ? EISDIR : errno;
    SetLastError(err == ENOENT ? ERROR_FILE_NOT_FOUND : err == EISDIR ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err));
    return EndTransfer(FALSE, URL_FAIL_LOCAL);
  }
  BeginTransfer(static_cast<u64>(st.st_size));
  const BOOL ok = ShareWriteFile(
      abs,
      [&](BYTE* buffer, int size) {
        const i64 n = SysReadUpTo(in.Get(), buffer, static_cast<std::size_t>(size));
        if (n < 0) SetLastError(Win32ErrorFromErrno(errno));
        return static_cast<int>(n);
      },
      URL_FAIL_TRANSFER);
  // The copy keeps the source's write time, as local copies do.
  if (ok) m_share->SetTimes(abs, st.st_atime, st.st_mtime);
  SetLastError(ok ? ERROR_SUCCESS : GetLastError());
  return ok;
}

BOOL CLocalUrlConnection::ShareDownloadFile(const char* remote, const char* local, BOOL failIfExists) {
  m_failureSide = URL_FAIL_NONE;
  m_bytesDone.store(0);
  m_bytesTotal.store(0);
  std::string abs;
  if (!Ready()) return FALSE;
  if (!ShareJoin(remote, abs)) return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  SysFd dstDir;
  std::string name;
  if (!OpenLocalFolder(local, dstDir, name)) return EndTransfer(FALSE, URL_FAIL_LOCAL);
  struct stat mine {};
  if (failIfExists && ::fstatat(dstDir.Get(), name.c_str(), &mine, AT_SYMLINK_NOFOLLOW) == 0) {
    SetLastError(S_ISDIR(mine.st_mode) ? ERROR_DIRECTORY : ERROR_FILE_EXISTS);
    return EndTransfer(FALSE, URL_FAIL_LOCAL);
  }
  SmbShare::File file;
  struct stat st {};
  int err = Depth(abs) < 2 ? EACCES : m_share->Open(abs, O_RDONLY, file);
  if (!err) err = file.Stat(st);
  if (err) {
    ShareFail(err, ERROR_FILE_NOT_FOUND);
    return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  }
  BeginTransfer(static_cast<u64>(st.st_size));
  SysTempFile temp;
  if (const int e = temp.Create(dstDir.Get(), name)) {
    SetLastError(Win32ErrorFromErrno(e));
    return EndTransfer(FALSE, URL_FAIL_LOCAL);
  }
  std::vector<BYTE> block(kFileBlock);
  for (;;) {
    if (m_break.load()) {
      SetLastError(ERROR_CANCELLED);
      return EndTransfer(FALSE, URL_FAIL_TRANSFER);
    }
    const ssize_t n = file.Read(block.data(), block.size());
    if (n == 0) break;
    if (n < 0) {
      ShareFail(errno ? errno : EIO, ERROR_READ_FAULT);
      return EndTransfer(FALSE, URL_FAIL_TRANSFER);
    }
    if (const int e = temp.Write(block.data(), static_cast<std::size_t>(n))) {
      SetLastError(Win32ErrorFromErrno(e));
      return EndTransfer(FALSE, URL_FAIL_LOCAL);
    }
    m_bytesDone.fetch_add(static_cast<u64>(n));
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(temp.Fd(), times);
  if (const int e = temp.Commit(!failIfExists)) {
    SetLastError(e == EEXIST ? ERROR_FILE_EXISTS : e == EISDIR ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(e));
    return EndTransfer(FALSE, URL_FAIL_LOCAL);
  }
  return EndTransfer(TRUE, URL_FAIL_NONE);
}

BOOL CLocalUrlConnection::ShareDownloadProc(const char* remote, void* context, UrlWriteFn write) {
  m_failureSide = URL_FAIL_NONE;
  if (!write) return FailCode(ERROR_INVALID_PARAMETER);
  const auto abort = [&](u32 side) {
    write(context, nullptr, -1);
    return EndTransfer(FALSE, side);
  };
  std::string abs;
  if (!Ready()) {
    write(context, nullptr, -1);
    return FALSE;
  }
  if (!ShareJoin(remote, abs)) return abort(URL_FAIL_TRANSFER);
  SmbShare::File file;
  struct stat st {};
  int err = Depth(abs) < 2 ? EACCES : m_share->Open(abs, O_RDONLY, file);
  if (!err) err = file.Stat(st);
  if (err) {
    ShareFail(err, ERROR_FILE_NOT_FOUND);
    return abort(URL_FAIL_TRANSFER);
  }
  BeginTransfer(static_cast<u64>(st.st_size));
  std::vector<BYTE> block(kBlock);
  for (;;) {
    if (m_break.load()) {
      SetLastError(ERROR_CANCELLED);
      return abort(URL_FAIL_TRANSFER);
    }
    const ssize_t n = file.Read(block.data(), block.size());
    if (n == 0) break;
    if (n < 0) {
      ShareFail(errno ? errno : EIO, ERROR_READ_FAULT);
      return abort(URL_FAIL_TRANSFER);
    }
    if (write(context, block.data(), static_cast<int>(n)) != n) {
      SetLastError(ERROR_WRITE_FAULT);
      return abort(URL_FAIL_TRANSFER);
    }
    m_bytesDone.fetch_add(static_cast<u64>(n));
  }
  write(context, nullptr, 0);
  return EndTransfer(TRUE, URL_FAIL_NONE);
}

// ---- listing and times ---------------------------------------------------------------------------

BOOL CLocalUrlConnection::ShareReadDir(const char* path, void* context, UrlEntryFn entry,
                                       const UrlDirFilter& filter) {
  const auto end = [&](BOOL ok) {
    if (entry) entry(context, nullptr);
    return ok;
  };
  if (!entry) return FailCode(ERROR_INVALID_PARAMETER);
  std::string abs;
  if (!Ready() || !ShareJoin(path && *path ? path : ".", abs)) return end(FALSE);
  const bool shares = abs == "/";
  if (!shares) {
    struct stat st {};
    const int err = m_share->Stat(abs, st);
    if (err) return end(ShareFail(err, ERROR_PATH_NOT_FOUND));
    if (!S_ISDIR(st.st_mode)) return end(FailCode(ERROR_DIRECTORY));
  }
  const bool masked = filter.mask && *filter.mask;
  m_break.store(0);
  SetBusy(true);
  bool broken = false;
  const int err = m_share->List(abs, [&](const SmbShare::Entry& e) {
    if (m_break.load()) {
      broken = true;
      return false;
    }
    const std::string_view name(e.name);
    // The server's own shares ("$") and those that hold no files are no folders of a row.
    if (e.kind == SmbShare::Entry::OtherShare || (e.kind == SmbShare::Entry::DiskShare && name.ends_with('$')))
      return true;
    if (masked && StrMatchPatternA(filter.mask, -1, e.name, -1, STR_MATCH_NOCASE | STR_MATCH_STARDOT) != 0)
      return true;
    WIN32_FIND_DATAA rec{};
    const bool folder = e.kind == SmbShare::Entry::Folder || e.kind == SmbShare::Entry::DiskShare;
    const u64 size = folder ? 0 : e.size;
    DWORD attributes = e.attributes & (URL_ATTR_READONLY | URL_ATTR_HIDDEN | URL_ATTR_SYSTEM | URL_ATTR_ARCHIVE);
    if (folder) attributes |= URL_ATTR_DIRECTORY;
    if (e.attributes & 0x400) attributes |= URL_ATTR_LINK;  // a reparse point
    if (attributes == 0) attributes = URL_ATTR_NORMAL;
    attributes |= static_cast<DWORD>((size >> 32) & 0x3F) << 10;
    rec.dwFileAttributes = attributes;
    rec.ftCreationTime = FromTimespec(e.created);
    rec.ftLastAccessTime = FromTimespec(e.accessed);
    rec.ftLastWriteTime = FromTimespec(e.written);
    rec.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    rec.nFileSizeLow = static_cast<DWORD>(size);
    StrCopyA(rec.cFileName, e.name, sizeof rec.cFileName);
    return entry(context, &rec) != FALSE;
  });
  SetBusy(false);
  entry(context, nullptr);
  if (broken) return FailCode(ERROR_CANCELLED);
  if (err) return ShareFail(err, ERROR_PATH_NOT_FOUND);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CLocalUrlConnection::ShareSetTimes(const WIN32_FIND_DATAA& record) {
  std::string abs;
  if (!ShareJoin(record.cFileName, abs)) return FALSE;
  if (Depth(abs) < 2) return FailCode(ERROR_ACCESS_DENIED);
  const bool accessed = record.ftLastAccessTime.dwHighDateTime != 0;
  const bool written = record.ftLastWriteTime.dwHighDateTime != 0;
  if (accessed || written) {
    struct stat st {};
    int err = m_share->Stat(abs, st);
    if (!err)
      err = m_share->SetTimes(abs, accessed ? ToSeconds(record.ftLastAccessTime) : st.st_atime,
                              written ? ToSeconds(record.ftLastWriteTime) : st.st_mtime);
    if (err) return ShareFail(err, ERROR_FILE_NOT_FOUND);
  }
  const DWORD attributes = record.dwFileAttributes;
  if (attributes != 0 && attributes != 0xFFFFFFFF) return ShareSetAttributes(record.cFileName, attributes & ~0x400u);
  return TRUE;
}

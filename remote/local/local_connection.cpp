// The local adapter: POSIX calls on open folders, transfers through the copy engine and
// temporary files beside their targets.
#include "remote/local/local_connection.h"

#include "lib/system/sys_copy.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_tempfile.h"
#include "lib/text/enc.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/local/smb_share.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kBlock = 16384;
constexpr unsigned kStatMask =
    STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME;

BOOL FailCode(DWORD code) {
  SetLastError(code);
  return FALSE;
}

BOOL FailErrno(int err) {
  return FailCode(Win32ErrorFromErrno(err));
}

FILETIME FromStatx(const struct statx_timestamp& ts) {
  return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec / 100);
}

struct timespec ToTimespec(const FILETIME& ft) {
  i64 hundredNs = 0;
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(FileTimeToUnix(ft, &hundredNs));
  ts.tv_nsec = static_cast<long>(hundredNs * 100);
  return ts;
}

bool IsDots(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// The listing record of name in the folder open as dirFd; false when it vanished meanwhile.
bool MakeRecord(int dirFd, const char* name, WIN32_FIND_DATAA* rec) {
  struct statx own {
  }, target{};
  if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatMask, &own) != 0) return false;
  const bool link = S_ISLNK(own.stx_mode);
  const struct statx& st =
      link && ::statx(dirFd, name, AT_NO_AUTOMOUNT, kStatMask, &target) == 0 ? target : own;
  *rec = WIN32_FIND_DATAA{};
  const bool dir = S_ISDIR(st.stx_mode);
  const u64 size = dir || S_ISLNK(st.stx_mode) ? 0 : st.stx_size;
  DWORD attributes = 0;
  if (link) attributes |= URL_ATTR_LINK;
  if (dir) attributes |= URL_ATTR_DIRECTORY;
  if (!S_ISLNK(st.stx_mode) && !(st.stx_mode & S_IWUSR)) attributes |= URL_ATTR_READONLY;
  if (name[0] == '.' && !IsDots(name)) attributes |= URL_ATTR_HIDDEN;
  if (attributes == 0) attributes = URL_ATTR_NORMAL;
  attributes |= static_cast<DWORD>((size >> 32) & 0x3F) << 10;
  rec->dwFileAttributes = attributes;
  rec->ftLastAccessTime = FromStatx(st.stx_atime);
  rec->ftLastWriteTime = FromStatx(st.stx_mtime);
  rec->ftCreationTime = FromStatx((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime);
  rec->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  rec->nFileSizeLow = static_cast<DWORD>(size);
  StrCopyA(rec->cFileName, name, sizeof rec->cFileName);
  return true;
}

// The folder part and the name of a normalised absolute path ("/a" gives "/" and "a").
std::string ParentOf(const std::string& abs) {
  const std::size_t slash = abs.rfind('/');
  return slash == 0 ? std::string("/") : abs.substr(0, slash);
}

}  // namespace

CLocalUrlConnection::CLocalUrlConnection(std::uintptr_t engineHandle, const char* host, const char* user,
                                         const char* password, u32 reserved, u16 port, u32 alternateMode)
    : CUrlConnection(engineHandle, host, user, password, reserved, port, alternateMode) {
  m_urlPrefix = "file://";
  m_caps = {.kind = URL_KIND_LOCAL, .kind68 = URL_KIND_LOCAL, .rootKind = 1, .marks = true};
}

CLocalUrlConnection::~CLocalUrlConnection() = default;

bool CLocalUrlConnection::IsOpen() const { return GetEngineHandle() != 0 && (!m_shareMode || m_share); }

bool CLocalUrlConnection::Ready() const {
  if (IsOpen()) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

BOOL CLocalUrlConnection::Open(const char* host) {
  if (GetEngineHandle() == 0) return FailCode(ERROR_RESOURCE_NOT_PRESENT);
  if (host && *host) return OpenShare(host);
  m_urlPrefix = "file://";
  std::vector<char> cwd(4096);
  while (!::getcwd(cwd.data(), cwd.size())) {
    if (errno != ERANGE) return FailCode(ERROR_PATH_NOT_FOUND);
    cwd.resize(cwd.size() * 2);
  }
  if (!Join(cwd.data(), m_currentDir)) return FALSE;
  m_currentDirLost = false;
  return TRUE;
}

// ---- paths ---------------------------------------------------------------------------------------

bool CLocalUrlConnection::Join(const char* path, std::string& out) const {
  const std::string_view text(path ? path : "");
  const bool allSlashes = !text.empty() && text.find_first_not_of('/') == std::string_view::npos;
  const UrlForm form = EncUrlForm(text);
  if (path && form == URL_FORM_DRIVE) {
    SetLastError(ERROR_INVALID_DRIVE);
    return false;
  }
  if (path && form == URL_FORM_UNC && !allSlashes) {
    SetLastError(ERROR_BAD_NETPATH);
    return false;
  }
  // "." and ".." by the text: below the base no link is followed, so the text is the truth.
  return JoinPath(path, out);
}

bool CLocalUrlConnection::BelowBase(const std::string& abs, std::string* rel) const {
  if (m_base.empty() || !m_tree || abs.size() <= m_base.size() ||
      abs.compare(0, m_base.size(), m_base) != 0 || abs[m_base.size()] != '/')
    return false;
  if (rel) *rel = abs.substr(m_base.size() + 1);
  return true;
}

bool CLocalUrlConnection::Locate(const std::string& abs, Place& place) {
  if (abs == "/") {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  std::string rel;
  int err = 0;
  if (BelowBase(abs, &rel)) {
    const auto [folder, name] = SysSplitRel(rel);
    place.name = name;
    place.dir = m_tree->OpenFolder(folder);
    if (!place.dir) err = errno;
  } else {
    place.name = abs.substr(abs.rfind('/') + 1);
    place.dir.Reset(::open(ParentOf(abs).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!place.dir) err = errno;
  }
  if (!err) return true;
  // A folder on the way that is missing, no folder, or a link below the base: no such path.
  SetLastError(err == ENOENT || err == ENOTDIR || err == ELOOP ? ERROR_PATH_NOT_FOUND
                                                               : Win32ErrorFromErrno(err));
  return false;
}

SysFd CLocalUrlConnection::OpenFolder(const std::string& abs) {
  SysFd fd;
  std::string rel;
  if (abs == m_base && m_tree) {
    fd = m_tree->OpenFolder("");
  } else if (BelowBase(abs, &rel)) {
    fd = m_tree->OpenFolder(rel);
  } else {
    fd.Reset(::open(abs.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd && errno == EACCES) fd.Reset(::open(abs.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  return fd;
}

// ---- folders and names ---------------------------------------------------------------------------

BOOL CLocalUrlConnection::ChangeDir(const char* path) {
  if (m_shareMode) return ShareChangeDir(path);
  if (!Ready()) return FALSE;
  std::string abs;
  if (!Join(path, abs)) return FALSE;
  if (abs == "/") {
    // The root is no row's folder: it never becomes the base, which would forbid every link.
    m_currentDir = abs;
    m_currentDirLost = false;
    return TRUE;
  }
  if (abs == m_base || BelowBase(abs, nullptr)) {
    if (!OpenFolder(abs)) return FailCode(ERROR_PATH_NOT_FOUND);
  } else {
    // A folder named from outside: links on the way are followed, once, here.
    auto tree = std::make_unique<SysTree>(abs);
    if (tree->OpenRoot(false) != 0) return FailCode(ERROR_PATH_NOT_FOUND);
    m_tree = std::move(tree);
    m_base = abs;
  }
  m_currentDir = abs;
  m_currentDirLost = false;
  return TRUE;
}

BOOL CLocalUrlConnection::SetFileTime(const char* path, FILETIME lastWrite) {
  if (m_shareMode) return ShareSetFileTime(path, lastWrite);
  std::string abs;
  Place place;
  if (!Ready() || !Join(path, abs) || !Locate(abs, place)) return FALSE;
  const struct timespec times[2] = {{0, UTIME_OMIT}, ToTimespec(lastWrite)};
  if (::utimensat(place.dir.Get(), place.name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    return FailErrno(errno);
  return TRUE;
}

BOOL CLocalUrlConnection::SetAttributes(const char* path, u32 attributes) {
  if (m_shareMode) return ShareSetAttributes(path, attributes);
  if (!Ready()) return FALSE;
  if (attributes == 0xFFFFFFFF) return FailCode(ERROR_INVALID_PARAMETER);
  std::string abs;
  Place place;
  if (!Join(path, abs) || !Locate(abs, place)) return FALSE;
  struct stat st {};
  if (::fstatat(place.dir.Get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FailErrno(errno);
  if (S_ISLNK(st.st_mode)) return FailCode(ERROR_NOT_SUPPORTED);  // never the file a link leads to
  mode_t mode = st.st_mode & 07777;
  if (attributes >= 0x10000) {
    mode = (attributes >> URL_ATTR_UNIX_MODE_SHIFT) & 07777;
    if (attributes & URL_ATTR_READONLY) mode &= ~static_cast<mode_t>(S_IWUSR);
  } else if (attributes & URL_ATTR_READONLY) {
    mode &= ~static_cast<mode_t>(S_IWUSR);
  } else {
    mode |= S_IWUSR;
  }
  if (mode == (st.st_mode & 07777)) return TRUE;
  if (::fchmodat(place.dir.Get(), place.name.c_str(), mode, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == EOPNOTSUPP ? FailCode(ERROR_NOT_SUPPORTED) : FailErrno(errno);
  return TRUE;
}

namespace {
constexpr char kMarkAttribute[] = "user.kopiwart.mark";
}  // namespace

// The file itself, never a link's target; opened for reading only, so that nothing it holds moves.
SysFd CLocalUrlConnection::OpenForMark(const char* path) {
  std::string abs;
  Place place;
  if (m_shareMode) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return SysFd();
  }
  if (!Ready() || !Join(path, abs) || !Locate(abs, place)) return SysFd();
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  SysFd fd(::openat(place.dir.Get(), place.name.c_str(), kFlags | O_NOATIME));
  if (!fd && errno == EPERM) fd.Reset(::openat(place.dir.Get(), place.name.c_str(), kFlags));  // not our file
  if (!fd) FailErrno(errno == ELOOP ? ENOENT : errno);
  return fd;
}

int CLocalUrlConnection::GetMark(const char* path, i64* since) {
  const SysFd fd = OpenForMark(path);
  if (!fd) return -1;
  char text[32] = {};
  const ssize_t n = ::fgetxattr(fd.Get(), kMarkAttribute, text, sizeof text - 1);
  if (n < 0) {
    if (errno == ENODATA) return 0;
    FailCode(errno == ENOTSUP || errno == EOPNOTSUPP ? ERROR_NOT_SUPPORTED : Win32ErrorFromErrno(errno));
    return -1;
  }
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (n == 0 || end != text + n || value < 0) return 0;  // not ours
  if (since) *since = value;
  return 1;
}

BOOL CLocalUrlConnection::SetMark(const char* path, i64 since) {
  const SysFd fd = OpenForMark(path);
  if (!fd) return FALSE;
  int r;
  if (since < 0) {
    r = ::fremovexattr(fd.Get(), kMarkAttribute);
    if (r != 0 && errno == ENODATA) r = 0;
  } else {
    const std::string text = std::to_string(since);
    r = ::fsetxattr(fd.Get(), kMarkAttribute, text.data(), text.size(), 0);
  }
  if (r == 0) return TRUE;
  return FailCode(errno == ENOTSUP || errno == EOPNOTSUPP ? ERROR_NOT_SUPPORTED : Win32ErrorFromErrno(errno));
}

BOOL CLocalUrlConnection::Rmdir(const char* path) {
  if (m_shareMode) return ShareRmdir(path);
  std::string abs;
  Place place;
  if (!Ready() || !Join(path, abs) || !Locate(abs, place)) return FALSE;
  if (::unlinkat(place.dir.Get(), place.name.c_str(), AT_REMOVEDIR) != 0)
    return FailCode(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : Win32ErrorFromErrno(errno));
  return TRUE;
}

BOOL CLocalUrlConnection::Mkdir(const char* path) {
  if (m_shareMode) return ShareMkdir(path);
  std::string abs;
  Place place;
  if (!Ready() || !Join(path, abs)) return FALSE;
  if (abs == "/") return FailCode(ERROR_ALREADY_EXISTS);
  if (!Locate(abs, place)) return FALSE;
  if (::mkdirat(place.dir.Get(), place.name.c_str(), 0777) != 0)
    return FailCode(errno == EEXIST ? ERROR_ALREADY_EXISTS : Win32ErrorFromErrno(errno));
  return TRUE;
}

BOOL CLocalUrlConnection::Remove(const char* path) {
  if (m_shareMode) return ShareRemove(path);
  std::string abs;
  Place place;
  if (!Ready() || !Join(path, abs) || !Locate(abs, place)) return FALSE;
  struct stat st {};
  if (::fstatat(place.dir.Get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
    return FailCode(ERROR_ACCESS_DENIED);
  if (::unlinkat(place.dir.Get(), place.name.c_str(), 0) != 0)
    return FailCode(errno == EISDIR ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno));
  return TRUE;
}

BOOL CLocalUrlConnection::Rename(const char* oldPath, const char* newPath) {
  if (m_shareMode) return ShareRename(oldPath, newPath);
  std::string from, to;
  Place a, b;
  if (!Ready() || !Join(oldPath, from) || !Join(newPath, to) || !Locate(from, a) || !Locate(to, b))
    return FALSE;
  return SysRenameAt(a.dir.Get(), a.name.c_str(), b.dir.Get(), b.name.c_str(), SYS_RENAME_NOREPLACE) == 0;
}

void CLocalUrlConnection::Close() {
  m_engineHandle.store(0);
  m_share.reset();
  m_tree.reset();
  m_base.clear();
}

int CLocalUrlConnection::FullPath(const char* name, char* buffer, int size) {
  std::string abs;
  if (!buffer || size < 1) return 0;
  if (m_shareMode ? !ShareJoin(name, abs) : !Join(name, abs)) {
    buffer[0] = '\0';
    return 0;
  }
  return StrCopyA(buffer, abs.c_str(), size);
}

// ---- transfers -----------------------------------------------------------------------------------

void CLocalUrlConnection::BeginTransfer(u64 total) {
  m_failureSide = URL_FAIL_NONE;
  m_bytesDone.store(0);
  m_bytesTotal.store(total);
  m_break.store(0);
  SetBusy(true);
}

BOOL CLocalUrlConnection::EndTransfer(BOOL ok, u32 failureSide) {
  const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
  SetBusy(false);
  if (!ok) m_failureSide = failureSide;
  SetLastError(code);
  return ok;
}

BOOL CLocalUrlConnection::UploadFile(const char* local, const char* remote, u32, u32) {
  if (m_shareMode) return ShareUploadFile(local, remote);
  m_failureSide = URL_FAIL_NONE;
  m_bytesDone.store(0);
  m_bytesTotal.store(0);
  if (!Ready()) return FALSE;
  std::string abs;
  Place target;
  if (!Join(remote, abs) || !Locate(abs, target)) return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  const SysOsPath src(local);
  if (!src.ok()) return EndTransfer(FALSE, URL_FAIL_LOCAL);
  const std::string localPath(src.c_str());
  const std::size_t slash = localPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : localPath.substr(0, slash);
  const std::string name = slash == std::string::npos ? localPath : localPath.substr(slash + 1);
  SysFd srcDir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!srcDir) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(errno));
    return EndTransfer(FALSE, URL_FAIL_LOCAL);
  }
  struct stat st {};
  BeginTransfer(::fstatat(srcDir.Get(), name.c_str(), &st, 0) == 0 ? static_cast<u64>(st.st_size) : 0);
  u64 total = 0;
  const int rc = SysFileCopyAt(SYS_COPY_TIMES, srcDir.Get(), name.c_str(), target.dir.Get(),
                               target.name.c_str(), &m_bytesDone, &total, &m_break);
  if (rc == SYS_COPY_DONE) return EndTransfer(TRUE, URL_FAIL_NONE);
  if (rc == SYS_COPY_STOPPED) SetLastError(ERROR_CANCELLED);
  return EndTransfer(FALSE, rc == SYS_COPY_SOURCE_ERROR ? URL_FAIL_LOCAL : URL_FAIL_TRANSFER);
}

BOOL CLocalUrlConnection::DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32, u32,
                                       u32) {
  if (m_shareMode) return ShareDownloadFile(remote, local, failIfExists);
  m_failureSide = URL_FAIL_NONE;
  m_bytesDone.store(0);
  m_bytesTotal.store(0);
  if (!Ready()) return FALSE;
  std::string abs;
  Place source;
  if (!Join(remote, abs) || !Locate(abs, source)) return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  SysFd dstDir;
  std::string name;
  if (!OpenLocalFolder(local, dstDir, name)) return EndTransfer(FALSE, URL_FAIL_LOCAL);
  struct stat st {};
  BeginTransfer(::fstatat(source.dir.Get(), source.name.c_str(), &st, 0) == 0 ? static_cast<u64>(st.st_size)
                                                                              : 0);
  u64 total = 0;
  const int flags = SYS_COPY_TIMES | (failIfExists ? SYS_COPY_NO_REPLACE : 0);
  const int rc = SysFileCopyAt(flags, source.dir.Get(), source.name.c_str(), dstDir.Get(), name.c_str(),
                               &m_bytesDone, &total, &m_break);
  if (rc == SYS_COPY_DONE) return EndTransfer(TRUE, URL_FAIL_NONE);
  if (rc == SYS_COPY_STOPPED) SetLastError(ERROR_CANCELLED);
  const bool localSide = rc == SYS_COPY_EXISTS || rc == SYS_COPY_TARGET_ERROR;
  return EndTransfer(FALSE, localSide ? URL_FAIL_LOCAL : URL_FAIL_TRANSFER);
}

BOOL CLocalUrlConnection::UploadProc(const char* remote, void* context, UrlReadFn read, u32, u32) {
  if (m_shareMode) return ShareUploadProc(remote, context, read);
  m_failureSide = URL_FAIL_NONE;
  if (!read) return FailCode(ERROR_INVALID_PARAMETER);
  if (!Ready()) return FALSE;
  std::string abs;
  Place target;
  if (!Join(remote, abs) || !Locate(abs, target)) return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  // Replacing a folder or a read-only file is refused before anything is written; a link in the
  // target's place is replaced, never followed.
  struct stat old {};
  const bool replacing = ::fstatat(target.dir.Get(), target.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (replacing && (S_ISDIR(old.st_mode) || (S_ISREG(old.st_mode) && !(old.st_mode & S_IWUSR)))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  }
  SysTempFile temp;
  if (const int err = temp.Create(target.dir.Get(), target.name)) {
    SetLastError(Win32ErrorFromErrno(err));
    return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  }
  BeginTransfer(m_nextUploadSize);
  std::vector<BYTE> block(kBlock);
  for (;;) {
    if (m_break.load()) {
      SetLastError(ERROR_CANCELLED);
      return EndTransfer(FALSE, URL_FAIL_TRANSFER);
    }
    const int n = read(context, block.data(), kBlock);
    if (n == 0) break;
    if (n < 0 || n > kBlock) {
      SetLastError(ERROR_WRITE_FAULT);
      return EndTransfer(FALSE, URL_FAIL_TRANSFER);
    }
    if (const int err = temp.Write(block.data(), static_cast<std::size_t>(n))) {
      SetLastError(Win32ErrorFromErrno(err));
      return EndTransfer(FALSE, URL_FAIL_TRANSFER);
    }
    m_bytesDone.fetch_add(static_cast<u64>(n));
  }
  if (replacing && S_ISREG(old.st_mode) && ::fchmod(temp.Fd(), old.st_mode & 07777) != 0) {
    SetLastError(Win32ErrorFromErrno(errno));
    return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  }
  if (const int err = temp.Commit(true)) {
    SetLastError(err == EISDIR ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err));
    return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  }
  return EndTransfer(TRUE, URL_FAIL_NONE);
}

BOOL CLocalUrlConnection::DownloadProc(const char* remote, void* context, UrlWriteFn write, u32, u32, u32) {
  if (m_shareMode) return ShareDownloadProc(remote, context, write);
  m_failureSide = URL_FAIL_NONE;
  if (!write) return FailCode(ERROR_INVALID_PARAMETER);
  const auto abort = [&](u32 side) {
    write(context, nullptr, -1);
    return EndTransfer(FALSE, side);
  };
  if (!Ready()) {
    write(context, nullptr, -1);
    return FALSE;
  }
  std::string abs;
  Place source;
  if (!Join(remote, abs) || !Locate(abs, source)) return abort(URL_FAIL_TRANSFER);
  SysFd in(SysOpenRegularAt(source.dir.Get(), source.name.c_str()));
  struct stat st {};
  if (!in || ::fstat(in.Get(), &st) != 0) {
    SetLastError(Win32ErrorFromErrno(errno));
    return abort(URL_FAIL_TRANSFER);
  }
  BeginTransfer(static_cast<u64>(st.st_size));
  std::vector<BYTE> block(kBlock);
  for (;;) {
    if (m_break.load()) {
      SetLastError(ERROR_CANCELLED);
      return abort(URL_FAIL_TRANSFER);
    }
    const i64 n = SysReadUpTo(in.Get(), block.data(), block.size());
    if (n < 0) {
      SetLastError(Win32ErrorFromErrno(errno));
      return abort(URL_FAIL_TRANSFER);
    }
    if (n > 0 && write(context, block.data(), static_cast<int>(n)) != n) {
      SetLastError(ERROR_WRITE_FAULT);
      return abort(URL_FAIL_TRANSFER);
    }
    m_bytesDone.fetch_add(static_cast<u64>(n));
    if (n < kBlock) break;
  }
  write(context, nullptr, 0);
  return EndTransfer(TRUE, URL_FAIL_NONE);
}

// ---- listing -------------------------------------------------------------------------------------

BOOL CLocalUrlConnection::ReadDir(const char* path, void* context, UrlEntryFn entry,
                                  const UrlDirFilter& filter) {
  if (m_shareMode) return ShareReadDir(path, context, entry, filter);
  const auto end = [&](BOOL ok) {
    if (entry) entry(context, nullptr);
    return ok;
  };
  if (!entry) return FailCode(ERROR_INVALID_PARAMETER);
  if (!Ready()) return end(FALSE);
  std::string abs;
  if (!Join(path && *path ? path : ".", abs)) return end(FALSE);
  SysFd folder = OpenFolder(abs);
  // The folder may have been opened only for lookups (no read permission): read it properly.
  if (folder) folder.Reset(::openat(folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    const int err = errno;
    return end(FailCode(err == ENOENT                    ? ERROR_PATH_NOT_FOUND
                        : err == ENOTDIR || err == ELOOP ? ERROR_DIRECTORY
                                                         : Win32ErrorFromErrno(err)));
  }
  DIR* dir = ::fdopendir(folder.Get());
  if (!dir) return end(FailErrno(errno));
  folder.Release();
  const int dirFd = ::dirfd(dir);
  const bool masked = filter.mask && *filter.mask;
  m_break.store(0);
  SetBusy(true);
  DWORD code = ERROR_SUCCESS;
  for (;;) {
    if (m_break.load()) {
      code = ERROR_CANCELLED;
      break;
    }
    errno = 0;
    const dirent* d = ::readdir(dir);
    if (!d) {
      code = errno ? Win32ErrorFromErrno(errno) : ERROR_SUCCESS;
      break;
    }
    if (masked && StrMatchPatternA(filter.mask, -1, d->d_name, -1, STR_MATCH_NOCASE | STR_MATCH_STARDOT) != 0)
      continue;
    WIN32_FIND_DATAA rec;
    if (!MakeRecord(dirFd, d->d_name, &rec)) continue;  // gone meanwhile
    if (!entry(context, &rec)) break;
  }
  ::closedir(dir);
  SetBusy(false);
  entry(context, nullptr);
  SetLastError(code);
  return code == ERROR_SUCCESS;
}

// ---- options and break ---------------------------------------------------------------------------

BOOL CLocalUrlConnection::SetFindData(const void* buffer, int size) {
  if (GetEngineHandle() == 0) return FailCode(ERROR_INTERNAL_ERROR);
  WIN32_FIND_DATAA record;
  if (!TakeFindData(buffer, size, &record)) return FALSE;
  return m_shareMode ? ShareSetTimes(record) : SetTimes(record);
}

BOOL CLocalUrlConnection::SetTimes(const WIN32_FIND_DATAA& record) {
  std::string abs;
  Place place;
  if (!Join(record.cFileName, abs) || !Locate(abs, place)) return FALSE;
  // A creation time cannot be set here; access and write times only where given.
  struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  if (record.ftLastAccessTime.dwHighDateTime != 0) times[0] = ToTimespec(record.ftLastAccessTime);
  if (record.ftLastWriteTime.dwHighDateTime != 0) times[1] = ToTimespec(record.ftLastWriteTime);
  if ((times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) &&
      ::utimensat(place.dir.Get(), place.name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    return FailErrno(errno);
  const DWORD attributes = record.dwFileAttributes;
  if (attributes != 0 && attributes != 0xFFFFFFFF)
    return SetAttributes(record.cFileName, attributes & ~0x400u);
  return TRUE;
}

BOOL CLocalUrlConnection::Break() {
  m_break.store(1);
  SetBusy(false);
  return GetEngineHandle() != 0;
}

// The disk adapter: connection operations over the volume file API, transfers through temporary names.
#include "remote/disk/disk_connection.h"

#include "FileSystem/Volume/volume_api.h"
#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_tempfile.h"
#include "lib/system/sys_time.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kBlock = 131072;
constexpr u64 kFatLimit = 0xFFFFFFFF;
constexpr std::size_t kMaxListPath = 510;

// The volume layer's times: seconds since 1970, 0 for none.
FILETIME ToFileTime(i64 seconds) { return seconds ? FileTimeFromUnix(seconds) : FILETIME{}; }

// Seconds since 1970 of a FILETIME; 0 for none. The moment 0 itself goes one second on, as the
// volume layer reads 0 as none.
i64 ToSeconds(const FILETIME& ft) {
  SysUtc t = 0;
  if (!SysFileTimeToTime(&ft, &t)) return 0;
  return t ? t : 1;
}

// Windows attribute bits to the volume layer's word, a Unix mode above them passed on.
u32 VolumeAttributes(u32 attributes) {
  u32 word = DISK_ATTR_READABLE;
  if (!(attributes & URL_ATTR_READONLY)) word |= DISK_ATTR_WRITABLE;
  if (attributes & URL_ATTR_HIDDEN) word |= DISK_ATTR_HIDDEN;
  if (attributes & URL_ATTR_SYSTEM) word |= DISK_ATTR_SYSTEM;
  if (attributes & URL_ATTR_ARCHIVE) word |= DISK_ATTR_ARCHIVE;
  if (attributes >= 0x10000) word |= attributes & 0xFFFF0000u;
  return word;
}

// A find record as a listing entry; false when its name does not fit the entry.
bool ToFindData(const DiskFindRecord& r, WIN32_FIND_DATAA& out) {
  out = WIN32_FIND_DATAA{};
  const std::size_t length = std::strlen(r.name);
  if (length >= sizeof out.cFileName) return false;
  DWORD a = 0;
  if (!(r.attributes & DISK_ATTR_WRITABLE)) a |= URL_ATTR_READONLY;
  if (r.attributes & DISK_ATTR_HIDDEN) a |= URL_ATTR_HIDDEN;
  if (r.attributes & DISK_ATTR_SYSTEM) a |= URL_ATTR_SYSTEM;
  if (r.attributes & DISK_ATTR_ARCHIVE) a |= URL_ATTR_ARCHIVE;
  if (r.attributes & DISK_ATTR_FOLDER) a |= URL_ATTR_DIRECTORY;
  if (r.link) a |= URL_ATTR_LINK;
  if (a == 0) a = URL_ATTR_NORMAL;
  a |= static_cast<DWORD>((r.size >> 32) & 0x3F) << 10;
  out.dwFileAttributes = a;
  out.nFileSizeHigh = static_cast<DWORD>(r.size >> 32);
  out.nFileSizeLow = static_cast<DWORD>(r.size);
  out.ftCreationTime = ToFileTime(r.creation);
  out.ftLastAccessTime = ToFileTime(r.access);
  out.ftLastWriteTime = ToFileTime(r.write);
  std::memcpy(out.cFileName, r.name, length + 1);
  return true;
}

// "dir/name" as "dir/" and "name".
std::pair<std::string, std::string> SplitName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

}  // namespace

DWORD SysErrorToWin32(int sysError) {
  switch (sysError) {
    case SYS_ERR_EXISTS: return ERROR_FILE_EXISTS;
    case SYS_ERR_DISK_FULL: return ERROR_DISK_FULL;
    case SYS_ERR_PATH: return ERROR_PATH_NOT_FOUND;
    case SYS_ERR_TOO_MANY_OPEN: return ERROR_TOO_MANY_OPEN_FILES;
    case SYS_ERR_ACCESS: return ERROR_ACCESS_DENIED;
    case SYS_ERR_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case SYS_ERR_NAME_TOO_LONG: return ERROR_INVALID_NAME;
    case SYS_ERR_INVALID: return ERROR_INVALID_PARAMETER;
    case 0: return ERROR_SUCCESS;
    default: return ERROR_INVALID_ACCESS;
  }
}

// The connection's transfer buffer while no other transfer holds it, else one of its own.
class CDiskUrlConnection::Buffer {
 public:
  explicit Buffer(CDiskUrlConnection& c) : m_c(c) {
    if (!m_c.m_bufferInUse.exchange(true)) {
      if (!m_c.m_buffer) m_c.m_buffer = std::make_unique<BYTE[]>(kBlock);
      m_data = m_c.m_buffer.get();
      m_shared = true;
    } else {
      m_own = std::make_unique<BYTE[]>(kBlock);
      m_data = m_own.get();
    }
  }
  ~Buffer() {
    if (m_shared) m_c.m_bufferInUse.store(false);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  BYTE* data() const { return m_data; }

 private:
  CDiskUrlConnection& m_c;
  std::unique_ptr<BYTE[]> m_own;
  BYTE* m_data = nullptr;
  bool m_shared = false;
};

CDiskUrlConnection::CDiskUrlConnection(std::unique_ptr<DiskDriveTable> table, const char* host, const char* user,
                                       const char* password, u32 reserved, u16 port, u32 alternateMode)
    : CUrlConnection(reinterpret_cast<std::uintptr_t>(table.get()), host, user, password, reserved, port,
                     alternateMode),
      m_table(std::move(table)),
      m_partitionSelector(port == 0 ? DISK_ALL_PARTITIONS : u32{port} - 1) {
  m_urlPrefix = "disk://";
  m_caps = {.kind = URL_KIND_DISK, .kind68 = 1, .isDisk = true, .timeout = true, .escapedHost = true};
}

CDiskUrlConnection::~CDiskUrlConnection() { Close(); }

BOOL CDiskUrlConnection::Attached(int result, const char* name, bool readOnly) {
  // The container alone is no success: at least one volume must be there.
  if (result > 1) {
    m_message.clear();
    m_notice.clear();
    if (readOnly) return TRUE;
    // Attached to be written: what the volumes said is told, and when none takes writes, the row
    // learns at once why.
    std::string notes;
    bool writable = false;
    for (int d = 0; d < DISK_MAX_DRIVES; ++d) {
      if (m_table->fsType[d] < DISK_TYPE_FAT || !m_table->fileSystem[d]) continue;
      writable = writable || m_table->fileSystem[d]->Writable();
      if (!m_table->note[d].empty()) notes += " " + m_table->note[d];
    }
    if (writable) {
      if (!notes.empty()) m_notice = FmtString("Auf %s:", name) + notes;
      return TRUE;
    }
    m_message = FmtString("Auf %s kann nicht geschrieben werden.", name) + notes;
    DiskDetach(*m_table, 0);
    return Fail(ERROR_WRITE_PROTECT);
  }
  m_message = m_table->message;
  if (m_message.empty() || result == 1) {
    const std::string why = result == 1 ? m_message : std::string();
    m_message = FmtString("Auf %s wurde keine Partition gefunden, die gelesen werden kann.", name);
    if (!why.empty()) m_message += " " + why;
  }
  if (result == 1) DiskDetach(*m_table, 0);
  return Fail(ERROR_PARTITION_FAILURE);
}

BOOL CDiskUrlConnection::Open(bool readOnly) {
  if (!m_table) return Fail(ERROR_INVALID_HANDLE);
  char name[512];
  EncDecodeEscapesA(m_host.c_str(), -1, name, sizeof name, ENC_PERCENT, nullptr);
  for (char* p = name; *p; ++p)
    if (*p == '\\') *p = '/';
  const u32 mode = DISK_ATTACH_CLEAR | DISK_ATTACH_DROP_UNMOUNTABLE | DISK_ATTACH_FIXED_DRIVE |
                   (readOnly ? u32{DISK_ATTACH_READ_ONLY} : 0u);
  return Attached(DiskAttach(*m_table, name, mode, nullptr, m_partitionSelector), name, readOnly);
}

BOOL CDiskUrlConnection::OpenMedium(std::unique_ptr<RawMedium> medium, const char* name, bool readOnly) {
  if (!m_table) return Fail(ERROR_INVALID_HANDLE);
  const u32 mode = DISK_ATTACH_CLEAR | DISK_ATTACH_DROP_UNMOUNTABLE | DISK_ATTACH_FIXED_DRIVE |
                   (readOnly ? u32{DISK_ATTACH_READ_ONLY} : 0u);
  return Attached(DiskAttachMedium(*m_table, std::move(medium), name, mode, nullptr, m_partitionSelector),
                  name ? name : "", readOnly);
}

bool CDiskUrlConnection::Ready(DWORD code) const {
  if (IsOpen()) return true;
  SetLastError(code);
  return false;
}

BOOL CDiskUrlConnection::FailSys(int sysError) const { return Fail(SysErrorToWin32(sysError)); }

// ---- folders and names ---------------------------------------------------------------------------

BOOL CDiskUrlConnection::ChangeDir(const char* path) {
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  if (!path) return Fail(ERROR_INVALID_PARAMETER);
  if (const int r = DiskSetCurrentPath(*m_table, path)) return FailSys(r);
  return TRUE;
}

bool CDiskUrlConnection::CurrentDir(std::string& dir) {
  char text[1024];
  const int length = DiskGetCurrentPath(*m_table, text, sizeof text);
  if (length < 0) return Fail(ERROR_INVALID_PARAMETER);
  dir.assign(text, static_cast<std::size_t>(length));
  return true;
}

BOOL CDiskUrlConnection::SetFileTime(const char* path, FILETIME lastWrite) {
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  const i64 seconds = ToSeconds(lastWrite);
  if (!seconds) return Fail(ERROR_INVALID_PARAMETER);
  int err = 0;
  const DiskHandle h = DiskFileOpen(*m_table, path, DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
  if (!h) return FailSys(err);
  DiskSetFileTime(*m_table, h, seconds, 0, 0);
  if (const int r = DiskFileClose(*m_table, h)) return FailSys(r);
  return TRUE;
}

i64 CDiskUrlConnection::StoredWriteTime(const char* path, i64 seconds) {
  if (!m_table) return seconds;
  return DiskStoredTime(*m_table, path, seconds ? seconds : 1);
}

BOOL CDiskUrlConnection::SetAttributes(const char* path, u32 attributes) {
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  const int r = DiskSetAttributes(*m_table, path, VolumeAttributes(attributes));
  return r < 0 ? FailSys(r) : TRUE;
}

BOOL CDiskUrlConnection::Rmdir(const char* path) {
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  const int r = DiskRmdir(*m_table, path);
  if (r == SYS_ERR_ACCESS || r == SYS_ERR_OTHER) {
    // A folder that still holds entries is told apart from one that may not be removed (FAT says
    // denied, exFAT any other error).
    DiskFindRecord record;
    int err = 0;
    const std::string pattern = std::string(path ? path : "") + "/*";
    const DiskHandle h = DiskFindFirst(*m_table, pattern.c_str(), &record, &err);
    if (h) {
      DiskFindClose(*m_table, h);
      return Fail(ERROR_DIR_NOT_EMPTY);
    }
  }
  return r < 0 ? FailSys(r) : TRUE;
}

BOOL CDiskUrlConnection::Mkdir(const char* path) {
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  // An existing folder or file is what a folder of that name cannot be made for (ext4 itself
  // answers an existing folder with success).
  if (DiskPathKind(*m_table, path) != 0) return Fail(ERROR_ALREADY_EXISTS);
  const int r = DiskMkdir(*m_table, path);
  if (r == SYS_ERR_EXISTS) return Fail(ERROR_ALREADY_EXISTS);
  return r < 0 ? FailSys(r) : TRUE;
}

BOOL CDiskUrlConnection::Remove(const char* path) {
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  const int r = DiskDelete(*m_table, path);
  return r < 0 ? FailSys(r) : TRUE;
}

BOOL CDiskUrlConnection::Rename(const char* oldPath, const char* newPath) {
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  const int r = DiskRename(*m_table, oldPath, newPath);
  return r < 0 ? FailSys(r) : TRUE;
}

void CDiskUrlConnection::Close() {
  if (m_table) DiskDetach(*m_table, 0);
  m_table.reset();
  m_engineHandle.store(0);
}

// ---- transfers -----------------------------------------------------------------------------------

void CDiskUrlConnection::BeginTransfer(u64 total) {
  m_failureSide = URL_FAIL_NONE;
  m_bytesDone.store(0);
  m_bytesTotal.store(total);
  m_break.store(false);
  SetBusy(true);
}

BOOL CDiskUrlConnection::EndTransfer(BOOL ok, u32 failureSide) {
  const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
  SetBusy(false);
  m_break.store(false);
  m_failureSide = ok ? URL_FAIL_NONE : failureSide;
  SetLastError(code);
  return ok;
}

u8 CDiskUrlConnection::FileSystemOf(const char* path) const {
  char inside[4096];
  const int drive = DiskResolvePath(*m_table, path, inside, sizeof inside, DISK_NAME_UTF8, nullptr);
  return drive > 0 ? m_table->fsType[drive - 1] : u8{DISK_TYPE_FREE};
}

BOOL CDiskUrlConnection::Send(const char* remote, u64 total, bool sizeKnown,
                              const std::function<int(BYTE*, int)>& source) {
  const std::string target = remote ? remote : "";
  const int old = DiskFileInfo(*m_table, target.c_str());
  if (old >= 0 && ((old & DISK_ATTR_FOLDER) || !(old & DISK_ATTR_WRITABLE))) return Fail(ERROR_ACCESS_DENIED);
  if (old < 0 && old != SYS_ERR_NOT_FOUND) return FailSys(old);
  const u8 fileSystem = FileSystemOf(target.c_str());
  const bool fat = fileSystem == DISK_TYPE_FAT;
  if (fat && sizeKnown && total > kFatLimit) return Fail(ERROR_FILE_TOO_LARGE);

  // Temporary names beside the target that no entry has, as long as the target's name (13
  // characters at least): on FAT and exFAT giving one the target's name then takes no more room
  // in the folder, so that its entries change where they stand, in one write.
  const auto [folder, name] = SplitName(target);
  std::size_t units = 0;
  for (const char* p = name.c_str(); *p;) {
    u32 cp = 0;
    const int n = EncUtf8Decode(p, &cp);
    units += cp >= 0x10000 ? 2 : 1;
    p += n > 0 ? n : 1;
  }
  const std::string padding(std::max<std::size_t>(units, 13) - 12, '~');
  const auto freeName = [&] {
    for (int tries = 0; tries < 4096; ++tries) {
      char serial[16];
      std::snprintf(serial, sizeof serial, "~kpw%04x", ++m_tempCounter & 0xFFFF);
      const std::string path = folder + serial + padding + ".tmp";
      if (DiskPathKind(*m_table, path.c_str()) == 0) return path;
    }
    return std::string();
  };
  const std::string temp = freeName();
  if (temp.empty()) return Fail(ERROR_CANNOT_MAKE);

  int err = 0;
  DiskHandle h = DiskFileOpen(*m_table, temp.c_str(), DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
  if (!h) return FailSys(err);
  const auto fail = [&](DWORD code) {
    if (h) DiskFileClose(*m_table, h);
    DiskDelete(*m_table, temp.c_str());
    return Fail(code);
  };
  Buffer buffer(*this);
  u64 done = 0;
  for (;;) {
    if (m_break.load()) return fail(ERROR_OPERATION_ABORTED);
    const int n = source(buffer.data(), kBlock);
    if (n == 0) break;
    if (n < 0 || n > kBlock) return fail(ERROR_READ_FAULT);
    if (fat && done + static_cast<u64>(n) > kFatLimit) return fail(ERROR_FILE_TOO_LARGE);
    const int w = DiskFileWrite(*m_table, h, buffer.data(), n);
    if (w < 0) return fail(SysErrorToWin32(w));
    if (w < n) return fail(ERROR_DISK_FULL);
    done += static_cast<u64>(n);
    m_bytesDone.fetch_add(static_cast<u64>(n));
  }
  if (sizeKnown && total && done < total) return fail(ERROR_HANDLE_EOF);
  const int closed = DiskFileClose(*m_table, h);
  h = 0;
  if (closed < 0) return fail(SysErrorToWin32(closed));
  if (old < 0) {
    if (const int r = DiskRename(*m_table, temp.c_str(), target.c_str())) return fail(SysErrorToWin32(r));
    return TRUE;
  }
  if (fileSystem == DISK_TYPE_FAT || fileSystem == DISK_TYPE_EXFAT) {
    // The old file's name takes the new content in steps a crash cannot tear apart.
    if (const int r = DiskReplaceFile(*m_table, temp.c_str(), target.c_str())) return fail(SysErrorToWin32(r));
    return TRUE;
  }
  // The old file steps aside under a name of its own until the new one has its name.
  const std::string aside = freeName();
  if (aside.empty()) return fail(ERROR_CANNOT_MAKE);
  if (const int r = DiskRename(*m_table, target.c_str(), aside.c_str())) return fail(SysErrorToWin32(r));
  if (const int r = DiskRename(*m_table, temp.c_str(), target.c_str())) {
    DiskRename(*m_table, aside.c_str(), target.c_str());
    return fail(SysErrorToWin32(r));
  }
  DiskDelete(*m_table, aside.c_str());
  return TRUE;
}

BOOL CDiskUrlConnection::UploadFile(const char* local, const char* remote, u32, u32) {
  m_failureSide = URL_FAIL_NONE;
  m_bytesDone.store(0);
  m_bytesTotal.store(0);
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  const SysOsPath path(local);
  if (!path.ok()) return EndTransfer(FALSE, URL_FAIL_LOCAL);
  SysFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!in || ::fstat(in.Get(), &st) != 0) {
    SetLastErrorFromErrno(errno, path.c_str());
    return EndTransfer(FALSE, URL_FAIL_LOCAL);
  }
  if (S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return EndTransfer(FALSE, URL_FAIL_LOCAL);
  }
  const u64 total = static_cast<u64>(st.st_size);
  BeginTransfer(total);
  const BOOL ok = Send(remote, total, true, [&](BYTE* data, int size) -> int {
    const i64 n = SysReadUpTo(in.Get(), data, static_cast<std::size_t>(size));
    return n < 0 ? -1 : static_cast<int>(n);
  });
  return EndTransfer(ok, URL_FAIL_TRANSFER);
}

BOOL CDiskUrlConnection::UploadProc(const char* remote, void* context, UrlReadFn read, u32, u32) {
  m_failureSide = URL_FAIL_NONE;
  if (!read) return Fail(ERROR_INVALID_PARAMETER);
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  // The announced size feeds the progress; the data runs to the source's end.
  const u64 announced = m_nextUploadSize;
  m_nextUploadSize = 0;
  BeginTransfer(announced);
  const BOOL ok = Send(remote, announced, announced != 0,
                       [&](BYTE* data, int size) { return read(context, data, size); });
  return EndTransfer(ok, URL_FAIL_TRANSFER);
}

BOOL CDiskUrlConnection::DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32, u32, u32) {
  m_failureSide = URL_FAIL_NONE;
  m_bytesDone.store(0);
  m_bytesTotal.store(0);
  if (!Ready(ERROR_INVALID_HANDLE)) return FALSE;
  int err = 0;
  const DiskHandle h = DiskFileOpen(*m_table, remote, DISK_OPEN_READ, &err);
  if (!h) {
    SetLastError(SysErrorToWin32(err));
    return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  }
  const u64 total = static_cast<u64>(std::max<i64>(0, DiskGetFileSize(*m_table, h)));
  const auto fail = [&](u32 side) {
    DiskFileClose(*m_table, h);
    return EndTransfer(FALSE, side);
  };
  BeginTransfer(total);
  SysFd dir;
  std::string name;
  if (!OpenLocalFolder(local, dir, name)) return fail(URL_FAIL_LOCAL);
  struct stat st {};
  if (failIfExists && ::fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    SetLastError(ERROR_FILE_EXISTS);
    return fail(URL_FAIL_LOCAL);
  }
  SysTempFile temp;
  if (const int e = temp.Create(dir.Get(), name)) {
    SetLastError(Win32ErrorFromErrno(e));
    return fail(URL_FAIL_LOCAL);
  }
  Buffer buffer(*this);
  u64 done = 0;
  while (done < total) {
    if (m_break.load()) {
      SetLastError(ERROR_OPERATION_ABORTED);
      return fail(URL_FAIL_TRANSFER);
    }
    const int want = static_cast<int>(std::min<u64>(total - done, kBlock));
    const int n = DiskFileRead(*m_table, h, buffer.data(), want);
    if (n < 0) {
      SetLastError(SysErrorToWin32(n));
      return fail(URL_FAIL_TRANSFER);
    }
    if (n < want) {
      SetLastError(ERROR_READ_FAULT);
      return fail(URL_FAIL_TRANSFER);
    }
    if (const int e = temp.Write(buffer.data(), static_cast<std::size_t>(n))) {
      SetLastError(Win32ErrorFromErrno(e));
      return fail(URL_FAIL_TRANSFER);
    }
    done += static_cast<u64>(n);
    m_bytesDone.fetch_add(static_cast<u64>(n));
  }
  DiskFileClose(*m_table, h);
  if (const int e = temp.Commit(!failIfExists)) {
    SetLastError(e == EEXIST ? ERROR_FILE_EXISTS : Win32ErrorFromErrno(e));
    return EndTransfer(FALSE, e == EEXIST ? URL_FAIL_LOCAL : URL_FAIL_TRANSFER);
  }
  return EndTransfer(TRUE, URL_FAIL_NONE);
}

BOOL CDiskUrlConnection::DownloadProc(const char* remote, void* context, UrlWriteFn write, u32, u32, u32) {
  m_failureSide = URL_FAIL_NONE;
  if (!write) return Fail(ERROR_INVALID_PARAMETER);
  if (!Ready(ERROR_INVALID_HANDLE)) {
    write(context, nullptr, -1);
    return FALSE;
  }
  m_bytesDone.store(0);
  m_bytesTotal.store(0);
  int err = 0;
  const DiskHandle h = DiskFileOpen(*m_table, remote, DISK_OPEN_READ, &err);
  if (!h) {
    write(context, nullptr, -1);
    SetLastError(SysErrorToWin32(err));
    return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  }
  const u64 total = static_cast<u64>(std::max<i64>(0, DiskGetFileSize(*m_table, h)));
  const auto fail = [&](DWORD code) {
    DiskFileClose(*m_table, h);
    write(context, nullptr, -1);
    SetLastError(code);
    return EndTransfer(FALSE, URL_FAIL_TRANSFER);
  };
  BeginTransfer(total);
  Buffer buffer(*this);
  u64 done = 0;
  while (done < total) {
    if (m_break.load()) return fail(ERROR_OPERATION_ABORTED);
    const int want = static_cast<int>(std::min<u64>(total - done, kBlock));
    const int n = DiskFileRead(*m_table, h, buffer.data(), want);
    if (n < 0) return fail(SysErrorToWin32(n));
    if (n < want) return fail(ERROR_READ_FAULT);
    if (write(context, buffer.data(), n) != n) return fail(ERROR_WRITE_FAULT);
    done += static_cast<u64>(n);
    m_bytesDone.fetch_add(static_cast<u64>(n));
  }
  if (m_break.load()) return fail(ERROR_OPERATION_ABORTED);
  DiskFileClose(*m_table, h);
  write(context, nullptr, 0);
  return EndTransfer(TRUE, URL_FAIL_NONE);
}

// ---- listing -------------------------------------------------------------------------------------

BOOL CDiskUrlConnection::ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) {
  if (!entry) return Fail(ERROR_INVALID_PARAMETER);
  const auto end = [&](BOOL ok, DWORD code) {
    SetBusy(false);
    m_break.store(false);
    entry(context, nullptr);
    SetLastError(code);
    return ok;
  };
  if (!Ready(ERROR_INVALID_HANDLE)) {
    entry(context, nullptr);
    return FALSE;
  }
  std::string pattern = path ? path : "";
  if (pattern.size() > kMaxListPath) {
    entry(context, nullptr);
    return Fail(ERROR_FILENAME_EXCED_RANGE);
  }
  // Every entry comes from the volume; the mask is matched here, as every adapter does.
  if (!pattern.empty() && pattern.back() != '/' && pattern.back() != '\\') pattern += '/';
  pattern += '*';
  m_break.store(false);
  SetBusy(true);
  DiskFindRecord record;
  int err = 0;
  const DiskHandle h = DiskFindFirst(*m_table, pattern.c_str(), &record, &err);
  if (!h) return err == SYS_ERR_INVALID ? end(TRUE, ERROR_SUCCESS) : end(FALSE, SysErrorToWin32(err));
  const bool masked = filter.mask && *filter.mask;
  DWORD code = ERROR_SUCCESS;
  for (;;) {
    if (m_break.load()) {
      code = ERROR_OPERATION_ABORTED;
      break;
    }
    WIN32_FIND_DATAA data;
    if (!ToFindData(record, data)) {
      code = ERROR_FILENAME_EXCED_RANGE;  // never a listing without the name
      break;
    }
    if (!masked ||
        StrMatchPatternA(filter.mask, -1, data.cFileName, -1, STR_MATCH_NOCASE | STR_MATCH_STARDOT) == 0)
      if (!entry(context, &data)) break;
    const int r = DiskFindNext(*m_table, h, &record);
    if (r == SYS_ERR_NOT_FOUND) break;
    if (r < 0) {
      code = SysErrorToWin32(r);
      break;
    }
  }
  DiskFindClose(*m_table, h);
  return end(code == ERROR_SUCCESS, code);
}

// ---- options and break ---------------------------------------------------------------------------

BOOL CDiskUrlConnection::SetDone(u64 value, int size) {
  m_bytesDone.store(size >= 8 ? value : static_cast<u64>(static_cast<i64>(static_cast<i32>(value))));
  return TRUE;
}

BOOL CDiskUrlConnection::SetFindData(const void* buffer, int size) {
  if (!Ready(ERROR_INTERNAL_ERROR)) return FALSE;
  WIN32_FIND_DATAA record;
  if (!TakeFindData(buffer, size, &record)) return FALSE;
  return ApplyRecord(record);
}

UrlCapabilities CDiskUrlConnection::Capabilities() const {
  UrlCapabilities caps = m_caps;
  u8 type = DISK_TYPE_FREE;
  if (m_table) {
    char here[1024];
    if (DiskGetCurrentPath(*m_table, here, sizeof here) >= 0) type = FileSystemOf(here);
    // The list of volumes: the first volume stands for them.
    for (int d = 0; d < DISK_MAX_DRIVES && type < DISK_TYPE_FAT; ++d)
      if (m_table->fileSystem[d]) type = m_table->fsType[d];
  }
  caps.timeStep = type == DISK_TYPE_FAT ? 20'000'000 : 10'000'000;
  caps.caseFolding = type == DISK_TYPE_FAT || type == DISK_TYPE_EXFAT;
  caps.reportsLinks = type == DISK_TYPE_EXT4;
  return caps;
}

BOOL CDiskUrlConnection::ApplyRecord(const WIN32_FIND_DATAA& record) {
  const char* path = record.cFileName;
  const i64 creation = ToSeconds(record.ftCreationTime);
  const i64 access = ToSeconds(record.ftLastAccessTime);
  const i64 write = ToSeconds(record.ftLastWriteTime);
  const int kind = DiskFileInfo(*m_table, path);
  if (kind < 0) return FailSys(kind);
  // A folder keeps its times here; a read-only file takes them before it is read-only again.
  if ((creation || access || write) && !(kind & DISK_ATTR_FOLDER)) {
    if (!(kind & DISK_ATTR_WRITABLE))
      if (const int r = DiskSetAttributes(*m_table, path, static_cast<u32>(kind) | DISK_ATTR_WRITABLE)) return FailSys(r);
    int err = 0;
    const DiskHandle h = DiskFileOpen(*m_table, path, DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
    if (!h) return FailSys(err);
    DiskSetFileTime(*m_table, h, write, creation, access);
    const int closed = DiskFileClose(*m_table, h);
    if (!(kind & DISK_ATTR_WRITABLE)) DiskSetAttributes(*m_table, path, static_cast<u32>(kind));
    if (closed < 0) return FailSys(closed);
  }
  const DWORD attributes = record.dwFileAttributes;
  if (attributes != 0 && attributes != 0xFFFFFFFF) {
    const int r = DiskSetAttributes(*m_table, path, VolumeAttributes(attributes & ~0x400u) & ~u32{DISK_ATTR_FOLDER});
    if (r < 0) return FailSys(r);
  }
  return TRUE;
}

std::string CDiskUrlConnection::NameKey(const char* folder, const std::string& name) {
  if (!m_table) return name;
  return DiskNameKey(*m_table, folder, name.c_str());
}

BOOL CDiskUrlConnection::Break() {
  m_break.store(true);
  return m_table && GetEngineHandle() != 0;
}

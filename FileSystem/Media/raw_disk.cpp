// Image files and block devices as raw media, and the sector transfers with their tries.
#include "FileSystem/Media/raw_disk.h"

#include "FileSystem/Media/volume_facts.h"
#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

// A medium on an open descriptor: an image file or a block device.
class FdMedium final : public RawMedium {
 public:
  FdMedium(SysFd fd, u64 size, u32 sectorSize, u64 device, bool readOnly)
      : m_fd(std::move(fd)), m_size(size), m_sectorSize(sectorSize), m_device(device), m_disk(device != 0),
        m_readOnly(readOnly) {}
  ~FdMedium() override { Close(); }

  bool ReadAt(u64 offset, void* data, std::size_t length) override {
    if (!m_fd) return Fail(ERROR_INVALID_HANDLE);
    if (SysPreadAll(m_fd.Get(), data, length, offset)) return true;
    // errno 0: the file or device ended first.
    return Fail(errno ? Win32ErrorFromErrno(errno) : ERROR_HANDLE_EOF);
  }

  bool WriteAt(u64 offset, const void* data, std::size_t length) override {
    if (!m_fd) return Fail(ERROR_INVALID_HANDLE);
    if (m_readOnly) return Fail(ERROR_WRITE_PROTECT);
    // Never grows an image: a write past the size it had when opened is refused.
    if (offset > m_size || length > m_size - offset) return Fail(ERROR_INVALID_PARAMETER);
    m_dirty = true;
    if (SysPwriteAll(m_fd.Get(), data, length, offset)) return true;
    return Fail(Win32ErrorFromErrno(errno));
  }

  // A disk is synced at every flush: a stick may be pulled out after any change. An image waits
  // for its close, as a sync after each file written would make a disk-backed image some fifty
  // times slower; what was written is in the page cache for every reader meanwhile.
  bool Flush() override {
    if (!m_fd) return Fail(ERROR_INVALID_HANDLE);
    return m_disk ? Sync() : true;
  }

  bool Close() override {
    if (!m_fd) return true;
    bool ok = Sync();
    // Drops the kernel's buffers of a written device, so that the next reader sees the medium.
    if (m_disk && !m_readOnly) ::ioctl(m_fd.Get(), BLKFLSBUF, 0);
    if (m_fd.Close() != 0 && ok) ok = Fail(Win32ErrorFromErrno(errno));
    return ok;
  }

  u64 ByteSize() const override { return m_size; }
  u32 SectorSize() const override { return m_sectorSize; }
  bool IsDisk() const override { return m_disk; }
  bool ReadOnly() const override { return m_readOnly; }
  u64 Device() const override { return m_device; }

 private:
  bool Sync() {
    if (m_readOnly || !m_dirty) return true;
    if (::fsync(m_fd.Get()) != 0) return Fail(Win32ErrorFromErrno(errno));
    m_dirty = false;
    return true;
  }

  static bool Fail(DWORD code) {
    SetLastError(code);
    return false;
  }

  SysFd m_fd;
  u64 m_size;
  u32 m_sectorSize;
  u64 m_device;
  bool m_disk;
  bool m_readOnly;
  bool m_dirty = false;
};

std::unique_ptr<RawMedium> Fail(DWORD code, std::string* why, std::string text) {
  SetLastError(code);
  if (why) *why = std::move(text);
  return nullptr;
}

std::unique_ptr<RawMedium> OpenDevice(const char* name, const struct stat& named, bool write, bool lock,
                                      std::string* why) {
  const int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | (lock ? O_EXCL : 0);
  SysFd fd(::open(name, flags));
  // Two writers of this program never share a device, exclusive or not.
  if (fd && write && ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    fd.Reset();
    errno = e == EWOULDBLOCK ? EBUSY : e;
  }
  if (!fd) {
    const int e = errno;
    if (e == EBUSY)
      return Fail(ERROR_SHARING_VIOLATION, why,
                  FmtString("Das Laufwerk %s ist eingehängt oder wird schon von einem anderen Programm "
                            "benutzt.", name));
    if (e == ENOMEDIUM) return Fail(ERROR_NOT_READY, why, FmtString("Im Laufwerk %s ist kein Datenträger.", name));
    if (e == ENXIO || e == ENODEV || e == ENOENT)
      return Fail(ERROR_INVALID_DRIVE, why, FmtString("Im Laufwerk %s ist kein Datenträger.", name));
    return Fail(Win32ErrorFromErrno(e, name), why, FmtString("Das Laufwerk %s kann nicht geöffnet werden.", name));
  }
  struct stat st{};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != named.st_rdev)
    return Fail(ERROR_INVALID_DRIVE, why, FmtString("Das Laufwerk %s hat sich beim Öffnen geändert.", name));
  int sectorSize = 0;
  u64 size = 0;
  if (::ioctl(fd.Get(), BLKSSZGET, &sectorSize) != 0 || ::ioctl(fd.Get(), BLKGETSIZE64, &size) != 0 ||
      sectorSize <= 0)
    return Fail(Win32ErrorFromErrno(errno ? errno : EIO), why,
                FmtString("Die Größe des Laufwerks %s kann nicht gelesen werden.", name));
  return std::make_unique<FdMedium>(std::move(fd), size, static_cast<u32>(sectorSize), u64{st.st_rdev}, !write);
}

std::unique_ptr<RawMedium> OpenImage(const char* name, const struct stat& named, bool write, std::string* why) {
  if (write && !(named.st_mode & S_IWUSR))
    return Fail(ERROR_ACCESS_DENIED, why, FmtString("Das Abbild %s ist schreibgeschützt.", name));
  // Non-blocking, so that a FIFO put in the image's place cannot hang the open.
  SysFd fd(::open(name, (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd)
    return Fail(Win32ErrorFromErrno(errno, name), why, FmtString("Das Abbild %s kann nicht geöffnet werden.", name));
  struct stat st{};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
    return Fail(ERROR_INVALID_DRIVE, why, FmtString("%s ist weder ein Abbild noch ein Laufwerk.", name));
  // Readers share an image; a writer has it alone.
  if (::flock(fd.Get(), (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      return Fail(ERROR_SHARING_VIOLATION, why,
                  FmtString("Das Abbild %s wird schon von einer anderen Verbindung benutzt.", name));
    return Fail(Win32ErrorFromErrno(errno), why, FmtString("Das Abbild %s kann nicht gesperrt werden.", name));
  }
  return std::make_unique<FdMedium>(std::move(fd), static_cast<u64>(st.st_size), 512, 0, !write);
}

bool StartsWithNoCase(const char* s, const char* prefix) {
  for (; *prefix; ++s, ++prefix)
    if (std::tolower(static_cast<unsigned char>(*s)) != std::tolower(static_cast<unsigned char>(*prefix)))
      return false;
  return true;
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool DrvIsWindowsDiskName(const char* name) {
  if (!name || !*name) return false;
  if (std::strncmp(name, "\\\\.\\", 4) == 0 || std::strncmp(name, "\\\\?\\", 4) == 0) return true;
  const std::size_t length = std::strlen(name);
  if (IsLetter(name[0]) && name[1] == ':' &&
      (length == 2 || (length == 3 && (name[2] == '\\' || name[2] == '/'))))
    return true;
  const char* last = name;
  for (const char* p = name; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') last = p + 1;
  const char* rest = nullptr;
  if (StartsWithNoCase(last, "PhysicalDrive")) rest = last + 13;
  else if (StartsWithNoCase(last, "Physical")) rest = last + 8;
  if (!rest) return false;
  const std::size_t n = std::strlen(rest);
  if (n == 1 && (IsDigit(rest[0]) || IsLetter(rest[0]))) return true;
  return n == 2 && IsDigit(rest[0]) && IsDigit(rest[1]);
}

std::unique_ptr<RawMedium> DrvOpenSlot(const char* name, int access, bool lock, std::string* why) {
  if (access < DRV_ACCESS_QUERY || access > DRV_ACCESS_READ_WRITE)
    return Fail(ERROR_INVALID_PARAMETER, why, FmtString("Unbekannte Zugriffsart %d.", access));
  if (!name || !*name)
    return Fail(ERROR_INVALID_DRIVE, why, "Es wurde kein Abbild und kein Laufwerk angegeben.");
  struct stat st{};
  // Without the links of /dev/disk (no udev), a volume's identity is searched on the devices.
  std::string found;
  if (::stat(name, &st) != 0 && errno == ENOENT &&
      (std::strncmp(name, "/dev/disk/by-uuid/", 18) == 0 || std::strncmp(name, "/dev/disk/by-partuuid/", 22) == 0)) {
    const int count = DrvFindVolume(name, &found);
    if (count > 1)
      return Fail(ERROR_INVALID_DRIVE, why, FmtString("%s bezeichnet %d Laufwerke.", name, count));
    if (count == 1) name = found.c_str();
  }
  if (::stat(name, &st) != 0) {
    const int e = errno;
    if (DrvIsWindowsDiskName(name))
      return Fail(ERROR_INVALID_DRIVE, why,
                  FmtString("%s ist ein Windows-Laufwerksname; hier wird ein Abbild oder eine Platte mit "
                            "ihrem Pfad angegeben (etwa /dev/sdb oder /dev/disk/by-id/…).", name));
    if (e == ENOENT || e == ENOTDIR)
      return Fail(ERROR_INVALID_DRIVE, why, FmtString("Das Abbild oder Laufwerk %s gibt es nicht.", name));
    return Fail(Win32ErrorFromErrno(e, name), why, FmtString("%s kann nicht geöffnet werden.", name));
  }
  const bool write = access == DRV_ACCESS_READ_WRITE;
  if (S_ISBLK(st.st_mode)) return OpenDevice(name, st, write, lock, why);
  if (S_ISREG(st.st_mode)) return OpenImage(name, st, write, why);
  return Fail(ERROR_INVALID_DRIVE, why, FmtString("%s ist weder ein Abbild noch ein Laufwerk.", name));
}

u64 DrvGetSectorInfo(const RawMedium* medium, u32* sectorSize) {
  if (!medium) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  const u32 size = medium->SectorSize();
  if (sectorSize) *sectorSize = size;
  return size ? medium->ByteSize() / size : 0;
}

namespace {

// The byte range of a transfer, or false (ERROR_INVALID_PARAMETER) when it does not lie on the medium.
bool TransferRange(const RawMedium& medium, u64 sector, u32 count, u64* offset, std::size_t* length) {
  const u64 size = medium.ByteSize();
  const u64 bytes = u64{count} * 512;
  if (sector > size / 512 || bytes > size - sector * 512) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *offset = sector * 512;
  *length = static_cast<std::size_t>(bytes);
  return true;
}

}  // namespace

BOOL DrvReadSectors(RawMedium* medium, u64 sector, u32 count, void* buffer) {
  if (!medium) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  u64 offset = 0;
  std::size_t length = 0;
  if (!TransferRange(*medium, sector, count, &offset, &length)) return FALSE;
  if (length == 0) return TRUE;
  for (int attempt = 0; attempt < DRV_TRIES; ++attempt)
    if (medium->ReadAt(offset, buffer, length)) return TRUE;
  return FALSE;
}

BOOL DrvWriteSectors(RawMedium* medium, u64 sector, u32 count, const void* buffer) {
  if (!medium) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  u64 offset = 0;
  std::size_t length = 0;
  if (!TransferRange(*medium, sector, count, &offset, &length)) return FALSE;
  if (length == 0) return TRUE;
  for (int attempt = 0; attempt < DRV_TRIES; ++attempt)
    if (medium->WriteAt(offset, buffer, length)) return TRUE;
  return FALSE;
}

BOOL DrvCloseSlot(std::unique_ptr<RawMedium>& medium, bool /*keep*/) {
  if (!medium) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const bool ok = medium->Close();
  medium.reset();
  return ok ? TRUE : FALSE;
}

BOOL DrvReadTargetSectors(const char* name, u64 sector, u32 count, void* buffer) {
  auto medium = DrvOpenSlot(name, DRV_ACCESS_READ, false);
  if (!medium) return FALSE;
  const BOOL ok = DrvReadSectors(medium.get(), sector, count, buffer);
  const DWORD code = GetLastError();
  DrvCloseSlot(medium, false);
  SetLastError(ok ? ERROR_SUCCESS : code);
  return ok;
}

BOOL DrvWriteTargetSectors(const char* name, u64 sector, u32 count, const void* buffer) {
  auto medium = DrvOpenSlot(name, DRV_ACCESS_READ_WRITE, true);
  if (!medium) return FALSE;
  BOOL ok = DrvWriteSectors(medium.get(), sector, count, buffer);
  const DWORD code = GetLastError();
  // Closing syncs: what it cannot put on the medium was not written.
  if (!DrvCloseSlot(medium, false) && ok) return FALSE;
  if (!ok) SetLastError(code);
  return ok;
}

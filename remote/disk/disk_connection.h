// CDiskUrlConnection: disk:// images and block devices whose volumes the program reads and writes itself.
#pragma once

#include "FileSystem/Media/raw_disk.h"
#include "FileSystem/Volume/drive_table.h"
#include "remote/url_connection.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

// The Windows error of a volume-layer result.
DWORD SysErrorToWin32(int sysError);

// Paths are those of the volume file API: "/" lists the volumes, "/0/dir" is a folder of the
// first one, and with a lone volume (the fixed drive) "/dir" is that folder. The connection owns
// its drive table, which is its engine handle.
//
// Listings ask the volume layer for every entry and keep the names that the filter's mask matches
// without regard to case ("*.*" keeps names without a dot). Uploads write a temporary name in the
// target's folder and give it the target's name when it is whole; a failed or broken upload
// leaves the old file as it was. Downloads write a temporary file beside the local target.
// Transfers and listings are busy, so that a break from another thread reaches them (995).
class CDiskUrlConnection : public CUrlConnection {
 public:
  // port - 1 selects the one partition to register (port 0: all of them).
  CDiskUrlConnection(std::unique_ptr<DiskDriveTable> table, const char* host, const char* user,
                     const char* password, u32 reserved, u16 port, u32 alternateMode);
  ~CDiskUrlConnection() override;

  // Attaches what the (escaped) host names: TRUE when at least one partition could be attached
  // (and, unless read-only, be written), else 1105 (or 19) with Message() saying why.
  BOOL Open(bool readOnly);
  // The same for a medium that is open already; name appears in messages only.
  BOOL OpenMedium(std::unique_ptr<RawMedium> medium, const char* name, bool readOnly);
  // Why Open failed, in German for the user.
  const std::string& Message() const { return m_message; }
  // What a writable Open found that the user should know though it succeeded (a volume marked as
  // having errors, one that is only read), in German; empty mostly.
  std::string Notice() const override { return m_notice; }
  DiskDriveTable* Table() const { return m_table.get(); }

  BOOL ChangeDir(const char* path) override;
  BOOL SetFileTime(const char* path, FILETIME lastWrite) override;
  i64 StoredWriteTime(const char* path, i64 seconds) override;
  BOOL SetAttributes(const char* path, u32 attributes) override;
  BOOL Rmdir(const char* path) override;
  BOOL Mkdir(const char* path) override;
  BOOL Remove(const char* path) override;
  BOOL Rename(const char* oldPath, const char* newPath) override;
  void Close() override;
  BOOL UploadProc(const char* remote, void* context, UrlReadFn read, u32 r1, u32 r2) override;
  BOOL UploadFile(const char* local, const char* remote, u32 r1, u32 r2) override;
  BOOL DownloadProc(const char* remote, void* context, UrlWriteFn write, u32 r1, u32 r2, u32 r3) override;
  BOOL DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32 r1, u32 r2,
                    u32 r3) override;
  BOOL ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) override;
  std::string NameKey(const char* folder, const std::string& name) override;
  BOOL Break() override;
  // Those of the volume of the current folder: FAT keeps write times in steps of two seconds,
  // FAT and exFAT fold letter case and know no links.
  UrlCapabilities Capabilities() const override;

 private:
  class Buffer;
  class Upload;

  // name: the image or device as the user wrote it (not the URL-escaped host). A writable attach
  // whose volumes all refuse writes fails with ERROR_WRITE_PROTECT, saying why.
  BOOL Attached(int result, const char* name, bool readOnly);
  bool IsOpen() const override { return m_table && GetEngineHandle() != 0; }
  // The table, or false with code as the last error.
  bool Ready(DWORD code) const;
  bool CurrentDir(std::string& dir) override;
  // Option 65 from 4 bytes is a signed count.
  BOOL SetDone(u64 value, int size) override;
  // Option 74: creation, access and write times (not of a folder), then the attributes; 1359
  // without a table.
  BOOL SetFindData(const void* buffer, int size) override;
  BOOL FailSys(int sysError) const;
  void BeginTransfer(u64 total);
  BOOL EndTransfer(BOOL ok, u32 failureSide);
  // The upload of every byte a source gives into remote.
  BOOL Send(const char* remote, u64 total, bool sizeKnown, const std::function<int(BYTE*, int)>& source);
  BOOL ApplyRecord(const WIN32_FIND_DATAA& record);
  // The file-system type of the drive a path lies on (DISK_TYPE_FREE when none).
  u8 FileSystemOf(const char* path) const;

  std::unique_ptr<DiskDriveTable> m_table;
  std::unique_ptr<BYTE[]> m_buffer;
  std::atomic<bool> m_bufferInUse{false};
  std::atomic<bool> m_break{false};
  u32 m_partitionSelector;
  std::string m_message;
  std::string m_notice;
  u32 m_tempCounter = 0;
};

// The FAT engine as the file system of a drive.
#pragma once

#include "FileSystem/Fat/fat_engine.h"
#include "FileSystem/Volume/drive_table.h"

// The FAT volume of a drive: the engine object over the drive's sectors, serving the volume file
// API. Names go to the engine in UTF-16; times are the engine's local DOS stamps.
class FatVolume final : public DiskVolume, public FatFs {
 public:
  FatVolume(DiskDriveTable& table, int drive);
  void Unmount() override;

  int FileOpen(const std::string& inside, int mode, int& err) override;
  int FileClose(u32 slot) override;
  int FileRead(u32 slot, void* buffer, int length) override;
  int FileWrite(u32 slot, const void* buffer, int length) override;
  i64 FileSeek(u32 slot, i64 offset, int whence) override;
  i64 FileTell(u32 slot) override;
  int FileFlush(u32 slot) override;
  int GetFileTime(u32 slot, i64* write, i64* creation, i64* access) override;
  int SetFileTime(u32 slot, i64 write, i64 creation, i64 access) override;
  i64 GetFileSize(u32 slot) override;
  int SetFileSize(u32 slot, u64 size) override;
  int ReadDirEntry(u32 slot, DiskFindRecord& record) override;

  int Stat(const std::string& inside, DiskPathStatus& status, bool entryItself) override;
  int Mkdir(const std::string& inside) override;
  int Rmdir(const std::string& inside) override;
  int Delete(const std::string& inside) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Replace(const std::string& from, const std::string& to) override;
  int SetAttributes(const std::string& inside, u32 attributes) override;

  int FindFirst(const DiskSearchPath& search, DiskFindRecord& record, int& err) override;
  int FindNext(u32 slot, DiskFindRecord& record) override;
  int FindClose(u32 slot) override;

  int GetFreeSpace(DiskSpace& space) override;
  i64 StoredTime(i64 t) override;
  std::string NameKey(const std::string& name) override;
  int NameKind() const override { return DISK_NAME_UTF16; }

 private:
  // The open file of a slot, or null.
  FatFile* FileOf(u32 slot);
  DiskDriveDevice m_device;
};
